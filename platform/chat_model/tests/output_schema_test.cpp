#include "chat_model/output_schema.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "chat_model/errors.hpp"

namespace chat_model {
namespace {

using ::testing::HasSubstr;

OutputSchema answer_schema() {
  return OutputSchema("Answer", "An answer with a picture",
                      {{"image_path", FieldType::text, "image path", true, Value("")},
                       {"tables", FieldType::text_list, "table names", false, std::nullopt},
                       {"count", FieldType::integer, "", false, Value(0)},
                       {"ok", FieldType::boolean, "whether it worked", false, std::nullopt}});
}

TEST(OutputSchemaTest, StrictJsonSchemaListsEveryFieldAsRequiredWithNullForOptionalOnes) {
  const Value expected = Value::parse(R"({
    "type": "object",
    "description": "An answer with a picture",
    "properties": {
      "image_path": {"type": ["string", "null"], "description": "image path"},
      "tables": {"type": "array", "items": {"type": "string"}, "description": "table names"},
      "count": {"type": ["integer", "null"]},
      "ok": {"type": "boolean", "description": "whether it worked"}
    },
    "required": ["image_path", "tables", "count", "ok"],
    "additionalProperties": false
  })");
  EXPECT_EQ(answer_schema().json_schema().dump(), expected.dump());
  EXPECT_EQ(answer_schema().json_schema().dump().find("default"), std::string::npos);
}

TEST(OutputSchemaTest, ResponseFormatAsksForTheNamedStrictSchema) {
  const Value format = answer_schema().response_format();
  EXPECT_EQ(format["type"], "json_schema");
  EXPECT_EQ(format["json_schema"]["name"], "Answer");
  EXPECT_EQ(format["json_schema"]["strict"], true);
  EXPECT_EQ(format["json_schema"]["schema"], answer_schema().json_schema());
}

TEST(OutputSchemaTest, ValidateFillsDefaultsKeepsNullsOfNullableFieldsAndOrdersFields) {
  struct Case {
    const char* answer;
    const char* record;
  };
  const Case cases[] = {
      {R"({"ok": true, "tables": ["a", "b"]})",
       R"({"image_path": "", "tables": ["a", "b"], "count": 0, "ok": true})"},
      {R"({"ok": false, "tables": [], "image_path": null, "count": null})",
       R"({"image_path": null, "tables": [], "count": 0, "ok": false})"},
      {R"({"count": 3, "ok": true, "tables": ["t"], "image_path": "/tmp/p.png", "extra": 1})",
       R"({"image_path": "/tmp/p.png", "tables": ["t"], "count": 3, "ok": true})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(answer_schema().validate(Value::parse(c.answer)).dump(),
              Value::parse(c.record).dump())
        << c.answer;
  }
}

TEST(OutputSchemaTest, ValidateRejectsAnswersThatDoNotFitNamingTheField) {
  struct Case {
    const char* answer;
    const char* message;
  };
  const Case cases[] = {
      {R"({"tables": ["a"]})", "the required field 'ok' (boolean) is missing"},
      {R"({"tables": null, "ok": true})", "the required field 'tables' (list of text) is null"},
      {R"({"tables": ["a", 2], "ok": true})",
       "the field 'tables' must be list of text, got a list"},
      {R"({"tables": [], "ok": "yes"})", "the field 'ok' must be boolean, got a text \"yes\""},
      {R"({"tables": [], "ok": true, "count": 1.5})", "the field 'count' must be integer"},
      {R"({"tables": [], "ok": true, "image_path": 7})",
       "the field 'image_path' must be text or null, got an integer 7"},
      {R"(["ok"])", "expected a JSON object, got a list"},
  };
  for (const auto& c : cases) {
    try {
      answer_schema().validate(Value::parse(c.answer));
      ADD_FAILURE() << "accepted " << c.answer;
    } catch (const ModelError& error) {
      EXPECT_EQ(error.kind(), ModelErrorKind::schema_mismatch);
      EXPECT_THAT(error.what(), HasSubstr("the answer does not fit the schema Answer: "));
      EXPECT_THAT(error.what(), HasSubstr(c.message)) << c.answer;
    }
  }
}

TEST(OutputSchemaTest, DeclarationErrorsAreRejected) {
  EXPECT_THROW(OutputSchema("S", "",
                            {{"a", FieldType::text, "", false, std::nullopt},
                             {"a", FieldType::integer, "", false, std::nullopt}}),
               std::invalid_argument);
  EXPECT_THROW(OutputSchema("S", "", {{"a", FieldType::integer, "", false, Value("zero")}}),
               std::invalid_argument);
  EXPECT_THROW(OutputSchema("", "", {}), std::invalid_argument);
}

}  // namespace
}  // namespace chat_model
