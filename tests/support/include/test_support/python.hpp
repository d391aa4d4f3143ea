#pragma once

#include <string>
#include <string_view>

namespace test_support {

// The interpreter the system embeds, and so the one whose answers the tests compare with.
inline constexpr const char* kSystemPython = "/usr/bin/python3";

// Runs `program` with kSystemPython in isolated mode (-I: no user site, no PYTHON* variables),
// `input` on its standard input, and returns its standard output. Programs exchanging text that
// is not plain ASCII read sys.stdin.buffer and write sys.stdout.buffer (the test environment's
// locale decides the text streams' encoding). Throws std::runtime_error with the exit status and
// the standard error when the program fails or does not end within two minutes.
std::string run_python(const std::string& program, const std::string& input = "");

// Bytes as lower-case hex digits and back (from_hex reads pairs and ignores a last odd digit):
// the form in which tests hand texts of any bytes to Python programs and read them back.
std::string to_hex(std::string_view bytes);
std::string from_hex(std::string_view hex);

}  // namespace test_support
