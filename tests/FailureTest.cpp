// How a failure becomes a value where it stops travelling.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "store/Failure.h"

namespace qbnotify {
namespace {

TEST(Failure, CaptureKeepsWhatCodeDecidesOn) {
  struct Case {
    const char* name;
    void (*body)();
    std::optional<Failure> expected;
  };
  const Case cases[] = {
      {"returns", [] {}, std::nullopt},
      {"server refused", [] { throw DatabaseError("Table 'x' doesn't exist", 1146, false); },
       Failure{"Table 'x' doesn't exist", 1146, false}},
      {"server away", [] { throw DatabaseError("Lost connection", 2013, true); }, Failure{"Lost connection", 2013, true}},
      {"other exception", [] { throw std::out_of_range("stoi"); }, Failure{"stoi", 0, false}},
      {"not an exception", [] { throw 7; }, Failure{"unknown failure", 0, false}},
  };
  for (const Case& c : cases) {
    const std::optional<Failure> failure = Capture(c.body);
    ASSERT_EQ(failure.has_value(), c.expected.has_value()) << c.name;
    if (!failure) continue;
    EXPECT_EQ(failure->message, c.expected->message) << c.name;
    EXPECT_EQ(failure->code, c.expected->code) << c.name;
    EXPECT_EQ(failure->serverUnavailable, c.expected->serverUnavailable) << c.name;
  }
}

TEST(Failure, ResultHoldsTheValueOrTheFailure) {
  const Result<int> value = 42;
  const Result<int> failed = Failure{"no row", 0, false};
  EXPECT_TRUE(value.Ok());
  EXPECT_EQ(value.ValueOr(0), 42);
  EXPECT_FALSE(failed.Ok());
  EXPECT_EQ(failed.ValueOr(-1), -1);
  EXPECT_EQ(failed.Error().message, "no row");
}

}  // namespace
}  // namespace qbnotify
