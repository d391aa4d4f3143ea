#pragma once

#include <memory>

#include "answer_graph/export.hpp"
#include "state_graph/state.hpp"

namespace answer_graph {

// The record one question-answering run carries from node to node: 25 fields in declaration
// order, four lists merged by appending, two counters merged by adding, the rest replaced.
// The declaration is immutable and shared; safe to use from several threads.
struct ANSWER_GRAPH_EXPORT SQLState {
  static const std::shared_ptr<const state_graph::RecordSchema>& schema();
  // A fresh, empty record of this declaration.
  static state_graph::State make();
};

}  // namespace answer_graph
