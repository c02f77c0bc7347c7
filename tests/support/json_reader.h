#pragma once
// A strict reader of one JSON value (RFC 8259), for tests of what the
// program writes for scripts: it refuses what a lenient parser lets through,
// so a writer's fault cannot hide behind it.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  // A string's UTF-8, or a number as written.
  std::string text;
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;

  // The member name of an object; null when it has none.
  const JsonValue* Find(std::string_view name) const {
    for (const auto& [n, v] : members) {
      if (n == name) return &v;
    }
    return nullptr;
  }
};

namespace json_reader {

class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}

  bool Whole(JsonValue* v) {
    Space();
    if (!Value(v, 0)) return false;
    Space();
    return at_ == s_.size() || Fail("text after the value");
  }

  std::string error;

 private:
  bool Fail(const char* what) {
    if (error.empty()) error = std::string(what) + " at " + std::to_string(at_);
    return false;
  }
  void Space() {
    while (at_ < s_.size() &&
           (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r')) {
      ++at_;
    }
  }
  bool Take(char c) {
    if (at_ < s_.size() && s_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Word(std::string_view w) {
    if (s_.substr(at_, w.size()) != w) return Fail("unknown word");
    at_ += w.size();
    return true;
  }

  bool Value(JsonValue* v, int depth) {
    if (depth > 64) return Fail("too deep");
    if (at_ >= s_.size()) return Fail("no value");
    switch (s_[at_]) {
      case 'n':
        v->kind = JsonValue::Kind::kNull;
        return Word("null");
      case 't':
        v->kind = JsonValue::Kind::kBool;
        v->boolean = true;
        return Word("true");
      case 'f':
        v->kind = JsonValue::Kind::kBool;
        return Word("false");
      case '"':
        v->kind = JsonValue::Kind::kString;
        return String(&v->text);
      case '[':
        v->kind = JsonValue::Kind::kArray;
        return Array(v, depth);
      case '{':
        v->kind = JsonValue::Kind::kObject;
        return Object(v, depth);
      default:
        v->kind = JsonValue::Kind::kNumber;
        return Number(&v->text);
    }
  }

  bool Array(JsonValue* v, int depth) {
    ++at_;
    Space();
    if (Take(']')) return true;
    for (;;) {
      v->items.emplace_back();
      Space();
      if (!Value(&v->items.back(), depth + 1)) return false;
      Space();
      if (Take(']')) return true;
      if (!Take(',')) return Fail("expected , or ]");
    }
  }

  bool Object(JsonValue* v, int depth) {
    ++at_;
    Space();
    if (Take('}')) return true;
    for (;;) {
      Space();
      std::string name;
      if (at_ >= s_.size() || s_[at_] != '"' || !String(&name)) return Fail("expected a name");
      if (v->Find(name) != nullptr) return Fail("name given twice");
      Space();
      if (!Take(':')) return Fail("expected :");
      Space();
      JsonValue member;
      if (!Value(&member, depth + 1)) return false;
      v->members.emplace_back(std::move(name), std::move(member));
      Space();
      if (Take('}')) return true;
      if (!Take(',')) return Fail("expected , or }");
    }
  }

  bool Digits() {
    const std::size_t from = at_;
    while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
    return at_ > from;
  }

  bool Number(std::string* out) {
    const std::size_t from = at_;
    Take('-');
    if (Take('0')) {
      if (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') return Fail("leading zero");
    } else if (!Digits()) {
      return Fail("not a value");
    }
    if (Take('.') && !Digits()) return Fail("no digits after .");
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      if (!Digits()) return Fail("no exponent");
    }
    *out = std::string(s_.substr(from, at_ - from));
    return true;
  }

  bool Hex4(std::uint32_t* u) {
    if (s_.size() - at_ < 4) return Fail("short \\u escape");
    *u = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[at_++];
      const int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
      if (d < 0) return Fail("bad \\u escape");
      *u = *u * 16 + static_cast<std::uint32_t>(d);
    }
    return true;
  }

  static void Put(std::uint32_t u, std::string* out) {
    if (u < 0x80) {
      *out += static_cast<char>(u);
    } else if (u < 0x800) {
      *out += static_cast<char>(0xC0 | (u >> 6));
      *out += static_cast<char>(0x80 | (u & 0x3F));
    } else if (u < 0x10000) {
      *out += static_cast<char>(0xE0 | (u >> 12));
      *out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | (u >> 18));
      *out += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
      *out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (u & 0x3F));
    }
  }

  // One UTF-8 character of the raw text, checked as RFC 3629 has it.
  bool Raw(std::string* out) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s_[at_ + k]); };
    const unsigned char c = b(0);
    std::size_t n = c < 0x80                 ? 1
                    : c >= 0xC2 && c <= 0xDF ? 2
                    : c >= 0xE0 && c <= 0xEF ? 3
                    : c >= 0xF0 && c <= 0xF4 ? 4
                                             : 0;
    if (n == 0 || s_.size() - at_ < n) return Fail("not UTF-8");
    std::uint32_t u = n == 1 ? c : c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      if ((b(k) & 0xC0) != 0x80) return Fail("not UTF-8");
      u = (u << 6) | (b(k) & 0x3F);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (u < least[n] || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return Fail("not UTF-8");
    out->append(s_.substr(at_, n));
    at_ += n;
    return true;
  }

  bool String(std::string* out) {
    ++at_;
    for (;;) {
      if (at_ >= s_.size()) return Fail("unended string");
      const char c = s_[at_];
      if (c == '"') {
        ++at_;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in a string");
      if (c != '\\') {
        if (!Raw(out)) return false;
        continue;
      }
      if (++at_ >= s_.size()) return Fail("unended escape");
      const char e = s_[at_++];
      const std::string_view simple = "\"\\/bfnrt";
      const std::string_view meant = "\"\\/\b\f\n\r\t";
      if (const std::size_t k = simple.find(e); k != std::string_view::npos) {
        *out += meant[k];
        continue;
      }
      if (e != 'u') return Fail("bad escape");
      std::uint32_t u = 0;
      if (!Hex4(&u)) return false;
      if (u >= 0xDC00 && u <= 0xDFFF) return Fail("lone low surrogate");
      if (u >= 0xD800 && u <= 0xDBFF) {
        std::uint32_t low = 0;
        if (!Take('\\') || !Take('u') || !Hex4(&low) || low < 0xDC00 || low > 0xDFFF) {
          return Fail("lone high surrogate");
        }
        u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
      }
      Put(u, out);
    }
  }

  std::string_view s_;
  std::size_t at_ = 0;
};

}  // namespace json_reader

// Reads text, which must be one JSON value and nothing else, into *v; false
// with *error set on the first fault.
inline bool ParseJson(std::string_view text, JsonValue* v, std::string* error) {
  json_reader::Reader reader(text);
  if (reader.Whole(v)) return true;
  *error = reader.error;
  return false;
}
