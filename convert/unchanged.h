#pragma once
// The converted content compared with the file's own as it comes, so that a
// file whose content would not change is found without writing anything.

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>

#include "convert/buffers.h"
#include "convert/output.h"
#include "convert/source.h"
#include "platform/fd.h"
#include "platform/fileio.h"
#include "platform/rewrite.h"

// How many bytes a and b begin with alike, of n. A run over files already
// converted compares every byte it makes: memcmp's wide compares do it, and
// only a difference is then looked for byte by byte, near where it lies.
inline std::size_t EqualPrefix(const char* a, const char* b, std::size_t n) {
  if (std::memcmp(a, b, n) == 0) return n;
  constexpr std::size_t kStep = 64;
  std::size_t i = 0;
  while (n - i > kStep && std::memcmp(a + i, b + i, kStep) == 0) i += kStep;
  const std::size_t end = std::min(n, i + kStep);
  return static_cast<std::size_t>(std::mismatch(a + i, a + end, b + i).first - a);
}

// Compares what is fed to it, piece after piece, with a file's content from
// a given offset on.
class SameAsFile {
 public:
  // The file is read through reader; its bytes that window holds are taken
  // from there rather than read again.
  SameAsFile(FileWriter& reader, int fd, char* buf, off_t from = 0,
             const ReadWindow* window = nullptr)
      : reader_(reader), fd_(fd), buf_(buf), window_(window), offset_(from) {}
  // How many of the n bytes at p, from the first, equal the file's next
  // ones; they count as compared.
  std::size_t Feed(const char* p, std::size_t n) {
    std::size_t same = 0;
    while (equal_ && same < n) {
      if (at_ == have_ && window_ != nullptr && offset_ >= window_->At &&
          offset_ < window_->At + static_cast<off_t>(window_->Size)) {
        // In memory already: most files are read in one block.
        const std::size_t from = static_cast<std::size_t>(offset_ - window_->At);
        const std::size_t k = std::min(n - same, window_->Size - from);
        const std::size_t equal = EqualPrefix(p + same, window_->Data + from, k);
        same += equal;
        offset_ += static_cast<off_t>(equal);
        equal_ = equal == k;
        continue;
      }
      if (at_ == have_) {
        // Most files that change differ early: the file is read a little
        // at first, then more as long as it stays equal.
        ssize_t r = PreadSome(reader_, fd_, buf_, step_, offset_);
        if (r <= 0) {
          equal_ = false;
          break;
        }
        have_ = static_cast<std::size_t>(r);
        at_ = 0;
        step_ = std::min(kReadChunk, step_ * 4);
      }
      const std::size_t k = std::min(n - same, have_ - at_);
      const std::size_t equal = EqualPrefix(p + same, buf_ + at_, k);
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
  FileWriter& reader_;
  int fd_;
  char* buf_;
  const ReadWindow* window_;
  std::size_t have_ = 0;
  std::size_t at_ = 0;
  std::size_t step_ = 4096;
  off_t offset_;
  bool equal_ = true;
};

// The converted content, compared with the file's own as it comes; the file
// is rewritten only from the first difference on, so an unchanged file gets
// no temporary file at all.
class UnlessUnchanged : public Destination {
 public:
  // The rewrite, when one is needed, is made in rewrite, through writer,
  // keeping the file's dates when keep_dates.
  UnlessUnchanged(const Source& src, FileWriter& writer, bool keep_dates,
                  std::optional<Rewrite>& rewrite, Buffers& buffers)
      : src_(src),
        writer_(writer),
        keep_dates_(keep_dates),
        rewrite_(rewrite),
        same_(writer, src.File.get(), buffers.Compare.get(), 0, &buffers.Window),
        buffers_(buffers) {}

  void Write(const char* p, std::size_t n) override;

  // Whether all was equal, the file's end included.
  bool Unchanged() const { return !rewrite_ && same_.EqualUpTo(src_.Status.st_size); }

  // Makes the rewrite now if the content is a strict beginning of the file's.
  void Finish() {
    if (!rewrite_ && !Unchanged()) Diverge();
  }

 private:
  // Only now is it known that the file must be writable.
  void Diverge();

  const Source& src_;
  FileWriter& writer_;
  bool keep_dates_;
  std::optional<Rewrite>& rewrite_;
  SameAsFile same_;
  Buffers& buffers_;
};
