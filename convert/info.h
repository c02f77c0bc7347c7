#pragma once
// What a file holds as it stands, found without writing anything: its line
// ends of each kind, the byte-order mark it begins with, the NUL byte that
// makes it binary, a last line without an end, and the lines that end in
// blanks. Read in blocks: memory does not grow with a line.

#include <cstddef>
#include <cstdint>

#include "convert/buffers.h"
#include "convert/conversion.h"
#include "platform/fileio.h"
#include "platform/folderentry.h"

// The byte-order mark a file begins with. UTF-16 and UTF-32 texts hold NUL
// bytes, so such files are binary ones to the conversion.
enum class ByteOrderMark { kNone, kUtf8, kUtf16Le, kUtf16Be, kUtf32Le, kUtf32Be };

struct FileInfo {
  ByteOrderMark Mark = ByteOrderMark::kNone;
  // A NUL byte was found, the first at NulAt from the file's start. The
  // conversion leaves such a file alone, so nothing below is counted for it.
  bool Binary = false;
  std::uint64_t NulAt = 0;
  // Line ends of each kind; Cr counts the CRs no LF follows.
  std::uint64_t CrLf = 0;
  std::uint64_t Lf = 0;
  std::uint64_t Cr = 0;
  // The file ends with a line that has no line end.
  bool LastLineUnended = false;
  // Lines whose text ends with what trimming takes away (a byte up to 0x20).
  std::uint64_t TrailingBlanks = 0;
};

// Reads the file at entry into *info, chunk bytes at a time (at most
// kReadChunk), opened as a trial opens it: only a regular file, never through
// a link, none of the program's work files. kUnchanged for a text file,
// kBinary, or kLeftAlone for a file a conversion leaves unread; read through
// reader. Throws the program's error when the file cannot be opened or read.
ConvertOutcome InspectFile(const FolderEntry& entry, FileInfo* info, std::size_t chunk = kReadChunk,
                           FileWriter& reader = SystemFileWriter());
