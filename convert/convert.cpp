#include "convert/convert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "platform/dirlist.h"
#include "platform/fileio.h"
#include "platform/oserror.h"
#include "platform/rewrite.h"

namespace {

#if defined(__x86_64__)
// Whether the wide instructions are used; tests switch them off to run the
// baseline paths on machines that have them.
bool use_avx2 = __builtin_cpu_supports("avx2");
#endif

constexpr std::size_t kReadChunk = 256 * 1024;
constexpr std::size_t kWriteChunk = 256 * 1024;
// A line buffer grown beyond this by one long line is given back afterwards.
constexpr std::size_t kKeptCapacity = 4 * 1024 * 1024;
// Lines up to this long are copied without a call; buffers carry as much slack.
constexpr std::size_t kShortLine = 64;

// Buffers kept from one file to the next: a run converts thousands of small
// files, and fresh megabytes for each would cost more than the conversion.
struct Buffers {
  std::unique_ptr<char[]> read{new char[kReadChunk + kShortLine]};
  std::unique_ptr<char[]> out{new char[kWriteChunk + kShortLine]};
  std::string carry;
  std::string line;
};

Buffers& SharedBuffers() {
  thread_local Buffers buffers;
  return buffers;
}

// Trims the buffers back after a file with very long lines.
void ReleaseLongLines(Buffers& b) {
  for (std::string* s : {&b.carry, &b.line}) {
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
  // A short line and its ending, copied in four wide moves; both the line's
  // buffer and this one have room past their ends for the moves' overshoot.
  void AppendLine(const char* p, std::size_t n, std::string_view ending) {
#if defined(__x86_64__)
    if (n <= kShortLine && size_ + n + ending.size() <= kWriteChunk) {
      char* to = buf_ + size_;
      auto* dst = reinterpret_cast<__m128i*>(to);
      const auto* src = reinterpret_cast<const __m128i*>(p);
      _mm_storeu_si128(dst, _mm_loadu_si128(src));
      _mm_storeu_si128(dst + 1, _mm_loadu_si128(src + 1));
      if (n > 32) {
        _mm_storeu_si128(dst + 2, _mm_loadu_si128(src + 2));
        _mm_storeu_si128(dst + 3, _mm_loadu_si128(src + 3));
      }
      to[n] = ending[0];
      to[n + 1] = ending[ending.size() - 1];
      size_ += n + ending.size();
      return;
    }
#endif
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

// A rule ready for use on many lines: its capitals, and whether the quick scan
// for it is exact (then lines without a match skip the full replacement).
struct PreparedRule {
  const ReplaceRule* rule = nullptr;
  std::string upper;
  bool exact_scan = false;
  // A match can only touch the line's ending when the search holds CR or LF.
  bool may_touch_ending = false;
  unsigned char table[256] = {};
  // The search byte that candidates are looked for by, chosen as one that is
  // rare in scripts, and the bytes whose capital it is; when there are at
  // most two, candidates are found sixteen bytes at a time.
  std::size_t anchor = 0;
  unsigned char first[2] = {};
  int first_count = 0;
  // A second byte of the search, checked together with the anchor so that
  // few candidates need a full comparison.
  std::size_t second = 0;
  unsigned char second_bytes[2] = {};
  int second_count = 0;
};

// How common a byte is in scripts, roughly; letters count twice, for both cases.
int Commonness(unsigned char c) {
  if (c == ' ') return 100;
  if (c >= 'A' && c <= 'Z') return 40;
  if (c >= '0' && c <= '9') return 30;
  switch (c) {
    case ';':
    case '$':
    case '(':
    case ')':
    case '=':
      return 20;
    case '\'':
    case '"':
    case ',':
    case '.':
    case '/':
    case '{':
    case '}':
      return 10;
    case '_':
    case '-':
    case '>':
    case '<':
    case '#':  // comments
    case ':':  // package names
      return 8;
    default:
      return 5;
  }
}

PreparedRule Prepare(const ReplaceRule& rule, const CodePage& cp) {
  PreparedRule p;
  p.rule = &rule;
  p.upper = cp.UpperCase(rule.Search);
  bool ascii = true;
  for (unsigned char c : p.upper) ascii = ascii && c < 0x80;
  // In UTF-8 a byte's capital depends on its neighbours, except for ASCII.
  p.exact_scan = !cp.IsUtf8() || ascii;
  std::copy(cp.ByteCapitals().begin(), cp.ByteCapitals().end(), p.table);
  p.may_touch_ending = p.upper.find_first_of("\r\n") != std::string::npos;
  for (std::size_t j = 1; j < p.upper.size(); ++j) {
    if (Commonness(static_cast<unsigned char>(p.upper[j])) <
        Commonness(static_cast<unsigned char>(p.upper[p.anchor]))) {
      p.anchor = j;
    }
  }
  p.second = p.anchor;
  for (std::size_t j = 0; j < p.upper.size(); ++j) {
    if (j == p.anchor) continue;
    if (p.second == p.anchor || Commonness(static_cast<unsigned char>(p.upper[j])) <=
                                    Commonness(static_cast<unsigned char>(p.upper[p.second]))) {
      p.second = j;
    }
  }
  for (int b = 0; b < 256; ++b) {
    if (p.table[b] == static_cast<unsigned char>(p.upper[p.anchor])) {
      if (p.first_count < 2) p.first[p.first_count] = static_cast<unsigned char>(b);
      ++p.first_count;
    }
    if (p.table[b] == static_cast<unsigned char>(p.upper[p.second])) {
      if (p.second_count < 2) p.second_bytes[p.second_count] = static_cast<unsigned char>(b);
      ++p.second_count;
    }
  }
  if (p.first_count == 1) p.first[1] = p.first[0];
  if (p.second_count == 1) p.second_bytes[1] = p.second_bytes[0];
  return p;
}

bool MatchesAt(const PreparedRule& r, const unsigned char* u) {
  const auto* pat = reinterpret_cast<const unsigned char*>(r.upper.data());
  for (std::size_t j = 0; j < r.upper.size(); ++j) {
    if (r.table[u[j]] != pat[j]) return false;
  }
  return true;
}

#if defined(__x86_64__)
// Candidates where both the anchor and the second byte fit, thirty-two
// places at a time; returns where the caller should go on looking.
__attribute__((target("avx2"))) const unsigned char* FindAvx2(const PreparedRule& r,
                                                              const unsigned char* p,
                                                              const unsigned char* last,
                                                              const unsigned char** found) {
  const __m256i a0 = _mm256_set1_epi8(static_cast<char>(r.first[0]));
  const __m256i a1 = _mm256_set1_epi8(static_cast<char>(r.first[1]));
  const __m256i b0 = _mm256_set1_epi8(static_cast<char>(r.second_bytes[0]));
  const __m256i b1 = _mm256_set1_epi8(static_cast<char>(r.second_bytes[1]));
  while (last - p >= 31) {
    __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + r.anchor));
    __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + r.second));
    __m256i ea = _mm256_or_si256(_mm256_cmpeq_epi8(va, a0), _mm256_cmpeq_epi8(va, a1));
    __m256i eb = _mm256_or_si256(_mm256_cmpeq_epi8(vb, b0), _mm256_cmpeq_epi8(vb, b1));
    auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(ea, eb)));
    while (mask != 0) {
      const unsigned char* at = p + __builtin_ctz(mask);
      if (MatchesAt(r, at)) {
        *found = at;
        return p;
      }
      mask &= mask - 1;
    }
    p += 32;
  }
  return p;
}
#endif

// The first place in s where the rule's search text stands, ignoring case
// (exact_scan rules only); null when there is none.
const char* Find(const PreparedRule& r, const char* s, std::size_t n) {
  const std::size_t m = r.upper.size();
  if (m > n) return nullptr;
  const auto* u = reinterpret_cast<const unsigned char*>(s);
  const unsigned char* last = u + (n - m);
  const unsigned char* p = u;
#if defined(__x86_64__)
  if (use_avx2 && r.first_count <= 2 && r.second_count <= 2) {
    const unsigned char* found = nullptr;
    p = FindAvx2(r, p, last, &found);
    if (found != nullptr) return reinterpret_cast<const char*>(found);
  }
#endif
  if (r.first_count == 1 && p <= last) {
    // One byte to look for: the C library's search is the fastest there is.
    const void* hit;
    while ((hit = std::memchr(p + r.anchor, r.first[0], static_cast<std::size_t>(last - p) + 1)) !=
           nullptr) {
      const unsigned char* at = static_cast<const unsigned char*>(hit) - r.anchor;
      if (MatchesAt(r, at)) return reinterpret_cast<const char*>(at);
      p = at + 1;
      if (p > last) break;
    }
    return nullptr;
  }
#if defined(__x86_64__)
  if (r.first_count == 2) {
    // Candidates are found by the anchor byte; p is where a match would start.
    const __m128i a = _mm_set1_epi8(static_cast<char>(r.first[0]));
    const __m128i b = _mm_set1_epi8(static_cast<char>(r.first[1]));
    while (last - p >= 15) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + r.anchor));
      auto mask = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, a), _mm_cmpeq_epi8(v, b))));
      while (mask != 0) {
        const unsigned char* at = p + __builtin_ctz(mask);
        if (MatchesAt(r, at)) return reinterpret_cast<const char*>(at);
        mask &= mask - 1;
      }
      p += 16;
    }
  }
#endif
  const unsigned char first = static_cast<unsigned char>(r.upper[0]);
  for (; p <= last; ++p) {
    if (r.table[*p] == first && MatchesAt(r, p)) return reinterpret_cast<const char*>(p);
  }
  return nullptr;
}

bool Contains(const PreparedRule& r, const char* s, std::size_t n) {
  return Find(r, s, n) != nullptr;
}

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
  LineConverter(Sink& out, std::string& line, LineEnding kind, const ReplaceRule& r1,
                const ReplaceRule& r2, const CodePage& cp)
      : out_(out), line_(line), cp_(cp), ending_(EndingOf(kind)) {
    for (const ReplaceRule* r : {&r1, &r2}) {
      if (r->Enabled && !r->Search.empty()) rules_.push_back(Prepare(*r, cp));
    }
    shortest_ = rules_.empty() ? 0 : rules_[0].upper.size();
    for (const PreparedRule& r : rules_) {
      shortest_ = std::min(shortest_, r.upper.size());
      every_line_ = every_line_ || !r.exact_scan || r.may_touch_ending;
    }
  }

  // A new block of input: the rules are looked for in all of it at once, so
  // that the lines between two matches need no search of their own.
  void BeginBlock(const char* begin, const char* end) {
    block_end_ = end;
    for (std::size_t i = 0; i < rules_.size(); ++i) next_[i] = NextIn(i, begin);
    next_any_ = rules_.empty() ? end : *std::min_element(next_, next_ + rules_.size());
  }

  // A line that lies within the current block.
  void BlockLine(const char* p, std::size_t n) {
    if (every_line_) {
      Line(p, n);
      return;
    }
    if (next_any_ < p) {
      for (std::size_t i = 0; i < rules_.size(); ++i) {
        if (next_[i] < p) next_[i] = NextIn(i, p);
      }
      next_any_ = *std::min_element(next_, next_ + rules_.size());
    }
    // The trimmed line lies within the raw one, so a match in it is a match here.
    if (next_any_ + shortest_ <= p + n) {
      Line(p, n);
    } else {
      Plain(p, n);
    }
  }

  // A line pieced together from several blocks, or from anywhere.
  void Line(const char* p, std::size_t n) {
    Trim(&p, &n);
    std::size_t first = 0;
    while (first < rules_.size() && !MayMatch(rules_[first], p, n)) ++first;
    if (first == rules_.size()) {
      out_.Append(p, n);
      out_.AppendShort(ending_);
      return;
    }
    line_.assign(p, n);
    line_ += ending_;
    // Rule 2 works on what rule 1 left, its own insertions included.
    for (std::size_t i = first; i < rules_.size(); ++i) {
      const PreparedRule& r = rules_[i];
      if (r.exact_scan && !Contains(r, line_.data(), line_.size())) continue;
      line_ = ReplaceAllIgnoringCase(line_, r.rule->Search, r.rule->Replacement, cp_);
    }
    out_.Append(line_.data(), line_.size());
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
  const char* NextIn(std::size_t i, const char* p) const {
    const PreparedRule& r = rules_[i];
    if (!r.exact_scan || r.may_touch_ending) return p;
    const char* at = Find(r, p, static_cast<std::size_t>(block_end_ - p));
    return at != nullptr ? at : block_end_;
  }

  // False only when the rule certainly finds nothing in the trimmed line
  // followed by the ending.
  static bool MayMatch(const PreparedRule& r, const char* p, std::size_t n) {
    return !r.exact_scan || r.may_touch_ending || Contains(r, p, n);
  }

  Sink& out_;
  std::string& line_;
  const CodePage& cp_;
  std::string_view ending_;
  std::vector<PreparedRule> rules_;
  const char* block_end_ = nullptr;
  const char* next_[2] = {nullptr, nullptr};
  // The earliest of next_, and the shortest search text.
  const char* next_any_ = nullptr;
  std::size_t shortest_ = 0;
  // Some rule cannot be looked for block-wide: every line gets the full treatment.
  bool every_line_ = false;
};

enum class StreamResult { kDone, kBinary };

#if defined(__x86_64__)
// The CR and LF bytes of p[0, 64) as bits. Most lines are a few dozen bytes
// long, so one such mask usually holds the ends of two of them.
__attribute__((target("avx2"))) std::uint64_t BreakMaskAvx2(const char* p) {
  const __m256i cr = _mm256_set1_epi8('\r');
  const __m256i lf = _mm256_set1_epi8('\n');
  __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  auto lo = static_cast<std::uint32_t>(
      _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(a, cr), _mm256_cmpeq_epi8(a, lf))));
  auto hi = static_cast<std::uint32_t>(
      _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(b, cr), _mm256_cmpeq_epi8(b, lf))));
  return (static_cast<std::uint64_t>(hi) << 32) | lo;
}

std::uint64_t BreakMaskSse2(const char* p) {
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  std::uint64_t mask = 0;
  for (int k = 0; k < 4; ++k) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    auto m = static_cast<std::uint16_t>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf))));
    mask |= static_cast<std::uint64_t>(m) << (16 * k);
  }
  return mask;
}

#endif

// Finds line breaks in a block, sixty-four bytes at a time.
class BreakFinder {
 public:
  // Finds breaks in [begin, end), which a read buffer holds.
  BreakFinder(const char* begin, const char* end) : end_(end), window_(begin) { Load(begin); }

  // The first CR or LF at or after from; end when there is none.
  const char* Next(const char* from) {
    for (;;) {
      if (from >= end_) return end_;
      if (from < window_ || from - window_ >= 64) Load(from);
      if (!full_) {
        while (from < end_ && *from != '\r' && *from != '\n') ++from;
        return from;
      }
      std::uint64_t m = mask_ & (~std::uint64_t{0} << (from - window_));
      if (m != 0) return window_ + __builtin_ctzll(m);
      from = window_ + 64;
    }
  }

 private:
  void Load(const char* from) {
    window_ = from;
    full_ = end_ - from >= 64;
#if defined(__x86_64__)
    if (full_) mask_ = use_avx2 ? BreakMaskAvx2(from) : BreakMaskSse2(from);
#else
    full_ = false;
#endif
  }

  const char* end_;
  const char* window_;
  std::uint64_t mask_ = 0;
  bool full_ = false;
};

// A file to read, with its size when it was opened.
struct Input {
  int fd;
  off_t size;
  // When set, every byte read is folded into it.
  std::uint64_t* hash = nullptr;
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
    if (in.hash != nullptr) *in.hash = ContentHash(*in.hash, buf, static_cast<std::size_t>(r));
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
  LineConverter conv(out, buffers.line, kind, r1, r2, cp);
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
  std::uint64_t hash = kContentHashSeed;
  if (over_itself && rewrite.NeedsContentHash()) in.hash = &hash;
  try {
    if (!Produce(in, rewrite.Output(), kind, r1, r2, cp)) return ConvertOutcome::kBinary;
  } catch (const WriteFailure& f) {
    ThrowIo(f.err, entry.Path());
  }
  if (in.hash != nullptr) rewrite.SetContentHash(hash);
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
  LineConverter conv(out, buffers.line, kind, rule1, rule2, cp);
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
    while (p < end) {
      const char* q = p;
      while (q < end && *q != '\r' && *q != '\n') ++q;
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

void UseBaselineInstructionsOnly(bool on) {
#if defined(__x86_64__)
  use_avx2 = !on && __builtin_cpu_supports("avx2");
#else
  (void)on;
#endif
}

void ConvertTextFile(const std::string& source, const std::string& destination, LineEnding kind,
                     const ReplaceRule& rule1, const ReplaceRule& rule2, const CodePage& codePage) {
  ConvertFile(source, destination, kind, rule1, rule2, codePage, ConvertOptions{});
}

std::string ReplaceAllIgnoringCase(const std::string& text, const std::string& search,
                                   const std::string& replacement, const CodePage& codePage) {
  if (text.empty() || search.empty()) return text;
  const std::string u = codePage.UpperCase(text);
  const std::string p = codePage.UpperCase(search);
  std::string result;
  result.reserve(text.size());
  std::size_t pos = 0;  // where the rest of the text, and of its capitals, begins
  while (pos < u.size()) {
    const char* rest = u.data() + pos;
    const std::size_t left = u.size() - pos;
    std::size_t found = std::string::npos;
    for (std::size_t from = 0; from + p.size() <= left;) {
      const void* hit = ::memmem(rest + from, left - from, p.data(), p.size());
      if (hit == nullptr) break;
      std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - rest);
      if (codePage.MayStartAt(rest, left, at)) {
        found = at;
        break;
      }
      from = at + 1;
    }
    if (found == std::string::npos) {
      result.append(text, pos, std::string::npos);
      break;
    }
    result.append(text, pos, found);
    result += replacement;
    pos += found + search.size();
  }
  return result;
}
