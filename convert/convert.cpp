#include "convert/convert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

#include "base/errors.h"
#include "convert/bytescan.h"
#include "convert/replace.h"
#include "platform/contenthash.h"
#include "platform/dosdate.h"
#include "platform/fd.h"
#include "platform/fileio.h"
#include "platform/folderentry.h"
#include "platform/oserror.h"
#include "platform/paths.h"
#include "platform/rewrite.h"
#include "platform/rewriterecord.h"
#include "platform/workfile.h"

namespace {

constexpr std::size_t kReadChunk = 256 * 1024;
constexpr std::size_t kWriteChunk = 256 * 1024;
// A line buffer grown beyond this by one long line is given back afterwards.
constexpr std::size_t kKeptCapacity = 4 * 1024 * 1024;
// Lines up to this long are copied without a call; buffers carry as much slack.
constexpr std::size_t kShortLine = 64;
// A run of blanks inside a streamed line is held in memory up to this long;
// a longer one is read again from the file once a non-blank follows it.
constexpr std::size_t kHeldInMemory = 64 * 1024;

// How a line ended in the file.
enum class Break : unsigned char { kNone, kCr, kLf, kCrLf };

std::string_view BytesOf(Break b) {
  switch (b) {
    case Break::kCr:
      return "\r";
    case Break::kLf:
      return "\n";
    case Break::kCrLf:
      return "\r\n";
    case Break::kNone:
      break;
  }
  return "";
}

// Room for the lines the rules rewrite, and for their capitals.
struct Scratch {
  std::string line;
  std::string spare;
  std::string upper;
};

// The block of the file read last, where it lies in the file.
struct ReadWindow {
  const char* data = nullptr;
  off_t at = 0;
  std::size_t size = 0;
};

// Buffers kept from one file to the next: a run converts thousands of small
// files, and fresh megabytes for each would cost more than the conversion.
struct Buffers {
  std::unique_ptr<char[]> read{new char[kReadChunk + kShortLine]};
  std::unique_ptr<char[]> out{new char[kWriteChunk + kShortLine]};
  // What a file is compared with, read again.
  std::unique_ptr<char[]> compare{new char[kReadChunk]};
  std::string carry;
  Scratch scratch;
  // Where read holds what of the file being converted.
  ReadWindow window;
};

Buffers& SharedBuffers() {
  thread_local Buffers buffers;
  return buffers;
}

// Trims the buffers back after a file with long lines.
void ReleaseLongLines(Buffers& b) {
  for (std::string* s : {&b.carry, &b.scratch.line, &b.scratch.spare, &b.scratch.upper}) {
    if (s->capacity() > kKeptCapacity) std::string().swap(*s);
  }
}

// A write that failed, with its errno; turned into EInOutError once the
// partial output has been cleaned away.
struct WriteFailure {
  int err;
};

// Where converted bytes go once buffered.
class Destination {
 public:
  virtual ~Destination() = default;
  // Takes the next n bytes; throws WriteFailure.
  virtual void Write(const char* p, std::size_t n) = 0;
};

// A descriptor written from where it stands.
class FdDestination : public Destination {
 public:
  FdDestination(FileWriter& writer, int fd) : writer_(writer), fd_(fd) {}
  void Write(const char* p, std::size_t n) override {
    if (int err = WriteFully(writer_, fd_, p, n)) throw WriteFailure{err};
  }

 private:
  FileWriter& writer_;
  int fd_;
};

FileWriter& WriterOf(const Conversion& c) {
  return c.Options.Writer != nullptr ? *c.Options.Writer : SystemFileWriter();
}

const FileClock& ClockOf(const Conversion& c) {
  return c.Options.Clock != nullptr ? *c.Options.Clock : SystemFileClock();
}

class Output {
 public:
  Output(Destination& to, char* buf) : to_(to), buf_(buf) {}
  void Append(const char* p, std::size_t n) {
    if (size_ + n > kWriteChunk) {
      Flush();
      if (n >= kWriteChunk) {
        to_.Write(p, n);
        return;
      }
    }
    std::memcpy(buf_ + size_, p, n);
    size_ += n;
  }
  // A short line and its ending, copied by moves of a fixed size that the
  // compiler makes a few wide ones; both the line's buffer and this one have
  // room past their ends for the overshoot.
  void AppendLine(const char* p, std::size_t n, std::string_view ending) {
    if (n <= kShortLine && size_ + n + ending.size() <= kWriteChunk) {
      char* to = buf_ + size_;
      std::memcpy(to, p, kShortLine / 2);
      if (n > kShortLine / 2) std::memcpy(to + kShortLine / 2, p + kShortLine / 2, kShortLine / 2);
      to[n] = ending[0];
      to[n + 1] = ending[ending.size() - 1];
      size_ += n + ending.size();
      return;
    }
    Append(p, n);
    AppendShort(ending);
  }
  // The line ending: one or two bytes, stored without a call (the buffer
  // has room for two bytes past its end).
  void AppendShort(std::string_view s) {
    if (size_ + s.size() > kWriteChunk) Flush();
    buf_[size_] = s[0];
    buf_[size_ + 1] = s[s.size() - 1];
    size_ += s.size();
  }
  void Flush() {
    if (size_ > 0) to_.Write(buf_, size_);
    size_ = 0;
  }

 private:
  Destination& to_;
  char* buf_;
  std::size_t size_ = 0;
};

std::string_view EndingOf(LineEnding kind) {
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

// Compares what is fed to it, piece after piece, with a file's content from
// a given offset on.
class SameAsFile {
 public:
  // The file's bytes that window holds are taken from there rather than read again.
  SameAsFile(int fd, char* buf, off_t from = 0, const ReadWindow* window = nullptr)
      : fd_(fd), buf_(buf), window_(window), offset_(from) {}
  // How many of the n bytes at p, from the first, equal the file's next
  // ones; they count as compared.
  std::size_t Feed(const char* p, std::size_t n) {
    std::size_t same = 0;
    while (equal_ && same < n) {
      if (at_ == have_ && window_ != nullptr && offset_ >= window_->at &&
          offset_ < window_->at + static_cast<off_t>(window_->size)) {
        // In memory already: most files are read in one block.
        const std::size_t from = static_cast<std::size_t>(offset_ - window_->at);
        const std::size_t k = std::min(n - same, window_->size - from);
        const std::size_t equal = static_cast<std::size_t>(
            std::mismatch(p + same, p + same + k, window_->data + from).first - (p + same));
        same += equal;
        offset_ += static_cast<off_t>(equal);
        equal_ = equal == k;
        continue;
      }
      if (at_ == have_) {
        // Most files that change differ early: the file is read a little
        // at first, then more as long as it stays equal.
        ssize_t r = PreadSome(fd_, buf_, step_, offset_);
        if (r <= 0) {
          equal_ = false;
          break;
        }
        have_ = static_cast<std::size_t>(r);
        at_ = 0;
        step_ = std::min(kReadChunk, step_ * 4);
      }
      const std::size_t k = std::min(n - same, have_ - at_);
      const std::size_t equal = static_cast<std::size_t>(
          std::mismatch(p + same, p + same + k, buf_ + at_).first - (p + same));
      same += equal;
      at_ += equal;
      offset_ += static_cast<off_t>(equal);
      equal_ = equal == k;
    }
    return same;
  }
  // Whether what was fed equals the file's content up to end.
  bool EqualUpTo(off_t end) const { return equal_ && offset_ == end; }
  // The file's offset up to which all was equal.
  off_t Offset() const { return offset_; }

 private:
  int fd_;
  char* buf_;
  const ReadWindow* window_;
  std::size_t have_ = 0;
  std::size_t at_ = 0;
  std::size_t step_ = 4096;
  off_t offset_;
  bool equal_ = true;
};

// A rule applied to a line that comes in pieces: only what a match may still
// need is held back, the search's length and the bytes of a character.
class RuleStream {
 public:
  void Begin(const PreparedRule* rule) {
    rule_ = rule;
    pending_.clear();
    done_ = 0;
    rest_ = 0;
  }
  // The next bytes of the line; what is settled goes to emit.
  template <class Emit>
  void Feed(const char* p, std::size_t n, Emit& emit) {
    pending_.append(p, n);
    Settle(false, emit);
  }
  // The line is over: the rest is settled.
  template <class Emit>
  void Finish(Emit& emit) {
    Settle(true, emit);
    pending_.clear();
    done_ = 0;
    rest_ = 0;
  }

 private:
  template <class Emit>
  void Settle(bool final, Emit& emit) {
    const std::size_t size = pending_.size();
    const std::size_t m = rule_->Upper.size();
    // Whether a byte is inside a character, and its capital, depend on up to
    // three bytes after it.
    const std::size_t limit = final ? size : (size > 3 ? size - 3 : 0);
    const CodePage& cp = *rule_->Cp;
    std::string_view hay = pending_;
    if (!rule_->OnRawText) {
      upper_.resize(size);
      cp.UpperCase(pending_.data(), size, upper_.data());
      hay = upper_;
    }
    std::size_t pos = done_;
    RuleMatches matches(*rule_, hay.data(), limit);
    for (;;) {
      const char* at = pos < limit ? matches.From(hay.data() + pos) : nullptr;
      while (at != nullptr && !cp.MayStartAt(hay.data() + rest_, size - rest_,
                                             static_cast<std::size_t>(at - hay.data()) - rest_)) {
        at = matches.From(at + 1);
      }
      if (at == nullptr) break;
      const auto found = static_cast<std::size_t>(at - hay.data());
      emit(pending_.data() + pos, found - pos);
      emit(rule_->Replacement.data(), rule_->Replacement.size());
      pos = found + m;
      rest_ = pos;
    }
    // What no match can start in any more is settled.
    const std::size_t settled = final ? size : std::max(pos, limit + 1 > m ? limit + 1 - m : 0);
    emit(pending_.data() + pos, settled - pos);
    // Three bytes stay before the rest, to read its first character.
    const std::size_t cut = settled > 3 ? settled - 3 : 0;
    pending_.erase(0, cut);
    done_ = settled - cut;
    rest_ = rest_ > cut ? rest_ - cut : 0;
  }

  const PreparedRule* rule_ = nullptr;
  // Bytes of the line from a little before the first not settled.
  std::string pending_;
  // Where the bytes not settled begin in pending_.
  std::size_t done_ = 0;
  // Where the text after the last match begins in pending_ (0 when before it).
  std::size_t rest_ = 0;
  std::string upper_;
};

// A rule made ready for many lines. A run prepares the same two rules for
// every file, which costs more than converting a small script: what was
// prepared last on this thread is taken again.
PreparedRule Prepared(const ReplaceRule& rule, const CodePage& cp) {
  struct Last {
    std::string search;
    // The set by its place and its name: the system's may be replaced in place.
    const CodePage* cp = nullptr;
    std::string charset;
    PreparedRule prepared;
  };
  thread_local Last last[2];
  thread_local std::size_t next = 0;
  for (Last& l : last) {
    if (l.cp == &cp && l.charset == cp.Name() && l.search == rule.Search) {
      PreparedRule p = l.prepared;
      p.Replacement = rule.Replacement;
      return p;
    }
  }
  Last& l = last[next];
  next = (next + 1) % 2;
  l.search = rule.Search;
  l.cp = &cp;
  l.charset = cp.Name();
  l.prepared = PrepareRule(l.search, rule.Replacement, cp);
  PreparedRule p = l.prepared;
  p.Replacement = rule.Replacement;
  return p;
}

// Trims, ends and rewrites lines into the output (an Output, or what a trial
// compares).
template <class Sink>
class LineConverter {
 public:
  // source is read again for a long run of blanks in a streamed line.
  LineConverter(Sink& out, Scratch& scratch, const Conversion& c, int source)
      : out_(out),
        s_(scratch),
        ending_(EndingOf(c.Kind)),
        source_(source),
        keep_indentation_(c.Options.KeepIndentation) {
    const CodePage& cp = c.Cp != nullptr ? *c.Cp : CodePage::System();
    for (const ReplaceRule* r : {&c.Rule1, &c.Rule2}) {
      if (r->Enabled && !r->Search.empty()) rules_[count_++] = Prepared(*r, cp);
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

  // A line that lies within the current block.
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
      s_.line.assign(p, n);
      s_.line += ending_;
      text = s_.line;
    }
    // Rule 2 works on what rule 1 left, its own insertions included. Without
    // CR or LF in a search, the ending takes no part and is added afterwards.
    for (std::size_t i = 0; i < count_; ++i) {
      if (ReplaceMatches(rules_[i], text, s_.spare, s_.upper)) {
        s_.line.swap(s_.spare);
        text = s_.line;
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
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    std::size_t b = 0;
    if (!started_) {
      while (b < n && u[b] <= 0x20) ++b;
      if (b == n) return;
      started_ = true;
    }
    std::size_t e = n;
    while (e > b && u[e - 1] <= 0x20) --e;
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
            PreadSome(source_, held_.data(), want, held_from_ + static_cast<off_t>(done));
        if (r <= 0) throw IoError(r < 0 ? errno : EIO);
        Forward(held_.data(), static_cast<std::size_t>(r));
        done += static_cast<std::size_t>(r);
      }
    }
    held_.clear();
    held_size_ = 0;
  }

  // A line that no rule changes: trimmed and ended.
  void Plain(const char* p, std::size_t n) {
    Trim(&p, &n);
    out_.AppendLine(p, n, ending_);
  }

  // Narrows the line to what lies between its blanks and control bytes, or
  // only cuts those at its end when the indentation is kept.
  void Trim(const char** p, std::size_t* n) const {
    const auto* u = reinterpret_cast<const unsigned char*>(*p);
    std::size_t b = 0;
    std::size_t e = *n;
    if (!keep_indentation_) {
      while (b < e && u[b] <= 0x20) ++b;
    }
    while (e > b && u[e - 1] <= 0x20) --e;
    *p += b;
    *n = e - b;
  }

  // Where rule i next matches in the block from p on; the block's end when nowhere.
  const char* NextMatch(std::size_t i, const char* p, const char* end) {
    const char* at = scans_[i].From(p);
    return at != nullptr ? at : end;
  }

  Sink& out_;
  Scratch& s_;
  std::string_view ending_;
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

enum class StreamResult { kDone, kBinary };

// Finds the line breaks (CR or LF) of a block from left to right.
class BreakFinder {
 public:
  BreakFinder(const char* begin, const char* end)
      : begin_(begin),
        places_(begin, static_cast<std::size_t>(end - begin), {0, {'\r', '\n'}, 2}) {}

  // The first CR or LF at or after from; the block's end when there is none.
  const char* Next(const char* from) {
    return begin_ + places_.Next(static_cast<std::size_t>(from - begin_));
  }

 private:
  const char* begin_;
  PlaceFinder places_;
};

// A file to read, with its size when it was opened.
struct Input {
  int fd;
  off_t size;
  // When set, every byte read is folded into it.
  ContentHash* hash = nullptr;
};

// Reads in and cuts it into lines, each handed to lines with its break: a
// line within one block as it stands there (BlockLine), one that runs over
// blocks gathered (Line), or in pieces once longer than the options allow
// (LongBegin, LongPiece, LongEnd). CR LF, a lone CR and a lone LF each end
// one line. A NUL byte means a binary file: the caller then writes nothing.
template <class Lines>
StreamResult SplitLines(Input in, Lines& lines, Buffers& buffers, const ConvertOptions& options) {
  char* buf = buffers.read.get();
  const std::size_t chunk = std::clamp<std::size_t>(options.ReadChunk, 1, kReadChunk);
  const std::size_t whole = std::max<std::size_t>(options.WholeLinesUpTo, 1);
  std::string& carry = buffers.carry;
  carry.clear();
  buffers.window = ReadWindow{};
  // A line runs over from an earlier block: carry holds it, or it is streamed.
  bool in_hand = false;
  bool streamed = false;
  // The line in hand ended with a CR at the end of a block: an LF may follow.
  bool cr_last = false;
  off_t block_at = 0;
  off_t line_at = 0;
  auto add = [&](const char* p, std::size_t n, off_t at) {
    in_hand = true;
    if (!streamed && carry.size() + n > whole) {
      streamed = true;
      lines.LongBegin(line_at);
      if (!carry.empty()) lines.LongPiece(carry.data(), carry.size(), line_at);
      carry.clear();
    }
    if (streamed) {
      if (n > 0) lines.LongPiece(p, n, at);
    } else {
      carry.append(p, n);
    }
  };
  auto end_line = [&](Break brk) {
    if (streamed) {
      lines.LongEnd(brk);
    } else {
      lines.Line(carry.data(), carry.size(), brk);
    }
    carry.clear();
    in_hand = streamed = false;
  };
  bool at_end = false;
  while (!at_end) {
    const ssize_t r = ReadSome(in.fd, buf, chunk);
    if (r < 0) throw IoError(errno);
    if (r == 0) break;
    buffers.window = ReadWindow{buf, block_at, static_cast<std::size_t>(r)};
    if (in.hash != nullptr) in.hash->Add(buf, static_cast<std::size_t>(r));
    // A short read once the whole size is in is the end of a regular file,
    // which saves small files a second read.
    at_end = static_cast<std::size_t>(r) < chunk && block_at + r >= in.size;
    const char* p = buf;
    const char* end = buf + r;
    if (std::memchr(p, 0, static_cast<std::size_t>(r)) != nullptr) return StreamResult::kBinary;
    if (cr_last) {
      cr_last = false;
      Break brk = Break::kCr;
      if (*p == '\n') {
        ++p;
        brk = Break::kCrLf;
      }
      end_line(brk);
      line_at = block_at + (p - buf);
    }
    lines.BeginBlock(p, end);
    BreakFinder breaks(p, end);
    while (p < end) {
      const char* q = breaks.Next(p);
      const off_t at = block_at + (p - buf);
      if (q == end) {
        add(p, static_cast<std::size_t>(end - p), at);
        break;
      }
      if (*q == '\r' && q + 1 == end) {
        // Whether an LF follows is for the next block to tell.
        add(p, static_cast<std::size_t>(q - p), at);
        cr_last = true;
        break;
      }
      const Break brk = *q == '\n' ? Break::kLf : q[1] == '\n' ? Break::kCrLf : Break::kCr;
      if (in_hand) {
        add(p, static_cast<std::size_t>(q - p), at);
        end_line(brk);
      } else {
        lines.BlockLine(p, static_cast<std::size_t>(q - p), brk);
      }
      p = q + BytesOf(brk).size();
      line_at = block_at + (p - buf);
    }
    block_at += r;
  }
  if (cr_last) {
    end_line(Break::kCr);
  } else if (in_hand) {
    end_line(Break::kNone);
  }
  return StreamResult::kDone;
}

// The conversion's lines: the break each line had plays no part.
class ConvertLines {
 public:
  explicit ConvertLines(LineConverter<Output>& conv) : conv_(conv) {}
  void BeginBlock(const char* begin, const char* end) { conv_.BeginBlock(begin, end); }
  void BlockLine(const char* p, std::size_t n, Break) { conv_.BlockLine(p, n); }
  void Line(const char* p, std::size_t n, Break) { conv_.Line(p, n); }
  void LongBegin(off_t) { conv_.LongBegin(); }
  void LongPiece(const char* p, std::size_t n, off_t at) { conv_.LongPiece(p, n, at); }
  void LongEnd(Break) { conv_.LongEnd(); }

 private:
  LineConverter<Output>& conv_;
};

// Writes the converted content of in to `to`; false, with nothing written,
// for a binary file.
bool Produce(Input in, Destination& to, const Conversion& c) {
  Buffers& buffers = SharedBuffers();
  Output out(to, buffers.out.get());
  LineConverter conv(out, buffers.scratch, c, in.fd);
  ConvertLines lines(conv);
  if (SplitLines(in, lines, buffers, c.Options) == StreamResult::kBinary) return false;
  out.Flush();
  return true;
}

// A source file open for reading, with its status as opened.
struct Source {
  FolderEntry entry;
  Fd fd;
  struct stat st {};
};

// Whether a source that cannot be looked at counts as absent, which is not
// reported; anything else (no handle left, no memory) stops the run.
bool Absent(int err) {
  return err == ENOENT || err == ENOTDIR || err == EACCES || err == ELOOP || err == ENAMETOOLONG;
}

// How a file met in the middle of its rewrite in place by another run is
// taken: left alone and told, or settled first when its record is this
// user's (never by a trial, which writes nothing).
enum class MarkedSources { kSettle, kRefuse };

// Opens the file at entry; false when it is to be left alone. Only regular
// files dated within what a DOS date can hold are converted; links, pipes
// and devices are never opened, nor the program's own files. A file cut
// short by a rewrite in place is never taken for its content.
bool OpenSource(const FolderEntry& entry, Source* s, FileWriter& writer, MarkedSources marked) {
  s->entry = entry;
  struct stat named {};
  if (const struct stat* listed = entry.Listed()) {
    named = *listed;
  } else if (int err = s->entry.Status(&named)) {
    if (Absent(err)) return false;
    throw IoError(err);
  }
  int32_t dos = 0;
  if (!S_ISREG(named.st_mode) || !DosDateTime(named.st_mtime, &dos) ||
      IsWorkFileName(s->entry.Name().c_str())) {
    return false;
  }
  if (int err = s->entry.OpenForReading(&s->fd)) {
    if (err == ELOOP || err == ENOENT) return false;  // replaced by a link, or gone, since
    throw EFOpenError(FullPathName(entry.Path()), SystemErrorText(err));
  }
  if (::fstat(s->fd.get(), &s->st) != 0 || !S_ISREG(s->st.st_mode)) return false;
  std::string kept_in;
  if (!BearsRewriteMark(s->fd.get(), &kept_in)) return true;
  const MarkedFile state = marked == MarkedSources::kSettle
                               ? SettleMarkedFile(writer, s->st, kept_in)
                               : MarkedFile::kCutShort;
  if (state == MarkedFile::kBeingRewritten) throw IoError(EBUSY, entry.Path());
  if (state == MarkedFile::kCutShort) throw CutShortError(kept_in);
  // Put back or found whole: read as it is now.
  return ::fstat(s->fd.get(), &s->st) == 0 && S_ISREG(s->st.st_mode);
}

// Begins, in rewrite, the rewrite of the source over itself through writer,
// once the file is known to be one this process may write.
void BeginRewrite(const Source& src, FileWriter& writer, std::optional<Rewrite>& rewrite) {
  if (int err = RefuseUnwritable(src.entry, src.st)) throw IoError(err, src.entry.Path());
  rewrite.emplace(src.entry, src.fd.get(), src.st, writer);
  if (int err = rewrite->Begin()) {
    rewrite.reset();
    throw IoError(err, src.entry.Path());
  }
}

// The converted content, compared with the file's own as it comes; the file
// is rewritten only from the first difference on, so an unchanged file gets
// no temporary file at all.
class UnlessUnchanged : public Destination {
 public:
  // The rewrite, when one is needed, is made in rewrite, through writer.
  UnlessUnchanged(const Source& src, FileWriter& writer, std::optional<Rewrite>& rewrite,
                  Buffers& buffers)
      : src_(src),
        writer_(writer),
        rewrite_(rewrite),
        same_(src.fd.get(), buffers.compare.get(), 0, &buffers.window),
        buffers_(buffers) {}

  void Write(const char* p, std::size_t n) override {
    if (!rewrite_) {
      const std::size_t same = same_.Feed(p, n);
      if (same == n) return;
      Diverge();
      p += same;
      n -= same;
    }
    if (int err = WriteFully(writer_, rewrite_->Output(), p, n)) throw WriteFailure{err};
  }

  // Whether all was equal, the file's end included.
  bool Unchanged() const { return !rewrite_ && same_.EqualUpTo(src_.st.st_size); }

  // Makes the rewrite now if the content is a strict beginning of the file's.
  void Finish() {
    if (!rewrite_ && !Unchanged()) Diverge();
  }

 private:
  // Only now is it known that the file must be writable.
  void Diverge() {
    BeginRewrite(src_, writer_, rewrite_);
    // What was equal so far is the file's own beginning, most often still
    // in the block read last.
    const off_t equal = same_.Offset();
    const ReadWindow& w = buffers_.window;
    if (w.at == 0 && equal <= static_cast<off_t>(w.size)) {
      if (int err =
              WriteFully(writer_, rewrite_->Output(), w.data, static_cast<std::size_t>(equal))) {
        throw WriteFailure{err};
      }
      return;
    }
    char* buf = buffers_.compare.get();
    for (off_t at = 0; at < equal;) {
      const ssize_t r = PreadSome(src_.fd.get(), buf, std::min<off_t>(kReadChunk, equal - at), at);
      if (r <= 0) throw WriteFailure{r < 0 ? errno : EIO};
      if (int err = WriteFully(writer_, rewrite_->Output(), buf, static_cast<std::size_t>(r))) {
        throw WriteFailure{err};
      }
      at += r;
    }
  }

  const Source& src_;
  FileWriter& writer_;
  std::optional<Rewrite>& rewrite_;
  SameAsFile same_;
  Buffers& buffers_;
};

// Converts the open source into a rewrite of itself that keeps the old
// content whole until the new one is complete, and stops there; kConverted
// when rewrite then holds the new content, not committed yet.
ConvertOutcome PrepareOverItself(const Source& src, const Conversion& c,
                                 std::optional<Rewrite>& rewrite) {
  // Contents read in the clock tick of their last change are hashed, as
  // their dates cannot tell a change made during the conversion.
  ContentHash hash;
  Input in{src.fd.get(), src.st.st_size};
  if (MayChangeUnseen(src.st, ClockOf(c))) in.hash = &hash;
  FileWriter& writer = WriterOf(c);
  try {
    if (c.Options.KeepUnchanged) {
      UnlessUnchanged to(src, writer, rewrite, SharedBuffers());
      if (!Produce(in, to, c)) {
        rewrite.reset();
        return ConvertOutcome::kBinary;
      }
      if (to.Unchanged()) return ConvertOutcome::kUnchanged;
      to.Finish();
    } else {
      BeginRewrite(src, writer, rewrite);
      FdDestination to(writer, rewrite->Output());
      if (!Produce(in, to, c)) {
        rewrite.reset();
        return ConvertOutcome::kBinary;
      }
    }
  } catch (const WriteFailure& f) {
    rewrite.reset();
    throw IoError(f.err, src.entry.Path());
  } catch (...) {
    rewrite.reset();
    throw;
  }
  if (in.hash != nullptr) rewrite->SetContentHash(hash.Value());
  rewrite->FinishOutput();
  return ConvertOutcome::kConverted;
}

// A destination that is a device or a pipe is written straight through.
ConvertOutcome ConvertToStream(Input in, const FolderEntry& dest, const struct stat& st,
                               const Conversion& c) {
  if (!S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode)) throw EInOutError(io_code::kNotOpenForOutput);
  // A pipe without a reader would block the program for good.
  Fd out_fd(::openat(dest.Folder(), dest.Name().c_str(),
                     O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
  if (out_fd.get() < 0) throw IoError(errno, dest.Path());
  int flags = ::fcntl(out_fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(out_fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  FileWriter& writer = WriterOf(c);
  bool text = true;
  try {
    FdDestination to(writer, out_fd.get());
    text = Produce(in, to, c);
  } catch (const WriteFailure& f) {
    throw IoError(f.err, dest.Path());
  }
  if (writer.Close(out_fd.release()) != 0) throw IoError(errno, dest.Path());
  return text ? ConvertOutcome::kConverted : ConvertOutcome::kBinary;
}

// Begins rewrite, writes the converted content of in through it and commits
// it; destination is the file as the user named it.
ConvertOutcome ConvertThrough(Input in, Rewrite& rewrite, const Conversion& c,
                              const std::string& destination) {
  const std::string& path = rewrite.Entry().Path();
  if (int err = rewrite.Begin()) throw IoError(err, path);
  try {
    FdDestination to(WriterOf(c), rewrite.Output());
    if (!Produce(in, to, c)) return ConvertOutcome::kBinary;
  } catch (const WriteFailure& f) {
    throw IoError(f.err, destination);
  }
  if (int err = rewrite.Commit()) throw IoError(err, path);
  return ConvertOutcome::kConverted;
}

// Converts an open source into another file, written through the links that
// name it (both paths are the user's own).
ConvertOutcome ConvertElsewhere(const Source& src, const std::string& destination,
                                const Conversion& c) {
  const Input input{src.fd.get(), src.st.st_size};
  FolderEntry dest;
  if (int err = dest.LocateThroughLinks(destination)) throw IoError(err, destination);
  struct stat dest_st {};
  if (int err = dest.Status(&dest_st)) {
    if (err != ENOENT) throw IoError(err, destination);
    Rewrite rewrite(dest, WriterOf(c));
    return ConvertThrough(input, rewrite, c, destination);
  }
  if (S_ISDIR(dest_st.st_mode)) throw EInOutError(io_code::kAccessDenied);
  if (!S_ISREG(dest_st.st_mode)) return ConvertToStream(input, dest, dest_st, c);
  Fd old;
  if (int err = dest.OpenForReading(&old)) throw IoError(err, destination);
  if (::fstat(old.get(), &dest_st) != 0 || !S_ISREG(dest_st.st_mode)) {
    throw EInOutError(io_code::kSharingViolation);
  }
  if (int err = RefuseUnwritable(dest, dest_st)) throw IoError(err, dest.Path());
  Rewrite rewrite(dest, old.get(), dest_st, WriterOf(c));
  return ConvertThrough(input, rewrite, c, destination);
}

// What a trial's converter writes: one line's text, kept to be compared, or
// the pieces of a streamed line, compared as they come with the file's
// content at the output's place and with the line as it stood.
class TrialSink {
 public:
  void Append(const char* p, std::size_t n) {
    if (line_ != nullptr) {
      whole_->Feed(p, n);
      line_->Feed(p, n);
      Keep(p, n);
    } else {
      text.append(p, n);
    }
  }
  void AppendShort(std::string_view s) { Append(s.data(), s.size()); }
  void AppendLine(const char* p, std::size_t n, std::string_view ending) {
    Append(p, n);
    AppendShort(ending);
  }
  // Streamed output goes to whole and line until they are null again.
  void StreamTo(SameAsFile* whole, SameAsFile* line) {
    whole_ = whole;
    line_ = line;
    if (line != nullptr) {
      head.clear();
      streamed = 0;
      tail_size_ = 0;
    }
  }
  // The last two bytes streamed, or fewer if fewer came.
  std::string_view Tail() const { return {tail_ + 2 - tail_size_, tail_size_}; }

  std::string text;
  // Of a streamed line: its first bytes, and how many came.
  std::string head;
  std::uint64_t streamed = 0;

 private:
  void Keep(const char* p, std::size_t n) {
    if (n == 0) return;
    if (head.size() < kTrialLineHead) head.append(p, std::min(n, kTrialLineHead - head.size()));
    streamed += n;
    tail_[0] = n >= 2 ? p[n - 2] : tail_[1];
    tail_[1] = p[n - 1];
    tail_size_ = std::min<std::size_t>(tail_size_ + n, 2);
  }

  SameAsFile* whole_ = nullptr;
  SameAsFile* line_ = nullptr;
  char tail_[2] = {};
  std::size_t tail_size_ = 0;
};

// How many bytes of text its last line break takes.
std::size_t FinalBreakSize(std::string_view text) {
  if (text.size() >= 2 && text.substr(text.size() - 2) == "\r\n") return 2;
  return !text.empty() && (text.back() == '\n' || text.back() == '\r') ? 1 : 0;
}

// A trial's lines: each converted and compared with the line and its break
// as they stand, and the whole output with the file; each told to the
// listener, if any.
class TrialLines {
 public:
  TrialLines(const Source& src, const Conversion& c, Buffers& buffers, TrialListener* listener)
      : fd_(src.fd.get()),
        conv_(sink_, buffers.scratch, c, fd_),
        whole_(fd_, buffers.compare.get()),
        listener_(listener) {}

  void BeginBlock(const char* begin, const char* end) { conv_.BeginBlock(begin, end); }
  void BlockLine(const char* p, std::size_t n, Break brk) {
    sink_.text.clear();
    conv_.BlockLine(p, n);
    Judge(p, n, brk);
  }
  void Line(const char* p, std::size_t n, Break brk) {
    sink_.text.clear();
    conv_.Line(p, n);
    Judge(p, n, brk);
  }
  void LongBegin(off_t at) {
    if (!line_buffer_) line_buffer_.reset(new char[kReadChunk]);
    line_.emplace(fd_, line_buffer_.get(), at);
    line_from_ = at;
    line_size_ = 0;
    head_.clear();
    sink_.StreamTo(&whole_, &*line_);
    conv_.LongBegin();
  }
  void LongPiece(const char* p, std::size_t n, off_t at) {
    line_size_ += static_cast<off_t>(n);
    if (head_.size() < kTrialLineHead) head_.append(p, std::min(n, kTrialLineHead - head_.size()));
    conv_.LongPiece(p, n, at);
  }
  void LongEnd(Break brk) {
    conv_.LongEnd();
    sink_.StreamTo(nullptr, nullptr);
    const auto raw_end = line_from_ + line_size_ + static_cast<off_t>(BytesOf(brk).size());
    const bool differs = !line_->EqualUpTo(raw_end);
    changed += differs;
    ++number_;
    if (listener_ != nullptr) {
      TrialLine line;
      line.Number = number_;
      line.Text = head_;
      line.Break = BytesOf(brk);
      const std::string_view tail = sink_.Tail();
      line.ConvertedBreak = tail.substr(tail.size() - FinalBreakSize(tail));
      line.TextSize = static_cast<std::uint64_t>(line_size_);
      line.ConvertedSize = sink_.streamed - line.ConvertedBreak.size();
      line.Converted =
          std::string_view(sink_.head)
              .substr(0, std::min<std::uint64_t>(sink_.head.size(), line.ConvertedSize));
      line.Changed = differs;
      // The text was all equal when the comparison got past its end.
      line.OnlyEnding = differs && line.ConvertedSize == line.TextSize &&
                        line_->Offset() >= line_from_ + line_size_;
      line.Cut = true;
      listener_->Line(line);
    }
    line_.reset();
  }

  // Whether the output equals the file's content, size bytes long.
  bool Unchanged(off_t size) const { return whole_.EqualUpTo(size); }

  // Lines whose converted text is not the line with its own break.
  std::uint64_t changed = 0;

 private:
  void Judge(const char* p, std::size_t n, Break brk) {
    const std::string_view text = sink_.text;
    whole_.Feed(text.data(), text.size());
    const std::string_view ending = BytesOf(brk);
    const bool differs = text.size() != n + ending.size() ||
                         text.compare(0, n, std::string_view(p, n)) != 0 ||
                         text.substr(n) != ending;
    changed += differs;
    ++number_;
    if (listener_ == nullptr) return;
    TrialLine line;
    line.Number = number_;
    line.Text = std::string_view(p, n);
    line.Break = ending;
    const std::size_t end = text.size() - FinalBreakSize(text);
    line.Converted = text.substr(0, end);
    line.ConvertedBreak = text.substr(end);
    line.Changed = differs;
    line.OnlyEnding = differs && line.Converted == line.Text;
    line.TextSize = n;
    line.ConvertedSize = end;
    listener_->Line(line);
  }

  int fd_;
  TrialSink sink_;
  LineConverter<TrialSink> conv_;
  SameAsFile whole_;
  TrialListener* listener_;
  std::uint64_t number_ = 0;
  std::unique_ptr<char[]> line_buffer_;
  std::optional<SameAsFile> line_;
  off_t line_from_ = 0;
  off_t line_size_ = 0;
  // The first bytes of a streamed line.
  std::string head_;
};

TrialOutcome Try(const Source& src, const Conversion& c, TrialListener* listener) {
  Buffers& buffers = SharedBuffers();
  TrialLines lines(src, c, buffers, listener);
  const Input in{src.fd.get(), src.st.st_size};
  if (SplitLines(in, lines, buffers, c.Options) == StreamResult::kBinary) {
    return {ConvertOutcome::kBinary, 0};
  }
  if (lines.Unchanged(src.st.st_size)) return {ConvertOutcome::kUnchanged, 0};
  if (int err = RefuseUnwritable(src.entry, src.st)) throw IoError(err, src.entry.Path());
  if (int err = RefuseUnkeepable(src.fd.get(), src.st)) throw IoError(err, src.entry.Path());
  return {ConvertOutcome::kConverted, lines.changed};
}

// Runs one conversion or trial, giving back the memory a long line took and
// telling an exhausted memory in the program's own words.
template <class Work>
auto WithBuffers(Work work) -> decltype(work()) {
  try {
    auto outcome = work();
    ReleaseLongLines(SharedBuffers());
    return outcome;
  } catch (const std::bad_alloc&) {
    ReleaseLongLines(SharedBuffers());
    throw EOutOfMemory();
  } catch (...) {
    ReleaseLongLines(SharedBuffers());
    throw;
  }
}

// The file at path, as the user named it: the folders on the way may be
// links, the file itself is never followed.
FolderEntry Located(const std::string& path) {
  FolderEntry entry;
  if (int err = entry.Locate(path)) {
    // Absent, or no file: left alone as a missing file is.
    if (Absent(err) || err == EISDIR) return FolderEntry();
    throw IoError(err);
  }
  return entry;
}

Conversion MakeConversion(LineEnding kind, const ReplaceRule& rule1, const ReplaceRule& rule2,
                          const CodePage& cp, const ConvertOptions& options) {
  Conversion c;
  c.Kind = kind;
  c.Rule1 = rule1;
  c.Rule2 = rule2;
  c.Cp = &cp;
  c.Options = options;
  return c;
}

}  // namespace

struct PreparedConversion::State {
  Source src;
  std::optional<Rewrite> rewrite;
};

PreparedConversion::PreparedConversion(std::unique_ptr<State> state, ConvertOutcome outcome)
    : state_(std::move(state)), outcome_(outcome) {}

PreparedConversion::~PreparedConversion() = default;

Rewrite* PreparedConversion::Pending() const {
  return state_ && state_->rewrite ? &*state_->rewrite : nullptr;
}

std::int64_t PreparedConversion::Bytes() const {
  return state_ ? static_cast<std::int64_t>(state_->src.st.st_size) : 0;
}

void PreparedConversion::Drop() {
  state_.reset();
}

std::unique_ptr<PreparedConversion> PrepareConversion(const FolderEntry& file,
                                                      const Conversion& conversion) {
  return WithBuffers([&] {
    auto state = std::make_unique<PreparedConversion::State>();
    ConvertOutcome outcome = ConvertOutcome::kLeftAlone;
    if (file.Folder() >= 0 &&
        OpenSource(file, &state->src, WriterOf(conversion), MarkedSources::kSettle)) {
      outcome = PrepareOverItself(state->src, conversion, state->rewrite);
    }
    if (!state->rewrite) state.reset();
    return std::unique_ptr<PreparedConversion>(new PreparedConversion(std::move(state), outcome));
  });
}

ConvertOutcome ConvertFile(const FolderEntry& file, const Conversion& conversion) {
  std::unique_ptr<PreparedConversion> prepared = PrepareConversion(file, conversion);
  if (Rewrite* pending = prepared->Pending()) {
    int err = 0, folder_err = 0;
    try {
      err = pending->Commit(&folder_err);
    } catch (const std::bad_alloc&) {
      throw EOutOfMemory();
    }
    if (err != 0) throw IoError(err, pending->Entry().Path());
    if (folder_err != 0) throw UnflushedFolderError(folder_err, FolderOf(pending->Entry().Path()));
  }
  return prepared->Outcome();
}

TrialOutcome TryConvertFile(const FolderEntry& file, const Conversion& conversion,
                            TrialListener* listener) {
  return WithBuffers([&] {
    Source src;
    if (file.Folder() < 0 ||
        !OpenSource(file, &src, WriterOf(conversion), MarkedSources::kRefuse)) {
      return TrialOutcome{};
    }
    return Try(src, conversion, listener);
  });
}

ConvertOutcome ConvertFile(const std::string& source, const std::string& destination,
                           LineEnding kind, const ReplaceRule& rule1, const ReplaceRule& rule2,
                           const CodePage& code_page, const ConvertOptions& options) {
  const Conversion c = MakeConversion(kind, rule1, rule2, code_page, options);
  const FolderEntry file = Located(source);
  if (destination == source) return ConvertFile(file, c);
  return WithBuffers([&] {
    Source src;
    if (file.Folder() < 0 || !OpenSource(file, &src, WriterOf(c), MarkedSources::kSettle)) {
      return ConvertOutcome::kLeftAlone;
    }
    return ConvertElsewhere(src, destination, c);
  });
}

TrialOutcome TryConvertFile(const std::string& source, LineEnding kind, const ReplaceRule& rule1,
                            const ReplaceRule& rule2, const CodePage& code_page) {
  return TryConvertFile(Located(source),
                        MakeConversion(kind, rule1, rule2, code_page, ConvertOptions{true}));
}

void ConvertTextFile(const std::string& source, const std::string& destination, LineEnding kind,
                     const ReplaceRule& rule1, const ReplaceRule& rule2,
                     const CodePage& code_page) {
  ConvertFile(source, destination, kind, rule1, rule2, code_page, ConvertOptions{});
}

EInOutError IoError(int err, const std::string& path) {
  return EInOutError(OsErrorCodeForPath(err, path));
}

std::string UnflushedFolderMessage(int err) {
  return "dossier non enregistré sur le disque (" + EInOutError::MessageFor(OsErrorCode(err)) +
         ") ; les fichiers qui viennent d'y être convertis sont en place, mais une coupure de "
         "courant pourrait leur rendre leur ancien contenu";
}

Exception CutShortError(const std::string& kept_in) {
  return Exception(
      "réécriture interrompue par un arrêt du programme : fichier laissé tel quel, son ancien "
      "contenu est gardé dans \"" +
      kept_in + "\"");
}

Exception UnflushedFolderError(int err, const std::string& folder) {
  return Exception(folder + " : " + UnflushedFolderMessage(err));
}
