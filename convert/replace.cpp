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
  t.offset = j;
  int count = 0;
  for (int b = 0; b < 256; ++b) {
    if (cp.ByteCapitals()[b] != static_cast<unsigned char>(upper[j])) continue;
    if (count < 2) t.bytes[count] = static_cast<unsigned char>(b);
    ++count;
  }
  t.count = count <= 2 ? count : 0;
  return t;
}

}  // namespace

PreparedRule PrepareRule(std::string_view search, std::string_view replacement,
                         const CodePage& cp) {
  PreparedRule p;
  p.code_page = &cp;
  p.replacement = replacement;
  p.upper.assign(search);
  if (p.upper.empty()) return p;
  cp.UpperCase(p.upper.data(), p.upper.size(), p.upper.data());
  bool ascii = true;
  for (unsigned char c : p.upper) ascii = ascii && c < 0x80;
  // In UTF-8 a byte's capital depends on its neighbours, except for ASCII.
  p.on_raw_text = !cp.IsUtf8() || ascii;
  p.may_touch_ending = p.upper.find_first_of("\r\n") != std::string::npos;
  // The anchor is the rarest byte, counting a letter's two cases, and the
  // second the rarest of the others.
  auto rarer = [&](std::size_t j, std::size_t k) {
    return Commonness(static_cast<unsigned char>(p.upper[j])) <
           Commonness(static_cast<unsigned char>(p.upper[k]));
  };
  std::size_t anchor = 0;
  for (std::size_t j = 1; j < p.upper.size(); ++j) {
    if (rarer(j, anchor)) anchor = j;
  }
  std::size_t second = anchor == 0 ? p.upper.size() - 1 : 0;
  for (std::size_t j = 0; j < p.upper.size(); ++j) {
    if (j != anchor && rarer(j, second)) second = j;
  }
  p.anchor = TestFor(cp, p.upper, anchor);
  if (second != anchor) p.second = TestFor(cp, p.upper, second);
  // A byte that too many bytes have for capital is no test; the other may be.
  if (p.anchor.count == 0) std::swap(p.anchor, p.second);
  return p;
}

RuleMatches::RuleMatches(const PreparedRule& rule, const char* s, std::size_t n)
    : rule_(&rule),
      begin_(reinterpret_cast<const unsigned char*>(s)),
      places_(s, n >= rule.upper.size() ? n - rule.upper.size() + 1 : 0, rule.anchor, rule.second) {
}

const char* RuleMatches::From(const char* from) {
  const unsigned char* capitals = rule_->code_page->ByteCapitals().data();
  const auto* pattern = reinterpret_cast<const unsigned char*>(rule_->upper.data());
  const std::size_t m = rule_->upper.size();
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
  if (text.empty() || rule.upper.empty()) return false;
  const CodePage& cp = *rule.code_page;
  // Upper-casing keeps every byte in its place, so positions in the copy are
  // positions in the text; the copy's byte capitals are the copy itself.
  std::string_view hay = text;
  if (!rule.on_raw_text) {
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
    out.append(rule.replacement);
    pos = found + rule.upper.size();
  }
  if (any) out.append(text.substr(pos));
  return any;
}

std::string ReplaceAllIgnoringCase(const std::string& text, const std::string& search,
                                   const std::string& replacement, const CodePage& codePage) {
  const PreparedRule rule = PrepareRule(search, replacement, codePage);
  std::string result;
  std::string upper;
  return ReplaceMatches(rule, text, result, upper) ? result : text;
}
