#pragma once

// The page of `askdb serve`, built into the program from apps/askdb/web at build time.

#include <string_view>

namespace askdb_web {

std::string_view index_html();
std::string_view app_js();
std::string_view style_css();

}  // namespace askdb_web
