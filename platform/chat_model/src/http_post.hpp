#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace chat_model::detail {

// One POST. The views must stay valid for the call; nothing is kept after it returns.
struct HttpPostRequest {
  std::string_view url;
  std::span<const std::string> headers;  // "Name: value" lines
  std::string_view body;
  long timeout_ms = 0;
  long connect_timeout_ms = 0;
  // The largest response body read; a longer one ends the transfer. Zero: no limit.
  std::size_t max_body_bytes = 0;
};

struct HttpPostResult {
  bool transport_ok = false;
  bool timed_out = false;
  bool transient = false;       // a transport failure worth retrying
  bool body_too_large = false;  // the body passed max_body_bytes and was not read to its end
  std::string error;            // transport failure text
  long status = 0;
  std::string body;
  std::string retry_after;     // the `retry-after` header, when sent
  std::string retry_after_ms;  // the `retry-after-ms` header, when sent
};

// POSTs on the calling thread's own handle, which is kept for the thread's lifetime so that its
// connections are reused. Never throws for transport failures; they come back in the result.
HttpPostResult http_post(const HttpPostRequest& request);

// Seconds until an HTTP date (a `retry-after` in date form), or a negative value when the text is
// not a date.
double seconds_until_http_date(const std::string& text);

}  // namespace chat_model::detail
