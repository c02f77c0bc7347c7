#include "convert/info.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "convert/ioerror.h"
#include "convert/lineconverter.h"
#include "convert/lines.h"
#include "convert/source.h"
#include "platform/fd.h"
#include "platform/fileio.h"

namespace {

// Counts the line ends of the blocks handed to it in the file's order.
class Counter {
 public:
  explicit Counter(FileInfo* info) : info_(info) {}

  // Whether the mark may still be longer than what was seen of it.
  bool HeadMissing() const { return head_size_ < sizeof head_; }

  void Head(const char* p, std::size_t n) {
    while (head_size_ < sizeof head_ && n-- > 0)
      head_[head_size_++] = static_cast<unsigned char>(*p++);
  }

  void Block(const char* p, const char* end) {
    if (p == end) return;
    if (cr_last_) {
      cr_last_ = false;
      if (*p == '\n') {
        ++info_->CrLf;
        ++p;
      } else {
        ++info_->Cr;
      }
    }
    BreakFinder breaks(p, end);
    while (p < end) {
      const char* q = breaks.Next(p);
      if (q > p) {
        in_line_ = true;
        last_ = static_cast<unsigned char>(q[-1]);
      }
      if (q == end) return;
      EndLine();
      if (*q == '\n') {
        ++info_->Lf;
        p = q + 1;
      } else if (q + 1 == end) {
        // Whether an LF follows is for the next block to tell.
        cr_last_ = true;
        return;
      } else if (q[1] == '\n') {
        ++info_->CrLf;
        p = q + 2;
      } else {
        ++info_->Cr;
        p = q + 1;
      }
    }
  }

  void Finish() {
    info_->Mark = MarkOf();
    if (info_->Binary) {
      info_->CrLf = info_->Lf = info_->Cr = info_->TrailingBlanks = 0;
      return;
    }
    if (cr_last_) ++info_->Cr;
    info_->LastLineUnended = in_line_;
    EndLine();
  }

 private:
  void EndLine() {
    if (in_line_ && IsBlank(last_)) ++info_->TrailingBlanks;
    in_line_ = false;
  }

  ByteOrderMark MarkOf() const {
    auto starts = [&](std::initializer_list<unsigned char> bytes) {
      return head_size_ >= bytes.size() && std::equal(bytes.begin(), bytes.end(), head_);
    };
    // UTF-32's little-endian mark begins as UTF-16's does.
    if (starts({0xFF, 0xFE, 0x00, 0x00})) return ByteOrderMark::kUtf32Le;
    if (starts({0x00, 0x00, 0xFE, 0xFF})) return ByteOrderMark::kUtf32Be;
    if (starts({0xEF, 0xBB, 0xBF})) return ByteOrderMark::kUtf8;
    if (starts({0xFF, 0xFE})) return ByteOrderMark::kUtf16Le;
    if (starts({0xFE, 0xFF})) return ByteOrderMark::kUtf16Be;
    return ByteOrderMark::kNone;
  }

  FileInfo* info_;
  unsigned char head_[4] = {};
  std::size_t head_size_ = 0;
  // The last byte was a CR at the end of a block.
  bool cr_last_ = false;
  // The line in hand has text, whose last byte so far is last_.
  bool in_line_ = false;
  unsigned char last_ = 0;
};

}  // namespace

ConvertOutcome InspectFile(const FolderEntry& entry, FileInfo* info, std::size_t chunk,
                           FileWriter& reader) {
  *info = FileInfo();
  Source src;
  if (entry.Folder() < 0 || !OpenSource(entry, &src, reader)) return ConvertOutcome::kLeftAlone;
  // A file cut short by a rewrite in place is told, never settled: nothing
  // is written here.
  RefuseMarked(src);
  char* buf = SharedBuffers().Read();
  chunk = std::clamp<std::size_t>(chunk, 1, kReadChunk);
  Counter counter(info);
  std::uint64_t at = 0;
  for (;;) {
    const ssize_t r = ReadSome(reader, src.File.get(), buf, chunk);
    if (r < 0) throw IoError(errno, entry.Path());
    if (r == 0) break;
    const auto n = static_cast<std::size_t>(r);
    counter.Head(buf, n);
    if (const void* nul = std::memchr(buf, 0, n)) {
      info->Binary = true;
      info->NulAt = at + static_cast<std::uint64_t>(static_cast<const char*>(nul) - buf);
      // A UTF-32 mark holds NUL bytes of its own.
      while (counter.HeadMissing()) {
        const ssize_t more = ReadSome(reader, src.File.get(), buf, chunk);
        if (more < 0) throw IoError(errno, entry.Path());
        if (more == 0) break;
        counter.Head(buf, static_cast<std::size_t>(more));
      }
      break;
    }
    counter.Block(buf, buf + n);
    at += n;
  }
  counter.Finish();
  return info->Binary ? ConvertOutcome::kBinary : ConvertOutcome::kUnchanged;
}
