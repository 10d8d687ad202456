// A small writer of JSON objects, one a line, for the run's report. Text is written as it comes
// when it is UTF-8; whatever is not stays readable and can be had back exactly (see
// AppendJsonString).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvos::app {

// How text that is not UTF-8 is written.
enum class JsonText : uint8_t {
  // Bytes, such as a file name on Linux: each byte outside a valid UTF-8 sequence is written as
  // the character of that byte's value (\u0080 to \u00FF), and the caller adds the bytes in hex.
  Bytes,
  // Text from UTF-16, such as a key name: a surrogate without its other half arrives as the
  // three bytes UTF-8 would give its value (ED A0 80 to ED BF BF) and is written as \uD800 to
  // \uDFFF, the unit it was.
  Utf16,
};

// Appends text as a JSON string, quotes included. Control characters, quotes and backslashes are
// escaped. False when some byte was not part of valid UTF-8 (and so was written as \u00XX).
bool AppendJsonString(std::string& out, std::string_view text, JsonText form = JsonText::Bytes);

// The bytes as lower-case hex digits, two a byte.
std::string HexBytes(std::string_view bytes);

// One object, its fields in the order they are added.
class JsonObject {
 public:
  JsonObject() : text_("{") {}
  // A string field. Text that is not UTF-8 also gets a field of the same name with "_hex" added
  // that holds its bytes exactly.
  JsonObject& Text(std::string_view key, std::string_view value, JsonText form = JsonText::Bytes);
  JsonObject& Number(std::string_view key, uint64_t value);
  JsonObject& Bool(std::string_view key, bool value);
  JsonObject& Null(std::string_view key);
  // A field whose value is JSON already (an object or an array).
  JsonObject& Raw(std::string_view key, std::string_view json);
  // The object, closed.
  std::string Close() { return text_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string text_;
};

// An array of JSON values, each written already.
class JsonArray {
 public:
  JsonArray() : text_("[") {}
  JsonArray& Add(std::string_view json) {
    if (text_.size() > 1) text_ += ',';
    text_ += json;
    return *this;
  }
  std::string Close() const { return text_ + "]"; }

 private:
  std::string text_;
};

}  // namespace tarvos::app
