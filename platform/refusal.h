#pragma once
// What refuses a file's rewrite before anything is made: no write
// permission, special bits, a capability or dates this process could not
// give back once writing has cleared them, flags that forbid writing; told
// by this process's credentials as the system gives them, and by what the
// file says of itself through the writer.

#include <sys/stat.h>

#include "platform/fileio.h"
#include "platform/folderentry.h"

// fd's inode flags into *flags, read through writer; false where the file
// system has none.
bool InodeFlags(FileWriter& writer, int fd, int* flags);

// 0, or the errno that refuses writing the file (EACCES for a file without
// any write permission bit, which is refused even to root).
int RefuseUnwritable(const FolderEntry& entry, const struct stat& st);

// 0, or EPERM when this process could not give the file, once rewritten,
// its setuid or setgid bit or its file capability back: writing clears
// them, and giving them back takes rights (being the owner, in the group,
// or privileges) this process may lack. Asks the system nothing for a file
// without those bits when the process may set capabilities.
int RefuseUnkeepable(FileWriter& writer, int fd, const struct stat& st);

// 0, or EPERM when this process could not give the file, once rewritten,
// its modification and access times back: only its owner may set them, or
// a process with CAP_FOWNER.
int RefuseUndatable(const struct stat& st);

// 0, or EPERM for a file whose inode flags forbid writing or replacing it
// (immutable, append-only: chattr +i, +a), read through writer; the flags
// read go to *flags when given (0 where the file system keeps none).
int RefuseFlagged(FileWriter& writer, int fd, int* flags = nullptr);
