#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "chat_model/client.hpp"
#include "chat_model/output_schema.hpp"
#include "chat_model/settings.hpp"
#include "sql_database/custom_sql_database.hpp"
#include "state_graph/graph.hpp"
#include "table_picker/export.hpp"

namespace table_picker {

struct TABLE_PICKER_EXPORT PickerOptions {
  // A listing of at most this many tables is returned whole, in listing order, without asking
  // the model.
  std::size_t small_database_tables = 12;
  // Tables shown to the model, best lexical matches first.
  std::size_t max_candidates = 40;
  // Most tables an answer holds (the model's choice and any linking tables together).
  std::size_t max_tables = 15;
  // Tables kept, best lexical matches first, when the model names no table that exists.
  std::size_t fallback_tables = 5;
  // Columns listed per candidate; further ones are counted, not named.
  std::size_t max_columns_per_candidate = 40;
  // Bound of the candidate lines of the prompt; candidates past it are left out (the best ones
  // come first, so only the weakest go).
  std::size_t max_candidate_chars = 20000;
};

// The answer schema of the picker's model call: `relevant_tables`, a required list of texts.
// Built once; lives as long as the process.
TABLE_PICKER_EXPORT const chat_model::OutputSchema& relevant_tables_schema();

// What the picker decided before any model call, for one question.
struct TABLE_PICKER_EXPORT PickerPlan {
  std::string question;             // rewritten_question when non-empty, else user_question
  std::vector<std::string> tables;  // the listing, in listing order
  // True when the listing is small: `relevant_tables` is then the whole listing and no model is
  // asked.
  bool small_database = false;
  std::vector<std::string> relevant_tables;  // small database only
  // Larger listings: the candidates shown to the model, best first, with their lexical scores
  // (0 for a table that shares no word with the question).
  std::vector<std::string> candidates;
  std::vector<double> scores;
  std::vector<chat_model::ChatMessage> messages;  // the model call
};

// Picks the tables of the database that a question needs, as the relevant-table step of the
// answer graph. Reads `user_question`, `rewritten_question` (preferred when it holds a non-empty
// text; it may be absent) and `table_names_from_db` (the listing text, names separated by
// commas, or a list of names), and returns {relevant_tables: [...]}.
//
// A small listing is returned whole. For a larger one the tables are ranked by the words their
// names and column names share with the question (names split at underscores, case changes and
// digits, plurals folded, words that many tables share weighing less, neighbours by foreign key
// counted a little), and the model chooses among the best candidates, each shown with its column
// names. Of its answer only names of listed tables are kept (matched case-insensitively, written
// as the listing spells them); a table that links two chosen tables by foreign keys is added;
// when no valid name comes back, the best lexical candidates are used. Never more than
// max_tables names. Decisions go to the process logger at debug level.
//
// Column names and foreign keys come from the database's table descriptions, read once per
// listing text and kept until a run brings a different listing.
//
// Thread-safe: invoke may be called from several threads at once.
class TABLE_PICKER_EXPORT RelevantTablePicker : public state_graph::Runnable {
 public:
  // The model client is built from config.fields() plus max_tokens 8192, temperature 0 and
  // top_p 0.95. Throws std::invalid_argument for options that leave nothing to pick
  // (max_candidates, max_tables or fallback_tables 0) and as AzureChatOpenAI's constructor.
  RelevantTablePicker(const chat_model::ChatModelSettings& config,
                      sql_database::CustomSQLDatabase db, PickerOptions options = {});
  ~RelevantTablePicker() override;

  // Throws state_graph::MissingFieldError for a missing user_question or table_names_from_db,
  // std::invalid_argument for values of the wrong kind, and the errors of the database and the
  // model call.
  state_graph::Update invoke(const state_graph::State& state,
                             const state_graph::Value& options = {}) override;

  // The decision before the model call (reads the table descriptions on a new listing).
  PickerPlan plan(const state_graph::State& state) const;
  // The tables kept from the model's answer (the `relevant_tables` of the schema) for a plan of
  // a larger listing.
  std::vector<std::string> finish(const PickerPlan& plan,
                                  const std::vector<std::string>& answered) const;

  const PickerOptions& options() const noexcept { return options_; }
  const chat_model::AzureChatOpenAI& model() const noexcept { return model_; }

 private:
  struct Index;
  std::shared_ptr<const Index> index_for(const std::string& listing_key,
                                         const std::vector<std::string>& tables) const;

  sql_database::CustomSQLDatabase db_;
  PickerOptions options_;
  chat_model::AzureChatOpenAI model_;
  chat_model::StructuredChatModel structured_;
  struct Cache;
  std::unique_ptr<Cache> cache_;
};

}  // namespace table_picker
