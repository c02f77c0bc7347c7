#include "platform/fileio.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {
FileWriter system_writer;
FileWriter* current = &system_writer;
}  // namespace

ssize_t FileWriter::Write(int fd, const void* buf, std::size_t n) {
  return ::write(fd, buf, n);
}

int FileWriter::Close(int fd) {
  return ::close(fd);
}

FileWriter& CurrentFileWriter() {
  return *current;
}

FileWriter* SetFileWriter(FileWriter* w) {
  FileWriter* previous = current;
  current = w != nullptr ? w : &system_writer;
  return previous;
}

std::string FolderOf(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

mode_t NewFileMode() {
  // umask can only be read by setting it; the program has one thread doing this.
  mode_t mask = ::umask(022);
  ::umask(mask);
  return 0666 & ~mask;
}
