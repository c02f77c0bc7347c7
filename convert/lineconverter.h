#pragma once
// One line after another made what the conversion makes of it: trimmed of
// its blanks, given the chosen ending, passed through the rules. A line too
// long to hold is converted piece by piece to the same bytes.

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>

#include "convert/buffers.h"
#include "convert/conversion.h"
#include "convert/ioerror.h"
#include "convert/replace.h"
#include "convert/rulestream.h"
#include "convert/simd.h"
#include "platform/codepage.h"
#include "platform/fd.h"
#include "platform/fileio.h"

// A run of blanks inside a streamed line is held in memory up to this long;
// a longer one is read again from the file once a non-blank follows it.
inline constexpr std::size_t kHeldInMemory = 64 * 1024;

// What trimming takes away: the space and every control byte below it.
inline constexpr unsigned char kLastBlank = 0x20;
constexpr bool IsBlank(unsigned char b) {
  return b <= kLastBlank;
}

// How many blanks u[0, n) begins with.
inline std::size_t LeadingBlanks(const unsigned char* u, std::size_t n) {
  return LeadingAtMost(u, n, kLastBlank);
}

// Where the blanks that end u[b, e) begin: e when there are none.
inline std::size_t TrailingBlanksAt(const unsigned char* u, std::size_t b, std::size_t e) {
  return TrailingAtMostFrom(u, b, e, kLastBlank);
}

// LeadingBlanks and TrailingBlanksAt for a line of a block read, whose
// kBlockSlack bytes on either side may be loaded: many bytes at a time,
// without a branch for each blank (most lines of a script are indented).
inline std::size_t BlockLeadingBlanks(const unsigned char* u, std::size_t n) {
  return WideLeadingAtMost(u, n, kLastBlank);
}
inline std::size_t BlockTrailingBlanksAt(const unsigned char* u, std::size_t b, std::size_t e) {
  return WideTrailingAtMostFrom(u, b, e, kLastBlank);
}

inline std::string_view EndingOf(LineEnding kind) {
  switch (kind) {
    case LineEnding::Windows:
      return "\r\n";
    case LineEnding::Unix:
      return "\n";
    case LineEnding::Mac:
      return "\r";
  }
  return "\r\n";
}

// The rule made ready for many lines. A run prepares the same two rules for
// every file, which costs more than converting a small script: what was
// prepared last on this thread is taken again.
PreparedRule CachedRule(const ReplaceRule& rule, const CodePage& cp);

// Trims, ends and rewrites lines into a sink: an Output, or what a trial
// compares. A sink takes Append(p, n), AppendShort(ending) and
// AppendLine(p, n, ending). Without kTrims, no blank is trimmed and only the
// line ends change (ConvertOptions::EndingsOnly): a type of its own, chosen
// once per file, so that no line of an ordinary conversion pays for it.
template <class Sink, bool kTrims = true>
class LineConverter {
 public:
  // source is read again, through c's writer, for a long run of blanks in a
  // streamed line.
  LineConverter(Sink& out, ScratchLines& scratch, const Conversion& c, int source)
      : out_(out),
        s_(scratch),
        ending_(EndingOf(c.Kind)),
        reader_(WriterOf(c.Options)),
        source_(source),
        keep_indentation_(c.Options.KeepIndentation) {
    const CodePage& cp = c.Cp != nullptr ? *c.Cp : CodePage::System();
    for (const ReplaceRule* r : {&c.Rule1, &c.Rule2}) {
      if (r->Enabled && !r->Search.empty()) rules_[count_++] = CachedRule(*r, cp);
    }
    for (std::size_t i = 0; i < count_; ++i) {
      const PreparedRule& r = rules_[i];
      shortest_ = i == 0 ? r.Upper.size() : std::min(shortest_, r.Upper.size());
      every_line_ = every_line_ || !r.OnRawText || r.MayTouchEnding;
      with_ending_ = with_ending_ || r.MayTouchEnding;
    }
  }

  // A new block of input: the rules are looked for in all of it at once, so
  // that the lines between two matches need no search of their own.
  void BeginBlock(const char* begin, const char* end) {
    if (every_line_) return;
    for (std::size_t i = 0; i < count_; ++i) {
      scans_[i] = RuleMatches(rules_[i], begin, static_cast<std::size_t>(end - begin));
      next_[i] = NextMatch(i, begin, end);
    }
    block_end_ = end;
    next_any_ = count_ == 0 ? end : *std::min_element(next_, next_ + count_);
  }

  // A line that lies within the current block, which was read into
  // Buffers::Read: bytes on either side of it may be loaded.
  void BlockLine(const char* p, std::size_t n) {
    if (every_line_) {
      Line(p, n);
      return;
    }
    if (next_any_ < p) {
      for (std::size_t i = 0; i < count_; ++i) {
        if (next_[i] < p) next_[i] = NextMatch(i, p, block_end_);
      }
      next_any_ = *std::min_element(next_, next_ + count_);
    }
    // The trimmed line lies within the raw one, so a match in it is a match here.
    if (next_any_ <= p + n && static_cast<std::size_t>(p + n - next_any_) >= shortest_) {
      Line(p, n);
    } else {
      Plain(p, n);
    }
  }

  // A line pieced together from several blocks, or from anywhere.
  void Line(const char* p, std::size_t n) {
    Trim(&p, &n);
    std::string_view text(p, n);
    if (with_ending_) {
      s_.Line.assign(p, n);
      s_.Line += ending_;
      text = s_.Line;
    }
    // Rule 2 works on what rule 1 left, its own insertions included. Without
    // CR or LF in a search, the ending takes no part and is added afterwards.
    for (std::size_t i = 0; i < count_; ++i) {
      if (ReplaceMatches(rules_[i], text, s_.Spare, s_.Upper)) {
        s_.Line.swap(s_.Spare);
        text = s_.Line;
      }
    }
    out_.Append(text.data(), text.size());
    if (!with_ending_) out_.AppendShort(ending_);
  }

  // A line too long to hold, given in pieces: LongBegin, LongPiece for each
  // piece in order with its offset in the source, LongEnd. It gives exactly
  // what Line gives for the whole line.
  void LongBegin() {
    // Kept indentation is a run of blanks like any other: it goes out once a
    // non-blank follows, and not at all on a line of blanks only.
    started_ = keep_indentation_;
    held_.clear();
    held_size_ = 0;
    for (std::size_t i = 0; i < count_; ++i) streams_[i].Begin(&rules_[i]);
  }
  void LongPiece(const char* p, std::size_t n, off_t offset) {
    if constexpr (!kTrims) {
      // No blank waits to see what follows it.
      Forward(p, n);
      return;
    }
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    std::size_t b = 0;
    if (!started_) {
      b = LeadingBlanks(u, n);
      if (b == n) return;
      started_ = true;
    }
    const std::size_t e = TrailingBlanksAt(u, b, n);
    // Blanks are held back until a non-blank shows they are not the end.
    if (e > b) {
      ReleaseHeld();
      Forward(p + b, e - b);
    }
    if (e < n) Hold(p + e, n - e, offset + static_cast<off_t>(e));
  }
  void LongEnd() {
    held_.clear();
    held_size_ = 0;
    if (with_ending_) Forward(ending_.data(), ending_.size());
    Emit to_out{this};
    if (count_ > 0) {
      Emit to_second{this, 1};
      if (count_ == 2) {
        streams_[0].Finish(to_second);
        streams_[1].Finish(to_out);
      } else {
        streams_[0].Finish(to_out);
      }
    }
    if (!with_ending_) out_.AppendShort(ending_);
  }

 private:
  // Hands bytes on: to stage `stage`'s rule, or to the output past the last.
  struct Emit {
    LineConverter* c;
    std::size_t stage = 2;
    void operator()(const char* p, std::size_t n) {
      if (n == 0) return;
      if (stage < c->count_) {
        Emit next{c, stage + 1};
        c->streams_[stage].Feed(p, n, next);
      } else {
        c->out_.Append(p, n);
      }
    }
  };

  void Forward(const char* p, std::size_t n) {
    Emit first{this, 0};
    first(p, n);
  }

  void Hold(const char* p, std::size_t n, off_t offset) {
    if (held_size_ == 0) held_from_ = offset;
    held_size_ += n;
    if (held_size_ <= kHeldInMemory) {
      held_.append(p, n);
    } else {
      held_.clear();
    }
  }

  void ReleaseHeld() {
    if (held_size_ == 0) return;
    if (held_size_ <= kHeldInMemory) {
      Forward(held_.data(), held_.size());
    } else {
      // Read again piece by piece: memory does not follow the run's length.
      held_.resize(kHeldInMemory);
      for (std::size_t done = 0; done < held_size_;) {
        const std::size_t want = std::min(kHeldInMemory, held_size_ - done);
        const ssize_t r =
            PreadSome(reader_, source_, held_.data(), want, held_from_ + static_cast<off_t>(done));
        if (r <= 0) throw IoError(r < 0 ? errno : EIO);
        Forward(held_.data(), static_cast<std::size_t>(r));
        done += static_cast<std::size_t>(r);
      }
    }
    held_.clear();
    held_size_ = 0;
  }

  // A line of the block that no rule changes: trimmed and ended.
  void Plain(const char* p, std::size_t n) {
    if constexpr (kTrims) {
      const auto* u = reinterpret_cast<const unsigned char*>(p);
      const std::size_t b = keep_indentation_ ? 0 : BlockLeadingBlanks(u, n);
      const std::size_t e = BlockTrailingBlanksAt(u, b, n);
      p += b;
      n = e - b;
    }
    out_.AppendLine(p, n, ending_);
  }

  // Narrows the line to what lies between its blanks, or only cuts those at
  // its end when the indentation is kept.
  void Trim(const char** p, std::size_t* n) const {
    if constexpr (!kTrims) return;
    const auto* u = reinterpret_cast<const unsigned char*>(*p);
    const std::size_t b = keep_indentation_ ? 0 : LeadingBlanks(u, *n);
    const std::size_t e = TrailingBlanksAt(u, b, *n);
    *p += b;
    *n = e - b;
  }

  // Where rule i next matches in the block from p on; the block's end when nowhere.
  const char* NextMatch(std::size_t i, const char* p, const char* end) {
    const char* at = scans_[i].From(p);
    return at != nullptr ? at : end;
  }

  Sink& out_;
  ScratchLines& s_;
  std::string_view ending_;
  FileWriter& reader_;
  int source_;
  bool keep_indentation_;
  PreparedRule rules_[2];
  std::size_t count_ = 0;
  RuleMatches scans_[2];
  const char* block_end_ = nullptr;
  const char* next_[2] = {nullptr, nullptr};
  // The earliest of next_, and the shortest search text.
  const char* next_any_ = nullptr;
  std::size_t shortest_ = 0;
  // Some rule cannot be looked for block-wide: every line gets the full treatment.
  bool every_line_ = false;
  // Some search holds CR or LF, so the rules see each line with its ending.
  bool with_ending_ = false;
  // A streamed line: whether its first non-blank came, the run of blanks
  // held back (its bytes while short) and where that run starts in the file.
  bool started_ = false;
  std::string held_;
  std::size_t held_size_ = 0;
  off_t held_from_ = 0;
  RuleStream streams_[2];
};
