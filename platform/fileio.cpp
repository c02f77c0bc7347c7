#include "platform/fileio.h"

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
