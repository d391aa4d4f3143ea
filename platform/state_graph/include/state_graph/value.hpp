#pragma once

#include <nlohmann/json_fwd.hpp>

namespace state_graph {

// The one dynamic value type of askdb: records, updates, settings, rows and model answers.
// Objects keep insertion order. "Absent" means the key is not present; "no value" is JSON null.
using Value = nlohmann::ordered_json;

}  // namespace state_graph
