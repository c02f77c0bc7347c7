#pragma once
// Names as both programs show them, on a terminal or in a box: a name comes
// from whoever could write in the folder, and must neither pass for a line
// of its own, nor turn round the text shown around it, nor hide what it is
// made of, nor reach a terminal as its commands.

#include <string>
#include <string_view>

#include "platform/codepage.h"

// Whether character c is one a name may not show as it is: the C0, DEL and
// C1 controls, the line and paragraph separators (U+2028, U+2029), the
// format characters (bidirectional marks, embeddings, overrides and
// isolates, zero-width characters, the soft hyphen, tags...), and the lone
// surrogates that stand for bytes that are no character.
bool IsUnsafeCharacter(char32_t c);

// name as it is, or between double quotes with C escapes (\n, \r, \t, \",
// \\, and \ooo for each byte of any other unsafe character) when it holds a
// quote, a backslash, or a character of cp that is unsafe: in UTF-8, a byte
// outside a valid sequence is (a lone 0x9B is a CSI to some terminals); in a
// single-byte set, each byte is the character the set makes of it (0x9B is
// a C1 control in ISO-8859-15, but "›" in CP1252).
std::string QuotedName(std::string_view name, const CodePage& cp);
// The same in the locale's set.
std::string QuotedName(std::string_view name);

// text with its unsafe characters written as C escapes, for a message that
// may hold a name; a text without any is left as it is.
std::string EscapedText(std::string_view text, const CodePage& cp);
// The same in the locale's set.
std::string EscapedText(std::string_view text);
