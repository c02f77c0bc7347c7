#include "settings/file/inifile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "../support/allocations.h"
#include "../support/temp_folder.h"
#include "platform/fileio.h"

namespace fs = std::filesystem;

namespace {

class IniFileTest : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    path_ = dir_ + "/serie.ini";
  }

  void Put(const std::string& bytes, const std::string& path = "") {
    WriteBytes(path.empty() ? path_ : path, bytes);
  }
  std::string Get(const std::string& path = "") { return ReadBytes(path.empty() ? path_ : path); }
  int EntriesInDir() { return static_cast<int>(std::distance(fs::directory_iterator(dir_), {})); }

  std::string path_;
};

// Fails every write after a part of the data reached the file, as a full disk does.
class FullDisk : public FileWriter {
 public:
  ssize_t Write(int fd, const void* buf, std::size_t n) override {
    if (n > 1) return FileWriter::Write(fd, buf, n / 2);
    errno = ENOSPC;
    return -1;
  }
};

}  // namespace

TEST_F(IniFileTest, EditsInPlaceAndKeepsEveryOtherLine) {
  Put("; comment\r\n[Other]\r\nx=1\r\n[FORM1]\r\nA=old\r\n  junk line\r\nb = "
      "2\r\n\r\n[Tail]\r\nz=9");
  {
    TIniFile ini(path_);
    ini.WriteString("form1", "a", "new");
    ini.WriteString("Form1", "c", "3");
    ini.WriteString("Fresh", "k", "v");
    ini.WriteString("other", "y", "2");
    EXPECT_EQ(ini.ReadString("FORM1", "C", ""), "3");
    EXPECT_EQ(ini.ReadString("tail", "z", ""), "9");
    EXPECT_TRUE(ini.ValueExists("fresh", "K"));
  }
  EXPECT_EQ(
      Get(),
      "; comment\r\n[Other]\r\nx=1\r\ny=2\r\n[FORM1]\r\nA=new\r\n  junk line\r\nb = 2\r\nc=3\r\n"
      "\r\n[Tail]\r\nz=9\r\n[Fresh]\r\nk=v\r\n");
}

TEST_F(IniFileTest, ReadsLfAndCrLfAndKeepsValuesAsStored) {
  Put("[s]\nplain=a b\r\nspaced = \"quoted\" \nempty=\n  Padded  =x\n");
  TIniFile ini(path_);
  EXPECT_EQ(ini.ReadString("S", "PLAIN", "d"), "a b");
  EXPECT_EQ(ini.ReadString("s", "spaced", "d"), " \"quoted\" ");
  EXPECT_EQ(ini.ReadString("s", "empty", "d"), "");
  EXPECT_EQ(ini.ReadString("s", "padded", "d"), "x");
  EXPECT_EQ(ini.ReadString("s", "missing", "d"), "d");
  EXPECT_EQ(ini.ReadString("nosuch", "plain", "d"), "d");
}

TEST_F(IniFileTest, WrittenValuesComeBackWholeExceptLineBreaks) {
  {
    TIniFile ini(path_);
    ini.WriteString("s", "blanks", "  'x'  ");
    ini.WriteString("s", "inject", "a\r\n[evil]\nk=v");
    ini.WriteString("s", "long", std::string(3000, 'q'));
  }
  TIniFile ini(path_);
  EXPECT_EQ(ini.ReadString("s", "blanks", ""), "  'x'  ");
  EXPECT_EQ(ini.ReadString("s", "inject", ""), "a  [evil] k=v");
  EXPECT_FALSE(ini.ValueExists("evil", "k"));
  // A long rule the user typed comes back whole.
  EXPECT_EQ(ini.ReadString("s", "long", ""), std::string(3000, 'q'));
  EXPECT_THROW(ini.WriteString("s", "a=b", "v"), EIniFileException);
  EXPECT_THROW(ini.WriteString("s]", "k", "v"), EIniFileException);
}

TEST(IniInteger, ReadsTheIntegerForms) {
  const std::pair<const char*, int32_t> good[] = {{"0x0", 0},
                                                  {"0x1F", 31},
                                                  {"$1f", 31},
                                                  {"x1F", 31},
                                                  {"X10", 16},
                                                  {"  12", 12},
                                                  {"+5", 5},
                                                  {"-1", -1},
                                                  {"-$10", -16},
                                                  {"2147483647", INT32_MAX},
                                                  {"-2147483648", INT32_MIN},
                                                  {"$FFFFFFFF", -1},
                                                  {"007", 7}};
  for (const auto& [text, value] : good) {
    int32_t out = 99;
    EXPECT_TRUE(TIniFile::ParseInteger(text, out)) << text;
    EXPECT_EQ(out, value) << text;
  }
  for (const char* text : {"", " ", "true", "12 ", "0x", "$", "-", "2147483648", "-2147483649",
                           "$100000000", "1.5", " 0x10", "--1", "1e3"}) {
    int32_t out = 99;
    EXPECT_FALSE(TIniFile::ParseInteger(text, out)) << text;
  }
}

TEST_F(IniFileTest, BooleansFollowTheIntegerReading) {
  Put("[s]\nt=true\nz=0x0\ntwo=2\nm=-1\nzero=0\n");
  TIniFile ini(path_);
  EXPECT_TRUE(ini.ReadBool("s", "t", true));
  EXPECT_FALSE(ini.ReadBool("s", "t", false));
  EXPECT_FALSE(ini.ReadBool("s", "z", true));
  EXPECT_TRUE(ini.ReadBool("s", "two", false));
  EXPECT_TRUE(ini.ReadBool("s", "m", false));
  EXPECT_FALSE(ini.ReadBool("s", "zero", true));
  EXPECT_TRUE(ini.ReadBool("s", "absent", true));
  EXPECT_EQ(ini.ReadInteger("s", "t", 42), 42);
}

TEST_F(IniFileTest, KeyListLimitHidesLaterKeys) {
  std::ostringstream text;
  text << "[s]\n";
  for (int i = 0; i < 3000; ++i) text << 'L' << i << "=v\n";
  Put(text.str() + "[big]\n" + std::string(16382, 'k') + "=1\n[bigger]\n" +
      std::string(16383, 'k') + "=1\n");
  TIniFile ini(path_);
  // "L0".."L2914" with their zero bytes take 16383 bytes; one byte ends the list.
  EXPECT_TRUE(ini.ValueExists("s", "l2914"));
  EXPECT_FALSE(ini.ValueExists("s", "L2915"));
  EXPECT_EQ(ini.ReadString("s", "L2999", ""), "v");
  EXPECT_TRUE(ini.ValueExists("big", std::string(16382, 'K')));
  EXPECT_FALSE(ini.ValueExists("bigger", std::string(16383, 'k')));
  EXPECT_FALSE(ini.ValueExists("none", "L0"));
}

TEST_F(IniFileTest, EraseSectionRemovesEveryCopyAndDeleteKeyTheKey) {
  Put("[a]\nk=1\n[b]\nk=2\n[A]\nj=3\n[c]\nk=4\nk=5\n");
  {
    TIniFile ini(path_);
    ini.EraseSection("a");
    ini.DeleteKey("c", "K");
    ini.DeleteKey("nosuch", "k");
  }
  EXPECT_EQ(Get(), "[b]\nk=2\n[c]\n");
}

TEST_F(IniFileTest, DamagedFileIsReadAsFarAsPossible) {
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 131 + 7) % 256);
  std::string damaged = "[s]\nbefore=1\n" + garbage + "\n" + std::string(10 << 20, 'x') +
                        "\nnul=a" + std::string(1, '\0') + "b\n" + std::string(4 << 20, '\n') +
                        "[broken\nnoequals\nafter=2\n";
  Put(damaged);
  const AllocationCount start = Allocations();
  {
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("s", "before", ""), "1");
    EXPECT_EQ(ini.ReadString("s", "nul", ""), std::string("a\0b", 3));
    EXPECT_EQ(ini.ReadString("broken", "after", ""), "2");
    EXPECT_FALSE(ini.ValueExists("broken", "noequals"));
    ini.WriteString("broken", "added", "3");
  }
  // Millions of lines cost neither an allocation each nor an entry each:
  // reading and writing back take a few copies of the file, whatever it holds.
  const AllocationCount used = AllocatedSince(start);
  EXPECT_LT(used.calls, 1000u);
  EXPECT_LT(used.bytes, 8 * damaged.size());
  EXPECT_EQ(Get(), damaged.substr(0, damaged.size() - 8) + "after=2\nadded=3\n");
}

TEST_F(IniFileTest, NothingIsWrittenBeforeAChange) {
  {
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("s", "k", "d"), "d");
    EXPECT_FALSE(ini.ValueExists("s", "k"));
  }
  EXPECT_FALSE(fs::exists(path_));
  TIniFile ini(path_);
  ini.WriteInteger("s", "n", -12);
  ini.WriteBool("s", "b", true);
  ini.UpdateFile();
  EXPECT_EQ(Get(), "[s]\nn=-12\nb=1\n");
  EXPECT_EQ(EntriesInDir(), 1);
}

TEST_F(IniFileTest, WriteToAnUnwritableFolderFailsWithThePath) {
  Put("not a folder", dir_ + "/blocker");
  std::string path = dir_ + "/blocker/serie.ini";
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("s", "k", "d"), "d");
  try {
    ini.WriteString("s", "k", "v");
    FAIL() << "no error";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(e.Message(), "Impossible d'écrire dans " + path);
  }
  EXPECT_THROW(ini.EraseSection("s"), EIniFileException);
  EXPECT_NO_THROW(ini.DeleteKey("s", "k"));
  EXPECT_THROW(TIniFile("").WriteString("s", "k", "v"), EIniFileException);
  EXPECT_EQ(Get(dir_ + "/blocker"), "not a folder");
}

TEST_F(IniFileTest, UnreadableFileIsNeverReplaced) {
  fs::create_directory(path_);
  Put("kept", path_ + "/inside");
  ASSERT_EQ(mkfifo((dir_ + "/fifo.ini").c_str(), 0600), 0);
  for (const std::string& path : {path_, dir_ + "/fifo.ini"}) {
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadString("s", "k", "d"), "d");
    EXPECT_THROW(ini.WriteString("s", "k", "v"), EIniFileException);
  }
  EXPECT_EQ(Get(path_ + "/inside"), "kept");
  EXPECT_EQ(EntriesInDir(), 2);
}

TEST_F(IniFileTest, FailedWriteLeavesThePreviousFileWhole) {
  Put("[s]\nk=old\n");
  {
    FullDisk disk;
    TIniFile ini(path_, disk);
    ini.WriteString("s", "k", "new");
    EXPECT_THROW(ini.UpdateFile(), EIniFileException);
  }
  EXPECT_EQ(Get(), "[s]\nk=old\n");
  EXPECT_EQ(EntriesInDir(), 1);
}

TEST_F(IniFileTest, SaveKeepsOwnerModeEveryNameAndLinks) {
  // Another user's file (when the test may give one away), with an odd mode.
  const bool root = geteuid() == 0;
  Put("[s]\nk=1\n");
  ASSERT_EQ(chmod(path_.c_str(), 0604), 0);
  if (root) {
    ASSERT_EQ(chown(path_.c_str(), 4321, 8765), 0);
  }
  TIniFile(path_).WriteString("s", "k", "2");
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  if (root) {
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 8765u);
  }
  EXPECT_EQ(Get(), "[s]\nk=2\n");

  // A second name sees the save.
  std::string other = dir_ + "/other.ini";
  ASSERT_EQ(link(path_.c_str(), other.c_str()), 0);
  TIniFile(path_).WriteString("s", "k", "3");
  EXPECT_EQ(Get(other), "[s]\nk=3\n");

  // A link stays a link; a dangling one gets its target.
  std::string linked = dir_ + "/linked.ini";
  fs::create_symlink("sub/target.ini", linked);
  fs::create_directory(dir_ + "/sub");
  TIniFile(linked).WriteString("s", "k", "4");
  EXPECT_TRUE(fs::is_symlink(linked));
  EXPECT_EQ(Get(dir_ + "/sub/target.ini"), "[s]\nk=4\n");
}

TEST_F(IniFileTest, ByteOrderMarkIsNothingAndCrLfOrCrEndALine) {
  Put("\xEF\xBB\xBF[Form1]\rMac_c=1\r\nunix_c=0\n[x]\ry=1\r");
  {
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("Form1", "Mac_c", ""), "1");
    EXPECT_EQ(ini.ReadString("form1", "unix_c", ""), "0");
    EXPECT_EQ(ini.ReadString("x", "y", ""), "1");
    ini.WriteString("Form1", "Mac_c", "0");
    ini.WriteString("Form1", "windows_c", "1");
  }
  EXPECT_EQ(Get(), "\xEF\xBB\xBF[Form1]\rMac_c=0\r\nunix_c=0\nwindows_c=1\r[x]\ry=1\r");
}

TEST_F(IniFileTest, NewLinesEndAsTheFirstLineDoes) {
  // The last line ends otherwise: the first line's ending is the file's.
  Put("[a]\nk=1\r\n[b]\r\nj=2\r\n");
  {
    TIniFile ini(path_);
    ini.WriteString("a", "n", "3");
    ini.WriteString("c", "x", "4");
  }
  EXPECT_EQ(Get(), "[a]\nk=1\r\nn=3\n[b]\r\nj=2\r\n[c]\nx=4\n");
}

TEST_F(IniFileTest, ContentThatWouldNotChangeIsNotWritten) {
  Put("[s]\nk=1\n");
  // A date any write would replace.
  const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), old, 0), 0);
  struct stat before {};
  ASSERT_EQ(stat(path_.c_str(), &before), 0);
  // Alone, the file would be replaced; with a second name, rewritten in place.
  for (bool linked : {false, true}) {
    if (linked) {
      ASSERT_EQ(link(path_.c_str(), (dir_ + "/other.ini").c_str()), 0);
    }
    TIniFile ini(path_);
    ini.WriteString("S", "K", "1");
    ini.UpdateFile();
    struct stat after {};
    ASSERT_EQ(stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << linked;
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << linked;
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << linked;
  }
}
