#pragma once
// Text between the locale's character set, which paths, the settings file and
// the conversion's rules are in, and the toolkit's Unicode strings. A byte
// that is no character of the set survives the trip as a lone surrogate, so
// whatever was read is written back byte for byte.

#include <QString>

#include <string>

// Bytes in the locale's character set as the toolkit's text.
QString FromLocalBytes(const std::string& bytes);
// The toolkit's text in the locale's character set; gives back exactly the
// bytes FromLocalBytes read. A character the set lacks becomes "?".
std::string ToLocalBytes(const QString& text);
// A message of the program, which is UTF-8, that may quote a path in the
// locale's set: what reads as UTF-8 is taken so, every other byte in the locale's set.
QString FromMessageBytes(const std::string& bytes);
