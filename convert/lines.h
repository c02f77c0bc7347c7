#pragma once
// A file's content cut into lines as it is read. CR LF, a lone CR and a lone
// LF each end one line; a line that runs over reads is gathered, or handed
// on in pieces once too long to hold; a NUL byte anywhere makes the file a
// binary one, which the caller then leaves alone.

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "convert/buffers.h"
#include "convert/bytescan.h"
#include "convert/conversion.h"
#include "convert/ioerror.h"
#include "platform/contenthash.h"
#include "platform/fd.h"
#include "platform/fileio.h"

// How a line ended in the file.
enum class Break : unsigned char { kNone, kCr, kLf, kCrLf };

inline std::string_view BytesOf(Break b) {
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

// The UTF-8 byte-order mark.
inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Whether the file fd reads through writer begins with a byte-order mark;
// it is asked apart from the reads, which may give the mark in pieces.
inline bool BeginsWithByteOrderMark(FileWriter& writer, int fd) {
  char head[kByteOrderMark.size()];
  return PreadSome(writer, fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
         std::string_view(head, sizeof head) == kByteOrderMark;
}

// A file to read, with its size when it was opened.
struct Input {
  int File;
  off_t Size;
  // When set, every byte read is folded into it.
  ContentHash* Hash = nullptr;
};

enum class StreamResult { kDone, kBinary };

// Reads in and cuts it into lines, each handed to lines with its break: a
// line within one block as it stands there (BlockLine), one that runs over
// blocks gathered (Line), or in pieces once longer than the options allow
// (LongBegin, LongPiece for each piece, with their offsets in the file,
// LongEnd). Each block's lines come after the block itself (BeginBlock). A
// NUL byte in any block stops the reading there: kBinary. A byte-order mark
// that begins the file is passed over when the options say so: the first
// line begins after it.
template <class Lines>
StreamResult SplitLines(Input in, Lines& lines, Buffers& buffers, const ConvertOptions& options) {
  char* buf = buffers.Read();
  FileWriter& reader = WriterOf(options);
  const std::size_t chunk = std::clamp<std::size_t>(options.ReadChunk, 1, kReadChunk);
  const std::size_t whole = std::max<std::size_t>(options.WholeLinesUpTo, 1);
  std::string& carry = buffers.Carry;
  carry.clear();
  buffers.Window = ReadWindow{};
  // A line runs over from an earlier block: carry holds it, or it is streamed.
  bool in_hand = false;
  bool streamed = false;
  // The line in hand ended with a CR at the end of a block: an LF may follow.
  bool cr_last = false;
  off_t block_at = 0;
  // A mark passed over is read apart, so the blocks need no check of their
  // own: they start after it.
  if (options.RemoveByteOrderMark && BeginsWithByteOrderMark(reader, in.File)) {
    block_at = static_cast<off_t>(kByteOrderMark.size());
    if (::lseek(in.File, block_at, SEEK_SET) < 0) throw IoError(errno);
    if (in.Hash != nullptr) in.Hash->Add(kByteOrderMark.data(), kByteOrderMark.size());
  }
  off_t line_at = block_at;
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
    const ssize_t r = ReadSome(reader, in.File, buf, chunk);
    if (r < 0) throw IoError(errno);
    if (r == 0) break;
    buffers.Window = ReadWindow{buf, block_at, static_cast<std::size_t>(r)};
    if (in.Hash != nullptr) in.Hash->Add(buf, static_cast<std::size_t>(r));
    // A short read once the whole size is in is the end of a regular file,
    // which saves small files a second read.
    at_end = static_cast<std::size_t>(r) < chunk && block_at + r >= in.Size;
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
