#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compiled.hpp"
#include "text/text.hpp"

namespace prompt_template {

namespace {

std::string position_text(std::size_t offset, std::size_t line, std::size_t column) {
  return "line " + std::to_string(line) + ", column " + std::to_string(column) + " (offset " +
         std::to_string(offset) + ")";
}

}  // namespace

TemplateSyntaxError::TemplateSyntaxError(const std::string& problem, std::size_t offset,
                                         std::size_t line, std::size_t column)
    : TemplateError("template syntax error at " + position_text(offset, line, column) + ": " +
                    problem),
      offset_(offset),
      line_(line),
      column_(column) {}

MissingVariableError::MissingVariableError(std::string name, const std::string& message)
    : TemplateError(message), name_(std::move(name)) {}

namespace detail {

namespace {

bool is_name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_name_char(char c) { return is_name_start(c) || (c >= '0' && c <= '9'); }
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_name(std::string_view s) {
  return !s.empty() && is_name_start(s.front()) && std::all_of(s.begin(), s.end(), is_name_char);
}

// Blanks around a tag's body: space, tab and line breaks (not form feed or vertical tab).
std::string_view trim(std::string_view s) { return text::trim(s, " \t\n\r"); }

// Collects segments, merging adjacent literal text, and the free variables in order of first use.
class Builder {
 public:
  void add_text(std::vector<Segment>& into, std::string_view text) {
    if (text.empty()) return;
    if (into.empty() || into.back().kind != Segment::Kind::text) into.emplace_back();
    std::string& out = into.back().text;
    if (!normalize_newlines) {
      out.append(text);
      return;
    }
    // Line breaks of the template text are written as "\n", whichever convention the text uses.
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r') {
        out.push_back('\n');
        if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      } else {
        out.push_back(text[i]);
      }
    }
  }

  void use_variable(const std::string& name, const std::vector<std::vector<std::string>>& bound) {
    for (const auto& names : bound)
      if (std::find(names.begin(), names.end(), name) != names.end()) return;
    if (std::find(inputs.begin(), inputs.end(), name) == inputs.end()) inputs.push_back(name);
  }

  std::vector<std::string> inputs;
  bool normalize_newlines = false;
};

std::size_t literal_size_of(const std::vector<Segment>& segments) {
  std::size_t n = 0;
  for (const auto& s : segments)
    if (s.kind == Segment::Kind::text) n += s.text.size();
  return n;
}

// Offsets to line and column, both 1-based, counted in bytes.
class Positions {
 public:
  explicit Positions(std::string_view text) : text_(text) {}

  [[noreturn]] void fail(std::size_t offset, const std::string& problem) const {
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < offset && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    throw TemplateSyntaxError(problem, offset, line, offset - line_start + 1);
  }

 private:
  std::string_view text_;
};

std::string quoted(std::string_view s) {
  constexpr std::size_t kMax = 60;
  std::string out = "'";
  out.append(s.substr(0, kMax));
  if (s.size() > kMax) out.append("...");
  out.append("'");
  return out;
}

// The words of a statement tag: names, commas and other single punctuation characters.
std::vector<std::string_view> words_of(std::string_view body) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < body.size()) {
    if (is_blank(body[i])) {
      ++i;
    } else if (is_name_char(body[i])) {
      std::size_t start = i;
      while (i < body.size() && is_name_char(body[i])) ++i;
      words.push_back(body.substr(start, i - start));
    } else {
      words.push_back(body.substr(i, 1));
      ++i;
    }
  }
  return words;
}

struct OpenLoop {
  std::size_t offset;
  Segment loop;
};

}  // namespace

Compiled parse_f_string(std::string_view text) {
  Compiled c;
  c.format = TemplateFormat::f_string;
  c.source = std::string(text);
  Builder b;
  std::size_t literal_start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '{') {
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    while (j < text.size() && is_name_char(text[j])) ++j;
    if (j < text.size() && text[j] == '}' && is_name(text.substr(i + 1, j - i - 1))) {
      b.add_text(c.segments, text.substr(literal_start, i - literal_start));
      Segment v;
      v.kind = Segment::Kind::variable;
      v.text = std::string(text.substr(i + 1, j - i - 1));
      b.use_variable(v.text, {});
      c.segments.push_back(std::move(v));
      i = j + 1;
      literal_start = i;
    } else {
      ++i;  // a brace that encloses no bare name is an ordinary character
    }
  }
  b.add_text(c.segments, text.substr(literal_start));
  c.input_variables = std::move(b.inputs);
  c.literal_size = literal_size_of(c.segments);
  return c;
}

Compiled parse_jinja(std::string_view text) {
  Compiled c;
  c.format = TemplateFormat::jinja2;
  c.source = std::string(text);
  const Positions pos(text);
  Builder b;
  b.normalize_newlines = true;
  // The engine's default rendering drops one line break at the very end of the template text.
  if (text.ends_with("\r\n")) {
    text.remove_suffix(2);
  } else if (text.ends_with('\n') || text.ends_with('\r')) {
    text.remove_suffix(1);
  }
  std::vector<OpenLoop> open;                   // loops whose endfor is still to come
  std::vector<std::vector<std::string>> bound;  // names bound by the open loops
  auto current = [&]() -> std::vector<Segment>& {
    return open.empty() ? c.segments : open.back().loop.body;
  };

  std::size_t literal_start = 0;
  std::size_t i = 0;
  while (i + 1 < text.size()) {
    if (text[i] != '{' || (text[i + 1] != '{' && text[i + 1] != '%' && text[i + 1] != '#')) {
      ++i;
      continue;
    }
    const std::size_t tag_start = i;
    const char kind = text[i + 1];
    b.add_text(current(), text.substr(literal_start, tag_start - literal_start));

    if (kind == '#') pos.fail(tag_start, "comments ('{#') are not supported");
    const std::string_view closer = kind == '{' ? "}}" : "%}";
    const std::size_t end = text.find(closer, tag_start + 2);
    if (end == std::string_view::npos) {
      pos.fail(tag_start, std::string("unclosed tag: '") + text[i] + kind + "' without '" +
                              std::string(closer) + "'");
    }
    const std::string_view raw = text.substr(tag_start + 2, end - tag_start - 2);
    const std::string_view whole = text.substr(tag_start, end + 2 - tag_start);
    if ((!raw.empty() && (raw.front() == '-' || raw.front() == '+')) ||
        (!raw.empty() && (raw.back() == '-' || raw.back() == '+'))) {
      pos.fail(tag_start, "whitespace control ('-' or '+' at a tag's edge) is not supported in " +
                              quoted(whole));
    }
    const std::string_view body = trim(raw);

    if (kind == '{') {
      Segment s;
      if (body == "loop.index") {
        if (open.empty()) pos.fail(tag_start, "'loop.index' outside a for loop");
        s.kind = Segment::Kind::loop_index;
      } else if (is_name(body)) {
        if (body == "loop") {
          pos.fail(tag_start,
                   "only 'loop.index' of the loop object is supported, in " + quoted(whole));
        }
        s.kind = Segment::Kind::variable;
        s.text = std::string(body);
        b.use_variable(s.text, bound);
      } else if (body.find('|') != std::string_view::npos) {
        pos.fail(tag_start, "filters are not supported, in " + quoted(whole));
      } else {
        pos.fail(tag_start,
                 "only a variable name or 'loop.index' may stand between '{{' and '}}', not " +
                     quoted(whole));
      }
      current().push_back(std::move(s));
    } else {
      const std::vector<std::string_view> words = words_of(body);
      if (words.empty()) pos.fail(tag_start, "empty statement tag " + quoted(whole));
      if (words[0] == "for") {
        // for NAME [, NAME] in NAME
        Segment loop;
        loop.kind = Segment::Kind::loop;
        std::size_t w = 1;
        auto bad_for = [&]() {
          pos.fail(tag_start, "unsupported for loop " + quoted(whole) +
                                  ": the supported forms are '{% for a in list %}' and "
                                  "'{% for a, b in list %}'");
        };
        if (w >= words.size() || !is_name(words[w])) bad_for();
        loop.names.emplace_back(words[w++]);
        if (w < words.size() && words[w] == ",") {
          ++w;
          if (w >= words.size() || !is_name(words[w])) bad_for();
          loop.names.emplace_back(words[w++]);
        }
        if (w + 2 != words.size() || words[w] != "in" || !is_name(words[w + 1])) bad_for();
        for (const auto& n : loop.names) {
          if (n == "loop" || n == "in") {
            pos.fail(tag_start, "'" + n + "' cannot be a loop variable, in " + quoted(whole));
          }
        }
        if (loop.names.size() == 2 && loop.names[0] == loop.names[1]) {
          pos.fail(tag_start, "the two loop variables have the same name, in " + quoted(whole));
        }
        loop.text = std::string(words[w + 1]);
        b.use_variable(loop.text, bound);
        bound.push_back(loop.names);
        open.push_back(OpenLoop{tag_start, std::move(loop)});
      } else if (words[0] == "endfor") {
        if (words.size() != 1) pos.fail(tag_start, "unexpected words in " + quoted(whole));
        if (open.empty()) pos.fail(tag_start, "'endfor' without an open for loop");
        Segment done = std::move(open.back().loop);
        open.pop_back();
        bound.pop_back();
        current().push_back(std::move(done));
      } else {
        pos.fail(tag_start, "unsupported statement '" + std::string(words[0]) + "' in " +
                                quoted(whole) + "; only for and endfor are supported");
      }
    }
    i = end + 2;
    literal_start = i;
  }
  if (!open.empty()) pos.fail(open.back().offset, "for loop without '{% endfor %}'");
  b.add_text(c.segments, text.substr(literal_start));
  c.input_variables = std::move(b.inputs);
  c.literal_size = literal_size_of(c.segments);
  return c;
}

}  // namespace detail
}  // namespace prompt_template
