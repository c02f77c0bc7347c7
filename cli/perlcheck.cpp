#include "cli/perlcheck.h"

#include <strings.h>

namespace {

bool IsSpaceOrTab(char c) {
  return c == ' ' || c == '\t';
}

bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsWordChar(char c) {
  return IsAlpha(c) || c == '_' || (c >= '0' && c <= '9');
}

std::string_view WithoutIndent(std::string_view s) {
  std::size_t b = 0;
  while (b < s.size() && IsSpaceOrTab(s[b])) ++b;
  return s.substr(b);
}

// Perl takes a line that starts with = and a letter, where a statement may
// start, for the beginning of POD.
bool StartsPod(std::string_view s) {
  return s.size() >= 2 && s[0] == '=' && IsAlpha(s[1]);
}

// Within POD, Perl looks only for =cut.
bool IsCut(std::string_view s) {
  return s.substr(0, 4) == "=cut" && (s.size() == 4 || !IsAlpha(s[4]));
}

// Perl stops reading code at either.
bool IsEndOfCode(std::string_view s) {
  s = WithoutIndent(s);
  for (std::string_view word : {"__END__", "__DATA__"}) {
    if (s.substr(0, word.size()) == word &&
        (s.size() == word.size() || !IsWordChar(s[word.size()])))
      return true;
  }
  return false;
}

std::string PodCommand(std::string_view s) {
  std::size_t e = 1;
  while (e < s.size() && IsWordChar(s[e])) ++e;
  return std::string(s.substr(0, e));
}

}  // namespace

namespace {

// The name's extension, after its last dot; empty when it has none.
std::string Extension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || name.find('/', dot) != std::string_view::npos) return {};
  return std::string(name.substr(dot + 1));
}

}  // namespace

bool IsPerlFileName(std::string_view name) {
  const std::string ext = Extension(name);
  return ::strcasecmp(ext.c_str(), "pl") == 0 || ::strcasecmp(ext.c_str(), "pm") == 0 ||
         ::strcasecmp(ext.c_str(), "cgi") == 0;
}

bool IsPerlModuleName(std::string_view name) {
  return ::strcasecmp(Extension(name).c_str(), "pm") == 0;
}

void PerlCheck::Line(const TrialLine& line) {
  // What Perl reads is followed in the file as it stands; each place where
  // the converted line would be read otherwise is told.
  const std::string_view was = line.Text;
  const std::string_view will = line.Converted;
  switch (state_) {
    case State::kEnd:
      return;
    case State::kHereDoc: {
      const HereDoc& doc = pending_.front();
      const bool ended = Ends(doc, was);
      if (ended != Ends(doc, will)) {
        Warn(line.Number,
             (ended ? "ne finirait plus le document " : "finirait trop tôt le document ") +
                 doc.written + " de la ligne " + std::to_string(doc.opened));
      }
      if (ended) {
        pending_.pop_front();
        if (pending_.empty()) state_ = State::kCode;
      }
      return;
    }
    case State::kPod:
      if (IsCut(was)) {
        state_ = State::kCode;
      } else if (IsCut(will)) {
        Warn(line.Number, "deviendrait un =cut : la suite de la POD serait lue comme du code");
      }
      return;
    case State::kCode:
      if (IsEndOfCode(was)) {
        state_ = State::kEnd;
        return;
      }
      // Even a =cut there starts POD, which the next =cut ends.
      if (StartsPod(was)) {
        state_ = State::kPod;
        return;
      }
      if (StartsPod(will)) {
        Warn(line.Number, "deviendrait une commande POD (" + PodCommand(will) +
                              ") : le code qui suit serait sauté");
      }
      FindHereDocs(was, line.Number);
      if (!pending_.empty()) state_ = State::kHereDoc;
      return;
  }
}

bool PerlCheck::Ends(const HereDoc& doc, std::string_view line) const {
  return (doc.indented ? WithoutIndent(line) : line) == doc.terminator;
}

void PerlCheck::FindHereDocs(std::string_view s, std::uint64_t number) {
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    // A comment runs to the end of the line.
    if (c == '#' && (i == 0 || IsSpaceOrTab(s[i - 1]))) return;
    // A string on one line is skipped; one that goes on is not followed.
    if (c == '"' || c == '\'') {
      std::size_t j = i + 1;
      while (j < s.size() && s[j] != c) j += s[j] == '\\' ? 2 : 1;
      if (j >= s.size()) return;
      i = j + 1;
      continue;
    }
    if (c != '<' || s.substr(i, 2) != "<<") {
      ++i;
      continue;
    }
    std::size_t j = i + 2;
    HereDoc doc{"", "", false, number};
    if (j < s.size() && s[j] == '~') {
      doc.indented = true;
      ++j;
    }
    std::size_t k = j;
    while (k < s.size() && IsSpaceOrTab(s[k])) ++k;
    if (k < s.size() && (s[k] == '"' || s[k] == '\'')) {
      const std::size_t close = s.find(s[k], k + 1);
      if (close == std::string_view::npos) return;
      doc.terminator = std::string(s.substr(k + 1, close - k - 1));
      j = close + 1;
    } else if (j < s.size() && (s[j] == '\\' || IsAlpha(s[j]) || s[j] == '_')) {
      // <<EOT or <<\EOT, the word right after the operator.
      k = s[j] == '\\' ? j + 1 : j;
      j = k;
      while (j < s.size() && IsWordChar(s[j])) ++j;
      doc.terminator = std::string(s.substr(k, j - k));
    } else {
      // A shift, <<=, <<>> or a number.
      i = j;
      continue;
    }
    doc.written = std::string(s.substr(i, j - i));
    pending_.push_back(std::move(doc));
    i = j;
  }
}

void PerlCheck::Warn(std::uint64_t line, std::string text) {
  warnings_.push_back({line, std::move(text)});
}
