#pragma once
// The 8-bit character set that file contents and window texts are in, as far
// as the conversion needs it: upper-casing that keeps every byte position, and
// where a character may begin.

#include <array>
#include <cstddef>
#include <string>

// A character set: UTF-8, or a single-byte set with its own capitals.
class CodePage {
 public:
  // UTF-8: a character is upper-cased only when its capital has the same length.
  static CodePage Utf8();
  // A single-byte set known to iconv ("CP1252", "ISO-8859-15", ...); plain
  // ASCII capitals when the set is unknown.
  static CodePage SingleByte(const std::string& charset);
  // The user's locale charset (setlocale(LC_ALL, "") must have run), read once.
  static const CodePage& System();

  // Whether this is UTF-8.
  bool IsUtf8() const { return utf8_; }
  // The charset name it was made from.
  const std::string& Name() const { return name_; }
  // Writes the upper-cased copy of in[0, n) to out (n bytes; out may be in).
  void UpperCase(const char* in, std::size_t n, char* out) const;
  // The upper-cased copy of s.
  std::string UpperCase(const std::string& s) const;
  // The capital of each byte taken alone; in UTF-8 only ASCII letters have one.
  const std::array<unsigned char, 256>& ByteCapitals() const { return upper_; }
  // Whether a match may begin at byte pos of s[0, n): not inside a character.
  bool MayStartAt(const char* s, std::size_t n, std::size_t pos) const;

 private:
  CodePage() = default;
  bool utf8_ = false;
  std::string name_;
  std::array<unsigned char, 256> upper_{};
};
