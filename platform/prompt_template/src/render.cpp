#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "compiled.hpp"
#include "prompt_template/python_text.hpp"

namespace prompt_template::detail {

namespace {

using state_graph::Value;

// The names bound by the loops around the segment being rendered, innermost last.
struct Frame {
  const std::vector<std::string>* names;
  const Value* element;  // the current element of the loop's list
  std::size_t index;     // 1-based
};

class Renderer {
 public:
  Renderer(const Compiled& compiled, const Value& variables)
      : compiled_(compiled), variables_(variables) {}

  void run(const std::vector<Segment>& segments, std::string& out) {
    for (const Segment& s : segments) {
      switch (s.kind) {
        case Segment::Kind::text:
          out.append(s.text);
          break;
        case Segment::Kind::variable:
          append_value(lookup(s.text), out);
          break;
        case Segment::Kind::loop_index:
          out.append(std::to_string(frames_.back().index));
          break;
        case Segment::Kind::loop:
          run_loop(s, out);
          break;
      }
    }
  }

 private:
  static void append_value(const Value& v, std::string& out) {
    if (v.is_string()) {
      out.append(v.get_ref<const std::string&>());
    } else {
      out.append(python_str(v));
    }
  }

  // Loop names first, innermost loop first; then the caller's variables.
  const Value& lookup(const std::string& name) const {
    for (auto f = frames_.rbegin(); f != frames_.rend(); ++f) {
      const auto& names = *f->names;
      if (names.size() == 1) {
        if (names[0] == name) return *f->element;
      } else {
        for (std::size_t i = 0; i < names.size(); ++i)
          if (names[i] == name) return (*f->element)[i];
      }
    }
    if (variables_.is_object()) {
      auto it = variables_.find(name);
      if (it != variables_.end()) return *it;
    }
    std::string uses;
    for (const auto& n : compiled_.input_variables) uses += (uses.empty() ? "" : ", ") + n;
    throw MissingVariableError(name, "missing template variable '" + name +
                                         "': the template uses " + uses +
                                         "; pass a value for each of them");
  }

  void run_loop(const Segment& loop, std::string& out) {
    const Value& list = lookup(loop.text);
    if (!list.is_array()) {
      throw TemplateError("template variable '" + loop.text +
                          "' must be a list to loop over, not " + std::string(list.type_name()));
    }
    const std::size_t width = loop.names.size();
    if (width > 1) {
      for (std::size_t i = 0; i < list.size(); ++i) {
        const Value& element = list[i];
        if (!element.is_array() || element.size() != width) {
          throw TemplateError("element " + std::to_string(i + 1) + " of template variable '" +
                              loop.text + "' must be a list of " + std::to_string(width) +
                              " members (the loop binds " + loop.names[0] + ", " + loop.names[1] +
                              "), not " + python_repr(element));
        }
      }
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
      frames_.push_back(Frame{&loop.names, &list[i], i + 1});
      run(loop.body, out);
      frames_.pop_back();
    }
  }

  const Compiled& compiled_;
  const Value& variables_;
  std::vector<Frame> frames_;
};

}  // namespace

std::string render(const Compiled& compiled, const Value& variables) {
  std::string out;
  out.reserve(compiled.literal_size + 64);
  Renderer(compiled, variables).run(compiled.segments, out);
  return out;
}

}  // namespace prompt_template::detail
