// The report's JSON: any bytes become a valid string, and what is not UTF-8 can be had back.
#include <gtest/gtest.h>

#include "app/json.h"

namespace tarvos::app {
namespace {

TEST(JsonString, EscapesWhatJsonForbidsAndMarksWhatIsNotUtf8) {
  struct Row {
    std::string text;
    JsonText form;
    std::string json;
    bool utf8;
  };
  const std::vector<Row> rows = {
      {"Run", JsonText::Bytes, "\"Run\"", true},
      {"a\"b\\c\n\r\t", JsonText::Bytes, "\"a\\\"b\\\\c\\n\\r\\t\"", true},
      {std::string("\x00\x01\x1f", 3), JsonText::Bytes, "\"\\u0000\\u0001\\u001f\"", true},
      {"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80", JsonText::Bytes, "\"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80\"", true},
      // A byte of another code page, a lead byte without its tail, an overlong form, a byte that
      // never starts anything, and a code point beyond Unicode: each byte as the character of its value.
      {"caf\xe9", JsonText::Bytes, "\"caf\\u00e9\"", false},
      {"\xe6\x97", JsonText::Bytes, "\"\\u00e6\\u0097\"", false},
      {"\xc0\xaf", JsonText::Bytes, "\"\\u00c0\\u00af\"", false},
      {"\xe0\x80\xaf", JsonText::Bytes, "\"\\u00e0\\u0080\\u00af\"", false},
      {"\xff", JsonText::Bytes, "\"\\u00ff\"", false},
      {"\xf0\x8f\xbf\xbf", JsonText::Bytes, "\"\\u00f0\\u008f\\u00bf\\u00bf\"", false},
      {"\xf4\x90\x80\x80", JsonText::Bytes, "\"\\u00f4\\u0090\\u0080\\u0080\"", false},
      // A surrogate's three bytes are not UTF-8 in a file name, but stand for a lone UTF-16 unit
      // in a key name.
      {"\xed\xa0\x80", JsonText::Bytes, "\"\\u00ed\\u00a0\\u0080\"", false},
      {"x\xed\xa0\x80y\xed\xbf\xbf", JsonText::Utf16, "\"x\\ud800y\\udfff\"", true},
  };
  for (const Row& row : rows) {
    std::string out;
    EXPECT_EQ(AppendJsonString(out, row.text, row.form), row.utf8) << row.json;
    EXPECT_EQ(out, row.json);
  }
}

TEST(JsonObject, FieldsInOrderAndTheBytesOfWhatIsNotUtf8) {
  std::string inner = JsonObject().Number("n", 18446744073709551615u).Close();
  std::string object = JsonObject()
                           .Text("path", "/mnt/\xe9t\xe9")
                           .Text("name", "ok")
                           .Bool("yes", true)
                           .Null("none")
                           .Raw("list", JsonArray().Add("1").Add(inner).Close())
                           .Close();
  EXPECT_EQ(object,
            "{\"path\":\"/mnt/\\u00e9t\\u00e9\",\"path_hex\":\"2f6d6e742fe974e9\",\"name\":\"ok\",\"yes\":true,"
            "\"none\":null,\"list\":[1,{\"n\":18446744073709551615}]}");
  EXPECT_EQ(JsonObject().Close(), "{}");
  EXPECT_EQ(JsonArray().Close(), "[]");
}

}  // namespace
}  // namespace tarvos::app
