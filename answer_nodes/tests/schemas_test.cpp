#include "answer_nodes/schemas.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "chat_model/errors.hpp"

namespace answer_nodes {
namespace {

using chat_model::FieldType;
using chat_model::ModelError;
using chat_model::ModelErrorKind;
using chat_model::Value;
using ::testing::HasSubstr;

TEST(SchemasTest, SixSchemasInOrderWithTheirFieldsAndDescriptions) {
  struct Field {
    std::string name;
    FieldType type;
    std::string description;
  };
  struct Expected {
    std::string name;
    std::vector<Field> fields;
  };
  const std::vector<Expected> expected = {
      {"RelevantTablesOutput",
       {{"relevant_tables", FieldType::text_list, "List of relevant table names"}}},
      {"RewriteQueryOutput", {{"rewritten_question", FieldType::text, "Rewritten question"}}},
      {"PandasCodeOutput",
       {{"pandas_ai", FieldType::boolean,
         "Whether question should answer by using pandas_ai or not. In case, the answer can derive "
         "directly from sql_execution_result, False. If the answer involves "
         "analysis/plotting/forecast then True."},
        {"final_answer", FieldType::boolean, "Final answer"},
        {"follow_up_question", FieldType::boolean, "Follow up question"}}},
      {"PythonCodeInput", {{"code", FieldType::text, "Python code to be executed"}}},
      {"SQLQueryInput", {{"sql_query", FieldType::text, "SQL query string to be executed"}}},
      {"GenerationOutput",
       {{"image_path", FieldType::text, "image path generated if exists in context"},
        {"final_response", FieldType::text, "final response"}}},
  };
  const auto schemas = output_schemas();
  ASSERT_EQ(schemas.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& schema = *schemas[i];
    EXPECT_EQ(schema.name(), expected[i].name);
    ASSERT_EQ(schema.fields().size(), expected[i].fields.size()) << schema.name();
    for (std::size_t f = 0; f < expected[i].fields.size(); ++f) {
      const auto& field = schema.fields()[f];
      EXPECT_EQ(field.name, expected[i].fields[f].name) << schema.name();
      EXPECT_EQ(field.type, expected[i].fields[f].type) << field.name;
      EXPECT_EQ(field.description, expected[i].fields[f].description) << field.name;
      // Only image_path may be left out by the model.
      EXPECT_EQ(field.required(), field.name != "image_path") << field.name;
    }
  }
  EXPECT_EQ(&SQLQueryInput(), schemas[4]);
}

TEST(SchemasTest, GenerationOutputSchemaSentToTheModel) {
  EXPECT_EQ(GenerationOutput().response_format().dump(),
            Value::parse(R"({"type": "json_schema", "json_schema": {
              "name": "GenerationOutput", "strict": true, "schema": {
                "type": "object",
                "properties": {
                  "image_path": {"type": ["string", "null"],
                                 "description": "image path generated if exists in context"},
                  "final_response": {"type": "string", "description": "final response"}},
                "required": ["image_path", "final_response"],
                "additionalProperties": false}}})")
                .dump());
}

TEST(SchemasTest, AnOmittedImagePathIsTheEmptyText) {
  const Value record = GenerationOutput().validate(Value{{"final_response", "Done."}});
  ASSERT_TRUE(record.contains("image_path"));
  EXPECT_EQ(record["image_path"], "");
  EXPECT_EQ(record["final_response"], "Done.");
}

TEST(SchemasTest, AnAnswerOmittingARequiredFieldDoesNotFit) {
  struct Case {
    const chat_model::OutputSchema* schema;
    const char* missing;
  };
  const Case cases[] = {{&GenerationOutput(), "final_response"},
                        {&PythonCodeInput(), "code"},
                        {&SQLQueryInput(), "sql_query"},
                        {&RewriteQueryOutput(), "rewritten_question"},
                        {&RelevantTablesOutput(), "relevant_tables"}};
  for (const auto& c : cases) {
    try {
      c.schema->validate(Value{{"image_path", "/tmp/x.png"}});
      ADD_FAILURE() << c.schema->name() << " accepted an answer without " << c.missing;
    } catch (const ModelError& error) {
      EXPECT_EQ(error.kind(), ModelErrorKind::schema_mismatch);
      EXPECT_THAT(error.what(), HasSubstr("schema " + c.schema->name()));
      EXPECT_THAT(error.what(), HasSubstr("'" + std::string(c.missing) + "'"));
    }
  }
}

TEST(PlottingBackendTest, LoadingTheLibrarySelectsAgg) {
  ASSERT_NE(std::getenv("MPLBACKEND"), nullptr);
  EXPECT_STREQ(std::getenv("MPLBACKEND"), "agg");
}

TEST(PlottingBackendTest, AnInheritedBackendIsOverwritten) {
  char self[4096] = {0};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  // A fresh process that inherits an interactive backend still ends up with agg once the library
  // is loaded.
  const std::string command = std::string("MPLBACKEND=TkAgg '") + self +
                              "' --gtest_filter=PlottingBackendTest.LoadingTheLibrarySelectsAgg "
                              ">/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0);
}

}  // namespace
}  // namespace answer_nodes
