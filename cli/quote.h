#pragma once
// Names as terminelle-cli writes them, on every line it prints: a name comes
// from whoever could write in the folder, and must neither pass for a line
// of its own nor reach the terminal as its commands.

#include <string>
#include <string_view>

// name as it is, or quoted with C escapes when it holds a control byte, a
// quote or a backslash.
std::string QuotedName(std::string_view name);

// text with its control bytes written as C escapes, for a message that may
// hold a name; a text without any is left as it is.
std::string EscapedText(std::string_view text);
