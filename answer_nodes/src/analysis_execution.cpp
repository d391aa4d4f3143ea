// Running model-written analysis code in the embedded Python runtime.

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "answer_nodes/analysis_nodes.hpp"
#include "embedded_python/embedded_python.hpp"

namespace answer_nodes {

using state_graph::State;
using state_graph::Update;
using state_graph::Value;

namespace {

Update failure(std::string error_message) {
  return Value{{"python_execution_success", false},
               {"python_error_message", std::move(error_message)}};
}

}  // namespace

PandasExecutor::PandasExecutor(const chat_model::AzureChatOpenAI& model, ExecutorOptions options)
    : model_(model), options_(options) {}

Update PandasExecutor::invoke(const State& state, const Value& /*options*/) {
  // Reading the code is part of the guarded work: a record without code is a failure of the
  // analysis step, reported as Python reports a missing key.
  if (!state.has("pandas_code")) return failure("KeyError: 'pandas_code'");
  const Value& code = state.get("pandas_code");
  if (!code.is_string())
    return failure("TypeError: pandas_code must hold Python source text, not " +
                   std::string(code.type_name()));

  // A fresh namespace per call: nothing the code defines reaches the next execution, and the
  // namespace is cleared when it goes.
  embedded_python::Namespace globals = embedded_python::Namespace::with_datetime();
  embedded_python::RunOptions run_options;
  run_options.time_limit = options_.time_limit;
  if (options_.guarded) {
    // Charts go under save_path; without one, only the temporary directory is writable.
    embedded_python::Guard guard;
    if (state.has("save_path") && state.get("save_path").is_string() &&
        !state.get("save_path").get_ref<const std::string&>().empty()) {
      guard.save_path = state.get("save_path").get<std::string>();
    } else {
      guard.save_path = std::filesystem::temp_directory_path().string();
    }
    run_options.guard = std::move(guard);
  }
  embedded_python::RunResult result;
  try {
    result = embedded_python::run(globals, code.get_ref<const std::string&>(), run_options);
  } catch (const embedded_python::PythonError& error) {
    // run() throws only what does not derive from Exception. Models end scripts with exit() or
    // sys.exit(); that, like any other exception the code raises, is a failure of the code to
    // be corrected, not a reason to lose the run. Ctrl-C from the user still stops the run.
    if (error.type_name() == "KeyboardInterrupt") throw;
    return failure(error.what());
  }
  if (!result.success) return failure(std::move(result.error));
  return Value{{"python_executed_output", std::move(result.output)},
               {"python_execution_success", true}};
}

}  // namespace answer_nodes
