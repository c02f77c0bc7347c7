#pragma once
// A plain model of replacing a search text without regard to case, made
// without the code page's routines, for tests that check the program's
// replacement against it. It knows only the capitals it is given: each test
// lists those of the characters its random pieces can form.

#include <cstddef>
#include <map>
#include <string>

struct ReplaceModel {
  bool utf8 = false;
  // Capitals beyond ASCII, character by character; a-z are folded anyway.
  std::map<std::string, std::string> capitals;

  // Bytes of the character at s[i]: a UTF-8 sequence with all its bytes, or
  // one byte (the pieces must form no overlong or surrogate sequence).
  std::size_t CharLength(const std::string& s, std::size_t i) const {
    if (!utf8) return 1;
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t length = 1;
    if (b >= 0xC2 && b <= 0xDF) {
      length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4;
    }
    if (i + length > s.size()) return 1;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 1;
    }
    return length;
  }

  std::string Upper(const std::string& s) const {
    std::string out;
    for (std::size_t i = 0, n = 0; i < s.size(); i += n) {
      n = CharLength(s, i);
      std::string c = s.substr(i, n);
      if (n == 1 && c[0] >= 'a' && c[0] <= 'z') c[0] = static_cast<char>(c[0] - 'a' + 'A');
      auto capital = capitals.find(c);
      out += capital != capitals.end() ? capital->second : c;
    }
    return out;
  }

  bool CharacterStartsAt(const std::string& s, std::size_t pos) const {
    std::size_t i = 0;
    while (i < pos) i += CharLength(s, i);
    return i == pos;
  }

  // Copies of what is left, searched from the front each time; a match
  // starts where a character does.
  std::string Replace(std::string text, const std::string& search, const std::string& repl) const {
    std::string u = Upper(text);
    const std::string p = Upper(search);
    std::string result;
    while (!u.empty()) {
      std::size_t found = std::string::npos;
      if (!p.empty()) {
        for (std::size_t i = 0; i + p.size() <= u.size(); ++i) {
          if (u.compare(i, p.size(), p) == 0 && CharacterStartsAt(u, i)) {
            found = i;
            break;
          }
        }
      }
      if (found == std::string::npos) {
        result += text;
        break;
      }
      result += text.substr(0, found) + repl;
      text = text.substr(found + search.size());
      u = u.substr(found + p.size());
    }
    return result;
  }
};
