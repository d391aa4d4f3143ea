#include "test_support/python.hpp"

#include <stdexcept>

#include "test_support/process.hpp"

namespace test_support {

std::string run_python(const std::string& program, const std::string& input) {
  ProcessOptions options;
  options.stdin_text = input;
  const ProcessResult result = run_process({kSystemPython, "-I", "-c", program}, options);
  if (result.exit_code != 0 || result.timed_out) {
    throw std::runtime_error(
        std::string(kSystemPython) + " failed (exit " + std::to_string(result.exit_code) +
        (result.timed_out ? ", stopped after the time limit" : "") + "): " + result.err);
  }
  return result.out;
}

std::string to_hex(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0xF]);
  }
  return out;
}

std::string from_hex(std::string_view hex) {
  auto digit = [&](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("from_hex: '" + std::string(1, c) + "' is not a hex digit");
  };
  std::string out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(digit(hex[i]) * 16 + digit(hex[i + 1])));
  }
  return out;
}

}  // namespace test_support
