#pragma once

// Descriptor-level capture of the process's standard output for the runtime's tests.

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "embedded_python/embedded_python.hpp"

namespace embedded_python {

// Everything written to descriptor 1 while alive, by C++, C stdio or the runtime's real stream.
class StdoutCapture {
 public:
  StdoutCapture() {
    flush_output();
    std::cout.flush();
    std::fflush(stdout);
    file_ = std::tmpfile();
    saved_ = dup(1);
    dup2(fileno(file_), 1);
  }
  ~StdoutCapture() {
    if (saved_ >= 0) finish();
  }
  std::string finish() {
    flush_output();
    std::cout.flush();
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    std::rewind(file_);
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;)
      text.append(buffer, n);
    std::fclose(file_);
    return text;
  }

 private:
  std::FILE* file_ = nullptr;
  int saved_ = -1;
};

}  // namespace embedded_python
