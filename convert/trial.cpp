#include "convert/trial.h"

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "convert/buffers.h"
#include "convert/lineconverter.h"
#include "convert/lines.h"
#include "convert/unchanged.h"

namespace {

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
// listener, if any. kTrims as the converter's.
template <bool kTrims>
class TrialLines {
 public:
  TrialLines(const Source& src, const Conversion& c, Buffers& buffers, TrialListener* listener)
      : fd_(src.File.get()),
        reader_(WriterOf(c.Options)),
        conv_(sink_, buffers.Scratch, c, fd_),
        whole_(reader_, fd_, buffers.Compare.get()),
        listener_(listener) {
    if (c.Options.RemoveByteOrderMark && BeginsWithByteOrderMark(reader_, fd_)) {
      mark_ = kByteOrderMark;
      real_listener_ = listener;
      listener_ = &marked_;
    }
  }

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
    line_size_ = 0;
    head_.clear();
    line_.emplace(reader_, fd_, line_buffer_.get(), at);
    line_from_ = at;
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

  // No more lines: a file that was only a byte-order mark loses it all the same.
  void End() {
    if (mark_.empty()) return;
    sink_.text.clear();
    Judge("", 0, Break::kNone);
  }

  // Whether the output equals the file's content, size bytes long.
  bool Unchanged(off_t size) const { return whole_.EqualUpTo(size); }

  // Lines whose converted text is not the line with its own break.
  std::uint64_t changed = 0;

 private:
  // Tells the first line with the byte-order mark the conversion passes
  // over, as it stood in the file, in place of the listener, then gives the
  // listening back: the other lines pay nothing for the mark.
  struct MarkedLine : TrialListener {
    explicit MarkedLine(TrialLines& of) : lines(of) {}
    void Line(const TrialLine& line) override { lines.TellMarked(line); }
    TrialLines& lines;
  };

  void TellMarked(const TrialLine& line) {
    listener_ = real_listener_;
    first_.assign(mark_);
    first_.append(line.Text);
    if (line.Cut) first_.resize(std::min(first_.size(), kTrialLineHead));
    TrialLine marked = line;
    marked.Text = first_;
    marked.TextSize += mark_.size();
    mark_ = {};
    // Judged without the mark, it may have seemed the same.
    if (!marked.Changed) ++changed;
    marked.Changed = true;
    marked.OnlyEnding = false;
    if (listener_ != nullptr) listener_->Line(marked);
  }

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
  FileWriter& reader_;
  TrialSink sink_;
  LineConverter<TrialSink, kTrims> conv_;
  SameAsFile whole_;
  // Who is told each line: the listener, or marked_ until the first line.
  TrialListener* listener_;
  std::uint64_t number_ = 0;
  std::unique_ptr<char[]> line_buffer_;
  std::optional<SameAsFile> line_;
  off_t line_from_ = 0;
  off_t line_size_ = 0;
  // The first bytes of a streamed line.
  std::string head_;
  // A byte-order mark to be passed over, until the first line takes it; the
  // listener meanwhile, and that line's text.
  std::string_view mark_;
  TrialListener* real_listener_ = nullptr;
  MarkedLine marked_{*this};
  std::string first_;
};

// What converting the open source would make of it, before whether it may
// be written.
template <bool kTrims>
TrialOutcome Compared(const Source& src, const Conversion& c, TrialListener* listener) {
  Buffers& buffers = SharedBuffers();
  if (listener != nullptr) listener->Opened(src.Status);
  TrialLines<kTrims> lines(src, c, buffers, listener);
  const Input in{src.File.get(), src.Status.st_size};
  if (SplitLines(in, lines, buffers, c.Options) == StreamResult::kBinary) {
    return {ConvertOutcome::kBinary, 0};
  }
  lines.End();
  if (lines.Unchanged(src.Status.st_size)) return {ConvertOutcome::kUnchanged, 0};
  return {ConvertOutcome::kConverted, lines.changed};
}

}  // namespace

TrialOutcome TrySource(const Source& src, const Conversion& c, TrialListener* listener) {
  RefuseMarked(src);
  const TrialOutcome t =
      c.Options.EndingsOnly ? Compared<false>(src, c, listener) : Compared<true>(src, c, listener);
  if (t.Outcome != ConvertOutcome::kConverted) return t;
  RefuseRewrite(src, WriterOf(c.Options), c.Options.KeepDates);
  return t;
}
