#pragma once
// JSON as terminelle-cli writes it for scripts, one object a line. Every
// string it writes is valid UTF-8 whatever bytes it is made from, and holds
// no byte a terminal would take for a command; a name that is not valid
// UTF-8 travels beside its string as base64, so that it can be recovered.

#include <cstdint>
#include <string>
#include <string_view>

// Whether text is valid UTF-8 (no overlong form, surrogate or code point
// beyond U+10FFFF).
bool IsUtf8(std::string_view text);

// text as a JSON string, quotes included: valid UTF-8 kept as it is, each
// byte outside it written as U+FFFD; quotes, backslashes and the
// characters a name may not show as it is (platform/quote: controls, line
// and paragraph separators, format characters) escaped.
std::string JsonString(std::string_view text);

// bytes in base64 (RFC 4648, standard alphabet, with padding).
std::string Base64(std::string_view bytes);

// One JSON object, its members in the order they are added.
class JsonObject {
 public:
  JsonObject& Text(std::string_view name, std::string_view value);
  // value as Text writes it, and, when it is not valid UTF-8, its bytes in
  // base64 as the member name + "_bytes".
  JsonObject& Bytes(std::string_view name, std::string_view value);
  JsonObject& Number(std::string_view name, std::uint64_t value);
  JsonObject& Bool(std::string_view name, bool value);
  JsonObject& Null(std::string_view name);
  // json, a value already written as JSON.
  JsonObject& Raw(std::string_view name, std::string_view json);
  // The object, closed; the object is empty again.
  std::string Close();

 private:
  void Name(std::string_view name);

  std::string out_ = "{";
};
