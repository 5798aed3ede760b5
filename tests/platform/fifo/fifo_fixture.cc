#include "fifo_fixture.h"

#include <cstdlib>

#include "platform/elog/elog.h"

namespace fifotest {

namespace {

void freePayload(void *p) {
  Payload *payload = static_cast<Payload *>(p);
  payload->tracker->freed++;
  delete payload;
}

}  // namespace

Hook *makeHook(Tracker &tracker, long id) {
  Hook *hook = new_hook(freePayload);
  hook->p = new Payload{&tracker, id};
  tracker.made++;
  return hook;
}

Hook *copyHook(Hook *hook) {
  Payload *from = static_cast<Payload *>(hook->p);
  Hook *copy = new_hook(freePayload);
  copy->p = new Payload{from->tracker, from->id};
  from->tracker->copies++;
  return copy;
}

Hook *failingCopy(Hook *) { return nullptr; }

long idOf(const Hook *hook) { return static_cast<const Payload *>(hook->p)->id; }

std::string takeLog() {
  char *text = elog_string(0);
  std::string log = text ? text : "";
  std::free(text);
  elog_flush(0, 0);
  return log;
}

void FifoTest::SetUp() {
  stopflag_register(&stop_);
  takeLog();
  mf_ = pmtmanagedfifo_create("q1");
  ASSERT_NE(mf_, nullptr);
}

void FifoTest::TearDown() {
  pmtmanagedfifo_destroy(mf_);
  stopflag_register(nullptr);
  EXPECT_EQ(tracker_.live(), 0) << "every hook must be freed exactly once";
  takeLog();
}

PmtFifo *FifoTest::consumer(const char *name, int limit, double timeout, int flags) {
  PmtFifo *fifo = pmtmanagedfifo_set_consumer(mf_, name, limit, flags);
  EXPECT_NE(fifo, nullptr);
  EXPECT_EQ(pmtfifo_set_timeout(fifo, timeout), 0);
  return fifo;
}

int FifoTest::push(long id, int flags) {
  return pmtmanagedfifo_push(mf_, makeHook(tracker_, id), copyHook, flags);
}

long FifoTest::popId(const char *name, int flags) {
  Hook *hook = nullptr;
  int rc = pmtmanagedfifo_pop(mf_, name, &hook, flags);
  if (rc != PMTFIFO_DATA) {
    EXPECT_EQ(hook, nullptr);
    return -100 - rc;
  }
  long id = idOf(hook);
  free_hook(&hook);
  return id;
}

}  // namespace fifotest
