#include "convert/output.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <set>
#include <string>

#include "../support/convert_fixture.h"
#include "base/errors.h"
#include "convert/convert.h"
#include "platform/fileio.h"

namespace fs = std::filesystem;

namespace {

// A disk that fills up after a given number of bytes, or when the written
// data is flushed.
class FullDisk : public FileWriter {
 public:
  explicit FullDisk(long after_bytes, bool at_flush = false)
      : left_(after_bytes), at_flush_(at_flush) {}
  ssize_t Write(int fd, const void* buf, std::size_t n) override {
    if (!tripped_ && !at_flush_ && static_cast<long>(n) > left_) {
      tripped_ = true;
      errno = ENOSPC;
      return -1;
    }
    left_ -= static_cast<long>(n);
    return FileWriter::Write(fd, buf, n);
  }
  // Whichever flush finds it: a file's own, a barrier, or a wait for what
  // was written.
  int Sync(int fd) override { return Trip() ? -1 : FileWriter::Sync(fd); }
  int SyncAll(int fd) override { return Trip() ? -1 : FileWriter::SyncAll(fd); }
  int SyncRange(int fd) override { return Trip() ? -1 : FileWriter::SyncRange(fd); }
  bool tripped() const { return tripped_; }

 private:
  // Every flush fails from then on, as the data it should write stays unwritten.
  bool Trip() {
    if (!at_flush_) return false;
    tripped_ = true;
    errno = ENOSPC;
    return true;
  }

  long left_;
  bool at_flush_;
  bool tripped_ = false;
};

TEST_F(ConvertTest, FullDiskKeepsTheOriginalAndLeavesNoTemporaryFile) {
  std::string original;
  for (int i = 0; i < 5000; ++i) original += "  line " + std::to_string(i) + "  \r\n";
  struct Case {
    const char* what;
    long after;
    bool at_flush;
    bool linked;
  };
  for (const Case& c :
       {Case{"mid-write", 1000, false, false}, Case{"at flush", 0, true, false},
        Case{"in place, mid-write", 2 * static_cast<long>(original.size()) + 1000, false, true},
        Case{"in place, at flush", 0, true, true}}) {
    SCOPED_TRACE(c.what);
    std::string p = Write("big.pl", original);
    if (c.linked) {
      ASSERT_EQ(link(p.c_str(), Path("other.pl").c_str()), 0);
    }
    {
      FullDisk disk(c.after, c.at_flush);
      try {
        ConvertFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp(), Through(disk));
        ADD_FAILURE() << "a full disk was reported as success";
      } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, 112);
        EXPECT_EQ(e.Message(), "Erreur E/S 112");
      }
      EXPECT_TRUE(disk.tripped());
    }
    EXPECT_TRUE(Read(p) == original);
    if (c.linked) {
      EXPECT_TRUE(Read(Path("other.pl")) == original);
      EXPECT_EQ(Entries(), (std::set<std::string>{"big.pl", "other.pl"}));
      fs::remove(Path("other.pl"));
    } else {
      EXPECT_EQ(Entries(), std::set<std::string>{"big.pl"});
    }
  }
}

}  // namespace
