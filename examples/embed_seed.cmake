# Writes a C++ source defining askdb_demo_seed() with the text of INPUT.
file(READ ${INPUT} seed)
string(FIND "${seed}" ")askdb_seed\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains the raw-string delimiter )askdb_seed\"")
endif()
file(WRITE ${OUTPUT} "// Generated from demo/seed.sql; do not edit.\n#include <string_view>\n\nstd::string_view askdb_demo_seed() {\n  static constexpr std::string_view seed = R\"askdb_seed(${seed})askdb_seed\";\n  return seed;\n}\n")
