#include "convert/unchanged.h"

#include <cerrno>

void UnlessUnchanged::Write(const char* p, std::size_t n) {
  if (!rewrite_) {
    const std::size_t same = same_.Feed(p, n);
    if (same == n) return;
    if (same_.Offset() == static_cast<off_t>(same)) {
      // All that was equal heads these very bytes: one write takes both,
      // which for a small file is the only one.
      BeginRewrite(src_, writer_, keep_dates_, rewrite_);
    } else {
      Diverge();
      p += same;
      n -= same;
    }
  }
  if (int err = WriteFully(writer_, rewrite_->Output(), p, n)) throw WriteFailure{err};
}

void UnlessUnchanged::Diverge() {
  BeginRewrite(src_, writer_, keep_dates_, rewrite_);
  // What was equal so far is the file's own beginning, most often still in
  // the block read last.
  const off_t equal = same_.Offset();
  const ReadWindow& w = buffers_.Window;
  if (w.At == 0 && equal <= static_cast<off_t>(w.Size)) {
    if (int err =
            WriteFully(writer_, rewrite_->Output(), w.Data, static_cast<std::size_t>(equal))) {
      throw WriteFailure{err};
    }
    return;
  }
  char* buf = buffers_.Compare.get();
  for (off_t at = 0; at < equal;) {
    const ssize_t r =
        PreadSome(writer_, src_.File.get(), buf, std::min<off_t>(kReadChunk, equal - at), at);
    if (r <= 0) throw WriteFailure{r < 0 ? errno : EIO};
    if (int err = WriteFully(writer_, rewrite_->Output(), buf, static_cast<std::size_t>(r))) {
      throw WriteFailure{err};
    }
    at += r;
  }
}
