#pragma once
// Writing one file's content over another's in place, through descriptors
// already open, and giving back what writing clears (the setuid and setgid
// bits, the file capability): what a rewrite in place does, and what the
// put-back at start does when one was cut short.

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "platform/fd.h"
#include "platform/fileio.h"

class FolderEntry;

// Bytes copied or compared at a time.
inline constexpr std::size_t kCopyChunk = 256 * 1024;
// The extended attribute that holds a file capability.
inline constexpr char kCapabilityAttribute[] = "security.capability";

enum class Likeness { kEqual, kPrefix, kOther };

// How a's content stands to b's, both read through writer: the same, a
// strict beginning of it, or neither (also when either cannot be read).
Likeness CompareContents(FileWriter& writer, int a, int b, std::size_t chunk = kCopyChunk);

// Whether file holds what WriteOver, writing from over it, leaves at any
// point, cut short or whole: from's size (set before any byte is written),
// each byte from's or still zero; both read through writer. Nothing a
// person saves looks like that, as the beginning of a content would.
bool LeftByWriteOver(FileWriter& writer, int file, int from, std::size_t chunk = kCopyChunk);

// The names of fd's extended attributes, listed through writer; false when
// they cannot be listed (a file system without them has none).
bool ListAttributes(FileWriter& writer, int fd, std::vector<std::string>* names);

// The value of attribute name of fd, read through writer; false when it has
// none or it cannot be read.
bool ReadAttribute(FileWriter& writer, int fd, const char* name, std::string* value);

// Opens for writing, into *out, the very file that fd reads, through fd
// rather than its name, so that a name swapped for a link meanwhile is never
// followed; 0, EBUSY when what opened cannot be shown to be that file (only
// the name was left, and it leads elsewhere), or errno.
int ReopenForWriting(int fd, const FolderEntry& entry, Fd* out);

// Copies all of from (from its start) to to (from its current place) through
// writer; 0 or errno. Tells writer once part is written when progress is set.
int CopyContent(FileWriter& writer, int from, int to, bool progress);

// Gives fd back the setuid, setgid and sticky bits of mode (nothing to do
// when it has neither setuid nor setgid, the bits writing clears); 0, EPERM
// when the system silently kept them off, or errno.
int GiveBackMode(int fd, mode_t mode);
// Gives fd back its file capability (none when empty), which writing
// removes, unless it has one again, through writer; 0 or errno.
int GiveBackCapability(FileWriter& writer, int fd, const std::string& capability);

// Writes from's whole content over out through writer, flushes it, and
// gives it back its mode and file capability; 0 or errno. The file takes
// from's size first, so that wherever it is cut short it reads as
// LeftByWriteOver tells. Tells writer how
// far it went when progress is set.
int WriteOver(FileWriter& writer, int from, int out, mode_t mode, const std::string& capability,
              bool progress);
