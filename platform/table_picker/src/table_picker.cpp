#include "table_picker/table_picker.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "logging/logging.hpp"
#include "table_picker/catalog.hpp"
#include "text/text.hpp"
#include "words.hpp"

namespace table_picker {

using state_graph::State;
using state_graph::Update;
using state_graph::Value;

namespace {

constexpr double kNameWeight = 3.0;
constexpr double kColumnWeight = 1.0;
// Every word of the table's name appears in the question ("order items" for order_items).
constexpr double kWholeNameBonus = 2.0;
// Share of the best neighbour's score a table gets for a foreign key to or from it.
constexpr double kNeighbourShare = 0.25;
// Longest line of one candidate in the prompt.
constexpr std::size_t kMaxCandidateLine = 2000;

// Blanks around names in listings and answers: space, tab and line breaks.
std::string_view trim(std::string_view s) { return text::trim(s, " \t\n\r"); }

// The listing of table_names_from_db: a text of names separated by commas, or a list of names.
std::vector<std::string> listing_of(const Value& value) {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  auto add = [&](std::string_view name) {
    name = trim(name);
    if (!name.empty() && seen.insert(std::string(name)).second) names.emplace_back(name);
  };
  if (value.is_string()) {
    for (const std::string_view name : text::split(value.get_ref<const std::string&>(), ',')) {
      add(name);
    }
  } else if (value.is_array()) {
    for (const auto& item : value) {
      if (!item.is_string())
        throw std::invalid_argument(
            "table_names_from_db must be a text of table names separated by commas or a list of "
            "table-name texts; the list holds " +
            item.dump());
      add(item.get_ref<const std::string&>());
    }
  } else {
    throw std::invalid_argument(
        "table_names_from_db must be a text of table names separated by commas or a list of "
        "table-name texts, not " +
        value.dump());
  }
  return names;
}

std::string question_of(const State& state) {
  const Value& user = state.get("user_question");
  if (!user.is_string())
    throw std::invalid_argument("user_question must be a text, not " + user.dump());
  if (state.has("rewritten_question")) {
    const Value& rewritten = state.get("rewritten_question");
    if (rewritten.is_string() && !rewritten.get_ref<const std::string&>().empty())
      return rewritten.get<std::string>();
  }
  return user.get<std::string>();
}

// Quotes a model may put around a name, and a schema qualifier ("main.orders").
std::vector<std::string> name_forms(std::string_view answered) {
  std::vector<std::string> forms;
  std::string_view name = trim(answered);
  forms.emplace_back(name);
  if (name.size() >= 2) {
    const char first = name.front(), last = name.back();
    if ((first == '"' && last == '"') || (first == '`' && last == '`') ||
        (first == '[' && last == ']') || (first == '\'' && last == '\'')) {
      name = trim(name.substr(1, name.size() - 2));
      forms.emplace_back(name);
    }
  }
  const auto dot = name.rfind('.');
  if (dot != std::string_view::npos && dot + 1 < name.size())
    forms.emplace_back(trim(name.substr(dot + 1)));
  return forms;
}

}  // namespace

const chat_model::OutputSchema& relevant_tables_schema() {
  static const chat_model::OutputSchema schema(
      "RelevantTablesOutput", "",
      {chat_model::SchemaField{"relevant_tables", chat_model::FieldType::text_list,
                               "List of relevant table names", false, std::nullopt}});
  return schema;
}

// The listing with what the descriptions say about each table, ready for ranking. Immutable.
struct RelevantTablePicker::Index {
  struct Table {
    std::string name;
    std::vector<std::string> columns;
    std::size_t name_word_count = 0;
  };
  std::vector<Table> tables;  // listing order
  std::unordered_map<std::string, std::size_t> by_name;
  std::unordered_map<std::string, std::vector<std::size_t>> by_lower_name;
  // Folded word -> tables whose name (or whose columns) hold it, each table once.
  std::unordered_map<std::string, std::vector<std::size_t>> name_postings;
  std::unordered_map<std::string, std::vector<std::size_t>> column_postings;
  // Words of a name run together ("orderitem" for OrderItems and order_items).
  std::unordered_map<std::string, std::vector<std::size_t>> joined_postings;
  std::unordered_map<std::string, std::size_t> document_frequency;
  std::vector<std::vector<std::size_t>> neighbours;  // by foreign key, either direction

  // The listed table `answered` means, spelled as listed.
  std::optional<std::size_t> resolve(std::string_view answered) const {
    for (const auto& form : name_forms(answered)) {
      if (auto it = by_name.find(form); it != by_name.end()) return it->second;
    }
    for (const auto& form : name_forms(answered)) {
      if (auto it = by_lower_name.find(text::ascii_lower(form)); it != by_lower_name.end())
        return it->second.front();
    }
    return std::nullopt;
  }

  bool linked(std::size_t a, std::size_t b) const {
    const auto& n = neighbours[a];
    return std::find(n.begin(), n.end(), b) != n.end();
  }
};

struct RelevantTablePicker::Cache {
  std::mutex mutex;
  std::string key;
  std::shared_ptr<const Index> index;
};

RelevantTablePicker::RelevantTablePicker(const chat_model::ChatModelSettings& config,
                                         sql_database::CustomSQLDatabase db, PickerOptions options)
    : db_(std::move(db)),
      options_(options),
      model_(config.fields(),
             Value{{"max_tokens", 8192}, {"temperature", 0}, {"model_kwargs", {{"top_p", 0.95}}}}),
      structured_(model_.with_structured_output(relevant_tables_schema())),
      cache_(std::make_unique<Cache>()) {
  if (options_.max_candidates == 0 || options_.max_tables == 0 || options_.fallback_tables == 0)
    throw std::invalid_argument(
        "RelevantTablePicker needs max_candidates, max_tables and fallback_tables of at least 1");
}

RelevantTablePicker::~RelevantTablePicker() = default;

std::shared_ptr<const RelevantTablePicker::Index> RelevantTablePicker::index_for(
    const std::string& listing_key, const std::vector<std::string>& tables) const {
  {
    std::lock_guard lock(cache_->mutex);
    if (cache_->index && cache_->key == listing_key) return cache_->index;
  }
  // Built outside the lock: concurrent first runs may each read the descriptions once, which
  // costs less than holding every other run behind one database read.
  // Names, columns and keys are all the ranking needs: no sample rows.
  std::vector<TableDescription> described = parse_table_descriptions(db_.get_table_info({}, 0));
  std::unordered_map<std::string, const TableDescription*> exact;
  std::unordered_map<std::string, const TableDescription*> by_lower;
  for (const auto& d : described) {
    exact.emplace(d.name, &d);
    by_lower.emplace(text::ascii_lower(d.name), &d);
  }

  auto index = std::make_shared<Index>();
  index->tables.reserve(tables.size());
  index->neighbours.resize(tables.size());
  for (std::size_t i = 0; i < tables.size(); ++i) {
    index->by_name.emplace(tables[i], i);
    index->by_lower_name[text::ascii_lower(tables[i])].push_back(i);
  }
  std::vector<const TableDescription*> descriptions(tables.size(), nullptr);
  for (std::size_t i = 0; i < tables.size(); ++i) {
    Index::Table table;
    table.name = tables[i];
    if (auto it = exact.find(tables[i]); it != exact.end()) {
      descriptions[i] = it->second;
    } else if (auto lit = by_lower.find(text::ascii_lower(tables[i])); lit != by_lower.end()) {
      descriptions[i] = lit->second;
    }
    std::unordered_set<std::string> name_words, column_words;
    const auto words = detail::identifier_words(tables[i]);
    name_words.insert(words.begin(), words.end());
    table.name_word_count = name_words.size();
    if (!words.empty()) index->joined_postings[text::join(words, "")].push_back(i);
    if (descriptions[i] != nullptr) {
      for (const auto& column : descriptions[i]->columns) {
        table.columns.push_back(column.name);
        for (auto& w : detail::identifier_words(column.name))
          if (!name_words.count(w)) column_words.insert(std::move(w));
      }
    }
    for (const auto& w : name_words) {
      index->name_postings[w].push_back(i);
      ++index->document_frequency[w];
    }
    for (const auto& w : column_words) {
      index->column_postings[w].push_back(i);
      ++index->document_frequency[w];
    }
    index->tables.push_back(std::move(table));
  }
  for (std::size_t i = 0; i < tables.size(); ++i) {
    if (descriptions[i] == nullptr) continue;
    for (const auto& fk : descriptions[i]->foreign_keys) {
      const auto target = index->resolve(fk.referenced_table);
      if (!target || *target == i) continue;
      if (!index->linked(i, *target)) {
        index->neighbours[i].push_back(*target);
        index->neighbours[*target].push_back(i);
      }
    }
  }

  std::lock_guard lock(cache_->mutex);
  cache_->key = listing_key;
  cache_->index = index;
  return index;
}

PickerPlan RelevantTablePicker::plan(const State& state) const {
  PickerPlan plan;
  plan.question = question_of(state);
  const Value& listing_value = state.get("table_names_from_db");
  plan.tables = listing_of(listing_value);

  if (plan.tables.size() <= options_.small_database_tables) {
    plan.small_database = true;
    plan.relevant_tables = plan.tables;
    return plan;
  }

  const auto index = index_for(text::join(plan.tables, ","), plan.tables);
  const std::size_t n = index->tables.size();

  // Lexical score of every table.
  std::vector<std::string> words = detail::question_words(plan.question);
  std::vector<std::string> distinct;
  for (const auto& w : words)
    if (std::find(distinct.begin(), distinct.end(), w) == distinct.end()) distinct.push_back(w);
  std::vector<double> score(n, 0.0);
  std::vector<std::size_t> name_hits(n, 0);
  auto idf = [&](const std::string& w) {
    const auto it = index->document_frequency.find(w);
    const double df = it == index->document_frequency.end() ? 1.0 : static_cast<double>(it->second);
    return std::log(1.0 + static_cast<double>(n) / df);
  };
  for (const auto& w : distinct) {
    const double weight = idf(w);
    if (auto it = index->name_postings.find(w); it != index->name_postings.end()) {
      for (std::size_t t : it->second) {
        score[t] += kNameWeight * weight;
        ++name_hits[t];
      }
    }
    if (auto it = index->column_postings.find(w); it != index->column_postings.end()) {
      for (std::size_t t : it->second) score[t] += kColumnWeight * weight;
    }
  }
  for (std::size_t t = 0; t < n; ++t) {
    if (index->tables[t].name_word_count > 0 && name_hits[t] == index->tables[t].name_word_count)
      score[t] += kWholeNameBonus;
  }
  // Names written together in the question or apart in the table ("orderitems", "order items").
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::string joined;
    for (std::size_t len = 1; len <= 3 && i + len <= words.size(); ++len) {
      joined += words[i + len - 1];
      if (auto it = index->joined_postings.find(joined); it != index->joined_postings.end()) {
        for (std::size_t t : it->second)
          if (name_hits[t] < index->tables[t].name_word_count)
            score[t] += kNameWeight * std::log(1.0 + static_cast<double>(n)) + kWholeNameBonus;
      }
    }
  }
  std::vector<double> ranked_score = score;
  for (std::size_t t = 0; t < n; ++t) {
    double best = 0.0;
    for (std::size_t nb : index->neighbours[t]) best = std::max(best, score[nb]);
    ranked_score[t] += kNeighbourShare * best;
  }

  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  const std::size_t keep = std::min(options_.max_candidates, n);
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep), order.end(),
                    [&](std::size_t a, std::size_t b) {
                      if (ranked_score[a] != ranked_score[b])
                        return ranked_score[a] > ranked_score[b];
                      return a < b;
                    });
  order.resize(keep);

  std::string lines;
  for (std::size_t t : order) {
    const auto& table = index->tables[t];
    std::string line = "- " + table.name;
    const std::size_t shown = std::min(table.columns.size(), options_.max_columns_per_candidate);
    for (std::size_t c = 0; c < shown; ++c) line += (c == 0 ? ": " : ", ") + table.columns[c];
    if (shown < table.columns.size())
      line += " (and " + std::to_string(table.columns.size() - shown) + " more columns)";
    if (line.size() > kMaxCandidateLine) line = line.substr(0, kMaxCandidateLine - 3) + "...";
    if (!lines.empty() && lines.size() + line.size() + 1 > options_.max_candidate_chars) break;
    lines += line + "\n";
    plan.candidates.push_back(table.name);
    plan.scores.push_back(ranked_score[t]);
  }

  const std::string max_text = std::to_string(options_.max_tables);
  plan.messages.push_back(
      {"system", "You choose the tables of a " + db_.dialect() +
                     " database that a SQL query needs in order to answer a user's question."});
  plan.messages.push_back(
      {"user", "Question: " + plan.question + "\n\nCandidate tables, each with its columns:\n" +
                   lines +
                   "\nName in relevant_tables every candidate table the query needs, including the "
                   "tables needed to join them, at most " +
                   max_text +
                   " tables, the most important first. Write each name exactly as it is listed "
                   "above and name no other table."});

  if (logging::enabled(logging::Level::debug)) {
    std::string text = "table picker: " + std::to_string(n) + " tables, " +
                       std::to_string(plan.candidates.size()) + " candidates for \"" +
                       plan.question + "\":";
    for (std::size_t i = 0; i < plan.candidates.size(); ++i) {
      char score_text[32];
      std::snprintf(score_text, sizeof score_text, "%.2f", plan.scores[i]);
      text += (i ? ", " : " ") + plan.candidates[i] + " (" + score_text + ")";
    }
    logging::debug(text);
  }
  return plan;
}

std::vector<std::string> RelevantTablePicker::finish(
    const PickerPlan& plan, const std::vector<std::string>& answered) const {
  if (plan.small_database) return plan.relevant_tables;
  const auto index = index_for(text::join(plan.tables, ","), plan.tables);

  std::vector<std::size_t> chosen;
  std::vector<std::string> dropped;
  for (const auto& name : answered) {
    const auto t = index->resolve(name);
    if (!t) {
      dropped.push_back(name);
    } else if (std::find(chosen.begin(), chosen.end(), *t) == chosen.end() &&
               chosen.size() < options_.max_tables) {
      chosen.push_back(*t);
    }
  }
  if (!dropped.empty())
    logging::debug("table picker: dropped names that are not tables of the database: " +
                   text::join(dropped, ", "));

  if (chosen.empty()) {
    // The best lexical matches; the first candidates when nothing matched.
    for (std::size_t i = 0; i < plan.candidates.size() && chosen.size() < options_.fallback_tables;
         ++i) {
      if (plan.scores[i] > 0.0) chosen.push_back(*index->resolve(plan.candidates[i]));
    }
    for (std::size_t i = 0; i < plan.candidates.size() && chosen.size() < options_.fallback_tables;
         ++i) {
      const std::size_t t = *index->resolve(plan.candidates[i]);
      if (std::find(chosen.begin(), chosen.end(), t) == chosen.end()) chosen.push_back(t);
    }
    std::vector<std::string> names;
    for (std::size_t t : chosen) names.push_back(index->tables[t].name);
    logging::debug(
        "table picker: no valid table name in the answer; using the best lexical "
        "candidates: " +
        text::join(names, ", "));
  } else {
    // Tables that join two chosen tables which no foreign key joins directly.
    std::unordered_map<std::size_t, double> candidate_rank;
    for (std::size_t i = 0; i < plan.candidates.size(); ++i)
      candidate_rank.emplace(*index->resolve(plan.candidates[i]), plan.scores[i]);
    const std::size_t picked = chosen.size();
    for (std::size_t a = 0; a < picked && chosen.size() < options_.max_tables; ++a) {
      for (std::size_t b = a + 1; b < picked && chosen.size() < options_.max_tables; ++b) {
        const std::size_t ta = chosen[a], tb = chosen[b];
        if (index->linked(ta, tb)) continue;
        bool joined = false;
        for (std::size_t c : index->neighbours[ta])
          if (index->linked(c, tb) && std::find(chosen.begin(), chosen.end(), c) != chosen.end())
            joined = true;
        if (joined) continue;
        std::optional<std::size_t> best;
        for (std::size_t c : index->neighbours[ta]) {
          if (!index->linked(c, tb)) continue;
          auto rank = [&](std::size_t t) {
            const auto it = candidate_rank.find(t);
            return it == candidate_rank.end() ? -1.0 : it->second;
          };
          if (!best || rank(c) > rank(*best) || (rank(c) == rank(*best) && c < *best)) best = c;
        }
        if (best) {
          chosen.push_back(*best);
          logging::debug("table picker: added " + index->tables[*best].name + ", which links " +
                         index->tables[ta].name + " and " + index->tables[tb].name);
        }
      }
    }
  }

  std::vector<std::string> names;
  for (std::size_t t : chosen) names.push_back(index->tables[t].name);
  return names;
}

Update RelevantTablePicker::invoke(const State& state, const Value& /*options*/) {
  const PickerPlan p = plan(state);
  if (p.small_database) {
    logging::debug("table picker: " + std::to_string(p.tables.size()) +
                   " tables, all of them relevant (no model call at " +
                   std::to_string(options_.small_database_tables) + " tables or fewer)");
    return Update(Value{{"relevant_tables", p.relevant_tables}});
  }
  const Value answer = structured_.invoke(p.messages);
  const auto answered = answer.at("relevant_tables").get<std::vector<std::string>>();
  if (logging::enabled(logging::Level::debug))
    logging::debug("table picker: the model answered " + answer.at("relevant_tables").dump());
  const std::vector<std::string> names = finish(p, answered);
  logging::debug("table picker: relevant tables: " + text::join(names, ", "));
  return Update(Value{{"relevant_tables", names}});
}

}  // namespace table_picker
