#include "prompt_template/python_text.hpp"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "python_text/python_text.hpp"

namespace prompt_template {

namespace {

using state_graph::Value;

// Text reaching a prompt is shown as Python shows it; bytes that are not UTF-8 were never text
// and are passed through rather than invented into escapes.
constexpr auto kInvalid = python_text::InvalidUtf8::pass_through;

void append_repr(const Value& v, std::string& out) {
  switch (v.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded:
      out.append("None");
      break;
    case Value::value_t::boolean:
      out.append(v.get<bool>() ? "True" : "False");
      break;
    case Value::value_t::number_integer:
      out.append(std::to_string(v.get<std::int64_t>()));
      break;
    case Value::value_t::number_unsigned:
      out.append(std::to_string(v.get<std::uint64_t>()));
      break;
    case Value::value_t::number_float:
      python_text::append_float(out, v.get<double>());
      break;
    case Value::value_t::string:
      python_text::append_str_repr(out, v.get_ref<const std::string&>(), kInvalid);
      break;
    case Value::value_t::binary: {
      const Value::binary_t& bytes = v.get_binary();
      python_text::append_bytes_repr(
          out, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
      break;
    }
    case Value::value_t::array:
      python_text::append_list(out, v,
                               [](std::string& o, const Value& item) { append_repr(item, o); });
      break;
    case Value::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, item] : v.items()) {
        if (!first) out.append(", ");
        first = false;
        python_text::append_str_repr(out, key, kInvalid);
        out.append(": ");
        append_repr(item, out);
      }
      out.push_back('}');
      break;
    }
  }
}

}  // namespace

std::string python_str(const Value& value) {
  if (value.is_string()) return value.get<std::string>();
  std::string out;
  append_repr(value, out);
  return out;
}

std::string python_repr(const Value& value) {
  std::string out;
  append_repr(value, out);
  return out;
}

}  // namespace prompt_template
