// The retry policy's parts that no scripted server can pin down: which waits a service may ask
// for, and the bounds of the jittered backoff.

#include "retry_policy.hpp"

#include <gtest/gtest.h>

#include <string>

namespace chat_model::detail {
namespace {

TEST(RetryPolicy, RetryableStatuses) {
  for (long status : {408L, 409L, 429L, 500L, 502L, 503L, 504L, 599L})
    EXPECT_TRUE(retryable_status(status)) << status;
  for (long status : {200L, 400L, 401L, 403L, 404L, 413L, 422L})
    EXPECT_FALSE(retryable_status(status)) << status;
}

TEST(RetryPolicy, TheServicesWaitIsHonouredUpToAMinute) {
  struct Case {
    std::string retry_after_ms;
    std::string retry_after;
    double seconds;  // negative: the client's own backoff applies
  };
  const Case cases[] = {
      {"250", "", 0.25},
      {"0", "", 0.0},
      {"", "3", 3.0},
      {"", "1.5", 1.5},
      {"250", "7", 0.25},  // the milliseconds header wins
      {"abc", "7", 7.0},   // unreadable milliseconds: the other one
      {"60001", "", -1},   // longer than a minute
      {"", "61", -1},
      {"-5", "", -1},
      {"", "soon", -1},                            // neither a number nor a date
      {"", "Wed, 21 Oct 2015 07:28:00 GMT", 0.0},  // a date in the past: no wait
      {"", "Fri, 01 Jan 2100 00:00:00 GMT", -1},   // a date beyond the minute
      {"", "", -1},
  };
  for (const auto& c : cases) {
    HttpPostResult result;
    result.retry_after_ms = c.retry_after_ms;
    result.retry_after = c.retry_after;
    EXPECT_DOUBLE_EQ(retry_after_seconds(result), c.seconds)
        << "retry-after-ms '" << c.retry_after_ms << "', retry-after '" << c.retry_after << "'";
  }
}

TEST(RetryPolicy, BackoffDoublesFromTheBaseUpToEightSecondsWithJitter) {
  struct Case {
    double base;
    int retries;
    double full_seconds;  // before jitter
  };
  const Case cases[] = {{0.5, 0, 0.5},  {0.5, 1, 1.0}, {0.5, 3, 4.0}, {0.5, 4, 8.0},
                        {0.5, 10, 8.0}, {2.0, 3, 8.0}, {0.0, 5, 0.0}};
  for (const auto& c : cases) {
    for (int draw = 0; draw < 50; ++draw) {
      const auto delay = backoff_delay(c.base, c.retries).count();
      EXPECT_GE(delay, static_cast<long long>(c.full_seconds * 750) - 1)
          << c.base << " " << c.retries;
      EXPECT_LE(delay, static_cast<long long>(c.full_seconds * 1000) + 1)
          << c.base << " " << c.retries;
    }
  }
}

}  // namespace
}  // namespace chat_model::detail
