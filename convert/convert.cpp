#include "convert/convert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "base/errors.h"
#include "convert/bytescan.h"
#include "convert/replace.h"
#include "platform/dirlist.h"
#include "platform/fileio.h"
#include "platform/oserror.h"
#include "platform/rewrite.h"

namespace {

constexpr std::size_t kReadChunk = 256 * 1024;
constexpr std::size_t kWriteChunk = 256 * 1024;
// A line buffer grown beyond this by one long line is given back afterwards.
constexpr std::size_t kKeptCapacity = 4 * 1024 * 1024;
// Lines up to this long are copied without a call; buffers carry as much slack.
constexpr std::size_t kShortLine = 64;

// Room for the lines the rules rewrite, and for their capitals.
struct Scratch {
  std::string line;
  std::string spare;
  std::string upper;
};

// Buffers kept from one file to the next: a run converts thousands of small
// files, and fresh megabytes for each would cost more than the conversion.
struct Buffers {
  std::unique_ptr<char[]> read{new char[kReadChunk + kShortLine]};
  std::unique_ptr<char[]> out{new char[kWriteChunk + kShortLine]};
  std::string carry;
  Scratch scratch;
};

Buffers& SharedBuffers() {
  thread_local Buffers buffers;
  return buffers;
}

// Trims the buffers back after a file with very long lines.
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

[[noreturn]] void ThrowIo(int err, const std::string& path) {
  throw EInOutError(OsErrorCodeForPath(err, path));
}

void WriteAll(int fd, const char* p, std::size_t n) {
  if (int err = WriteFully(fd, p, n)) throw WriteFailure{err};
}

class Output {
 public:
  Output(int fd, char* buf) : fd_(fd), buf_(buf) {}
  void Append(const char* p, std::size_t n) {
    if (size_ + n > kWriteChunk) {
      Flush();
      if (n >= kWriteChunk) {
        WriteAll(fd_, p, n);
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
    WriteAll(fd_, buf_, size_);
    size_ = 0;
  }

 private:
  int fd_;
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

// Trims, ends and rewrites lines into the output (an Output, or the text of
// one line for a trial).
template <class Sink>
class LineConverter {
 public:
  LineConverter(Sink& out, Scratch& scratch, LineEnding kind, const ReplaceRule& r1,
                const ReplaceRule& r2, const CodePage& cp)
      : out_(out), s_(scratch), ending_(EndingOf(kind)) {
    for (const ReplaceRule* r : {&r1, &r2}) {
      if (r->Enabled && !r->Search.empty()) {
        rules_[count_++] = PrepareRule(r->Search, r->Replacement, cp);
      }
    }
    for (std::size_t i = 0; i < count_; ++i) {
      const PreparedRule& r = rules_[i];
      shortest_ = i == 0 ? r.upper.size() : std::min(shortest_, r.upper.size());
      every_line_ = every_line_ || !r.on_raw_text || r.may_touch_ending;
      with_ending_ = with_ending_ || r.may_touch_ending;
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

 private:
  // A line that no rule changes: trimmed and ended.
  void Plain(const char* p, std::size_t n) {
    Trim(&p, &n);
    out_.AppendLine(p, n, ending_);
  }

  // Narrows the line to what lies between its blanks and control bytes.
  static void Trim(const char** p, std::size_t* n) {
    const auto* u = reinterpret_cast<const unsigned char*>(*p);
    std::size_t b = 0;
    std::size_t e = *n;
    while (b < e && u[b] <= 0x20) ++b;
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

// Converts everything read from in. A NUL byte means a binary file: the
// caller then leaves the destination as it was.
StreamResult Stream(Input in, LineConverter<Output>& conv, Buffers& buffers) {
  char* buf = buffers.read.get();
  std::string& carry = buffers.carry;
  carry.clear();
  bool skip_lf = false;
  bool at_end = false;
  off_t total = 0;
  for (;;) {
    if (at_end) break;
    ssize_t r = ReadSome(in.fd, buf, kReadChunk);
    if (r < 0) throw EInOutError(OsErrorCode(errno));
    if (r == 0) break;
    if (in.hash != nullptr) in.hash->Add(buf, static_cast<std::size_t>(r));
    // A short read once the whole size is in is the end of a regular file,
    // which saves small files a second read.
    total += r;
    at_end = static_cast<std::size_t>(r) < kReadChunk && total >= in.size;
    const char* p = buf;
    const char* end = p + r;
    if (std::memchr(p, 0, static_cast<std::size_t>(r)) != nullptr) return StreamResult::kBinary;
    if (skip_lf) {
      skip_lf = false;
      if (*p == '\n') ++p;
    }
    conv.BeginBlock(p, end);
    BreakFinder breaks(p, end);
    while (p < end) {
      const char* q = breaks.Next(p);
      if (q == end) {
        carry.append(p, end);
        break;
      }
      if (carry.empty()) {
        conv.BlockLine(p, static_cast<std::size_t>(q - p));
      } else {
        carry.append(p, q);
        conv.Line(carry.data(), carry.size());
        carry.clear();
      }
      // CR LF, a lone CR and a lone LF each end one line.
      if (*q == '\r') {
        ++q;
        if (q == end) {
          skip_lf = true;
        } else if (*q == '\n') {
          ++q;
        }
      } else {
        ++q;
      }
      p = q;
    }
  }
  if (!carry.empty()) conv.Line(carry.data(), carry.size());
  return StreamResult::kDone;
}

// Writes the converted content of in to out_fd; false, with nothing
// written, for a binary file.
bool Produce(Input in, int out_fd, LineEnding kind, const ReplaceRule& r1, const ReplaceRule& r2,
             const CodePage& cp) {
  Buffers& buffers = SharedBuffers();
  Output out(out_fd, buffers.out.get());
  LineConverter conv(out, buffers.scratch, kind, r1, r2, cp);
  if (Stream(in, conv, buffers) == StreamResult::kBinary) return false;
  out.Flush();
  return true;
}

// Converts in into the file at entry through a rewrite, which keeps the old
// content whole until the new one is complete. A file that needs write
// permission only if its content changes is checked once that is known.
ConvertOutcome ConvertThroughRewrite(Input in, bool over_itself, Rewrite& rewrite,
                                     const FolderEntry& entry, const struct stat* check_writable,
                                     LineEnding kind, const ReplaceRule& r1, const ReplaceRule& r2,
                                     const CodePage& cp, const ConvertOptions& options) {
  // Only a file converted over itself was read whole, and can be hashed.
  ContentHash hash;
  if (over_itself && rewrite.NeedsContentHash()) in.hash = &hash;
  try {
    if (!Produce(in, rewrite.Output(), kind, r1, r2, cp)) return ConvertOutcome::kBinary;
  } catch (const WriteFailure& f) {
    ThrowIo(f.err, entry.Path());
  }
  if (in.hash != nullptr) rewrite.SetContentHash(hash.Value());
  if (options.KeepUnchanged && rewrite.SameAsOld()) return ConvertOutcome::kUnchanged;
  if (check_writable != nullptr) RefuseUnwritable(entry, *check_writable);
  rewrite.Commit();
  return ConvertOutcome::kConverted;
}

// A destination that is a device or a pipe is written straight through.
ConvertOutcome ConvertToStream(Input in, const FolderEntry& dest, const struct stat& st,
                               LineEnding kind, const ReplaceRule& r1, const ReplaceRule& r2,
                               const CodePage& cp) {
  if (!S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode)) throw EInOutError(105);
  // A pipe without a reader would block the program for good.
  Fd out_fd(::openat(dest.Folder(), dest.Name().c_str(),
                     O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
  if (out_fd.get() < 0) ThrowIo(errno, dest.Path());
  int flags = ::fcntl(out_fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(out_fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  bool text = true;
  try {
    text = Produce(in, out_fd.get(), kind, r1, r2, cp);
  } catch (const WriteFailure& f) {
    ThrowIo(f.err, dest.Path());
  }
  if (CurrentFileWriter().Close(out_fd.release()) != 0) ThrowIo(errno, dest.Path());
  return text ? ConvertOutcome::kConverted : ConvertOutcome::kBinary;
}

// Whether a source that cannot be looked at counts as absent, which is not
// reported; anything else (no handle left, no memory) stops the run.
bool Absent(int err) {
  return err == ENOENT || err == ENOTDIR || err == EACCES || err == ELOOP || err == ENAMETOOLONG;
}

// A source file open for reading, with its status as opened.
struct Source {
  FolderEntry entry;
  Fd fd;
  struct stat st {};
};

// Opens source; false when it is to be left alone. Only regular files dated
// within what a DOS date can hold are converted; links, pipes and devices
// are never opened, nor the program's own files.
bool OpenSource(const std::string& source, Source* s) {
  struct stat named {};
  if (!s->entry.Locate(source) || !s->entry.Status(&named)) {
    if (Absent(errno)) return false;
    throw EInOutError(OsErrorCode(errno));
  }
  int32_t dos = 0;
  if (!S_ISREG(named.st_mode) || !DosDateTime(named.st_mtime, &dos) ||
      IsWorkFileName(s->entry.Name().c_str())) {
    return false;
  }
  s->fd.reset(s->entry.OpenForReading());
  if (s->fd.get() < 0) {
    int err = errno;
    if (err == ELOOP) return false;  // replaced by a link since
    throw EFOpenError(FullPathName(source), SystemErrorText(err));
  }
  return ::fstat(s->fd.get(), &s->st) == 0 && S_ISREG(s->st.st_mode);
}

ConvertOutcome Convert(const std::string& source, const std::string& destination, LineEnding kind,
                       const ReplaceRule& rule1, const ReplaceRule& rule2, const CodePage& cp,
                       const ConvertOptions& options) {
  Source src;
  if (!OpenSource(source, &src)) return ConvertOutcome::kLeftAlone;
  const Input input{src.fd.get(), src.st.st_size};

  if (destination == source) {
    // A file left as it is needs no write permission.
    const struct stat* check_later = nullptr;
    if (options.KeepUnchanged) {
      check_later = &src.st;
    } else {
      RefuseUnwritable(src.entry, src.st);
    }
    Rewrite rewrite(src.entry, src.fd.get(), src.st);
    return ConvertThroughRewrite(input, true, rewrite, src.entry, check_later, kind, rule1, rule2,
                                 cp, options);
  }
  // Another destination is written through the links that name it.
  FolderEntry dest;
  if (!dest.LocateThroughLinks(destination)) ThrowIo(errno, destination);
  struct stat dest_st {};
  if (!dest.Status(&dest_st)) {
    if (errno != ENOENT) ThrowIo(errno, destination);
    Rewrite rewrite(dest);
    return ConvertThroughRewrite(input, false, rewrite, dest, nullptr, kind, rule1, rule2, cp,
                                 options);
  }
  if (S_ISDIR(dest_st.st_mode)) throw EInOutError(5);
  if (!S_ISREG(dest_st.st_mode)) {
    return ConvertToStream(input, dest, dest_st, kind, rule1, rule2, cp);
  }
  Fd old(dest.OpenForReading());
  if (old.get() < 0) ThrowIo(errno, destination);
  if (::fstat(old.get(), &dest_st) != 0 || !S_ISREG(dest_st.st_mode)) throw EInOutError(32);
  RefuseUnwritable(dest, dest_st);
  Rewrite rewrite(dest, old.get(), dest_st);
  return ConvertThroughRewrite(input, false, rewrite, dest, nullptr, kind, rule1, rule2, cp,
                               options);
}

// One converted line, collected for a trial.
class LineText {
 public:
  void Append(const char* p, std::size_t n) { text.append(p, n); }
  void AppendShort(std::string_view s) { text.append(s); }
  std::string text;
};

// Compares what is fed to it, piece after piece, with a file's content.
class SameAsFile {
 public:
  SameAsFile(int fd, char* buf) : fd_(fd), buf_(buf) {}
  void Feed(std::string_view s) {
    while (equal_ && !s.empty()) {
      if (at_ == have_) {
        ssize_t r = PreadSome(fd_, buf_, kReadChunk, offset_);
        if (r <= 0) {
          equal_ = false;
          return;
        }
        have_ = static_cast<std::size_t>(r);
        at_ = 0;
      }
      std::size_t k = std::min(s.size(), have_ - at_);
      equal_ = std::memcmp(s.data(), buf_ + at_, k) == 0;
      s.remove_prefix(k);
      at_ += k;
      offset_ += static_cast<off_t>(k);
    }
  }
  // Whether what was fed is the whole content, size bytes long.
  bool Equal(off_t size) const { return equal_ && offset_ == size; }

 private:
  int fd_;
  char* buf_;
  std::size_t have_ = 0;
  std::size_t at_ = 0;
  off_t offset_ = 0;
  bool equal_ = true;
};

TrialOutcome Try(const std::string& source, LineEnding kind, const ReplaceRule& rule1,
                 const ReplaceRule& rule2, const CodePage& cp) {
  Source src;
  if (!OpenSource(source, &src)) return {ConvertOutcome::kLeftAlone, 0};
  Buffers& buffers = SharedBuffers();
  LineText out;
  LineConverter conv(out, buffers.scratch, kind, rule1, rule2, cp);
  SameAsFile same(src.fd.get(), buffers.out.get());
  std::string& raw = buffers.carry;
  raw.clear();
  std::uint64_t changed = 0;
  // A line whose converted text is not the line with its own break changes.
  auto line_ends = [&](std::string_view brk) {
    out.text.clear();
    conv.Line(raw.data(), raw.size());
    same.Feed(out.text);
    std::string_view text = out.text;
    if (text.size() != raw.size() + brk.size() || text.substr(0, raw.size()) != raw ||
        text.substr(raw.size()) != brk) {
      ++changed;
    }
    raw.clear();
  };
  char* buf = buffers.read.get();
  off_t total = 0;
  bool cr_last = false;  // the block before ended in CR: LF may follow
  for (;;) {
    ssize_t r = ReadSome(src.fd.get(), buf, kReadChunk);
    if (r < 0) throw EInOutError(OsErrorCode(errno));
    if (r == 0) break;
    total += r;
    const char* p = buf;
    const char* end = buf + r;
    if (std::memchr(p, 0, static_cast<std::size_t>(r)) != nullptr) {
      return {ConvertOutcome::kBinary, 0};
    }
    if (cr_last) {
      cr_last = false;
      if (*p == '\n') ++p;
      line_ends(p > buf ? "\r\n" : "\r");
    }
    BreakFinder breaks(p, end);
    while (p < end) {
      const char* q = breaks.Next(p);
      raw.append(p, q);
      if (q == end) break;
      if (*q == '\n') {
        line_ends("\n");
        p = q + 1;
      } else if (q + 1 == end) {
        cr_last = true;
        p = end;
      } else if (q[1] == '\n') {
        line_ends("\r\n");
        p = q + 2;
      } else {
        line_ends("\r");
        p = q + 1;
      }
    }
  }
  if (cr_last) {
    line_ends("\r");
  } else if (!raw.empty()) {
    line_ends("");
  }
  if (same.Equal(total)) return {ConvertOutcome::kUnchanged, 0};
  RefuseUnwritable(src.entry, src.st);
  return {ConvertOutcome::kConverted, changed};
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

}  // namespace

ConvertOutcome ConvertFile(const std::string& source, const std::string& destination,
                           LineEnding kind, const ReplaceRule& rule1, const ReplaceRule& rule2,
                           const CodePage& codePage, const ConvertOptions& options) {
  return WithBuffers(
      [&] { return Convert(source, destination, kind, rule1, rule2, codePage, options); });
}

TrialOutcome TryConvertFile(const std::string& source, LineEnding kind, const ReplaceRule& rule1,
                            const ReplaceRule& rule2, const CodePage& codePage) {
  return WithBuffers([&] { return Try(source, kind, rule1, rule2, codePage); });
}

void ConvertTextFile(const std::string& source, const std::string& destination, LineEnding kind,
                     const ReplaceRule& rule1, const ReplaceRule& rule2, const CodePage& codePage) {
  ConvertFile(source, destination, kind, rule1, rule2, codePage, ConvertOptions{});
}
