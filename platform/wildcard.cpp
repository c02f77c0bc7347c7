#include "platform/wildcard.h"

#include <array>

#include "platform/codepage.h"

namespace {

// Bytes of the character starting at s[i]; a byte that starts no well-formed
// character counts as one, so a broken name still matches byte by byte.
std::size_t CharLength(std::string_view s, std::size_t i, bool utf8) {
  if (!utf8) return 1;
  const auto len = static_cast<std::size_t>(Utf8LeadLength(static_cast<unsigned char>(s[i])));
  if (len <= 1 || i + len > s.size()) return 1;
  for (std::size_t k = 1; k < len; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 1;
  }
  return len;
}

}  // namespace

bool WildcardMatchUpper(std::string_view pattern, std::string_view name, bool utf8) {
  // Greedy scan that remembers the last "*" and lets it take one more
  // character on a mismatch: linear in practice, never exponential.
  std::size_t p = 0, n = 0;
  std::size_t star_p = std::string_view::npos, star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star_p = ++p;
      star_n = n;
      continue;
    }
    if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      n += CharLength(name, n, utf8);
      continue;
    }
    if (p < pattern.size() && pattern[p] == name[n]) {
      ++p;
      ++n;
      continue;
    }
    if (star_p == std::string_view::npos) return false;
    star_n += CharLength(name, star_n, utf8);
    p = star_p;
    n = star_n;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

WildcardPattern::WildcardPattern(const std::string& pattern, const CodePage& code_page)
    : code_page_(&code_page), upper_(code_page.UpperCase(pattern)) {
  // A listing names entries of one folder; "/" can never be part of a name.
  nothing_ = pattern.empty() || pattern.find('/') != std::string::npos;
  everything_ = pattern == "*.*" || pattern.find_first_not_of('*') == std::string::npos;
}

bool WildcardPattern::Matches(const char* name, std::size_t n) const {
  if (nothing_) return false;
  if (everything_) return true;
  // Names are at most NAME_MAX bytes; a longer one is not a name of a listing.
  std::array<char, 512> buffer;
  if (n > buffer.size()) {
    std::string upper = code_page_->UpperCase(std::string(name, n));
    return WildcardMatchUpper(upper_, upper, code_page_->IsUtf8());
  }
  code_page_->UpperCase(name, n, buffer.data());
  return WildcardMatchUpper(upper_, std::string_view(buffer.data(), n), code_page_->IsUtf8());
}
