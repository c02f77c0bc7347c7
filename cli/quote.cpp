#include "cli/quote.h"

#include <algorithm>
#include <cstdio>

namespace {

bool IsControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

// Appends c, as an escape when it is a control byte or one of also.
void AppendEscaped(std::string* out, char c, std::string_view also) {
  if (also.find(c) != std::string_view::npos) {
    *out += '\\';
    *out += c;
    return;
  }
  switch (c) {
    case '\n':
      *out += "\\n";
      return;
    case '\r':
      *out += "\\r";
      return;
    case '\t':
      *out += "\\t";
      return;
    default:
      break;
  }
  if (!IsControl(c)) {
    *out += c;
    return;
  }
  char octal[8];
  std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(c));
  *out += octal;
}

}  // namespace

std::string QuotedName(std::string_view name) {
  const bool plain = std::none_of(name.begin(), name.end(),
                                  [](char c) { return IsControl(c) || c == '"' || c == '\\'; });
  if (plain) return std::string(name);
  std::string q = "\"";
  for (char c : name) AppendEscaped(&q, c, "\"\\");
  return q + "\"";
}

std::string EscapedText(std::string_view text) {
  if (std::none_of(text.begin(), text.end(), IsControl)) return std::string(text);
  std::string out;
  for (char c : text) AppendEscaped(&out, c, "");
  return out;
}
