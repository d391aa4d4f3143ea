#pragma once

#include <vector>

#include "chat_model/output_schema.hpp"

namespace answer_nodes {

// The records the nodes ask the model for, handed to AzureChatOpenAI::with_structured_output.
// Field names are read by the nodes; the descriptions tell the model what to put in each field.
// Each schema is built once, on first use; the returned objects live as long as the process and
// are safe to share between threads.

// relevant_tables: list of text, required.
const chat_model::OutputSchema& RelevantTablesOutput();
// rewritten_question: text, required.
const chat_model::OutputSchema& RewriteQueryOutput();
// pandas_ai, final_answer, follow_up_question: boolean, required. No node asks for it.
const chat_model::OutputSchema& PandasCodeOutput();
// code: text, required.
const chat_model::OutputSchema& PythonCodeInput();
// sql_query: text, required.
const chat_model::OutputSchema& SQLQueryInput();
// image_path: text or null, default ""; final_response: text, required.
const chat_model::OutputSchema& GenerationOutput();

// All six, in declaration order.
std::vector<const chat_model::OutputSchema*> output_schemas();

}  // namespace answer_nodes
