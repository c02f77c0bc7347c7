#pragma once
// How a file system makes written files outlive a power cut, decided by its
// type each time it is asked: a device number is reused by the next file
// system mounted, so nothing learned of one is kept for later.

#include "platform/fileio.h"

enum class Durability {
  // Kept in memory (tmpfs, ramfs): nothing outlives a power cut, nothing to flush.
  kInMemory,
  // One syncfs makes every file written there durable: the kernel's own
  // disk file systems, whose flush reaches the disk whoever wrote.
  kBarrier,
  // Each file is flushed by its own descriptor: FUSE (whose process a
  // syncfs never reaches), network and removable file systems, and any type
  // not known to honour the barrier.
  kEachFile,
};

// What fd's file system needs, asked through writer; kEachFile when it
// cannot be told.
Durability DurabilityOf(FileWriter& writer, int fd);
