#pragma once

// The questions `askdb serve` answers: a bounded queue, a fixed pool of workers, and what each
// question did (its node events, its result or error, the chart its run saved).

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "state_graph/graph.hpp"
#include "state_graph/value.hpp"

namespace askdb_cli {

// A chart name as it stands in a URL: every byte but letters, digits, "-_.~/" percent-encoded.
std::string percent_encode_path(const std::string& path);

// One entry of a question's event stream: "node_start" and "node_end" ({name, step, seconds}:
// seconds from the start of the run for a start, the node's duration for an end), then exactly
// one "done" (the result) or "error" ({message}).
struct QuestionEvent {
  std::string name;
  state_graph::Value data;
};

// Accepts questions into a queue of bounded length and runs them on a fixed number of worker
// threads, each run with its own chart directory (save root / question id), so that two
// questions never write over each other's charts. Finished questions are kept, oldest dropped
// first beyond `kept_questions`; their files stay on disk.
//
// A chart is served only when a run of this board named it as its image, it lies under that
// run's own directory, and it is still the same regular file (no link swapped in since).
//
// Thread-safe: every member may be called from several threads at once.
class QuestionBoard {
 public:
  // Runs one question on the caller's (a worker's) thread, reporting to `observer`; returns the
  // final record. Exceptions end the question with an error event.
  using Runner = std::function<state_graph::Value(const state_graph::Value& inputs,
                                                  state_graph::RunObserver& observer)>;

  struct Options {
    std::size_t workers = 4;
    std::size_t queue_capacity = 32;    // questions waiting for a worker
    std::filesystem::path save_root;    // an existing directory
    std::size_t kept_questions = 1000;  // finished questions remembered
  };

  enum class Admission { accepted, queue_full, stopping };
  struct Submission {
    Admission admission = Admission::accepted;
    std::string id;               // when accepted
    int retry_after_seconds = 0;  // when the queue is full: a guess from recent run times
  };

  QuestionBoard(Runner runner, Options options);
  // Ends the queued questions, waits for the running ones and joins the workers.
  ~QuestionBoard();
  QuestionBoard(const QuestionBoard&) = delete;
  QuestionBoard& operator=(const QuestionBoard&) = delete;

  // Queues a question (already checked by the caller).
  Submission submit(const std::string& question, int max_pandas_iterations);

  // {id, question, state (queued, running, done, error), max_pandas_iterations, nodes: [{name,
  // step, start, seconds}], seconds, and result + chart_url when done, error when it failed};
  // std::nullopt for an unknown id.
  std::optional<state_graph::Value> status(const std::string& id) const;

  struct EventBatch {
    bool known = false;     // the id names a question
    bool finished = false;  // its last event (done or error) is among those delivered so far
    std::vector<QuestionEvent> events;
  };
  // The events from index `from` on; when there are none yet and the question goes on, waits up
  // to `wait` for one.
  EventBatch events(const std::string& id, std::size_t from, std::chrono::milliseconds wait) const;

  // The file behind a chart name (its path under the save root, '/'-separated, as chart_url
  // gives it after "/charts/"), when it may be served.
  std::optional<std::filesystem::path> chart(const std::string& name) const;

  // {status ("ok" or "stopping"), workers, running, queued, queue_capacity}
  state_graph::Value health() const;

  // Refuses new questions and ends the queued ones with an error; running ones go on.
  void stop_accepting();
  // Waits until no question runs; false when `timeout` passed first.
  bool wait_until_idle(std::chrono::milliseconds timeout);

 private:
  struct Question;
  class Observer;

  void work();
  void run(Question& q);
  void add_event_locked(Question& q, std::string name, state_graph::Value data);
  void finish_locked(Question& q);
  // finish_locked for a question a worker ran, which also leaves the running count.
  void end_run_locked(Question& q);
  void register_chart(Question& q);
  int retry_after_locked() const;

  Runner runner_;
  Options options_;
  std::filesystem::path canonical_root_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;  // any event, state change or queue change
  std::map<std::string, std::shared_ptr<Question>> questions_;
  std::deque<std::string> finished_order_;  // ids, oldest first
  std::deque<std::shared_ptr<Question>> queue_;
  std::map<std::string, std::filesystem::path> charts_;  // name -> canonical file
  std::size_t running_ = 0;
  bool stopping_ = false;
  double recent_run_seconds_ = 0;  // a moving average of finished runs
  std::vector<std::thread> workers_;
};

}  // namespace askdb_cli
