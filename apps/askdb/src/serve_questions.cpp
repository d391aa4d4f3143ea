#include "serve_questions.hpp"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "answer_graph/run_trace.hpp"
#include "chat_model/errors.hpp"
#include "sql_database/custom_sql_database.hpp"

namespace askdb_cli {

namespace fs = std::filesystem;
using state_graph::Value;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point from, Clock::time_point to) {
  const double s = std::chrono::duration<double>(to - from).count();
  return std::round(s * 1000.0) / 1000.0;
}

// Unguessable: the id is all a client needs to read a question and its chart.
std::string new_id() {
  static std::mutex mutex;
  static std::random_device device;
  std::lock_guard lock(mutex);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (int i = 0; i < 3; ++i) {
    const unsigned value = device();
    for (int shift = 28; shift >= 0; shift -= 4) id += kHex[(value >> shift) & 0xF];
  }
  return id;
}

// The image kinds a chart may be; anything else a run names is not served.
bool is_chart_file_name(const fs::path& path) {
  static const std::set<std::string> kinds = {".png", ".jpg", ".jpeg", ".gif", ".webp", ".svg"};
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return kinds.count(ext) > 0;
}

// `inner` (canonical) lies strictly below `outer` (canonical).
bool is_under(const fs::path& inner, const fs::path& outer) {
  auto i = inner.begin();
  for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
    if (i == inner.end() || *i != *o) return false;
  }
  return i != inner.end();
}

std::string node_names(const std::vector<std::string>& names) {
  if (names.empty()) return "the graph";
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

}  // namespace

std::string percent_encode_path(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : path) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

struct QuestionBoard::Question {
  std::string id;
  std::string text;
  int max_pandas_iterations = 0;
  fs::path save_path;
  std::string state = "queued";
  std::vector<QuestionEvent> events;
  Value nodes = Value::array();
  Value result;
  std::string error;
  std::optional<std::string> chart_url;
  Clock::time_point submitted = Clock::now();
  Clock::time_point started;
  Clock::time_point ended;
};

// Feeds the trace of one run and turns node starts and ends into the question's events.
class QuestionBoard::Observer : public state_graph::RunObserver,
                                public answer_graph::ModelCallListener {
 public:
  Observer(QuestionBoard& board, Question& q) : board_(board), q_(q) {}

  void on_node_start(int step, const std::string& node) override {
    trace_.on_node_start(step, node);
    const double start = seconds_between(q_.started, Clock::now());
    std::lock_guard lock(board_.mutex_);
    q_.nodes.push_back(
        Value{{"name", node}, {"step", step}, {"start", start}, {"seconds", nullptr}});
    board_.add_event_locked(q_, "node_start",
                            Value{{"name", node}, {"step", step}, {"seconds", start}});
  }
  void on_node_end(int step, const std::string& node, std::chrono::nanoseconds elapsed,
                   const state_graph::Update& update) override {
    trace_.on_node_end(step, node, elapsed, update);
    const double seconds =
        std::round(std::chrono::duration<double>(elapsed).count() * 1000.0) / 1000.0;
    std::lock_guard lock(board_.mutex_);
    for (auto it = q_.nodes.rbegin(); it != q_.nodes.rend(); ++it) {
      if ((*it)["name"] == node && (*it)["step"] == step && (*it)["seconds"].is_null()) {
        (*it)["seconds"] = seconds;
        break;
      }
    }
    board_.add_event_locked(q_, "node_end",
                            Value{{"name", node}, {"step", step}, {"seconds", seconds}});
  }
  void on_step_end(int step, const state_graph::State& state) override {
    trace_.on_step_end(step, state);
  }
  void on_model_call(const std::string& client, const std::string& node,
                     const chat_model::CallEvent& call) override {
    trace_.on_model_call(client, node, call);
  }

  answer_graph::RunTrace& trace() { return trace_; }

 private:
  QuestionBoard& board_;
  Question& q_;
  answer_graph::RunTrace trace_;
};

QuestionBoard::QuestionBoard(Runner runner, Options options)
    : runner_(std::move(runner)), options_(std::move(options)) {
  if (options_.workers == 0) throw std::invalid_argument("the worker pool needs at least 1 worker");
  canonical_root_ = fs::canonical(options_.save_root);
  workers_.reserve(options_.workers);
  for (std::size_t i = 0; i < options_.workers; ++i) workers_.emplace_back([this] { work(); });
}

QuestionBoard::~QuestionBoard() {
  stop_accepting();
  for (auto& w : workers_) w.join();
}

QuestionBoard::Submission QuestionBoard::submit(const std::string& question,
                                                int max_pandas_iterations) {
  std::lock_guard lock(mutex_);
  if (stopping_) return Submission{Admission::stopping, "", 0};
  // Questions an idle worker is about to take do not count as waiting.
  const std::size_t idle = options_.workers - running_;
  if (queue_.size() >= options_.queue_capacity + idle) {
    return Submission{Admission::queue_full, "", retry_after_locked()};
  }
  auto q = std::make_shared<Question>();
  do {
    q->id = new_id();
  } while (questions_.count(q->id));
  q->text = question;
  q->max_pandas_iterations = max_pandas_iterations;
  q->save_path = canonical_root_ / q->id;
  questions_[q->id] = q;
  queue_.push_back(q);
  changed_.notify_all();
  return Submission{Admission::accepted, q->id, 0};
}

int QuestionBoard::retry_after_locked() const {
  // Time for the questions ahead to pass through the workers, from recent run times.
  const double per_run = recent_run_seconds_ > 0 ? recent_run_seconds_ : 5.0;
  const double ahead = static_cast<double>(queue_.size() + running_);
  const double estimate = per_run * ahead / static_cast<double>(options_.workers);
  return static_cast<int>(std::clamp(std::ceil(estimate), 1.0, 300.0));
}

void QuestionBoard::work() {
  for (;;) {
    std::shared_ptr<Question> q;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and nothing left
      q = queue_.front();
      queue_.pop_front();
      q->state = "running";
      q->started = Clock::now();
      ++running_;
      changed_.notify_all();
    }
    // run() counts the question out of the running ones in the same step that publishes its
    // last event, so a client that saw `done` never finds it still counted as running.
    run(*q);
  }
}

void QuestionBoard::end_run_locked(Question& q) {
  finish_locked(q);
  --running_;
  const double took = seconds_between(q.started, q.ended);
  recent_run_seconds_ = recent_run_seconds_ > 0 ? 0.7 * recent_run_seconds_ + 0.3 * took : took;
  changed_.notify_all();
}

void QuestionBoard::run(Question& q) {
  std::error_code ec;
  fs::create_directories(q.save_path, ec);
  if (ec) {
    std::lock_guard lock(mutex_);
    q.state = "error";
    q.error = "cannot create the chart directory " + q.save_path.string() + ": " + ec.message();
    add_event_locked(q, "error", Value{{"message", q.error}});
    end_run_locked(q);
    return;
  }
  const Value inputs{{"user_question", q.text},
                     {"save_path", q.save_path.string()},
                     {"max_iterations_pandas", q.max_pandas_iterations},
                     {"pandas_code", ""},
                     {"python_executed_output", ""}};
  Observer observer(*this, q);
  Value record;
  std::string failure;
  try {
    record = runner_(inputs, observer);
  } catch (const chat_model::ModelError& e) {
    failure =
        "the model service failed in " + node_names(observer.trace().running()) + ": " + e.what();
  } catch (const sql_database::DatabaseError& e) {
    failure = "the database failed in " + node_names(observer.trace().running()) + ": " + e.what();
  } catch (const std::exception& e) {
    failure = "the run failed in " + node_names(observer.trace().running()) + ": " + e.what();
  } catch (...) {
    failure = "the run failed in " + node_names(observer.trace().running()) +
              " with an exception that is not a std::exception";
  }
  // No chart: the directory goes again (anything the code left in it stays).
  fs::remove(q.save_path, ec);

  if (failure.empty()) {
    record["trace"] = observer.trace().to_json();
    std::lock_guard lock(mutex_);
    q.result = std::move(record);
    register_chart(q);
    q.state = "done";
    Value done = q.result;
    done["chart_url"] = q.chart_url ? Value(*q.chart_url) : Value();
    add_event_locked(q, "done", std::move(done));
    end_run_locked(q);
  } else {
    std::lock_guard lock(mutex_);
    q.state = "error";
    q.error = failure;
    add_event_locked(q, "error", Value{{"message", failure}});
    end_run_locked(q);
  }
}

void QuestionBoard::register_chart(Question& q) {
  if (!q.result.contains("image_path") || !q.result["image_path"].is_string()) return;
  const std::string image = q.result["image_path"].get<std::string>();
  if (image.empty()) return;
  std::error_code ec;
  const fs::path file = fs::canonical(fs::path(image), ec);
  if (ec || !fs::is_regular_file(file, ec) || !is_under(file, q.save_path) ||
      !is_chart_file_name(file)) {
    return;
  }
  const std::string name = file.lexically_relative(canonical_root_).generic_string();
  charts_[name] = file;
  q.chart_url = "/charts/" + percent_encode_path(name);
}

void QuestionBoard::add_event_locked(Question& q, std::string name, Value data) {
  q.events.push_back(QuestionEvent{std::move(name), std::move(data)});
  changed_.notify_all();
}

void QuestionBoard::finish_locked(Question& q) {
  q.ended = Clock::now();
  finished_order_.push_back(q.id);
  while (finished_order_.size() > options_.kept_questions) {
    const std::string old = finished_order_.front();
    finished_order_.pop_front();
    auto it = questions_.find(old);
    if (it == questions_.end()) continue;
    for (auto c = charts_.begin(); c != charts_.end();) {
      c = c->first.rfind(old + "/", 0) == 0 ? charts_.erase(c) : std::next(c);
    }
    questions_.erase(it);
  }
  changed_.notify_all();
}

std::optional<Value> QuestionBoard::status(const std::string& id) const {
  std::lock_guard lock(mutex_);
  auto it = questions_.find(id);
  if (it == questions_.end()) return std::nullopt;
  const Question& q = *it->second;
  Value out{{"id", q.id},
            {"question", q.text},
            {"state", q.state},
            {"max_pandas_iterations", q.max_pandas_iterations},
            {"nodes", q.nodes}};
  if (q.state == "queued") {
    out["seconds"] = nullptr;
  } else {
    const bool over = q.state == "done" || q.state == "error";
    out["seconds"] = seconds_between(q.started, over ? q.ended : Clock::now());
  }
  if (q.state == "done") {
    out["result"] = q.result;
    out["chart_url"] = q.chart_url ? Value(*q.chart_url) : Value();
  }
  if (q.state == "error") out["error"] = q.error;
  return out;
}

QuestionBoard::EventBatch QuestionBoard::events(const std::string& id, std::size_t from,
                                                std::chrono::milliseconds wait) const {
  std::unique_lock lock(mutex_);
  auto it = questions_.find(id);
  if (it == questions_.end()) return {};
  std::shared_ptr<Question> q = it->second;
  auto finished = [&] { return q->state == "done" || q->state == "error"; };
  changed_.wait_for(lock, wait, [&] { return q->events.size() > from || finished(); });
  EventBatch batch;
  batch.known = true;
  for (std::size_t i = from; i < q->events.size(); ++i) batch.events.push_back(q->events[i]);
  batch.finished = finished();
  return batch;
}

std::optional<fs::path> QuestionBoard::chart(const std::string& name) const {
  fs::path registered;
  {
    std::lock_guard lock(mutex_);
    auto it = charts_.find(name);
    if (it == charts_.end()) return std::nullopt;
    registered = it->second;
  }
  // The same file still: a link or a directory put in its place since the run is not followed.
  std::error_code ec;
  const auto status = fs::symlink_status(registered, ec);
  if (ec || !fs::is_regular_file(status)) return std::nullopt;
  const fs::path now = fs::canonical(registered, ec);
  if (ec || now != registered || !is_under(now, canonical_root_)) return std::nullopt;
  return registered;
}

Value QuestionBoard::health() const {
  std::lock_guard lock(mutex_);
  return Value{{"status", stopping_ ? "stopping" : "ok"},
               {"workers", options_.workers},
               {"running", running_},
               {"queued", queue_.size()},
               {"queue_capacity", options_.queue_capacity}};
}

void QuestionBoard::stop_accepting() {
  std::lock_guard lock(mutex_);
  if (stopping_) return;
  stopping_ = true;
  for (auto& q : queue_) {
    q->state = "error";
    q->error = "the server stopped before this question ran; ask it again when it is back";
    add_event_locked(*q, "error", Value{{"message", q->error}});
    finish_locked(*q);
  }
  queue_.clear();
  changed_.notify_all();
}

bool QuestionBoard::wait_until_idle(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return running_ == 0 && queue_.empty(); });
}

}  // namespace askdb_cli
