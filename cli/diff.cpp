#include "cli/diff.h"

#include <algorithm>

#include "platform/quote.h"

namespace {

constexpr std::uint64_t kContext = 3;

const char* EndingName(std::string_view brk) {
  if (brk == "\r\n") return "CR LF";
  if (brk == "\n") return "LF";
  if (brk == "\r") return "CR";
  return "aucune";
}

void AppendNote(std::string* to, std::string_view was, std::string_view will) {
  *to += "\\ seule la fin de ligne change : ";
  *to += EndingName(was);
  *to += " → ";
  *to += EndingName(will);
  *to += '\n';
}

// Appends a line as shown: whole, or its first bytes (ending on a whole
// UTF-8 character) and its size when it was too long to hold.
void AppendShown(std::string* to, std::string_view text, bool cut, std::uint64_t size) {
  if (!cut || text.size() >= size) {
    to->append(text);
    return;
  }
  std::size_t end = text.size();
  std::size_t back = 0;
  while (back < 3 && back < end &&
         (static_cast<unsigned char>(text[end - 1 - back]) & 0xC0) == 0x80)
    ++back;
  if (back < end) {
    const auto lead = static_cast<unsigned char>(text[end - 1 - back]);
    const std::size_t needs = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (needs > back + 1) end -= back + 1;
  }
  to->append(text.substr(0, end));
  *to += "[…] (ligne de " + std::to_string(size) + " octets, trop longue pour être montrée)";
}

void AppendLine(std::string* to, char mark, std::string_view text) {
  *to += mark;
  to->append(text);
  *to += '\n';
}

void Range(std::string* out, std::uint64_t start, std::uint64_t count) {
  // As diff -u: an empty side gives the line before it; a count of one is left out.
  *out += std::to_string(count == 0 && start > 0 ? start - 1 : start);
  if (count != 1) *out += "," + std::to_string(count);
}

bool HasBreak(std::string_view s) {
  return s.find('\n') != std::string_view::npos || s.find('\r') != std::string_view::npos;
}

}  // namespace

std::string DiffHeader(std::string_view name) {
  const std::string path(name);
  return "--- " + QuotedName("a/" + path) + "\n+++ " + QuotedName("b/" + path) + "\n";
}

void FileDiff::Line(const TrialLine& line) {
  // A line after a new text left open joins it, changed or not.
  const bool joins = !open_.empty() && open_.back() != '\r';
  if (line.Changed || joins) {
    Changed(line);
  } else {
    if (in_block_) EndBlock();
    Context(line);
  }
}

void FileDiff::Context(const TrialLine& line) {
  ++old_seen_;
  ++new_seen_;
  std::string& slot = recent_[recent_count_++ % 8];
  slot.clear();
  AppendShown(&slot, line.Text, line.Cut, line.TextSize);
  // More unchanged lines than two hunks' context: this hunk ends.
  ++since_change_;
  if (hunk_open_ && since_change_ > 2 * kContext) CloseHunk();
}

void FileDiff::Changed(const TrialLine& line) {
  if (!in_block_) {
    // The context since the last change: all of it within a hunk, the last
    // three lines before a new one.
    const std::uint64_t context = hunk_open_ ? since_change_ : std::min(since_change_, kContext);
    if (!hunk_open_) {
      hunk_open_ = true;
      hunk_.clear();
      old_start_ = old_seen_ - context + 1;
      new_start_ = new_seen_ - context + 1;
      old_count_ = new_count_ = 0;
    }
    for (std::uint64_t back = context; back > 0; --back) AppendLine(&hunk_, ' ', Recent(back));
    old_count_ += context;
    new_count_ += context;
    since_change_ = 0;
    in_block_ = true;
  }
  ++old_seen_;
  ++block_old_;
  minus_ += '-';
  AppendShown(&minus_, line.Text, line.Cut, line.TextSize);
  minus_ += '\n';
  if (line.Cut) {
    // Only its first bytes are known: shown as one line with its ending.
    if (!open_.empty()) NewLine(open_);
    open_.clear();
    std::string shown;
    AppendShown(&shown, line.Converted, true, line.ConvertedSize);
    NewLine(shown);
    if (line.OnlyEnding) AppendNote(&plus_, line.Break, line.ConvertedBreak);
    return;
  }
  // The usual line: one whole line of text, which starts a line of its own.
  if (open_.empty() && !line.ConvertedBreak.empty() && line.ConvertedBreak != "\r" &&
      !HasBreak(line.Converted)) {
    NewLine(line.Converted);
    if (line.OnlyEnding) AppendNote(&plus_, line.Break, line.ConvertedBreak);
    return;
  }
  const std::string piece = std::string(line.Converted) + std::string(line.ConvertedBreak);
  // The line starts a new line of its own unless it continues one left open.
  const bool fresh =
      open_.empty() || (open_.back() == '\r' && (piece.empty() || piece.front() != '\n'));
  if (fresh && !open_.empty()) {
    NewLine(open_);
    open_.clear();
  }
  if (fresh && line.OnlyEnding) AppendNote(&open_note_, line.Break, line.ConvertedBreak);
  AddNew(piece);
}

void FileDiff::AddNew(std::string_view text) {
  std::string s = open_ + std::string(text);
  open_.clear();
  std::size_t at = 0;
  while (at < s.size()) {
    const std::size_t brk = s.find_first_of("\r\n", at);
    // A CR at the end may be the first half of a CR LF.
    if (brk == std::string::npos || (s[brk] == '\r' && brk + 1 == s.size())) {
      open_ = s.substr(at);
      return;
    }
    NewLine(std::string_view(s).substr(at, brk - at));
    at = brk + (s[brk] == '\r' && s[brk + 1] == '\n' ? 2 : 1);
  }
}

void FileDiff::NewLine(std::string_view text) {
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  AppendLine(&plus_, '+', text);
  ++block_new_;
  plus_ += open_note_;
  open_note_.clear();
}

void FileDiff::EndBlock() {
  if (!open_.empty()) NewLine(open_);
  open_.clear();
  hunk_ += minus_;
  hunk_ += plus_;
  old_count_ += block_old_;
  new_count_ += block_new_;
  new_seen_ += block_new_;
  minus_.clear();
  plus_.clear();
  block_old_ = block_new_ = 0;
  in_block_ = false;
}

void FileDiff::CloseHunk() {
  // The context after the last change: up to three of the lines since.
  const std::uint64_t context = std::min(since_change_, kContext);
  for (std::uint64_t back = since_change_; back > since_change_ - context; --back) {
    AppendLine(&hunk_, ' ', Recent(back));
  }
  old_count_ += context;
  new_count_ += context;
  out_ += "@@ -";
  Range(&out_, old_start_, old_count_);
  out_ += " +";
  Range(&out_, new_start_, new_count_);
  out_ += " @@\n";
  out_ += hunk_;
  hunk_.clear();
  hunk_open_ = false;
}

std::string FileDiff::Finish() {
  if (in_block_) EndBlock();
  if (hunk_open_) CloseHunk();
  return std::move(out_);
}
