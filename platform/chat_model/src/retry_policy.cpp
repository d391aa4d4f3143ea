#include "retry_policy.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>

namespace chat_model::detail {
namespace {

constexpr double kMaxBackoffSeconds = 8.0;
constexpr double kMaxRetryAfterSeconds = 60.0;

double jitter_factor() {
  thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.75, 1.0)(generator);
}

}  // namespace

bool retryable_status(long status) {
  return status == 408 || status == 409 || status == 429 || status >= 500;
}

double retry_after_seconds(const HttpPostResult& result) {
  if (!result.retry_after_ms.empty()) {
    char* end = nullptr;
    const double ms = std::strtod(result.retry_after_ms.c_str(), &end);
    if (end != result.retry_after_ms.c_str() && *end == '\0' && ms >= 0 &&
        ms / 1000.0 <= kMaxRetryAfterSeconds) {
      return ms / 1000.0;
    }
  }
  if (!result.retry_after.empty()) {
    char* end = nullptr;
    double seconds = std::strtod(result.retry_after.c_str(), &end);
    if (end == result.retry_after.c_str() || *end != '\0') {
      seconds = seconds_until_http_date(result.retry_after);
    }
    if (seconds >= 0 && seconds <= kMaxRetryAfterSeconds) return seconds;
  }
  return -1;
}

std::chrono::milliseconds backoff_delay(double base_delay, int retries) {
  const double seconds =
      std::min(kMaxBackoffSeconds, base_delay * std::pow(2.0, retries)) * jitter_factor();
  return std::chrono::milliseconds(std::llround(seconds * 1000));
}

}  // namespace chat_model::detail
