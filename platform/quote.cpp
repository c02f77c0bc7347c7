#include "platform/quote.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace {

struct Range {
  char32_t first, last;
};

// The separators and the format characters (category Cf), which draw
// nothing or change how what is around them is drawn: written as escapes,
// "abc\342\200\256lp.exe" cannot pass for "abcexe.pl".
constexpr Range kInvisible[] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
    {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x206F},   {0xFEFF, 0xFEFF},
    {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F},
    {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE007F},
};

// Calls each(start, length, unsafe) for each character of text in turn.
template <typename Each>
void ForEachCharacter(std::string_view text, const CodePage& cp, Each each) {
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = 0;
    const std::size_t length = cp.Decode(text.data() + i, text.size() - i, &c);
    each(i, length, IsUnsafeCharacter(c));
    i += length;
  }
}

// Appends the character s[0, length), as escapes when it is unsafe or, for
// a quoted name, a quote or a backslash.
void Append(std::string* out, const char* s, std::size_t length, bool unsafe, bool quoted) {
  if (!unsafe) {
    if (quoted && length == 1 && (s[0] == '"' || s[0] == '\\')) *out += '\\';
    out->append(s, length);
    return;
  }
  for (std::size_t k = 0; k < length; ++k) {
    switch (s[k]) {
      case '\n':
        *out += "\\n";
        continue;
      case '\r':
        *out += "\\r";
        continue;
      case '\t':
        *out += "\\t";
        continue;
      default:
        break;
    }
    char octal[8];
    std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(s[k]));
    *out += octal;
  }
}

}  // namespace

bool IsUnsafeCharacter(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;
  if (c >= 0xD800 && c <= 0xDFFF) return true;
  if (c < kInvisible[0].first) return false;
  const Range* r = std::upper_bound(std::begin(kInvisible), std::end(kInvisible), c,
                                    [](char32_t v, const Range& x) { return v < x.first; });
  return r != std::begin(kInvisible) && c <= std::prev(r)->last;
}

std::string QuotedName(std::string_view name, const CodePage& cp) {
  bool plain = true;
  ForEachCharacter(name, cp, [&](std::size_t i, std::size_t, bool unsafe) {
    plain = plain && !unsafe && name[i] != '"' && name[i] != '\\';
  });
  if (plain) return std::string(name);
  std::string q = "\"";
  ForEachCharacter(name, cp, [&](std::size_t i, std::size_t length, bool unsafe) {
    Append(&q, name.data() + i, length, unsafe, true);
  });
  return q + "\"";
}

std::string QuotedName(std::string_view name) {
  return QuotedName(name, CodePage::System());
}

std::string EscapedText(std::string_view text, const CodePage& cp) {
  std::string out;
  ForEachCharacter(text, cp, [&](std::size_t i, std::size_t length, bool unsafe) {
    Append(&out, text.data() + i, length, unsafe, false);
  });
  return out;
}

std::string EscapedText(std::string_view text) {
  return EscapedText(text, CodePage::System());
}
