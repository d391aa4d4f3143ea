#include <cstdlib>

namespace answer_nodes {
namespace {

// Analysis code runs in this process with no display: matplotlib must draw off-screen and reach
// the user only through saved files. The backend is read when matplotlib is first imported, so it
// is set here, when the library is loaded and before any node can run Python. An inherited
// MPLBACKEND is overwritten on purpose: an interactive backend would fail without a display.
[[maybe_unused]] const bool plotting_backend_set = [] {
  setenv("MPLBACKEND", "agg", 1);
  return true;
}();

}  // namespace
}  // namespace answer_nodes
