// Where the next reap starts after each kind of positioning, with and
// without select/reject, on empty and filled servers.
#include <cmath>
#include <set>

#include "platform/tarnclient/tarnclient_internal.h"
#include "tarn_client_fixture.h"

namespace tarntest {
namespace {

using Positions = TarnClientTest;

TEST_F(Positions, EmptyServerHasNoPositionAndTheFirstArrivalIsReaped) {
  int fd = open();
  ASSERT_GT(fd, 0);
  EXPECT_LT(tarnposition(fd, "newest"), 0);
  EXPECT_LT(tarnposition(fd, "oldest"), 0);
  EXPECT_LT(tarnseek(fd, TARN_NEWEST), 0);
  EXPECT_LT(tarnafter(fd, 0.0), 0);
  EXPECT_EQ(tarntell(fd), 0);
  EXPECT_EQ(reap(fd, 0.2).rc, TARN_TIMEOUT);
  ASSERT_TRUE(put("A/x", 1));
  Reaped r = reap(fd);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.id, 0);
  EXPECT_EQ(r.src, "A/x");
}

TEST_F(Positions, NewestIsTheNewestPacketThenTheNextToArrive) {
  ASSERT_TRUE(put("A/x", 5));
  int fd = open();
  EXPECT_EQ(tarnposition(fd, "newest"), 4);
  EXPECT_EQ(reap(fd).id, 4);
  EXPECT_EQ(reap(fd, 0.2).rc, TARN_TIMEOUT);
  ASSERT_TRUE(put("A/x", 1));
  EXPECT_EQ(reap(fd).id, 5);
  EXPECT_EQ(tarnseek(fd, TARN_NEWEST), 5);
  EXPECT_EQ(tarnseek(fd, TARN_OLDEST), 0);
  EXPECT_EQ(reapIds(fd, 2), (std::vector<int>{0, 1}));
}

TEST_F(Positions, SeekToAnIdStartsThereAndAMissingIdChangesNothing) {
  ASSERT_TRUE(put("A/x", 5));
  int fd = open();
  EXPECT_EQ(tarnseek(fd, 2), 2);
  EXPECT_EQ(reapIds(fd, 2), (std::vector<int>{2, 3}));
  EXPECT_EQ(tarnseek(fd, 100), -1);
  EXPECT_EQ(reap(fd).id, 4);
  // The id the next packet will get is a valid place to wait.
  EXPECT_EQ(tarnseek(fd, 5), 5);
  EXPECT_EQ(reap(fd, 0.2).rc, TARN_TIMEOUT);
  EXPECT_EQ(tarnseek(fd, -3), -1);
}

TEST_F(Positions, AfterFindsTheOldestPacketAtOrAfterTheTime) {
  ASSERT_TRUE(put("A/x", 5, 100.0));  // times 100..104
  int fd = open();
  EXPECT_EQ(tarnafter(fd, 102.5), 3);
  EXPECT_EQ(reap(fd).id, 3);
  EXPECT_EQ(tarnafter(fd, 102.0), 2);  // "at" the time counts
  EXPECT_EQ(reap(fd).id, 2);
  EXPECT_LT(tarnafter(fd, 1000.0), 0);
  ASSERT_TRUE(put("A/x", 1, 50.0));
  EXPECT_EQ(reap(fd).id, 5);  // none was late enough: the first to arrive
}

TEST_F(Positions, AfterTakesArrivalOrderNotTimeOrder) {
  int w = open("w&");
  for (double t : {5.0, 1.0, 3.0}) ASSERT_EQ(tarnput(w, "A/x", t, "", 0), 0);
  ASSERT_EQ(tarnclose(w), 0);
  open_.pop_back();
  int fd = open();
  EXPECT_EQ(tarnafter(fd, 2.0), 0);  // id 0 (time 5) is the oldest with time >= 2
  EXPECT_EQ(tarnafter(fd, 4.0), 0);
  EXPECT_EQ(tarnafter(fd, 5.5), -1);
}

TEST_F(Positions, TellAndSeekBackRestoreThePosition) {
  ASSERT_TRUE(put("A/x", 6));
  int fd = open();
  ASSERT_EQ(tarnseek(fd, 1), 1);
  EXPECT_EQ(tarntell(fd), 1);
  EXPECT_EQ(reap(fd).id, 1);
  int here = tarntell(fd);
  EXPECT_EQ(here, 2);
  EXPECT_EQ(tarnseek(fd, TARN_NEWEST), 5);  // what the relay's newest-id query does
  EXPECT_EQ(tarnseek(fd, here), here);
  EXPECT_EQ(reapIds(fd, 4), (std::vector<int>{2, 3, 4, 5}));
  // Caught up: the position is the id the next packet will get.
  here = tarntell(fd);
  EXPECT_EQ(here, 6);
  EXPECT_EQ(tarnseek(fd, TARN_OLDEST), 0);
  EXPECT_EQ(tarnseek(fd, here), here);
  EXPECT_EQ(reap(fd, 0.2).rc, TARN_TIMEOUT);
}

TEST_F(Positions, ReadAheadNeverLeaksAcrossARepositioning) {
  ASSERT_TRUE(put("A/x", 200));
  int fd = open();
  ASSERT_EQ(tarnseek(fd, TARN_OLDEST), 0);
  EXPECT_EQ(reap(fd).id, 0);  // the server now streams ahead
  ASSERT_EQ(tarnseek(fd, 150), 150);
  EXPECT_EQ(reapIds(fd, 3), (std::vector<int>{150, 151, 152}));
  EXPECT_EQ(tarnselect(fd, "A/x"), 1);  // the position survives a new expression
  EXPECT_EQ(reap(fd).id, 153);
}

TEST_F(Positions, UnknownDescriptorsAndArgumentsFail) {
  EXPECT_EQ(tarntell(12345), -1);
  EXPECT_EQ(tarnseek(12345, 0), -1);
  EXPECT_EQ(tarnposition(12345, "newest"), -1);
  int fd = open();
  EXPECT_EQ(tarnposition(fd, "middle"), -1);
  EXPECT_EQ(tarnclose(12345), -1);
}

// ---- select and reject ----

class Selection : public TarnClientTest {
 protected:
  void SetUp() override {
    int w = open("w&");
    ASSERT_GT(w, 0);
    const char *names[] = {"AA/x", "AA/y", "BB/z", "AA/x", "BB/z"};  // ids 0..4
    for (int i = 0; i < 5; ++i) ASSERT_EQ(tarnput(w, names[i], 10.0 + i, "p", 1), 0);
    ASSERT_EQ(tarnclose(w), 0);
    open_.pop_back();
  }
};

TEST_F(Selection, CountsTheSourcesTheDescriptorNowDelivers) {
  int fd = open();
  EXPECT_EQ(tarnselect(fd, "AA/.*"), 2);
  EXPECT_EQ(tarnreject(fd, ".*/y"), 1);
  EXPECT_EQ(tarnselect(fd, ""), 2);  // everything except the rejected
  EXPECT_EQ(tarnreject(fd, ""), 3);
  EXPECT_EQ(tarnselect(fd, "AA"), 0);  // the whole name must match
  EXPECT_EQ(tarnselect(fd, "A|B"), 0);
  EXPECT_EQ(tarnselect(fd, "AA/x|BB/z"), 2);
}

TEST_F(Selection, ABadExpressionFailsAndKeepsTheOldOne) {
  int fd = open();
  EXPECT_EQ(tarnselect(fd, "BB/.*"), 1);
  EXPECT_EQ(tarnselect(fd, "(unclosed"), -1);
  EXPECT_NE(drainLog().find("(unclosed"), std::string::npos);
  EXPECT_EQ(tarnseek(fd, TARN_OLDEST), 2);
}

TEST_F(Selection, PositionsAndReapsHonourTheExpressions) {
  int fd = open();
  ASSERT_EQ(tarnselect(fd, "AA/.*"), 2);
  ASSERT_EQ(tarnreject(fd, "AA/y"), 1);
  EXPECT_EQ(tarnposition(fd, "newest"), 3);
  EXPECT_EQ(tarnposition(fd, "oldest"), 0);
  EXPECT_EQ(reapIds(fd, 2), (std::vector<int>{0, 3}));
  EXPECT_EQ(tarnafter(fd, 10.5), 3);
  EXPECT_EQ(tarnseek(fd, 1), 1);  // an id not delivered: the next delivered one
  EXPECT_EQ(reap(fd).id, 3);
}

TEST_F(Selection, NothingSelectedMeansNoPositionAndWaitingForAMatch) {
  int fd = open();
  ASSERT_EQ(tarnselect(fd, "CC/.*"), 0);
  EXPECT_LT(tarnposition(fd, "newest"), 0);
  EXPECT_LT(tarnafter(fd, 0.0), 0);
  EXPECT_EQ(reap(fd, 0.2).rc, TARN_TIMEOUT);
  ASSERT_TRUE(put("AA/x", 3));
  ASSERT_TRUE(put("CC/q", 1));
  Reaped r = reap(fd);
  EXPECT_EQ(r.id, 8);
  EXPECT_EQ(r.src, "CC/q");
}

}  // namespace
}  // namespace tarntest

namespace tarntest {
namespace {

// Resuming at a saved (id, time) pair, as a restarted relay does.
using Resume = TarnClientTest;

TEST_F(Resume, FindsThePacketByIdAndTimeAndReadsOnAfterIt) {
  ASSERT_TRUE(put("A/x", 5, 100.0));
  int r = open();
  EXPECT_EQ(tarnclient::resumeAt(r, 2, 102.0), 0);
  EXPECT_EQ(tarntell(r), 3);
  EXPECT_EQ(reap(r).id, 3);
}

TEST_F(Resume, AtThePacketReadsItAgain) {
  ASSERT_TRUE(put("A/x", 5, 100.0));
  int r = open();
  EXPECT_EQ(tarnclient::resumeAt(r, 2, 102.0, true), 0);
  EXPECT_EQ(reap(r).id, 2);
  EXPECT_EQ(tarnclient::resumeAt(r, 2, 103.0, true),
            -2);  // not that packet: by the time, as resuming after
  EXPECT_EQ(reap(r).id, 3);
}

// However the server's name is written, the descriptor knows the one
// address it reached.
TEST_F(Resume, TheServersAddressIsTheSameForEveryFormOfItsName) {
  std::string port = server_.name().substr(server_.name().rfind(':'));
  std::set<std::string> addresses;
  for (std::string name : {port, "127.0.0.1" + port, "localhost" + port}) {
    int fd = tarnopen(name.c_str(), "r&");
    ASSERT_GE(fd, 0) << name;
    open_.push_back(fd);
    std::string address;
    ASSERT_TRUE(tarnclient::descriptorAddress(fd, address));
    addresses.insert(address);
  }
  EXPECT_EQ(addresses, std::set<std::string>{"127.0.0.1" + port});
}

TEST_F(Resume, AnIdNamingAnotherPacketFallsBackToTheTime) {
  ASSERT_TRUE(put("A/x", 5, 100.0));
  int r = open();
  EXPECT_EQ(tarnclient::resumeAt(r, 2, 103.0), -2);  // id 2 has time 102: not the saved packet
  EXPECT_EQ(reap(r).id, 3);
  EXPECT_EQ(tarnclient::resumeAt(r, 9, 500.0), -1);  // nothing at or after the time
  EXPECT_EQ(tarntell(r), 5);
}

TEST_F(Resume, AnEmptyServerSaysSo) {
  int r = open();
  EXPECT_EQ(tarnclient::resumeAt(r, 0, 1.0), -3);
  std::string name, sel, rej;
  ASSERT_TRUE(tarnclient::descriptorName(r, name));
  EXPECT_EQ(name, server_.name());
  ASSERT_EQ(tarnselect(r, "A/.*"), 0);
  ASSERT_TRUE(tarnclient::descriptorExpressions(r, sel, rej));
  EXPECT_EQ(sel, "A/.*");
  EXPECT_EQ(rej, "");
}

}  // namespace
}  // namespace tarntest
