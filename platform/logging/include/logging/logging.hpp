#pragma once

// The process-wide logger. It lives in this one shared library so that every layer logs to the
// same place without linking upwards. By default it writes lines at info level and above to
// standard error (never standard output, which carries results):
//
//   [2026-12-11 17:30:00.123] [info] Invoke generate sql query tooks: 2.5
//
// A host can raise or lower the level, send the lines to a file, hand them to a callback of its
// own (a progress display, a test) or silence the logger altogether. Every function is safe to
// call from several threads at once; a line is written whole.

#include <functional>
#include <string>
#include <string_view>

#include "logging/export.hpp"

namespace logging {

enum class Level { debug, info, warn, error, off };

// "debug", "info", "warn", "error", "off".
LOGGING_EXPORT const char* to_string(Level level) noexcept;
// Parses the names above (any letter case); throws std::invalid_argument naming the valid ones.
LOGGING_EXPORT Level parse_level(std::string_view name);

// Lines below the level are dropped. Default: info.
LOGGING_EXPORT void set_level(Level level);
LOGGING_EXPORT Level level();
LOGGING_EXPORT bool enabled(Level level);

LOGGING_EXPORT void log(Level level, std::string_view message);
inline void debug(std::string_view message) { log(Level::debug, message); }
inline void info(std::string_view message) { log(Level::info, message); }
inline void warn(std::string_view message) { log(Level::warn, message); }
inline void error(std::string_view message) { log(Level::error, message); }

// Where lines go; each call replaces the previous destination.
LOGGING_EXPORT void to_stderr();
// Appends to the file (created when missing). Throws std::runtime_error naming the path and the
// reason when it cannot be opened; the destination is then unchanged.
LOGGING_EXPORT void to_file(const std::string& path);
// A callback receiving the level and the bare message (no time stamp). Called on the logging
// thread, one call at a time.
using Callback = std::function<void(Level, std::string_view)>;
LOGGING_EXPORT void to_callback(Callback callback);
// Drops every line (the level is kept for when a destination is set again).
LOGGING_EXPORT void silence();

// The seconds of a log line as Python writes a float: the shortest decimal that reads back as the
// same double, with at least one digit after the point (2.5, 3.0, 12.84329080581665, 5e-05).
LOGGING_EXPORT std::string seconds_text(double seconds);

}  // namespace logging
