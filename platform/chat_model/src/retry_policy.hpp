#pragma once

// When a failed call is tried again, and after how long.

#include <chrono>

#include "http_post.hpp"

namespace chat_model::detail {

// HTTP statuses worth another attempt: 408, 409, 429 and every 5xx.
bool retryable_status(long status);

// The wait the service asked for in `retry-after-ms` or `retry-after` (seconds or an HTTP date),
// in seconds; a negative value when it asked for none, or for more than 60 s (then the client's
// own backoff applies).
double retry_after_seconds(const HttpPostResult& result);

// The backoff before retry number `retries` (from 0): base_delay * 2^retries, capped at 8 s,
// times a random factor from 0.75 to 1 so that clients failing together do not retry together.
std::chrono::milliseconds backoff_delay(double base_delay, int retries);

}  // namespace chat_model::detail
