#pragma once
// What the system tells of this process: its status, and the umask that
// decides the permission bits of the files it creates; and how it meets the
// limit set on the size of the files it writes.

#include <sys/types.h>

#include <string>

// The text of /proc/self/status; "" when it cannot be read.
std::string ProcessStatus();
// The process's umask, as it was when first asked.
mode_t CreationMask();
// The permission bits a newly created file gets under that umask.
mode_t NewFileMode();

// A write past the size a file may reach (ulimit -f) fails with EFBIG, told
// as any failed write, rather than kill the program (SIGXFSZ). Called at start.
void FailWritesPastSizeLimit();
