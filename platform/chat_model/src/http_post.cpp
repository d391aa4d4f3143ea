#include "http_post.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string_view>

#include "text/text.hpp"

namespace chat_model::detail {

namespace {

struct CurlDeleter {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

struct SlistDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using SlistHandle = std::unique_ptr<curl_slist, SlistDeleter>;

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      throw std::runtime_error("libcurl could not be initialised");
    }
  });
}

// A thread's easy handle and the error buffer curl writes into for it. The buffer lives exactly
// as long as the handle that points at it.
struct ThreadHandle {
  CurlHandle curl{curl_easy_init()};
  char error[CURL_ERROR_SIZE] = {0};
};

// The calling thread's handle. curl_easy_reset clears the options of the previous request but
// keeps the handle's connection cache, so a later call to the same host reuses the connection.
ThreadHandle& thread_handle() {
  global_init();
  thread_local ThreadHandle handle;
  if (!handle.curl) throw std::runtime_error("libcurl could not create a handle");
  curl_easy_reset(handle.curl.get());
  handle.error[0] = '\0';
  return handle;
}

struct BodySink {
  std::string* body;
  std::size_t max_bytes;  // 0: no limit
  bool too_large = false;
};

// A body beyond the limit is not kept: returning short makes curl end the transfer.
size_t write_body(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<BodySink*>(user);
  const std::size_t bytes = size * count;
  if (sink->max_bytes != 0 &&
      bytes > sink->max_bytes - std::min(sink->max_bytes, sink->body->size())) {
    sink->too_large = true;
    return 0;
  }
  sink->body->append(data, bytes);
  return bytes;
}

size_t read_header(char* data, size_t size, size_t count, void* user) {
  auto* result = static_cast<HttpPostResult*>(user);
  const std::string_view line(data, size * count);
  const auto colon = line.find(':');
  if (colon != std::string_view::npos) {
    const std::string name = text::ascii_lower(line.substr(0, colon));
    const std::string value(text::trim(line.substr(colon + 1)));
    if (name == "retry-after") result->retry_after = value;
    if (name == "retry-after-ms") result->retry_after_ms = value;
  }
  return size * count;
}

bool transient(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return true;
    default:
      return false;
  }
}

}  // namespace

HttpPostResult http_post(const HttpPostRequest& request) {
  HttpPostResult result;
  ThreadHandle& handle = thread_handle();
  CURL* curl = handle.curl.get();

  SlistHandle headers;
  for (const auto& line : request.headers) {
    curl_slist* extended = curl_slist_append(headers.get(), line.c_str());
    if (extended == nullptr) throw std::runtime_error("libcurl could not build the header list");
    (void)headers.release();
    headers.reset(extended);
  }
  // curl would otherwise send "Expect: 100-continue" for larger bodies and wait for the interim
  // answer: a needless round trip per call.
  if (curl_slist* extended = curl_slist_append(headers.get(), "Expect:"); extended != nullptr) {
    (void)headers.release();
    headers.reset(extended);
  }

  // curl copies the URL; the body is read from the caller's memory during the transfer.
  curl_easy_setopt(curl, CURLOPT_URL, std::string(request.url).c_str());
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.empty() ? "" : request.body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_body);
  BodySink sink{&result.body, request.max_body_bytes};
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, read_header);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &result);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, handle.error);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, request.timeout_ms);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, request.connect_timeout_ms);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);

  const CURLcode code = curl_easy_perform(curl);
  // The handle keeps a pointer to the header list; clear it before the list goes away.
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  if (code == CURLE_WRITE_ERROR && sink.too_large) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    result.body_too_large = true;
    result.body.clear();
    result.body.shrink_to_fit();
    result.error =
        "the response body is larger than " + std::to_string(request.max_body_bytes) + " bytes";
    return result;
  }
  if (code != CURLE_OK) {
    result.transport_ok = false;
    result.timed_out = code == CURLE_OPERATION_TIMEDOUT;
    result.transient = transient(code);
    result.error = curl_easy_strerror(code);
    if (handle.error[0] != '\0') result.error += std::string(" (") + handle.error + ")";
    return result;
  }
  result.transport_ok = true;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  return result;
}

double seconds_until_http_date(const std::string& text) {
  const time_t when = curl_getdate(text.c_str(), nullptr);
  if (when < 0) return -1;
  return std::max(0.0, std::difftime(when, std::time(nullptr)));
}

}  // namespace chat_model::detail
