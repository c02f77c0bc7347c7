#include "platform/codepage.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <wctype.h>
#include <utility>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// A byte that is no character stands for itself as this plus the byte.
constexpr char32_t kByteEscape = 0xDC00;

bool IsSurrogate(char32_t c) {
  return c >= 0xD800 && c <= 0xDFFF;
}

// Case mapping must not depend on the user's language (a Turkish locale would
// turn "i" into a two-byte capital), so it is taken from the neutral locale.
locale_t NeutralLocale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return l;
  }();
  return loc;
}

char32_t UpperChar(char32_t c) {
  locale_t loc = NeutralLocale();
  if (loc == static_cast<locale_t>(nullptr)) {
    return (c >= U'a' && c <= U'z') ? c - 32 : c;
  }
  return static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), loc));
}

int Utf8Length(char32_t c) {
  if (c < 0x80) return 1;
  if (c < 0x800) return 2;
  if (c < 0x10000) return 3;
  return 4;
}

void EncodeUtf8(char32_t c, int len, unsigned char* out) {
  switch (len) {
    case 1:
      out[0] = static_cast<unsigned char>(c);
      break;
    case 2:
      out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
      out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      break;
    case 3:
      out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
      out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      break;
    default:
      out[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
      out[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      out[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      out[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      break;
  }
}

// Length of the well-formed UTF-8 sequence at s[0, n), or 0 when there is none.
int SequenceAt(const unsigned char* s, std::size_t n, char32_t* cp) {
  const int len = Utf8LeadLength(s[0]);
  if (len == 1) {
    *cp = s[0];
    return 1;
  }
  if (len == 0 || n < static_cast<std::size_t>(len)) return 0;
  // The lead byte's own bits: 5, 4 or 3 of them.
  char32_t c = s[0] & (0x7F >> len);
  for (int i = 1; i < len; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    c = (c << 6) | (s[i] & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not characters.
  if (Utf8Length(c) != len || IsSurrogate(c) || c > 0x10FFFF) return 0;
  *cp = c;
  return len;
}

// Capitals of the two-byte characters, which cover the accented Latin,
// Greek and Cyrillic letters; built once.
const std::vector<char32_t>& TwoByteCapitals() {
  static const std::vector<char32_t> table = [] {
    std::vector<char32_t> t(0x800);
    for (char32_t c = 0x80; c < 0x800; ++c) {
      char32_t u = UpperChar(c);
      t[c] = Utf8Length(u) == 2 ? u : c;
    }
    return t;
  }();
  return table;
}

}  // namespace

CodePage CodePage::Utf8() {
  CodePage cp;
  cp.utf8_ = true;
  cp.name_ = "UTF-8";
  for (int b = 0; b < 256; ++b) {
    cp.upper_[b] = static_cast<unsigned char>(b >= 'a' && b <= 'z' ? b - 32 : b);
  }
  TwoByteCapitals();
  return cp;
}

CodePage CodePage::SingleByte(const std::string& charset) {
  CodePage cp;
  cp.name_ = charset;
  for (int b = 0; b < 256; ++b) {
    cp.upper_[b] = static_cast<unsigned char>(b >= 'a' && b <= 'z' ? b - 32 : b);
    cp.chars_[b] = static_cast<char32_t>(b < 0x80 ? b : kByteEscape + b);
  }
  iconv_t to_ucs = iconv_open("UTF-32LE", charset.c_str());
  iconv_t from_ucs = iconv_open(charset.c_str(), "UTF-32LE");
  const iconv_t failed = reinterpret_cast<iconv_t>(-1);
  if (to_ucs != failed && from_ucs != failed) {
    for (int b = 0x80; b < 256; ++b) {
      char in = static_cast<char>(b);
      unsigned char ucs[4] = {};
      char* inp = &in;
      std::size_t inleft = 1;
      char* outp = reinterpret_cast<char*>(ucs);
      std::size_t outleft = sizeof ucs;
      iconv(to_ucs, nullptr, nullptr, nullptr, nullptr);
      if (iconv(to_ucs, &inp, &inleft, &outp, &outleft) == static_cast<std::size_t>(-1)) continue;
      char32_t c = ucs[0] | (ucs[1] << 8) | (ucs[2] << 16) | (static_cast<char32_t>(ucs[3]) << 24);
      // Two bytes read as one character could not both be written back.
      const auto end = cp.chars_.begin() + b;
      if (c >= 0x80 && !IsSurrogate(c) && std::find(cp.chars_.begin() + 0x80, end, c) == end) {
        cp.chars_[b] = c;
      }
      char32_t u = UpperChar(c);
      if (u == c) continue;
      unsigned char uin[4] = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
                              static_cast<unsigned char>(u >> 16),
                              static_cast<unsigned char>(u >> 24)};
      char out[8];
      inp = reinterpret_cast<char*>(uin);
      inleft = sizeof uin;
      outp = out;
      outleft = sizeof out;
      iconv(from_ucs, nullptr, nullptr, nullptr, nullptr);
      if (iconv(from_ucs, &inp, &inleft, &outp, &outleft) == static_cast<std::size_t>(-1)) continue;
      // A capital outside the set, or spelt with more than one byte, is no capital here.
      if (outp - out == 1) cp.upper_[b] = static_cast<unsigned char>(out[0]);
    }
  }
  if (to_ucs != failed) iconv_close(to_ucs);
  if (from_ucs != failed) iconv_close(from_ucs);
  return cp;
}

CodePage& CodePage::SystemSlot() {
  static CodePage cp = [] {
    const char* codeset = nl_langinfo(CODESET);
    std::string name = codeset != nullptr ? codeset : "";
    // The C locale says nothing of bytes above 0x7F; the toolkit, terminals
    // and files on such systems take them as UTF-8, and so do we.
    if (name.empty() || name == "ANSI_X3.4-1968" || name == "UTF-8" || name == "utf8" ||
        name == "UTF8") {
      return Utf8();
    }
    return SingleByte(name);
  }();
  return cp;
}

const CodePage& CodePage::System() {
  return SystemSlot();
}

CodePage CodePage::SetSystem(const CodePage& cp) {
  return std::exchange(SystemSlot(), cp);
}

void CodePage::UpperCase(const char* in, std::size_t n, char* out) const {
  const auto* s = reinterpret_cast<const unsigned char*>(in);
  auto* o = reinterpret_cast<unsigned char*>(out);
  if (!utf8_) {
    for (std::size_t i = 0; i < n; ++i) o[i] = upper_[s[i]];
    return;
  }
  const std::vector<char32_t>& two = TwoByteCapitals();
  std::size_t i = 0;
  while (i < n) {
    unsigned char b = s[i];
    if (b < 0x80) {
      o[i] = upper_[b];
      ++i;
      continue;
    }
    char32_t c = 0;
    int len = SequenceAt(s + i, n - i, &c);
    if (len == 0) {
      // A byte that starts no character is copied as it is.
      o[i] = b;
      ++i;
      continue;
    }
    char32_t u = len == 2 ? two[c] : UpperChar(c);
    if (u != c && Utf8Length(u) == len) {
      EncodeUtf8(u, len, o + i);
    } else if (o != s) {
      std::memmove(o + i, s + i, static_cast<std::size_t>(len));
    }
    i += static_cast<std::size_t>(len);
  }
}

std::string CodePage::UpperCase(const std::string& s) const {
  std::string out(s.size(), '\0');
  if (!s.empty()) UpperCase(s.data(), s.size(), out.data());
  return out;
}

std::size_t CodePage::Decode(const char* s, std::size_t n, char32_t* c) const {
  const auto* u = reinterpret_cast<const unsigned char*>(s);
  if (!utf8_) {
    *c = chars_[u[0]];
    return 1;
  }
  int len = SequenceAt(u, n, c);
  if (len > 0) return static_cast<std::size_t>(len);
  *c = kByteEscape + u[0];
  return 1;
}

void CodePage::Encode(char32_t c, std::string& out) const {
  if (c < 0x80 || (c >= kByteEscape + 0x80 && c <= kByteEscape + 0xFF)) {
    out += static_cast<char>(c < 0x80 ? c : c - kByteEscape);
  } else if (utf8_) {
    if (IsSurrogate(c) || c > 0x10FFFF) {
      out += '?';
      return;
    }
    unsigned char bytes[4];
    const int len = Utf8Length(c);
    EncodeUtf8(c, len, bytes);
    out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(len));
  } else {
    const auto found = std::find(chars_.begin() + 0x80, chars_.end(), c);
    out += found != chars_.end() ? static_cast<char>(found - chars_.begin()) : '?';
  }
}

bool CodePage::MayStartAt(const char* s, std::size_t n, std::size_t pos) const {
  if (!utf8_ || pos == 0 || pos >= n) return true;
  const auto* u = reinterpret_cast<const unsigned char*>(s);
  if ((u[pos] & 0xC0) != 0x80) return true;
  // pos is a continuation byte: it is inside a character when a lead byte
  // a character's tail back, at most, starts a well-formed sequence that
  // covers it.
  for (std::size_t back = 1; back <= kLongestCharacterTail && back <= pos; ++back) {
    unsigned char b = u[pos - back];
    if ((b & 0xC0) == 0x80) continue;
    char32_t c = 0;
    int len = SequenceAt(u + pos - back, n - (pos - back), &c);
    return !(len > 0 && static_cast<std::size_t>(len) > back);
  }
  return true;
}

int Utf8LeadLength(unsigned char b) {
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xF0 && b <= 0xF4) return 4;
  return 0;
}
