#include "platform/durability.h"

#include <linux/magic.h>
#include <sys/vfs.h>

FileSystemTraits TraitsOf(FileWriter& writer, int fd) {
  struct statfs fs {};
  if (writer.StatFs(fd, &fs) != 0) return {};
  // f_type is signed: magics above 0x7FFFFFFF compare as their 32 bits.
  switch (static_cast<unsigned long>(fs.f_type) & 0xFFFFFFFFul) {
    case TMPFS_MAGIC:
    case RAMFS_MAGIC:
      return {Durability::kInMemory, true};
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
      return {Durability::kBarrier, true};
    default:
      return {};
  }
}
