#include "convert/replace.h"

#include <string>
#include <utility>

namespace {

// How common a byte is in scripts, roughly; letters count twice, for both cases.
int Commonness(unsigned char c) {
  if (c == ' ') return 100;
  if (c >= 'A' && c <= 'Z') return 40;
  if (c >= '0' && c <= '9') return 30;
  switch (c) {
    case ';':
    case '$':
    case '(':
    case ')':
    case '=':
      return 20;
    case '\'':
    case '"':
    case ',':
    case '.':
    case '/':
    case '{':
    case '}':
      return 10;
    case '_':
    case '-':
    case '>':
    case '<':
    case '#':  // comments
    case ':':  // package names
      return 8;
    default:
      return 5;
  }
}

// The test for byte j of the capitals of a search: the bytes whose capital it
// is, when there are at most two.
ByteTest TestFor(const CodePage& cp, const std::string& upper, std::size_t j) {
  ByteTest t;
  t.Offset = j;
  int count = 0;
  for (int b = 0; b < 256; ++b) {
    if (cp.ByteCapitals()[b] != static_cast<unsigned char>(upper[j])) continue;
    if (count < 2) t.Bytes[count] = static_cast<unsigned char>(b);
    ++count;
  }
  t.Count = count <= 2 ? count : 0;
  return t;
}

}  // namespace

PreparedRule PrepareRule(std::string_view search, std::string_view replacement,
                         const CodePage& cp) {
  PreparedRule p;
  p.Cp = &cp;
  p.Replacement = replacement;
  p.Upper.assign(search);
  if (p.Upper.empty()) return p;
  cp.UpperCase(p.Upper.data(), p.Upper.size(), p.Upper.data());
  bool ascii = true;
  for (unsigned char c : p.Upper) ascii = ascii && c < 0x80;
  // In UTF-8 a byte's capital depends on its neighbours, except for ASCII.
  p.OnRawText = !cp.IsUtf8() || ascii;
  p.MayTouchEnding = p.Upper.find_first_of("\r\n") != std::string::npos;
  // The anchor is the rarest byte, counting a letter's two cases, and the
  // second the rarest of the others.
  auto rarer = [&](std::size_t j, std::size_t k) {
    return Commonness(static_cast<unsigned char>(p.Upper[j])) <
           Commonness(static_cast<unsigned char>(p.Upper[k]));
  };
  std::size_t anchor = 0;
  for (std::size_t j = 1; j < p.Upper.size(); ++j) {
    if (rarer(j, anchor)) anchor = j;
  }
  std::size_t second = anchor == 0 ? p.Upper.size() - 1 : 0;
  for (std::size_t j = 0; j < p.Upper.size(); ++j) {
    if (j != anchor && rarer(j, second)) second = j;
  }
  p.Anchor = TestFor(cp, p.Upper, anchor);
  if (second != anchor) p.Second = TestFor(cp, p.Upper, second);
  // A byte that too many bytes have for capital is no test; the other may be.
  if (p.Anchor.Count == 0) std::swap(p.Anchor, p.Second);
  return p;
}

RuleMatches::RuleMatches(const PreparedRule& rule, const char* s, std::size_t n)
    : rule_(&rule),
      begin_(reinterpret_cast<const unsigned char*>(s)),
      places_(s, n >= rule.Upper.size() ? n - rule.Upper.size() + 1 : 0, rule.Anchor, rule.Second) {
}

const char* RuleMatches::From(const char* from) {
  const unsigned char* capitals = rule_->Cp->ByteCapitals().data();
  const auto* pattern = reinterpret_cast<const unsigned char*>(rule_->Upper.data());
  const std::size_t m = rule_->Upper.size();
  auto at = static_cast<std::size_t>(reinterpret_cast<const unsigned char*>(from) - begin_);
  for (;; ++at) {
    at = places_.Next(at);
    if (at == places_.End()) return nullptr;
    const unsigned char* u = begin_ + at;
    std::size_t j = 0;
    while (j < m && capitals[u[j]] == pattern[j]) ++j;
    if (j == m) return reinterpret_cast<const char*>(u);
  }
}

bool ReplaceMatches(const PreparedRule& rule, std::string_view text, std::string& out,
                    std::string& upper) {
  if (text.empty() || rule.Upper.empty()) return false;
  const CodePage& cp = *rule.Cp;
  // Upper-casing keeps every byte in its place, so positions in the copy are
  // positions in the text; the copy's byte capitals are the copy itself.
  std::string_view hay = text;
  if (!rule.OnRawText) {
    upper.resize(text.size());
    cp.UpperCase(text.data(), text.size(), upper.data());
    hay = upper;
  }
  RuleMatches matches(rule, hay.data(), hay.size());
  std::size_t pos = 0;  // where the rest of the text, and of hay, begins
  bool any = false;
  while (pos < hay.size()) {
    const char* rest = hay.data() + pos;
    const std::size_t left = hay.size() - pos;
    const char* at = matches.From(rest);
    while (at != nullptr && !cp.MayStartAt(rest, left, static_cast<std::size_t>(at - rest))) {
      at = matches.From(at + 1);
    }
    if (at == nullptr) break;
    if (!any) out.clear();
    any = true;
    const auto found = static_cast<std::size_t>(at - hay.data());
    out.append(text.substr(pos, found - pos));
    out.append(rule.Replacement);
    pos = found + rule.Upper.size();
  }
  if (any) out.append(text.substr(pos));
  return any;
}

std::string ReplaceAllIgnoringCase(const std::string& text, const std::string& search,
                                   const std::string& replacement, const CodePage& code_page) {
  const PreparedRule rule = PrepareRule(search, replacement, code_page);
  std::string result;
  std::string upper;
  return ReplaceMatches(rule, text, result, upper) ? result : text;
}
