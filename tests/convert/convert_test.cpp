#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "../support/allocations.h"
#include "../support/replace_model.h"
#include "../support/temp_folder.h"
#include "base/errors.h"
#include "convert/bytescan.h"
#include "convert/convert.h"
#include "convert/replace.h"
#include "platform/contenthash.h"
#include "platform/fd.h"
#include "platform/fileio.h"
#include "platform/folderentry.h"
#include "platform/rewriterecord.h"
#include "scan/scrutedossier.h"

namespace fs = std::filesystem;

namespace {

const CodePage& Cp() {
  static const CodePage cp = CodePage::SingleByte("CP1252");
  return cp;
}

const ReplaceRule kNoRule{};

// TERMINELLE_BASELINE=1 runs every case on the instructions every processor has.
const bool kBaseline = [] {
  const char* v = std::getenv("TERMINELLE_BASELINE");
  bool on = v != nullptr && std::string(v) == "1";
  SetPortableSearchOnly(on);
  return on;
}();

class ConvertTest : public FolderAndStateTest {
 protected:
  std::string Convert(const std::string& content, LineEnding kind, const ReplaceRule& r1 = kNoRule,
                      const ReplaceRule& r2 = kNoRule) const {
    std::string p = Write("f.pl", content);
    ConvertTextFile(p, p, kind, r1, r2, Cp());
    return Read(p);
  }
};

TEST_F(ConvertTest, SplitsTrimsAndEndsEveryLine) {
  EXPECT_EQ(Convert("", LineEnding::Unix), "");
  EXPECT_EQ(Convert("abc", LineEnding::Unix), "abc\n");
  EXPECT_EQ(Convert("a\r\nb\r\n", LineEnding::Mac), "a\rb\r");
  EXPECT_EQ(Convert("a\n\rb", LineEnding::Windows), "a\r\n\r\nb\r\n");
  EXPECT_EQ(Convert("a\r\r\nb", LineEnding::Unix), "a\n\nb\n");
  EXPECT_EQ(Convert(" \t \nx", LineEnding::Unix), "\nx\n");
  EXPECT_EQ(Convert("\t\tif (1) {  \t\r\n", LineEnding::Unix), "if (1) {\n");
  EXPECT_EQ(Convert("x\xA0  \n", LineEnding::Unix), "x\xA0\n");
  // Ctrl-Z after the last break is a line of its own, trimmed to nothing.
  EXPECT_EQ(Convert("a\r\n\x1A", LineEnding::Unix), "a\n\n");
  // Trimming stops at the first byte above blank, so a byte-order mark keeps what follows it.
  EXPECT_EQ(Convert("\xEF\xBB\xBF  x \n", LineEnding::Unix), "\xEF\xBB\xBF  x\n");
}

TEST_F(ConvertTest, AppliesRuleOneThenRuleTwoAfterTrimming) {
  ReplaceRule r1{true, "a", "b"};
  ReplaceRule r2{true, "b", "c"};
  EXPECT_EQ(Convert("  a  \r\n", LineEnding::Unix, r1, r2), "c\n");
  ReplaceRule off{false, "a", "z"};
  EXPECT_EQ(Convert("a\n", LineEnding::Unix, off, kNoRule), "a\n");
  ReplaceRule empty{true, "", "z"};
  EXPECT_EQ(Convert("a\n", LineEnding::Unix, empty, kNoRule), "a\n");
  // Blanks of a replacement survive: the rules run after trimming.
  ReplaceRule padded{true, "x", " x "};
  EXPECT_EQ(Convert("x\n", LineEnding::Unix, padded, kNoRule), " x \n");
  // The rules see the line with its ending.
  ReplaceRule ending{true, "a\r\n", "A;"};
  EXPECT_EQ(Convert("a\nb\n", LineEnding::Windows, ending, kNoRule), "A;b\r\n");
  ReplaceRule shebang{true, "#!/perl/bin/perl", "#!/usr/bin/perl"};
  ReplaceRule lib{true, "use lib 'c:/perl/lib/' ;", "use lib '/srv/lib/' ;"};
  EXPECT_EQ(Convert("#!/PERL/Bin/perl -w\r\nUSE LIB 'C:/perl/lib/' ;\r\n", LineEnding::Unix,
                    shebang, lib),
            "#!/usr/bin/perl -w\nuse lib '/srv/lib/' ;\n");
}

TEST_F(ConvertTest, LinesAcrossReadBoundariesAreWhole) {
  // Whatever the size of the reads, some power of two from 4 KiB to 2 MiB puts
  // a CR LF pair across a boundary, and the long line spans several reads.
  for (std::size_t chunk = 4096; chunk <= (std::size_t{2} << 20); chunk *= 2) {
    std::string content(chunk - 1, 'x');
    content += "\r\nshort\n";
    content += std::string(3 * chunk, 'y') + " \n";
    // The first and the last line change, the CR LF pair counting as one break.
    std::string p = Write("f.pl", content);
    EXPECT_EQ(TryConvertFile(p, LineEnding::Unix, kNoRule, kNoRule, Cp()).ChangedLines, 2u);
    std::string out = Convert(content, LineEnding::Unix);
    EXPECT_TRUE(out ==
                std::string(chunk - 1, 'x') + "\nshort\n" + std::string(3 * chunk, 'y') + "\n")
        << "chunk " << chunk;
  }
}

TEST_F(ConvertTest, KeepUnchangedTouchesNeitherTheFileNorItsDate) {
  const ConvertOptions keep{true};
  std::string done = Write("done.pl", "print 1;\n");
  std::string todo = Write("todo.pl", "print 1; \n");
  for (const std::string& p : {done, todo}) {
    struct timeval old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimes(p.c_str(), old_times), 0);
    ASSERT_EQ(chmod(p.c_str(), 0444), 0);
  }
  auto mtime = [](const std::string& p) {
    struct stat st {};
    stat(p.c_str(), &st);
    return st.st_mtime;
  };
  // A file that would not change needs no write permission; a trial writes
  // nothing; neither makes a temporary file, so the folder keeps its date.
  struct timeval old_times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimes(dir_.c_str(), old_times), 0);
  EXPECT_EQ(TryConvertFile(done, LineEnding::Unix, kNoRule, kNoRule, Cp()).Outcome,
            ConvertOutcome::kUnchanged);
  EXPECT_EQ(ConvertFile(done, done, LineEnding::Unix, kNoRule, kNoRule, Cp(), keep),
            ConvertOutcome::kUnchanged);
  EXPECT_EQ(mtime(dir_), 1000000000);
  for (int run = 0; run < 2; ++run) {
    try {
      if (run == 0) TryConvertFile(todo, LineEnding::Unix, kNoRule, kNoRule, Cp());
      if (run == 1) ConvertFile(todo, todo, LineEnding::Unix, kNoRule, kNoRule, Cp(), keep);
      ADD_FAILURE() << "a read-only file that would change was not refused";
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.ErrorCode, 5);
    }
  }
  EXPECT_EQ(mtime(done), 1000000000);
  EXPECT_EQ(mtime(todo), 1000000000);
  EXPECT_EQ(Read(todo), "print 1; \n");
  EXPECT_EQ(Entries(), (std::set<std::string>{"done.pl", "todo.pl"}));
  ASSERT_EQ(chmod(todo.c_str(), 0644), 0);
  EXPECT_EQ(ConvertFile(todo, todo, LineEnding::Unix, kNoRule, kNoRule, Cp(), keep),
            ConvertOutcome::kConverted);
  EXPECT_EQ(Read(todo), "print 1;\n");
}

TEST_F(ConvertTest, DifferentDestinationLeavesTheSourceAlone) {
  std::string src = Write("src.txt", "a \r\n");
  std::string dst = Path("dst.txt");
  ConvertTextFile(src, dst, LineEnding::Unix, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(src), "a \r\n");
  EXPECT_EQ(Read(dst), "a\n");
  Write("dst.txt", "old content that is longer\n");
  ConvertTextFile(src, dst, LineEnding::Mac, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(dst), "a\r");
}

TEST_F(ConvertTest, LeavesWhatIsNotARegularTextFileUntouched) {
  // A folder, a link, a FIFO (opening it would hang), a binary file and a file dated 1979.
  ConvertTextFile(dir_, dir_, LineEnding::Unix, kNoRule, kNoRule, Cp());
  std::string target = Write("target.txt", "t \r\n");
  ASSERT_EQ(symlink(target.c_str(), Path("link").c_str()), 0);
  ConvertTextFile(Path("link"), Path("link"), LineEnding::Unix, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(target), "t \r\n");
  EXPECT_TRUE(fs::is_symlink(Path("link")));
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
  ConvertTextFile(Path("fifo"), Path("fifo"), LineEnding::Unix, kNoRule, kNoRule, Cp());
  const std::string binary("a \r\n\0b \r\n", 9);
  std::string bin = Write("bin.dat", binary);
  ConvertTextFile(bin, bin, LineEnding::Unix, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(bin), binary);
  std::string old = Write("old.txt", "o \r\n");
  struct tm t {};
  t.tm_year = 79;
  t.tm_mon = 11;
  t.tm_mday = 31;
  t.tm_hour = 12;
  struct timeval times[2] = {{mktime(&t), 0}, {mktime(&t), 0}};
  ASSERT_EQ(utimes(old.c_str(), times), 0);
  ConvertTextFile(old, old, LineEnding::Unix, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(old), "o \r\n");
  ConvertTextFile(Path("missing"), Path("missing"), LineEnding::Unix, kNoRule, kNoRule, Cp());
  EXPECT_FALSE(fs::exists(Path("missing")));
  EXPECT_EQ(Entries(), (std::set<std::string>{"link", "target.txt", "fifo", "bin.dat", "old.txt"}));
}

TEST_F(ConvertTest, ReadOnlyFileIsRefusedEvenToRoot) {
  std::string p = Write("ro.pl", "x \r\n");
  ASSERT_EQ(chmod(p.c_str(), 0444), 0);
  try {
    ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
    FAIL() << "a read-only file was written";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 5);
    EXPECT_EQ(e.Message(), "Accès au fichier refusé");
  }
  EXPECT_EQ(Read(p), "x \r\n");
  EXPECT_EQ(Entries(), std::set<std::string>{"ro.pl"});
}

TEST_F(ConvertTest, MissingDestinationFolderIsReported) {
  std::string src = Write("s.txt", "x\n");
  try {
    ConvertTextFile(src, Path("nowhere/d.txt"), LineEnding::Unix, kNoRule, kNoRule, Cp());
    FAIL() << "no error";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 3);
    EXPECT_EQ(e.Message(), "Nom de fichier incorrect");
  }
  try {
    ConvertTextFile(src, dir_, LineEnding::Unix, kNoRule, kNoRule, Cp());
    FAIL() << "a folder was written as a file";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 5);
  }
}

TEST_F(ConvertTest, KeepsOwnerModeAndExtendedAttributes) {
  std::string p = Write("perm.cgi", "x \r\n");
  bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(p.c_str(), 4321, 4322), 0);
  }
  ASSERT_EQ(chmod(p.c_str(), 02751), 0);
  bool xattrs = setxattr(p.c_str(), "user.terminelle", "v", 1, 0) == 0;
  ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(p), "x\n");
  struct stat st {};
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 02751u);
  if (root) {
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
  }
  if (xattrs) {
    char v[8] = {};
    EXPECT_EQ(getxattr(p.c_str(), "user.terminelle", v, sizeof v), 1);
    EXPECT_EQ(v[0], 'v');
  }
  EXPECT_EQ(Entries(), std::set<std::string>{"perm.cgi"});
}

TEST_F(ConvertTest, HardLinkedFileIsRewrittenForAllItsNames) {
  std::string p = Write("a.pl", "x \r\n");
  ASSERT_EQ(link(p.c_str(), Path("b.pl").c_str()), 0);
  ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(p), "x\n");
  EXPECT_EQ(Read(Path("b.pl")), "x\n");
  EXPECT_EQ(fs::hard_link_count(p), 2u);
  EXPECT_EQ(Entries(), (std::set<std::string>{"a.pl", "b.pl"}));
}

TEST_F(ConvertTest, FolderWithoutWritePermissionStillConverts) {
  std::string p = Write("a.pl", "x \r\n");
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
  ConvertTextFile(p, p, LineEnding::Windows, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(p), "x\r\n");
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  EXPECT_EQ(Entries(), std::set<std::string>{"a.pl"});
}

// Runs f in a child process without root's privileges; returns its exit status.
template <class F>
int AsNobody(F f) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(90);
    _exit(f());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

TEST_F(ConvertTest, UnreadableSourceGivesTheOpenErrorWithItsFullPath) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  std::string p = Write("secret.pl", "x\n");
  ASSERT_EQ(chmod(p.c_str(), 0600), 0);
  std::string expected = "Impossible d'ouvrir le fichier \"" + p + "\". Permission denied";
  int status = AsNobody([&] {
    try {
      ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
    } catch (const EFOpenError& e) {
      return e.Message() == expected ? 0 : 2;
    } catch (...) {
      return 3;
    }
    return 1;
  });
  EXPECT_EQ(status, 0);
  std::string mine = Write("mine.pl", "x \n");
  ASSERT_EQ(chown(mine.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(mine.c_str(), 0644), 0);
  std::string theirs = Write("theirs.pl", "y \n");
  ASSERT_EQ(chmod(theirs.c_str(), 0644), 0);
  // Another user's file that this process may read but not write.
  status = AsNobody([&] {
    ConvertTextFile(mine, mine, LineEnding::Unix, kNoRule, kNoRule, Cp());
    try {
      ConvertTextFile(theirs, theirs, LineEnding::Unix, kNoRule, kNoRule, Cp());
    } catch (const EInOutError& e) {
      return e.ErrorCode == 5 ? 0 : 2;
    }
    return 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Read(mine), "x\n");
  EXPECT_EQ(Read(theirs), "y \n");
}

// Options that write through writer.
ConvertOptions Through(FileWriter& writer) {
  ConvertOptions options;
  options.Writer = &writer;
  return options;
}

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

// Acts at one step of a rewrite: as another program would, or as a kill.
class AtStep : public FileWriter {
 public:
  AtStep(WriteStep step, std::function<void()> act) : step_(step), act_(std::move(act)) {}
  void Reached(WriteStep step) override {
    if (step == step_) act_();
  }

 private:
  WriteStep step_;
  std::function<void()> act_;
};

TEST_F(ConvertTest, AKillLeavesOldOrNewAndTheNextStartPutsBackWhatWasCut) {
  // Larger than one copy block, so that a kill can fall mid-rewrite.
  std::string old_content, new_content;
  for (int i = 0; i < 40000; ++i) {
    old_content += "  print " + std::to_string(i) + ";  \r\n";
    new_content += "print " + std::to_string(i) + ";\n";
  }
  for (bool linked : {false, true}) {
    for (WriteStep step :
         {WriteStep::kOutputWritten, WriteStep::kBeforeReplace, WriteStep::kBackupKept,
          WriteStep::kBeforeRewrite, WriteStep::kRewriting, WriteStep::kRewritten}) {
      SCOPED_TRACE(testing::Message()
                   << "linked " << linked << ", step " << static_cast<int>(step));
      std::string p = Write("k.pl", old_content);
      if (linked) {
        ASSERT_EQ(link(p.c_str(), Path("k2.pl").c_str()), 0);
      }
      pid_t pid = fork();
      if (pid == 0) {
        AtStep kill(step, [] { ::kill(::getpid(), SIGKILL); });
        try {
          ConvertFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp(), Through(kill));
        } catch (...) {
        }
        _exit(0);
      }
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      const std::string after_kill = Read(p);
      std::vector<InterruptedRewrite> found;
      EXPECT_EQ(RestoreInterruptedRewrites(&found), 0);
      if (linked && step == WriteStep::kRewriting) {
        EXPECT_TRUE(after_kill != old_content && after_kill != new_content);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_TRUE(found[0].Restored);
        EXPECT_EQ(found[0].Path, p);
        EXPECT_TRUE(Read(p) == old_content);
      } else {
        EXPECT_TRUE(after_kill == old_content || after_kill == new_content);
        EXPECT_TRUE(found.empty());
      }
      // One run afterwards converts everything and leaves no work file.
      TScruteDossier scan;
      scan.SetDossier(dir_);
      scan.SetFiltre("*.*");
      scan.OnFichier = [](TObject*, std::string nom) {
        ConvertTextFile(nom, nom, LineEnding::Unix, kNoRule, kNoRule, Cp());
      };
      scan.Execute();
      EXPECT_TRUE(Read(p) == new_content);
      EXPECT_EQ(Entries(),
                (linked ? std::set<std::string>{"k.pl", "k2.pl"} : std::set<std::string>{"k.pl"}));
      EXPECT_TRUE(!fs::exists(state_ + "/Terminelle") || fs::is_empty(state_ + "/Terminelle"));
      fs::remove(Path("k2.pl"));
    }
  }
}

TEST_F(ConvertTest, AnotherProgramsSaveDuringTheConversionWins) {
  struct Save {
    const char* what;
    std::function<void(const std::string&)> save;
    const char* expected;
  };
  const Save saves[] = {
      {"rewritten", [](const std::string& p) { std::ofstream(p) << "EDITOR SAVED THIS"; },
       "EDITOR SAVED THIS"},
      // Same size: only the dates tell it.
      {"same size", [](const std::string& p) { std::ofstream(p) << "b \r\n"; }, "b \r\n"},
      {"appended", [](const std::string& p) { std::ofstream(p, std::ios::app) << "more\n"; },
       "a \r\nmore\n"},
      {"replaced",
       [](const std::string& p) {
         std::ofstream(p + ".new") << "NEW FILE";
         fs::rename(p + ".new", p);
       },
       "NEW FILE"},
  };
  for (bool linked : {false, true}) {
    for (const Save& s : saves) {
      SCOPED_TRACE(testing::Message() << s.what << (linked ? ", in place" : ""));
      std::string p = Write("e.pl", "a \r\n");
      if (linked) {
        ASSERT_EQ(link(p.c_str(), Path("e2.pl").c_str()), 0);
      }
      {
        AtStep editor(WriteStep::kOutputWritten, [&] { s.save(p); });
        try {
          ConvertFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp(), Through(editor));
          ADD_FAILURE() << "the other program's save was overwritten";
        } catch (const EInOutError& e) {
          EXPECT_EQ(e.ErrorCode, 32);
        }
      }
      EXPECT_EQ(Read(p), s.expected);
      EXPECT_EQ(Entries(),
                (linked ? std::set<std::string>{"e.pl", "e2.pl"} : std::set<std::string>{"e.pl"}));
      fs::remove(Path("e2.pl"));
      fs::remove(p);
    }
  }
}

// A clock that stands still at a given moment.
class PinnedClock : public FileClock {
 public:
  explicit PinnedClock(const struct timespec& at) : at_(at) {}
  struct timespec Now() const override {
    return at_;
  }

 private:
  struct timespec at_;
};

TEST_F(ConvertTest, AChangeTheDatesDoNotShowIsCaughtWithinTheClockTick) {
  // A save within the tick of the clock that dates files may move neither
  // size nor dates. Written through a shared mapping already written to, a
  // change does the same at any moment: only the hash of what was read
  // tells it, taken when the clock says the file changed this tick.
  for (bool linked : {false, true}) {
    SCOPED_TRACE(linked ? "in place" : "replaced");
    const std::string p = Write("t.pl", "a \r\n");
    if (linked) {
      ASSERT_EQ(link(p.c_str(), Path("t2.pl").c_str()), 0);
    }
    Fd fd(open(p.c_str(), O_RDWR | O_CLOEXEC));
    void* mapped = mmap(nullptr, 4, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    ASSERT_NE(mapped, MAP_FAILED);
    volatile char* bytes = static_cast<char*>(mapped);
    bytes[0] = 'a';
    struct stat st {};
    ASSERT_EQ(fstat(fd.get(), &st), 0);
    PinnedClock clock(st.st_ctim);
    AtStep editor(WriteStep::kOutputWritten, [&] { bytes[0] = 'b'; });
    ConvertOptions options = Through(editor);
    options.Clock = &clock;
    try {
      ConvertFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp(), options);
      ADD_FAILURE() << "a change the dates do not show was overwritten";
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.ErrorCode, 32);
    }
    ASSERT_EQ(munmap(mapped, 4), 0);
    EXPECT_EQ(Read(p), "b \r\n");
    EXPECT_EQ(Entries(),
              (linked ? std::set<std::string>{"t.pl", "t2.pl"} : std::set<std::string>{"t.pl"}));
    fs::remove(Path("t2.pl"));
  }
}

TEST_F(ConvertTest, NameSwappedForALinkIsNeverFollowed) {
  std::string victim = Write("victim.conf", "precious=1\n");
  for (WriteStep step : {WriteStep::kOutputWritten, WriteStep::kBeforeRewrite}) {
    SCOPED_TRACE(static_cast<int>(step));
    std::string p = Write("s.pl", "print 1; \r\n");
    // Several names: rewritten in place, through the descriptor it checked.
    ASSERT_EQ(link(p.c_str(), Path("s2.pl").c_str()), 0);
    AtStep swap(step, [&] {
      fs::remove(p);
      fs::create_symlink(victim, p);
    });
    try {
      ConvertFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp(), Through(swap));
      // Swapped after the last check: the file checked gets the new content.
      EXPECT_EQ(step, WriteStep::kBeforeRewrite);
      EXPECT_EQ(Read(Path("s2.pl")), "print 1;\n");
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.ErrorCode, 32);
      EXPECT_EQ(Read(Path("s2.pl")), "print 1; \r\n");
    }
    EXPECT_EQ(Read(victim), "precious=1\n");
    EXPECT_TRUE(fs::is_symlink(p));
    fs::remove(p);
    fs::remove(Path("s2.pl"));
  }
}

TEST_F(ConvertTest, SetuidSetgidAndCapabilitiesSurvive) {
  // As the file's owner without privileges, the system clears setuid and
  // setgid on every write.
  auto convert_own = [this] {
    for (mode_t mode : {04755, 02775}) {
      std::string p = Write("m" + std::to_string(mode) + ".cgi", "x \r\n");
      if (chmod(p.c_str(), mode) != 0) return 2;
      ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
      struct stat st {};
      if (stat(p.c_str(), &st) != 0 || (st.st_mode & 07777) != mode || Read(p) != "x\n") return 1;
    }
    return 0;
  };
  if (geteuid() != 0) {
    EXPECT_EQ(convert_own(), 0);
    return;
  }
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  EXPECT_EQ(AsNobody(convert_own), 0);
  // File capabilities (CAP_NET_RAW permitted and effective), kept for root.
  std::string p = Write("cap.pl", "x \r\n");
  const unsigned char cap[20] = {0x01, 0, 0, 0x02, 0, 0x20, 0, 0};
  if (setxattr(p.c_str(), "security.capability", cap, sizeof cap, 0) != 0) {
    GTEST_SKIP() << "no file capabilities here";
  }
  ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
  unsigned char now[20] = {};
  EXPECT_EQ(getxattr(p.c_str(), "security.capability", now, sizeof now), 20);
  EXPECT_EQ(std::memcmp(cap, now, sizeof cap), 0);
  EXPECT_EQ(Read(p), "x\n");
}

TEST_F(ConvertTest, FolderDefaultAclIsNotGained) {
  // A default ACL granting user 4321 everything: user, group, other, mask, named user.
  const unsigned char acl[] = {2,    0, 0, 0,                           // version
                               1,    0, 7, 0, 0xff, 0xff, 0xff, 0xff,   // user::rwx
                               2,    0, 7, 0, 0xe1, 0x10, 0,    0,      // user:4321:rwx
                               4,    0, 5, 0, 0xff, 0xff, 0xff, 0xff,   // group::r-x
                               0x10, 0, 7, 0, 0xff, 0xff, 0xff, 0xff,   // mask::rwx
                               0x20, 0, 5, 0, 0xff, 0xff, 0xff, 0xff};  // other::r-x
  std::string p = Write("plain.pl", "x \r\n");
  if (setxattr(dir_.c_str(), "system.posix_acl_default", acl, sizeof acl, 0) != 0) {
    GTEST_SKIP() << "no ACLs here";
  }
  ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(p), "x\n");
  EXPECT_LT(getxattr(p.c_str(), "system.posix_acl_access", nullptr, 0), 0);
  EXPECT_EQ(errno, ENODATA);
}

TEST_F(ConvertTest, PathLongerThanThePathLimitIsConverted) {
  std::string p = dir_;
  const std::string name(200, 'd');
  Fd at(open(dir_.c_str(), O_RDONLY | O_DIRECTORY));
  while (p.size() <= 2 * PATH_MAX) {
    ASSERT_EQ(mkdirat(at.get(), name.c_str(), 0755), 0);
    at.reset(openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_GE(at.get(), 0);
    p += "/" + name;
  }
  Fd f(openat(at.get(), "deep.pl", O_WRONLY | O_CREAT, 0644));
  ASSERT_EQ(write(f.get(), "deep \r\n", 7), 7);
  f.reset();
  ConvertTextFile(p + "/deep.pl", p + "/deep.pl", LineEnding::Unix, kNoRule, kNoRule, Cp());
  f.reset(openat(at.get(), "deep.pl", O_RDONLY));
  char buf[16] = {};
  EXPECT_EQ(read(f.get(), buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "deep\n");
  at.reset();
  EXPECT_EQ(std::system(("rm -rf '" + dir_ + "/" + name + "'").c_str()), 0);
}

}  // namespace

namespace {

// A line of the model: as it stands, and what it becomes with its ending.
struct ModelLine {
  std::string text, brk, converted;
};

// A plain model of the conversion: the whole content split into lines, each
// trimmed (at its end only with keep), ended and passed through the rules;
// *changed counts the lines whose text differs from the line with its own
// break; *lines gets every line.
std::string ModelConversion(const std::string& content, const std::string& ending,
                            const ReplaceRule& r1, const ReplaceRule& r2,
                            const ReplaceModel& folding, std::uint64_t* changed = nullptr,
                            bool keep = false, std::vector<ModelLine>* lines = nullptr) {
  std::string out;
  std::size_t i = 0;
  while (i < content.size()) {
    std::size_t j = content.find_first_of("\r\n", i);
    if (j == std::string::npos) j = content.size();
    std::string line = content.substr(i, j - i);
    const std::string raw = line;
    std::size_t b = 0;
    std::size_t e = line.size();
    while (!keep && b < e && static_cast<unsigned char>(line[b]) <= 0x20) ++b;
    while (e > b && static_cast<unsigned char>(line[e - 1]) <= 0x20) --e;
    line = line.substr(b, e - b) + ending;
    for (const ReplaceRule* r : {&r1, &r2}) {
      if (r->Enabled) line = folding.Replace(line, r->Search, r->Replacement);
    }
    out += line;
    const std::size_t start = i;
    i = j;
    if (i < content.size() && content[i] == '\r') ++i;
    if (i < content.size() && content[i] == '\n') ++i;
    if (changed != nullptr && line != content.substr(start, i - start)) ++*changed;
    if (lines != nullptr) lines->push_back({raw, content.substr(j, i - j), line});
  }
  return out;
}

// Every line a trial tells, kept.
struct ToldLines : TrialListener {
  struct Told {
    TrialLine line;
    std::string text, brk, converted, converted_break;
  };
  void Line(const TrialLine& l) override {
    lines.push_back({l, std::string(l.Text), std::string(l.Break), std::string(l.Converted),
                     std::string(l.ConvertedBreak)});
  }
  std::vector<Told> lines;
};

// Whether what a trial told of each line is what the model says; a line
// streamed is told by its first bytes.
testing::AssertionResult SameLines(const ToldLines& told, const std::vector<ModelLine>& model) {
  if (told.lines.size() != model.size()) {
    return testing::AssertionFailure() << told.lines.size() << " lines told, " << model.size();
  }
  for (std::size_t k = 0; k < model.size(); ++k) {
    const ToldLines::Told& t = told.lines[k];
    const ModelLine& m = model[k];
    std::size_t end = m.converted.size();
    if (end >= 2 && m.converted.compare(end - 2, 2, "\r\n") == 0) {
      end -= 2;
    } else if (end >= 1 && (m.converted[end - 1] == '\n' || m.converted[end - 1] == '\r')) {
      end -= 1;
    }
    const std::string converted = m.converted.substr(0, end);
    const std::size_t head = t.line.Cut ? kTrialLineHead : std::string::npos;
    const bool changed = m.converted != m.text + m.brk;
    if (t.line.Number != k + 1 || t.text != m.text.substr(0, head) || t.brk != m.brk ||
        t.line.TextSize != m.text.size() || t.converted != converted.substr(0, head) ||
        t.converted_break != m.converted.substr(end) || t.line.ConvertedSize != end ||
        t.line.Changed != changed || t.line.OnlyEnding != (changed && converted == m.text)) {
      return testing::AssertionFailure() << "line " << k + 1 << " (cut " << t.line.Cut << ")";
    }
  }
  return testing::AssertionSuccess();
}

TEST_F(ConvertTest, OneHugeLineConvertsInBoundedMemory) {
  // A line of 256 MiB, with runs of blanks longer than what is held in
  // memory inside it and at its end, and rule matches across every read.
  const std::size_t mib = 1 << 20;
  std::string p = Path("huge.pl");
  {
    std::ofstream out(p, std::ios::binary);
    const std::string block = std::string(mib - 8, 'a') + "PeRl\t x ";
    out << "  " << block;
    for (int i = 1; i < 256; ++i) out << (i == 100 ? std::string(300000, ' ') + "z" : block);
    out << std::string(200000, '\t') << "\r\n";
  }
  ReplaceRule rule{true, "perl\t", "P"};
  const AllocationCount start = Allocations();
  ConvertTextFile(p, p, LineEnding::Unix, rule, kNoRule, Cp());
  const AllocationCount used = AllocatedSince(start);
  EXPECT_LT(used.bytes, 64 * mib);
  // Checked a piece at a time: the file itself is never held whole.
  std::ifstream in(p, std::ios::binary);
  std::string got(mib, '\0');
  in.read(got.data(), static_cast<std::streamsize>(got.size()));
  EXPECT_EQ(got.substr(0, 20), std::string(20, 'a'));
  EXPECT_EQ(got.substr(mib - 10, 9), "aaP x aaa");
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  // Each of the 255 blocks lost four bytes to the rule; the run of blanks in
  // the middle stayed, the blanks at both ends went.
  EXPECT_EQ(size, static_cast<std::streamoff>(255 * (mib - 4) + 300001));
  in.seekg(size - 4);
  got.assign(4, '\0');
  in.read(got.data(), 4);
  EXPECT_EQ(got, "P x\n");
}

TEST_F(ConvertTest, AgreesWithTheModelOnRandomFiles) {
  // With a character of three bytes and a lone continuation byte, a search
  // may fall inside a character that a read cuts in two.
  const std::vector<std::string> pieces = {"a",  "B",    "x",  " ",    "\t",      "\r",
                                           "\n", "\r\n", "é",  "É",    "#!",      "/p",
                                           "€",  "\x82", "ab", "\xA0", "use lib "};
  std::mt19937 rng(7);
  auto make = [&](int max_pieces) {
    std::string s;
    int n = std::uniform_int_distribution<int>(0, max_pieces)(rng);
    for (int k = 0; k < n; ++k) {
      s += pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(rng)];
    }
    return s;
  };
  const CodePage utf8 = CodePage::Utf8();
  // The capitals beyond ASCII that the pieces can form: "â" (E2, from "€"
  // read as Windows-1252) and "é".
  const ReplaceModel model_cp1252{false, {{"\xE2", "\xC2"}}};
  const ReplaceModel model_utf8{true, {{"é", "É"}}};
  for (int round = 0; round < 400; ++round) {
    std::string content = make(round % 50 == 0 ? 20000 : 60);
    ReplaceRule r1{rng() % 4 != 0, make(2), make(2)};
    ReplaceRule r2{rng() % 2 != 0, make(3), make(1)};
    const CodePage& cp = round % 2 == 0 ? Cp() : utf8;
    const ReplaceModel& model_cp = round % 2 == 0 ? model_cp1252 : model_utf8;
    auto kind = static_cast<LineEnding>(round % 3);
    const std::string ending = kind == LineEnding::Windows ? "\r\n"
                               : kind == LineEnding::Unix  ? "\n"
                                                           : "\r";
    std::string p = Write("r.txt", content);
    std::uint64_t changed = 0;
    const std::string model = ModelConversion(content, ending, r1, r2, model_cp, &changed);
    // Tiny reads, and lines streamed from a few bytes on: what is held back
    // between pieces (a search's length, a run of blanks, half a character,
    // a CR whose LF is in the next read) must give the same bytes, and the
    // trial must tell the same lines.
    Conversion small;
    small.Kind = kind;
    small.Rule1 = r1;
    small.Rule2 = r2;
    small.Cp = &cp;
    small.Options.ReadChunk = 1 + rng() % 7;
    small.Options.WholeLinesUpTo = rng() % 12;
    small.Options.KeepIndentation = rng() % 2 == 0;
    std::uint64_t small_changed = 0;
    std::vector<ModelLine> small_lines;
    const std::string small_model =
        ModelConversion(content, ending, r1, r2, model_cp, &small_changed,
                        small.Options.KeepIndentation, &small_lines);
    FolderEntry entry;
    ASSERT_EQ(entry.Locate(p), 0);
    ToldLines told;
    const TrialOutcome small_trial = TryConvertFile(entry, small, &told);
    ASSERT_EQ(small_trial.ChangedLines, small_model == content ? 0 : small_changed)
        << "round " << round;
    ASSERT_TRUE(SameLines(told, small_lines)) << "round " << round;
    small.Options.KeepUnchanged = rng() % 2 == 0;
    ConvertFile(entry, small);
    ASSERT_TRUE(Read(p) == small_model) << "round " << round << " streamed";
    p = Write("r.txt", content);
    const TrialOutcome trial = TryConvertFile(p, kind, r1, r2, cp);
    ASSERT_EQ(trial.Outcome,
              model == content ? ConvertOutcome::kUnchanged : ConvertOutcome::kConverted);
    ASSERT_EQ(trial.ChangedLines, model == content ? 0 : changed) << "round " << round;
    ConvertTextFile(p, p, kind, r1, r2, cp);
    ASSERT_TRUE(Read(p) == model) << "round " << round << " search1=" << r1.Search
                                  << " search2=" << r2.Search;
  }
}

}  // namespace
