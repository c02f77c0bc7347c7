#pragma once
// What a file system does for the files it keeps, decided by its type each
// time it is asked: how written files outlive a power cut, and whether a
// file's change time tells every change. A device number is reused by the
// next file system mounted, so nothing learned of one is kept for later.

#include "platform/fileio.h"

enum class Durability {
  // Kept in memory (tmpfs, ramfs): nothing outlives a power cut, nothing to flush.
  kInMemory,
  // One syncfs makes every file written there durable: the kernel's own
  // disk file systems, whose flush reaches the disk whoever wrote.
  kBarrier,
  // Each file is flushed by its own descriptor: FUSE (whose process a
  // syncfs never reaches), network and removable file systems, and any type
  // not known to honour the barrier. A folder's flush on FUSE reaches the
  // file system's process only when it implements it: bindfs, among many,
  // does not, and the kernel then answers that it succeeded.
  kEachFile,
};

// What a file system is, as far as keeping files goes.
struct FileSystemTraits {
  Durability Outlive = Durability::kEachFile;
  // Whether the kernel alone sets a file's change time, at every change of
  // it. Elsewhere a program may set it, or it may not move: FUSE reports
  // what its process says (sshfs, bindfs --ctime-from-mtime give the
  // modification time, which cp -p or rsync -t put back), a network file
  // system what its cache or another machine says.
  bool TrustedChangeTime = false;
};

// What fd's file system is, asked through writer; the traits of a type not
// known when it cannot be told.
FileSystemTraits TraitsOf(FileWriter& writer, int fd);
