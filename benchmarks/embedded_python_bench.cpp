// Cost of running analysis code in the embedded runtime: start-up, the first pandas run (which
// imports pandas) and warm runs in a fresh namespace each, as the analysis executor does them,
// with and without the guard (same time limit, so the two differ by the guard alone).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <stdexcept>

#include "embedded_python/embedded_python.hpp"

namespace {

constexpr const char* kPandasSnippet = R"(
import pandas as pd
rows = [{"region": ["north", "south", "east", "west"][i % 4], "amount": i * 1.5, "units": i}
        for i in range(20)]
df = pd.DataFrame(rows)
summary = df.groupby("region").agg(total=("amount", "sum"), units=("units", "mean"))
print(summary)
)";

void run_snippet(const char* source) {
  embedded_python::Namespace ns = embedded_python::Namespace::with_datetime();
  embedded_python::RunResult result = embedded_python::run(ns, source);
  if (!result.success) throw std::runtime_error(result.error);
  benchmark::DoNotOptimize(result.output.data());
}

void BM_StartUp(benchmark::State& state) {
  for (auto _ : state) embedded_python::ensure_started();
}
BENCHMARK(BM_StartUp)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_FirstPandasRun(benchmark::State& state) {
  for (auto _ : state) run_snippet(kPandasSnippet);
}
BENCHMARK(BM_FirstPandasRun)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_WarmPandasRun(benchmark::State& state) {
  for (auto _ : state) run_snippet(kPandasSnippet);
}
BENCHMARK(BM_WarmPandasRun)->Unit(benchmark::kMillisecond);

void BM_WarmPandasRunWithTimeLimit(benchmark::State& state) {
  for (auto _ : state) {
    embedded_python::Namespace ns = embedded_python::Namespace::with_datetime();
    embedded_python::RunResult result =
        embedded_python::run(ns, kPandasSnippet, {std::chrono::milliseconds(10000)});
    if (!result.success) throw std::runtime_error(result.error);
  }
}
BENCHMARK(BM_WarmPandasRunWithTimeLimit)->Unit(benchmark::kMillisecond);

void BM_WarmPandasRunGuarded(benchmark::State& state) {
  const embedded_python::RunOptions options{
      std::chrono::milliseconds(10000),
      embedded_python::Guard{std::filesystem::temp_directory_path().string()}};
  // The first guarded run prepares the libraries once; it is not what is measured.
  {
    embedded_python::Namespace ns = embedded_python::Namespace::with_datetime();
    embedded_python::run(ns, kPandasSnippet, options);
  }
  for (auto _ : state) {
    embedded_python::Namespace ns = embedded_python::Namespace::with_datetime();
    embedded_python::RunResult result = embedded_python::run(ns, kPandasSnippet, options);
    if (!result.success) throw std::runtime_error(result.error);
  }
}
BENCHMARK(BM_WarmPandasRunGuarded)->Unit(benchmark::kMillisecond);

void BM_TrivialRun(benchmark::State& state) {
  for (auto _ : state) run_snippet("print(datetime.date(2024, 1, 31))");
}
BENCHMARK(BM_TrivialRun)->Unit(benchmark::kMicrosecond);

void BM_TrivialRunGuarded(benchmark::State& state) {
  const embedded_python::RunOptions options{
      std::nullopt, embedded_python::Guard{std::filesystem::temp_directory_path().string()}};
  for (auto _ : state) {
    embedded_python::Namespace ns = embedded_python::Namespace::with_datetime();
    embedded_python::RunResult result =
        embedded_python::run(ns, "print(datetime.date(2024, 1, 31))", options);
    if (!result.success) throw std::runtime_error(result.error);
  }
}
BENCHMARK(BM_TrivialRunGuarded)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
