#pragma once
// What a trial would change in one file, as a unified diff made from the
// lines the trial tells: a conversion keeps each line in its place, so the
// changed lines and their context are all there is to find.

#include <cstdint>
#include <string>
#include <string_view>

#include "convert/convert.h"

// The lines that name a file's diff: name, its path under the chosen folder,
// written after a/ and b/, quoted where it must be.
std::string DiffHeader(std::string_view name);

// The hunks of the unified diff of one file (three lines of context, lines
// shown without their endings), made as the trial tells its lines. They wait
// for their turn without the file's name, which may be long: DiffHeader
// writes it then.
class FileDiff : public TrialListener {
 public:
  void Line(const TrialLine& line) override;

  // The hunks, once every line was told; empty when none changed.
  std::string Finish();

 private:
  void Context(const TrialLine& line);
  void Changed(const TrialLine& line);
  void EndBlock();
  void CloseHunk();
  // Adds the complete lines of text to the block's new side, keeping what
  // is not ended yet, and a CR that an LF may still follow, in open_.
  void AddNew(std::string_view text);
  void NewLine(std::string_view text);
  // The unchanged line back lines ago (1: the last).
  const std::string& Recent(std::uint64_t back) const {
    return recent_[(recent_count_ - back) % 8];
  }

  std::string out_;
  // The last unchanged lines, enough for the context after one change and
  // before the next, and how many came since the last change.
  std::string recent_[8];
  std::uint64_t recent_count_ = 0;
  std::uint64_t since_change_ = 0;
  bool hunk_open_ = false;
  std::string hunk_;
  std::uint64_t old_start_ = 0, new_start_ = 0, old_count_ = 0, new_count_ = 0;
  // Lines of both files up to the current one.
  std::uint64_t old_seen_ = 0, new_seen_ = 0;
  // The changed lines in hand: their old side, their new side, and the new
  // text not ended yet, with the note due once it is.
  bool in_block_ = false;
  std::string minus_, plus_;
  std::uint64_t block_old_ = 0, block_new_ = 0;
  std::string open_;
  std::string open_note_;
};
