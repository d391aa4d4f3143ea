#include "logging/logging.hpp"

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>

#include "text/text.hpp"

namespace logging {
namespace {

constexpr const char* kPattern = "[%Y-%m-%d %H:%M:%S.%e] [%l] %v";

spdlog::level::level_enum to_spdlog(Level level) {
  switch (level) {
    case Level::debug:
      return spdlog::level::debug;
    case Level::info:
      return spdlog::level::info;
    case Level::warn:
      return spdlog::level::warn;
    case Level::error:
      return spdlog::level::err;
    case Level::off:
      return spdlog::level::off;
  }
  return spdlog::level::info;
}

Level from_spdlog(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::trace:
    case spdlog::level::debug:
      return Level::debug;
    case spdlog::level::info:
      return Level::info;
    case spdlog::level::warn:
      return Level::warn;
    case spdlog::level::err:
    case spdlog::level::critical:
      return Level::error;
    default:
      return Level::off;
  }
}

// Hands each line's bare message to a host callback.
class CallbackSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit CallbackSink(Callback callback) : callback_(std::move(callback)) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    callback_(from_spdlog(msg.level), std::string_view(msg.payload.data(), msg.payload.size()));
  }
  void flush_() override {}

 private:
  Callback callback_;
};

// The one logger. The destination is swapped under a mutex; each line takes a reference to the
// logger in use, so a swap never cuts a line.
struct Registry {
  std::mutex mutex;
  std::shared_ptr<spdlog::logger> logger;
  std::atomic<int> level{static_cast<int>(Level::info)};

  Registry() { install(std::make_shared<spdlog::sinks::stderr_sink_mt>(), true); }

  void install(spdlog::sink_ptr sink, bool with_pattern) {
    auto next = std::make_shared<spdlog::logger>("askdb", std::move(sink));
    if (with_pattern) next->set_pattern(kPattern);
    next->set_level(spdlog::level::trace);
    next->flush_on(spdlog::level::trace);
    std::lock_guard lock(mutex);
    logger = std::move(next);
  }

  std::shared_ptr<spdlog::logger> current() {
    std::lock_guard lock(mutex);
    return logger;
  }
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

const char* to_string(Level level) noexcept {
  switch (level) {
    case Level::debug:
      return "debug";
    case Level::info:
      return "info";
    case Level::warn:
      return "warn";
    case Level::error:
      return "error";
    case Level::off:
      return "off";
  }
  return "info";
}

Level parse_level(std::string_view name) {
  const std::string lower = text::ascii_lower(name);
  for (Level level : {Level::debug, Level::info, Level::warn, Level::error, Level::off}) {
    if (lower == to_string(level)) return level;
  }
  throw std::invalid_argument("unknown log level '" + std::string(name) +
                              "': expected debug, info, warn, error or off");
}

void set_level(Level level) { registry().level.store(static_cast<int>(level)); }

Level level() { return static_cast<Level>(registry().level.load()); }

bool enabled(Level wanted) {
  return wanted != Level::off && static_cast<int>(wanted) >= registry().level.load();
}

void log(Level level, std::string_view message) {
  if (!enabled(level)) return;
  registry().current()->log(to_spdlog(level),
                            spdlog::string_view_t(message.data(), message.size()));
}

void to_stderr() { registry().install(std::make_shared<spdlog::sinks::stderr_sink_mt>(), true); }

void to_file(const std::string& path) {
  // The file sink would create missing directories; a log path with a typo should fail instead.
  const auto parent = std::filesystem::path(path).parent_path();
  std::error_code ec;
  if (!parent.empty() && !std::filesystem::is_directory(parent, ec)) {
    throw std::runtime_error("cannot open log file '" + path + "': directory '" + parent.string() +
                             "' does not exist");
  }
  spdlog::sink_ptr sink;
  try {
    sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, false);
  } catch (const spdlog::spdlog_ex& e) {
    throw std::runtime_error("cannot open log file '" + path + "': " + e.what());
  }
  registry().install(std::move(sink), true);
}

void to_callback(Callback callback) {
  if (!callback) throw std::invalid_argument("logging::to_callback: the callback is empty");
  registry().install(std::make_shared<CallbackSink>(std::move(callback)), false);
}

void silence() { registry().install(std::make_shared<spdlog::sinks::null_sink_mt>(), false); }

std::string seconds_text(double seconds) {
  if (std::isnan(seconds)) return "nan";
  if (std::isinf(seconds)) return seconds < 0 ? "-inf" : "inf";
  // The shortest round-trip digits in scientific form, e.g. "1.284329080581665e+01".
  char buffer[64];
  auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::scientific);
  if (ec != std::errc()) return std::to_string(seconds);
  std::string sci(buffer, end);
  const auto epos = sci.find('e');
  const int exponent = std::stoi(sci.substr(epos + 1));
  std::string mantissa = sci.substr(0, epos);
  const bool negative = mantissa[0] == '-';
  if (negative) mantissa.erase(0, 1);
  std::string digits;  // the significant digits without the point
  for (char c : mantissa) {
    if (c != '.') digits += c;
  }
  std::string out = negative ? "-" : "";
  if (exponent < -4 || exponent >= 16) {
    // Python's repr switches to exponent form here, with at least two exponent digits.
    out += digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    std::string exp_digits = std::to_string(exponent < 0 ? -exponent : exponent);
    if (exp_digits.size() < 2) exp_digits.insert(0, "0");
    return out + "e" + (exponent < 0 ? "-" : "+") + exp_digits;
  }
  if (exponent < 0) {
    out += "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  } else {
    const auto int_len = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= int_len) {
      out += digits + std::string(int_len - digits.size(), '0') + ".0";
    } else {
      out += digits.substr(0, int_len) + "." + digits.substr(int_len);
    }
  }
  return out;
}

}  // namespace logging
