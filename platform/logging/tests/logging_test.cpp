#include "logging/logging.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(SecondsText, MatchesPythonFloatRepr) {
  // Expected texts are Python's repr() of the same doubles.
  const std::vector<std::pair<double, std::string>> cases = {
      {2.5, "2.5"},
      {3.0, "3.0"},
      {0.0, "0.0"},
      {12.84329080581665, "12.84329080581665"},
      {0.1, "0.1"},
      {0.0001, "0.0001"},
      {0.00005, "5e-05"},
      {1.5e-7, "1.5e-07"},
      {123456789.0, "123456789.0"},
      {1e16, "1e+16"},
      {9999999999999998.0, "9999999999999998.0"},
      {0.30000000000000004, "0.30000000000000004"},
      {-2.25, "-2.25"},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(logging::seconds_text(value), expected) << value;
  }
}

TEST(Logger, CallbackGetsBareMessagesAtOrAboveTheLevel) {
  std::vector<std::pair<logging::Level, std::string>> lines;
  logging::to_callback([&](logging::Level level, std::string_view message) {
    lines.emplace_back(level, std::string(message));
  });
  logging::set_level(logging::Level::info);
  logging::debug("hidden");
  logging::info("Enter generate response");
  logging::warn("careful");
  logging::set_level(logging::Level::debug);
  logging::debug("shown");
  logging::set_level(logging::Level::info);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].first, logging::Level::info);
  EXPECT_EQ(lines[0].second, "Enter generate response");
  EXPECT_EQ(lines[1].second, "careful");
  EXPECT_EQ(lines[2].second, "shown");
  logging::silence();
  logging::info("dropped");
  EXPECT_EQ(lines.size(), 3u);
  logging::to_stderr();
}

TEST(Logger, FileDestinationAndNothingOnStandardOutput) {
  const auto path =
      std::filesystem::temp_directory_path() / ("askdb-log-" + std::to_string(::getpid()) + ".log");
  std::filesystem::remove(path);
  logging::to_file(path.string());
  testing::internal::CaptureStdout();
  logging::info("Invoke generate sql query tooks: 2.5");
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  logging::to_stderr();
  const std::string text = read_file(path.string());
  EXPECT_NE(text.find("[info] Invoke generate sql query tooks: 2.5\n"), std::string::npos) << text;
  std::filesystem::remove(path);

  EXPECT_THROW(logging::to_file("/nonexistent-dir/x/y.log"), std::runtime_error);
}

TEST(Logger, StandardErrorByDefault) {
  logging::to_stderr();
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  logging::info("to stderr");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("[info] to stderr"), std::string::npos);
}

TEST(Logger, LevelNames) {
  EXPECT_EQ(logging::parse_level("DEBUG"), logging::Level::debug);
  EXPECT_EQ(logging::parse_level("off"), logging::Level::off);
  EXPECT_THROW(logging::parse_level("loud"), std::invalid_argument);
}

}  // namespace
