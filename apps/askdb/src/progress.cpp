#include "progress.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <sstream>

namespace askdb_cli {
namespace {

std::string seconds(double s) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(s < 10 ? 2 : 1) << s << " s";
  return out.str();
}

}  // namespace

Progress::Progress(answer_graph::RunTrace& trace, bool quiet)
    : trace_(trace),
      quiet_(quiet),
      live_(!quiet && ::isatty(STDERR_FILENO) != 0),
      colour_(live_ && std::getenv("NO_COLOR") == nullptr),
      started_(std::chrono::steady_clock::now()) {
  if (live_) ticker_ = std::thread([this] { ticker(); });
}

Progress::~Progress() { finish(); }

void Progress::finish() {
  {
    std::lock_guard lock(mutex_);
    if (stop_) return;
    stop_ = true;
    if (status_shown_) std::cerr << "\r\033[K" << std::flush;
    status_shown_ = false;
  }
  wake_.notify_all();
  if (ticker_.joinable()) ticker_.join();
}

void Progress::on_node_start(int step, const std::string& node) {
  trace_.on_node_start(step, node);
  std::lock_guard lock(mutex_);
  running_.push_back({node, std::chrono::steady_clock::now()});
  if (live_) draw_status_locked();
}

void Progress::on_node_end(int step, const std::string& node, std::chrono::nanoseconds elapsed,
                           const state_graph::Update& update) {
  trace_.on_node_end(step, node, elapsed, update);
  std::lock_guard lock(mutex_);
  for (auto it = running_.begin(); it != running_.end(); ++it) {
    if (it->node == node) {
      running_.erase(it);
      break;
    }
  }
  if (quiet_) return;
  const double s = std::chrono::duration<double>(elapsed).count();
  if (live_) {
    std::cerr << "\r\033[K";
    status_shown_ = false;
  }
  const char* tick = colour_ ? "\033[32m✓\033[0m" : "-";
  std::cerr << "askdb: " << tick << " " << std::left << std::setw(32) << node << " " << seconds(s)
            << "\n";
  if (live_) draw_status_locked();
  std::cerr << std::flush;
}

void Progress::on_step_end(int step, const state_graph::State& state) {
  trace_.on_step_end(step, state);
}

void Progress::on_model_call(const std::string& client, const std::string& node,
                             const chat_model::CallEvent& call) {
  trace_.on_model_call(client, node, call);
}

void Progress::draw_status_locked() {
  if (stop_ || running_.empty()) return;
  const auto now = std::chrono::steady_clock::now();
  std::string names;
  for (const auto& r : running_) names += (names.empty() ? "" : ", ") + r.node;
  const double total = std::chrono::duration<double>(now - started_).count();
  const double node_s = std::chrono::duration<double>(now - running_.front().since).count();
  std::cerr << "\r\033[K" << (colour_ ? "\033[36m…\033[0m " : "... ") << names << " "
            << seconds(node_s) << " (" << seconds(total) << " in all)" << std::flush;
  status_shown_ = true;
}

void Progress::ticker() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    wake_.wait_for(lock, std::chrono::milliseconds(200));
    if (!stop_) draw_status_locked();
  }
}

}  // namespace askdb_cli
