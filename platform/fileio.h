#pragma once
// The calls through which converted files and their backups are written.
// Tests put a failing writer in place to check that nothing is lost.

#include <sys/types.h>

#include <cstddef>
#include <string>

// Writes and closes files; the default forwards to the system.
class FileWriter {
 public:
  virtual ~FileWriter() = default;
  // As write(2).
  virtual ssize_t Write(int fd, const void* buf, std::size_t n);
  // As close(2); a full disk may only show here on some file systems.
  virtual int Close(int fd);
};

// The writer in force (never null).
FileWriter& CurrentFileWriter();
// Puts w in force (null restores the system's own); returns the previous one.
FileWriter* SetFileWriter(FileWriter* w);

// The folder that holds path: "." for a bare name, "/" for a file at the root.
std::string FolderOf(const std::string& path);
// The permission bits a newly created file gets under the process's umask.
mode_t NewFileMode();
