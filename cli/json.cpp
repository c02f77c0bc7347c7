#include "cli/json.h"

#include <cstdio>

#include "platform/quote.h"

namespace {

// The length of the valid UTF-8 sequence at the start of s[0, n), its code
// point in *cp; 0 when the first byte begins none.
std::size_t Utf8Sequence(const unsigned char* s, std::size_t n, std::uint32_t* cp) {
  const unsigned char c = s[0];
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  std::size_t length = 0;
  std::uint32_t least = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    *cp = c & 0x1Fu;
    least = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    *cp = c & 0x0Fu;
    least = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    *cp = c & 0x07u;
    least = 0x10000;
  } else {
    return 0;
  }
  if (n < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((s[k] & 0xC0) != 0x80) return 0;
    *cp = (*cp << 6) | (s[k] & 0x3Fu);
  }
  if (*cp < least || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return 0;
  return length;
}

// Appends \uXXXX for c, a surrogate pair beyond the first plane.
void AppendEscape(std::string* out, std::uint32_t c) {
  char escape[16];
  if (c > 0xFFFF) {
    c -= 0x10000;
    std::snprintf(escape, sizeof escape, "\\u%04x\\u%04x",
                  static_cast<unsigned>(0xD800 + (c >> 10)),
                  static_cast<unsigned>(0xDC00 + (c & 0x3FF)));
  } else {
    std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
  }
  *out += escape;
}

}  // namespace

bool IsUtf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t cp = 0;
    const std::size_t length = Utf8Sequence(s + i, text.size() - i, &cp);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string JsonString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t cp = 0;
    const std::size_t length = Utf8Sequence(s + i, text.size() - i, &cp);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (IsUnsafeCharacter(cp)) {
          AppendEscape(&out, cp);
        } else {
          out.append(text.data() + i, length);
        }
    }
    i += length;
  }
  out += '"';
  return out;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t left = bytes.size() - i;
    std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (left > 1)
      group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (left > 2) group |= static_cast<unsigned char>(bytes[i + 2]);
    out += kDigits[(group >> 18) & 63];
    out += kDigits[(group >> 12) & 63];
    out += left > 1 ? kDigits[(group >> 6) & 63] : '=';
    out += left > 2 ? kDigits[group & 63] : '=';
  }
  return out;
}

void JsonObject::Name(std::string_view name) {
  if (out_.size() > 1) out_ += ", ";
  out_ += JsonString(name);
  out_ += ": ";
}

JsonObject& JsonObject::Text(std::string_view name, std::string_view value) {
  Name(name);
  out_ += JsonString(value);
  return *this;
}

JsonObject& JsonObject::Bytes(std::string_view name, std::string_view value) {
  Text(name, value);
  if (!IsUtf8(value)) Text(std::string(name) + "_bytes", Base64(value));
  return *this;
}

JsonObject& JsonObject::Number(std::string_view name, std::uint64_t value) {
  Name(name);
  out_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::Bool(std::string_view name, bool value) {
  Name(name);
  out_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::Null(std::string_view name) {
  Name(name);
  out_ += "null";
  return *this;
}

JsonObject& JsonObject::Raw(std::string_view name, std::string_view json) {
  Name(name);
  out_ += json;
  return *this;
}

std::string JsonObject::Close() {
  std::string done = std::move(out_);
  done += '}';
  out_ = "{";
  return done;
}
