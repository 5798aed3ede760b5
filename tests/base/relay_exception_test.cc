#include "base/relay_exception.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

namespace {

template <typename Kind>
class FailureKind : public testing::Test {};

using Kinds =
    testing::Types<RelayEOFException, RelayNodataException, RelayDNEException,
                   RelayTarnClosedException, RelayTarnOpenException, RelayTarnPositioningException,
                   RelayTimeoutException, RelayUnstuffException>;
TYPED_TEST_SUITE(FailureKind, Kinds);

TYPED_TEST(FailureKind, CaughtByItsOwnTypeWithTheMessageUnchanged) {
  try {
    throw TypeParam("Read EOF packet from queue 'q1'");
  } catch (const TypeParam &e) {
    EXPECT_STREQ(e.what(), "Read EOF packet from queue 'q1'");
  }
}

TYPED_TEST(FailureKind, CaughtThroughTheBaseAndRuntimeError) {
  try {
    throw TypeParam("TarnTag::after: failed");
  } catch (const RelayException &e) {
    EXPECT_STREQ(e.what(), "TarnTag::after: failed");
  }
  try {
    throw TypeParam("TarnTag::after: failed");
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "TarnTag::after: failed");
  }
}

TYPED_TEST(FailureKind, EmptyMessageStaysEmpty) {
  TypeParam failure("");
  EXPECT_STREQ(failure.what(), "");
}

TYPED_TEST(FailureKind, DerivesDirectlyFromTheBaseAlone) {
  static_assert(std::is_base_of_v<RelayException, TypeParam>);
  static_assert(std::is_base_of_v<std::runtime_error, TypeParam>);
  static_assert(!std::is_convertible_v<std::string, TypeParam>, "constructors are explicit");
}

// Throws a `Thrown` and reports whether a handler for `Handler` caught it
// (another kind falls through to the base handler).
template <typename Thrown, typename Handler>
bool handlerCatches() {
  try {
    try {
      throw Thrown("x");
    } catch (const Handler &) {
      return true;
    }
  } catch (const RelayException &) {
    return false;
  }
}

template <typename Handler, typename... Thrown>
void expectCatchesOnlyItself() {
  int caught = (0 + ... + (handlerCatches<Thrown, Handler>() ? 1 : 0));
  EXPECT_EQ(caught, 1) << typeid(Handler).name();
}

template <typename... All>
void expectNoKindCatchesAnother() {
  (expectCatchesOnlyItself<All, All...>(), ...);
}

TEST(FailureFamily, NoKindCatchesAnother) {
  expectNoKindCatchesAnother<RelayEOFException, RelayNodataException, RelayDNEException,
                             RelayTarnClosedException, RelayTarnOpenException,
                             RelayTarnPositioningException, RelayTimeoutException,
                             RelayUnstuffException>();
  EXPECT_FALSE((handlerCatches<RelayEOFException, RelayNodataException>()));
  EXPECT_FALSE((handlerCatches<RelayTarnClosedException, RelayTarnOpenException>()));
}

TEST(FailureFamily, PlainBaseIsARuntimeErrorAndNoKind) {
  try {
    throw RelayException("RelayStatusMgr::pfstatus: pfcompile failed");
  } catch (const RelayEOFException &) {
    FAIL() << "a kind caught the plain base";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "RelayStatusMgr::pfstatus: pfcompile failed");
  }
}

}  // namespace
