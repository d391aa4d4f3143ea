#include "answer_nodes/schemas.hpp"

namespace answer_nodes {

using chat_model::FieldType;
using chat_model::OutputSchema;
using chat_model::SchemaField;
using chat_model::Value;

namespace {

SchemaField required(const char* name, FieldType type, const char* description) {
  return SchemaField{name, type, description, false, std::nullopt};
}

}  // namespace

const OutputSchema& RelevantTablesOutput() {
  static const OutputSchema schema(
      "RelevantTablesOutput", "",
      {required("relevant_tables", FieldType::text_list, "List of relevant table names")});
  return schema;
}

const OutputSchema& RewriteQueryOutput() {
  static const OutputSchema schema(
      "RewriteQueryOutput", "",
      {required("rewritten_question", FieldType::text, "Rewritten question")});
  return schema;
}

const OutputSchema& PandasCodeOutput() {
  static const OutputSchema schema(
      "PandasCodeOutput", "",
      {required("pandas_ai", FieldType::boolean,
                "Whether question should answer by using pandas_ai or not. In case, the answer can "
                "derive directly from sql_execution_result, False. If the answer involves "
                "analysis/plotting/forecast then True."),
       required("final_answer", FieldType::boolean, "Final answer"),
       required("follow_up_question", FieldType::boolean, "Follow up question")});
  return schema;
}

const OutputSchema& PythonCodeInput() {
  static const OutputSchema schema(
      "PythonCodeInput", "", {required("code", FieldType::text, "Python code to be executed")});
  return schema;
}

const OutputSchema& SQLQueryInput() {
  static const OutputSchema schema(
      "SQLQueryInput", "",
      {required("sql_query", FieldType::text, "SQL query string to be executed")});
  return schema;
}

const OutputSchema& GenerationOutput() {
  static const OutputSchema schema(
      "GenerationOutput", "",
      {SchemaField{"image_path", FieldType::text, "image path generated if exists in context", true,
                   Value("")},
       required("final_response", FieldType::text, "final response")});
  return schema;
}

std::vector<const OutputSchema*> output_schemas() {
  return {&RelevantTablesOutput(), &RewriteQueryOutput(), &PandasCodeOutput(),
          &PythonCodeInput(),      &SQLQueryInput(),      &GenerationOutput()};
}

}  // namespace answer_nodes
