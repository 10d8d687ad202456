#include "app/json.h"

namespace tarvos::app {

namespace {

// The length of the UTF-8 sequence that starts at text[at] (1 to 4), or 0 when none does. A
// surrogate's three bytes count only when they are allowed.
size_t SequenceAt(std::string_view text, size_t at, bool surrogates) {
  auto byte = [&](size_t i) { return at + i < text.size() ? static_cast<uint8_t>(text[at + i]) : 0u; };
  auto tail = [&](size_t i) { return (byte(i) & 0xC0) == 0x80; };
  uint8_t lead = byte(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return tail(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (!tail(1) || !tail(2)) return 0;
    if (lead == 0xE0 && byte(1) < 0xA0) return 0;                  // overlong
    if (lead == 0xED && byte(1) >= 0xA0 && !surrogates) return 0;  // a surrogate
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (!tail(1) || !tail(2) || !tail(3)) return 0;
    if (lead == 0xF0 && byte(1) < 0x90) return 0;  // overlong
    if (lead == 0xF4 && byte(1) >= 0x90) return 0;  // beyond U+10FFFF
    return 4;
  }
  return 0;
}

void AppendEscape(std::string& out, uint32_t unit) {
  static const char kHex[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
}

}  // namespace

bool AppendJsonString(std::string& out, std::string_view text, JsonText form) {
  const bool surrogates = form == JsonText::Utf16;
  bool valid = true;
  out += '"';
  for (size_t at = 0; at < text.size();) {
    const auto c = static_cast<uint8_t>(text[at]);
    size_t length = SequenceAt(text, at, surrogates);
    if (length == 0) {
      AppendEscape(out, c);  // a stray byte: the character of its value
      valid = false;
      ++at;
      continue;
    }
    if (length == 3 && c == 0xED && static_cast<uint8_t>(text[at + 1]) >= 0xA0) {
      AppendEscape(out, 0xD000u | (static_cast<uint8_t>(text[at + 1]) & 0x3Fu) << 6 | (static_cast<uint8_t>(text[at + 2]) & 0x3Fu));
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      AppendEscape(out, c);
    } else {
      out.append(text.substr(at, length));
    }
    at += length;
  }
  out += '"';
  return valid;
}

std::string HexBytes(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (char b : bytes) {
    hex += kHex[static_cast<uint8_t>(b) >> 4];
    hex += kHex[static_cast<uint8_t>(b) & 0xF];
  }
  return hex;
}

void JsonObject::Key(std::string_view key) {
  if (text_.size() > 1) text_ += ',';
  AppendJsonString(text_, key);
  text_ += ':';
}

JsonObject& JsonObject::Text(std::string_view key, std::string_view value, JsonText form) {
  Key(key);
  if (!AppendJsonString(text_, value, form)) {
    Key(std::string(key) + "_hex");
    text_ += '"' + HexBytes(value) + '"';
  }
  return *this;
}

JsonObject& JsonObject::Number(std::string_view key, uint64_t value) {
  Key(key);
  text_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::Bool(std::string_view key, bool value) {
  Key(key);
  text_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::Null(std::string_view key) {
  Key(key);
  text_ += "null";
  return *this;
}

JsonObject& JsonObject::Raw(std::string_view key, std::string_view json) {
  Key(key);
  text_ += json;
  return *this;
}

}  // namespace tarvos::app
