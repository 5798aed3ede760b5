// Tarn handles and tags: the registries, generated names, display forms and
// opening. Each test starts with empty registries (fresh_tag_registry.h).
#include <gtest/gtest.h>

#include "base/relay_exception.h"
#include "fresh_tag_registry.h"
#include "tarn/tarn_handle.h"
#include "tarn/tarn_tag.h"

namespace {

TEST(TarnTagNames, GeneratedNamesCountAcrossTarnNames) {
  auto first = TarnTag::createTarnTagFromTarnName("srv1:6510");
  auto second = TarnTag::createTarnTagFromTarnName("srv2:6510");
  EXPECT_EQ(first->name(), "tarntag0001");
  EXPECT_EQ(second->name(), "tarntag0002");
}

TEST(TarnTagNames, SecondTagForSameTarnNameTakesTheFirstName) {
  auto first = TarnTag::createTarnTagFromTarnName("srv:6510");
  auto second = TarnTag::createTarnTagFromTarnName("srv:6510");
  EXPECT_EQ(second->name(), "tarntag0001");
  EXPECT_NE(first.get(), second.get());
  // The registry keeps the first object under the shared name.
  EXPECT_EQ(TarnTag::getTarnTag("tarntag0001", "", false).get(), first.get());
  // No number was used up by the second construction.
  EXPECT_EQ(TarnTag::createTarnTagFromTarnName("other")->name(), "tarntag0002");
}

TEST(TarnTagNames, TaglessTarnNameUsesTheConfiguredTag) {
  auto named = TarnTag::getTarnTag("t1", "srv", true);
  auto unnamed = TarnTag::createTarnTagFromTarnName("srv");
  EXPECT_EQ(unnamed->name(), "t1");
  EXPECT_EQ(TarnTag::getTarnTag("t1", "", false).get(), named.get());
}

TEST(TarnTagNames, RegisteredTagIgnoresAnotherTarnName) {
  auto tag = TarnTag::getTarnTag("t1", "srv", true);
  auto again = TarnTag::getTarnTag("t1", "elsewhere", true);
  EXPECT_EQ(again.get(), tag.get());
  EXPECT_EQ(again->tarnName(), "srv");
  EXPECT_THROW(TarnHandle::getTarnHandle("elsewhere", false), RelayDNEException);
}

TEST(TarnTagNames, UnknownTagWithoutCreationThrows) {
  try {
    TarnTag::getTarnTag("nosuch", "srv", false);
    FAIL() << "no failure";
  } catch (const RelayDNEException &e) {
    EXPECT_STREQ(e.what(), "TarnTag::getTarnTag: No configured record of tarntag 'nosuch'");
  }
}

TEST(TarnHandleRegistry, UnknownTarnNameWithoutCreationThrows) {
  try {
    TarnHandle::getTarnHandle("srv:1", false);
    FAIL() << "no failure";
  } catch (const RelayDNEException &e) {
    EXPECT_STREQ(e.what(), "TarnHandle::getTarnHandle: No configured record of tarnname 'srv:1'");
  }
  auto created = TarnHandle::getTarnHandle("srv:1", true);
  EXPECT_EQ(TarnHandle::getTarnHandle("srv:1", false).get(), created.get());
}

TEST(TarnHandleRegistry, TagListKeepsFirstOrderWithoutDuplicates) {
  TarnHandle handle("srv");
  EXPECT_EQ(handle.getFirstTarnTag(), "");
  handle.addTarnTag("b");
  handle.addTarnTag("a");
  handle.addTarnTag("b");
  EXPECT_EQ(handle.getFirstTarnTag(), "b");
  EXPECT_EQ(handle.tarnName(), "srv");
}

TEST(TarnTagDisplay, JointName) {
  auto generated = TarnTag::createTarnTagFromTarnName("srv2:6510");
  EXPECT_EQ(generated->getJointName(), "<tarntag0001 ='srv2:6510'>");
}

TEST(TarnTagState, NewTagIsClosedWithNoPosition) {
  auto tag = TarnTag::getTarnTag("t1", "srv", true);
  EXPECT_FALSE(tag->isOpen());
  EXPECT_EQ(tag->fd(), -1);
  EXPECT_EQ(tag->readPosition().resumePoint().id, -1);
}

// A tag holds one read position: the second reader to claim it is told who
// has it.
TEST(TarnTagState, OneReaderClaimsATag) {
  auto tag = TarnTag::getTarnTag("t1", "srv", true);
  EXPECT_EQ(tag->claimForReader("first"), "");
  EXPECT_EQ(tag->claimForReader("second"), "first");
  EXPECT_EQ(TarnTag::getTarnTag("t1", "", false)->claimForReader("third"), "first");
}

TEST(TarnTagState, ClosedTagRefusesWork) {
  auto tag = TarnTag::getTarnTag("t1", "srv", true);
  try {
    tag->select("AA.*");
    FAIL() << "no failure";
  } catch (const RelayTarnClosedException &e) {
    EXPECT_STREQ(e.what(), "TarnTag::select: tarntag 't1' is closed.");
  }
  EXPECT_THROW(tag->reject("AA.*"), RelayTarnClosedException);
  EXPECT_THROW(tag->after(0.0), RelayTarnClosedException);
  EXPECT_THROW(tag->getNewestPktid(), RelayTarnClosedException);
  char name[] = "AA/x";
  char bytes[] = "x";
  try {
    tag->put(name, 1.0, bytes, 1);
    FAIL() << "no failure";
  } catch (const RelayTarnClosedException &) {
    FAIL() << "put on a closed tag throws a plain RelayException";
  } catch (const RelayException &e) {
    EXPECT_STREQ(e.what(), "TarnTag::put: tarnserver 't1' ('srv') is not open");
  }
}

TEST(TarnTagState, OpenOnUnreachableServerThrowsAndStaysClosed) {
  // Port 1 on the loopback address: nothing listens there.
  auto tag = TarnTag::getTarnTag("t1", "127.0.0.1:1", true);
  try {
    tag->open(TarnTag::Mode::kRead);
    FAIL() << "no failure";
  } catch (const RelayTarnOpenException &e) {
    EXPECT_STREQ(e.what(), "TarnTag::open() failed to open tarnserver <t1 ='127.0.0.1:1'>");
  }
  EXPECT_FALSE(tag->isOpen());
}

TEST(PacketIdOrder, AfterFollowsTheWrap) {
  EXPECT_TRUE(pktidAfter(2, 1));
  EXPECT_FALSE(pktidAfter(1, 2));
  EXPECT_FALSE(pktidAfter(5, 5));
  EXPECT_TRUE(pktidAfter(0, 2147483647));
  EXPECT_TRUE(pktidAfter(10, 2147483640));
  EXPECT_FALSE(pktidAfter(2147483640, 10));
  EXPECT_FALSE(pktidAfter(2147483600, 3));
}

}  // namespace
