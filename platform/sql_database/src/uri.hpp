#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sql_database {

// A database URI taken apart. Text parts are percent-decoded.
struct ParsedUri {
  std::string dialect;  // "sqlite", "postgresql" or "mysql"
  std::string path;     // sqlite: the file path
  std::string user;
  std::string password;
  std::string host;
  int port = 0;  // 0: the backend's default
  std::string database;
  std::vector<std::pair<std::string, std::string>> parameters;  // query parameters, in order
};

// Throws std::invalid_argument naming the accepted forms for anything else.
ParsedUri parse_uri(std::string_view uri);

}  // namespace sql_database
