#pragma once
// The 8-bit character set that file contents and window texts are in, as far
// as the conversion needs it: upper-casing that keeps every byte position,
// where a character may begin, and which character some bytes stand for.

#include <array>
#include <cstddef>
#include <string>

// How many bytes a UTF-8 character starting with byte b takes: 1 for ASCII,
// 2 to 4 for a lead byte, 0 for a byte that starts no character.
int Utf8LeadLength(unsigned char b);

// The most bytes a character takes after its first (UTF-8's take up to
// four): whether a byte lies inside a character, and its capital, are known
// once that many bytes after it, and that many before it, are at hand.
inline constexpr std::size_t kLongestCharacterTail = 3;

// A character set: UTF-8, or a single-byte set with its own capitals.
class CodePage {
 public:
  // UTF-8: a character is upper-cased only when its capital has the same length.
  static CodePage Utf8();
  // A single-byte set known to iconv ("CP1252", "ISO-8859-15", ...); plain
  // ASCII capitals when the set is unknown.
  static CodePage SingleByte(const std::string& charset);
  // The user's locale charset (setlocale(LC_ALL, "") must have run), read
  // once; the C locale, which names nothing beyond ASCII, counts as UTF-8.
  static const CodePage& System();
  // Makes System() give cp from now on, as if the locale named that set;
  // returns the one it replaces (tests put it back when done). One set for
  // the whole process rather than one handed in: the window passes every
  // text between Qt and the locale's bytes (framework/localtext) from Qt's
  // own entry points, which take no set, and the locale it stands for is
  // the process's anyway.
  static CodePage SetSystem(const CodePage& cp);

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
  // The character s[0, n) (n > 0) begins with, and how many bytes it takes. A
  // byte that is no character of the set stands for itself as U+DC00 + byte,
  // a lone surrogate no character can be, so that Encode gives it back.
  std::size_t Decode(const char* s, std::size_t n, char32_t* c) const;
  // Appends the bytes of c to out; a character the set lacks becomes "?".
  void Encode(char32_t c, std::string& out) const;

 private:
  CodePage() = default;
  static CodePage& SystemSlot();
  bool utf8_ = false;
  std::string name_;
  std::array<unsigned char, 256> upper_{};
  // What each byte of a single-byte set stands for, as Decode gives it.
  std::array<char32_t, 256> chars_{};
};
