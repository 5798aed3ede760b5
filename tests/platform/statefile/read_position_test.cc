// ReadPosition: a save covers only packets that are done, whatever order
// they finish in and however many places hold them.
#include "platform/statefile/read_position.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

ResumePoint after(int32_t id, double time) { return ResumePoint{id, time, false}; }
ResumePoint at(int32_t id, double time) { return ResumePoint{id, time, true}; }

void expectPoint(ReadPosition &p, ResumePoint want) {
  ResumePoint got = p.resumePoint();
  EXPECT_EQ(got.id, want.id);
  EXPECT_EQ(got.time, want.time);
  EXPECT_EQ(got.at, want.at);
}

TEST(ReadPosition, BeforeAnythingIsDoneItStaysWhereItWasPut) {
  ReadPosition p;
  expectPoint(p, ResumePoint{});
  p.restore(after(7, 107.0));
  expectPoint(p, after(7, 107.0));
  // Reading has begun but nothing is done: resume at the first packet read,
  // which the restored place leads to anyway, and which is right even when
  // that place was gone from the server.
  ReadRecord *first = p.reaped(8, 108.0);
  p.reaped(9, 109.0);
  expectPoint(p, at(8, 108.0));
  first->release();
  expectPoint(p, after(8, 108.0));
}

TEST(ReadPosition, OutOfOrderCompletionPassesOnlyAContiguousPrefix) {
  ReadPosition p;
  std::vector<ReadRecord *> r;
  for (int i = 0; i < 5; ++i) r.push_back(p.reaped(i, 100.0 + i));
  for (int i : {0, 1, 3, 4}) r[i]->release();
  expectPoint(p, after(1, 101.0));
  r[2]->release();
  expectPoint(p, after(4, 104.0));
}

TEST(ReadPosition, EveryHoldMustBeReleased) {
  ReadPosition p;
  ReadRecord *r = p.reaped(0, 1.0);
  r->hold();  // handed to two consumers
  r->hold();
  r->release();  // the reader
  r->release();  // one consumer
  expectPoint(p, at(0, 1.0));
  r->release();  // the other
  expectPoint(p, after(0, 1.0));
  p.set(1, 2.0);  // a reader done with each packet at once
  expectPoint(p, after(1, 2.0));
}

TEST(ReadPosition, ManyBlocksFinishedInReverseOrder) {
  ReadPosition p;
  const int n = 3 * 4096 + 7;
  std::vector<ReadRecord *> r;
  for (int i = 0; i < n; ++i) r.push_back(p.reaped(i, i));
  for (int i = n - 1; i > 0; --i) {
    r[i]->release();
    if (i % 4096 == 0) expectPoint(p, at(0, 0));
  }
  r[0]->release();
  expectPoint(p, after(n - 1, n - 1));
  // Blocks passed are reused: reading on still works.
  for (int i = n; i < n + 5000; ++i) p.set(i, i);
  expectPoint(p, after(n + 4999, n + 4999));
}

// A reader, two writers finishing packets in their own order and a saver
// asking all the time: a save never passes a packet that is not done.
TEST(ReadPosition, ConcurrentSavesNeverPassAPacketNotDone) {
  const int n = 60000;
  ReadPosition p;
  std::vector<std::atomic<int>> released(n);  // holds let go, of two
  std::vector<ReadRecord *> records(n, nullptr);
  std::atomic<int> made{0};
  std::mutex handOver;  // the reader hands records to the writers through `records`
  std::thread reader([&] {
    for (int i = 0; i < n; ++i) {
      ReadRecord *r = p.reaped(i, i);
      r->hold();  // one writer's hold; the reader keeps its own below
      {
        std::lock_guard<std::mutex> lock(handOver);
        records[i] = r;
      }
      made.store(i + 1);
      released[i].fetch_add(1);  // the reader lets go at once
      r->release();
    }
  });
  auto writer = [&](int parity) {
    // Even and odd packets, each writer a little behind the other.
    for (int i = parity; i < n; i += 2) {
      while (made.load() <= i) std::this_thread::yield();
      ReadRecord *r;
      {
        std::lock_guard<std::mutex> lock(handOver);
        r = records[i];
      }
      released[i].fetch_add(1);
      r->release();
    }
  };
  std::thread evens(writer, 0), odds(writer, 1);
  int32_t last = -1;
  for (int k = 0; k < 2000; ++k) {
    ResumePoint point = p.resumePoint();
    if (point.id < 0) continue;
    int32_t covered = point.at ? point.id - 1 : point.id;
    ASSERT_GE(covered, last);
    last = covered;
    for (int32_t i = 0; i <= covered; i += 97) ASSERT_EQ(released[i].load(), 2) << i;
  }
  reader.join();
  evens.join();
  odds.join();
  expectPoint(p, after(n - 1, n - 1));
}

}  // namespace
