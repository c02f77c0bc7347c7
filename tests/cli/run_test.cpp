// terminelle-cli run as users run it, over temporary trees, and its run in
// this process where what it holds is measured.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../support/allocations.h"
#include "../support/json_reader.h"
#include "../support/temp_folder.h"
#include "cli/run.h"
#include "platform/fd.h"
#include "run_cli.h"
#include "scan/scrutedossier.h"

namespace fs = std::filesystem;

namespace {

class CliRun : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    ::setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
  }

  std::string Path(const std::string& relative) const { return dir_ + "/" + relative; }
};

// A tree like the users' and worse: names matched by one or two patterns,
// hard links, a link, binary files, blanks and every kind of line break.
void MakeTree(const std::string& root, bool hard_links) {
  std::mt19937 rng(11);
  const std::vector<std::string> pieces = {"perl", "PERL", "x", " ",  "\t",  "\r",
                                           "\n",   "\r\n", "é", "#!", "use", "a"};
  const std::vector<std::string> folders = {"", "a/", "a/b/", "c/"};
  const std::vector<std::string> kinds = {".pl", ".PL", ".pm", ".txt"};
  for (int i = 0; i < 160; ++i) {
    std::string content;
    for (int k = std::uniform_int_distribution<int>(0, 40)(rng); k > 0; --k) {
      content += pieces[rng() % pieces.size()];
    }
    if (i % 37 == 5) content += '\0';
    WriteBytes(root + "/" + folders[rng() % folders.size()] + "f" + std::to_string(i) +
                   kinds[rng() % kinds.size()],
               content);
  }
  WriteBytes(root + "/f-first.pl", "perl \r\n");
  ::symlink("f-first.pl", (root + "/link.pl").c_str());
  if (hard_links) {
    ::link((root + "/f-first.pl").c_str(), (root + "/c/same.pl").c_str());
    ::link((root + "/f-first.pl").c_str(), (root + "/a/b/same.pm").c_str());
  }
}

// Every entry of a tree: its kind and its bytes or target.
std::map<std::string, std::string> Contents(const std::string& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    std::string rel = fs::relative(e.path(), root).string();
    if (e.is_symlink()) {
      out[rel] = "link " + fs::read_symlink(e.path()).string();
    } else if (e.is_regular_file()) {
      out[rel] = ReadBytes(e.path().string());
    } else {
      out[rel] = "folder";
    }
  }
  return out;
}

// Paths of the output lines that begin with prefix.
std::set<std::string> Listed(const std::string& out, const std::string& prefix) {
  std::set<std::string> paths;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(prefix, 0) == 0) paths.insert(line.substr(line.find(" : ") + 3));
  }
  return paths;
}

// A run of terminelle-cli held mid-way: its standard output is a small pipe
// of which only the first line was read; it goes on once out is read or closed.
struct HeldRun {
  pid_t pid = -1;
  int out = -1;
};

HeldRun StartHeld(std::vector<std::string> args) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return {};
  if (::fcntl(pipe_fds[1], F_SETPIPE_SZ, 4096) < 0) {
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return {};
  }
  std::vector<char*> argv = CliArgv(args);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipe_fds[1], 1);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    ::close(pipe_fds[0]);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  char c;
  while (::read(pipe_fds[0], &c, 1) == 1 && c != '\n') {
  }
  return {pid, pipe_fds[0]};
}

// Whether process pid has a handler for sig.
bool Catches(pid_t pid, int sig) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigCgt:", 0) == 0) {
      return ((std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1) != 0;
    }
  }
  return false;
}

// Writes bytes to the file name of the open folder.
bool WriteAt(int folder, const std::string& name, const std::string& bytes) {
  const int fd = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool whole = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return ::close(fd) == 0 && whole;
}

// The bytes of the file name of the open folder.
std::string ReadAt(int folder, const std::string& name) {
  std::string bytes;
  const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  char buf[256];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) bytes.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return bytes;
}

const std::vector<std::string> kRules = {"--remplacer=perl", "--par=Perl -w", "--remplacer=x",
                                         "--par=xx"};

}  // namespace

TEST_F(CliRun, ManyThreadsWriteWhatOneWrites) {
  MakeTree(Path("one"), true);
  MakeTree(Path("four"), true);
  for (const char* tree : {"one", "four"}) {
    std::vector<std::string> args = {"-q",
                                     "-r",
                                     "-f",
                                     "windows",
                                     "-F",
                                     "*.pl;*.p?",
                                     std::string("-j") + (tree[0] == 'o' ? "1" : "4")};
    args.insert(args.end(), kRules.begin(), kRules.end());
    args.push_back(Path(tree));
    CliResult r = RunCli(args);
    EXPECT_EQ(r.status, 0) << r.err;
  }
  // A file met again (two patterns, three names) went through the rules once.
  EXPECT_EQ(ReadBytes(Path("four/f-first.pl")), "Perl -w\r\n");
  EXPECT_TRUE(Contents(Path("one")) == Contents(Path("four")));
}

TEST_F(CliRun, TrialChangesNothingAndListsWhatARunChanges) {
  MakeTree(Path("t"), false);
  // A work file a killed run left: a trial does not even clear it away.
  WriteBytes(Path("t/a/.terminelle~aB3cD4eF5gH6iJ7kL8mN"), "");
  // Dates of folders too: a trial makes and removes no file anywhere.
  auto snapshot = [&] {
    std::map<std::string, std::string> s = Contents(Path("t"));
    s["."] = "folder";
    for (auto& [rel, bytes] : s) {
      struct stat st {};
      ::lstat(Path("t/" + rel).c_str(), &st);
      bytes += "|" + std::to_string(st.st_ino) + "|" + std::to_string(st.st_mtim.tv_nsec) + "|" +
               std::to_string(st.st_mtim.tv_sec);
    }
    return s;
  };
  const auto before = snapshot();
  std::vector<std::string> args = {"-r", "-f", "unix", "-F", "*.pl;*.p?", "-j", "3"};
  args.insert(args.end(), kRules.begin(), kRules.end());
  args.push_back(Path("t"));
  std::vector<std::string> trial = args;
  trial.insert(trial.begin(), "--essai");
  CliResult tried = RunCli(trial);
  EXPECT_EQ(tried.status, 0) << tried.err;
  EXPECT_TRUE(snapshot() == before);
  std::set<std::string> would = Listed(tried.out, "à changer (");
  EXPECT_GT(would.size(), 10u);

  args.insert(args.begin(), "-v");
  CliResult done = RunCli(args);
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(Listed(done.out, "converti : "), would);
  EXPECT_FALSE(fs::exists(Path("t/a/.terminelle~aB3cD4eF5gH6iJ7kL8mN")));
}

TEST_F(CliRun, ExitStatusTellsFailuresAndBadUsage) {
  WriteBytes(Path("d/ro.pl"), "a \r\n");
  WriteBytes(Path("d/ro-done.pl"), "a\n");
  WriteBytes(Path("d/ok.pl"), "b \r\n");
  ASSERT_EQ(::chmod(Path("d/ro.pl").c_str(), 0444), 0);
  ASSERT_EQ(::chmod(Path("d/ro-done.pl").c_str(), 0444), 0);
  CliResult r = RunCli({"-f", "unix", Path("d")});
  EXPECT_EQ(r.status, 1);
  // The words of the window's error box.
  EXPECT_NE(r.err.find("terminelle-cli: " + Path("d/ro.pl") +
                       " : Accès au fichier refusé (le fichier est en lecture seule : donnez-lui "
                       "le droit d'écriture, ou retirez-le du filtre)\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("ro-done"), std::string::npos) << r.err;
  EXPECT_EQ(ReadBytes(Path("d/ro.pl")), "a \r\n");
  EXPECT_EQ(ReadBytes(Path("d/ok.pl")), "b\n");
  EXPECT_EQ(RunCli({"-f", "unix", Path("d"), "--reglages", "--oups"}).status, 2);
  r = RunCli({"-f", "unix", Path("absent")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "terminelle-cli: dossier introuvable : " + Path("absent") +
                       " (aucun fichier ou dossier de ce nom)\n");
  ASSERT_EQ(::chmod(Path("d/ro.pl").c_str(), 0644), 0);
  EXPECT_EQ(RunCli({"-f", "unix", Path("d")}).status, 0);

  // A state folder that cannot be read may hide files still to put back.
  WriteBytes(Path("state/Terminelle"), "not a folder");
  WriteBytes(Path("d/ok.pl"), "b \r\n");
  r = RunCli({"-f", "unix", Path("d")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("n'a pas pu être lu"), std::string::npos) << r.err;
  EXPECT_EQ(ReadBytes(Path("d/ok.pl")), "b\n");
  ::unlink(Path("state/Terminelle").c_str());

  // A trial whose listing cannot be written did not tell what it found.
  WriteBytes(Path("d/todo.pl"), "c \r\n");
  r = RunCli({"-n", "-f", "unix", Path("d")}, {"/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("la sortie standard n'a pas pu être écrite"), std::string::npos) << r.err;
}

TEST_F(CliRun, AFolderThatCannotBeReadIsAFailure) {
  WriteBytes(Path("t/a.pl"), "a \n");
  WriteBytes(Path("t/closed/b.pl"), "b \n");
  WriteBytes(Path("t/z/c.pl"), "c \n");
  ASSERT_EQ(::chmod(Path("t/closed").c_str(), 0), 0);
  // The superuser reads every folder: the run is then an ordinary user's.
  CliRunAs as;
  if (::geteuid() == 0) {
    as.uid = 65534;
    for (const std::string& p : {dir_, Path("t"), Path("t/z")}) ::chmod(p.c_str(), 0777);
    for (const std::string& p : {Path("t/a.pl"), Path("t/z/c.pl")}) ::chmod(p.c_str(), 0666);
  }
  CliResult r = RunCli({"-r", "-f", "unix", Path("t")}, as);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find(Path("t/closed") + " : impossible d'ouvrir le dossier"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("1 en échec"), std::string::npos) << r.err;
  // The rest of the run went on.
  EXPECT_EQ(ReadBytes(Path("t/a.pl")), "a\n");
  EXPECT_EQ(ReadBytes(Path("t/z/c.pl")), "c\n");
}

TEST_F(CliRun, SystemLimitsAreToldAndNeverEndTheRun) {
  // Past ulimit -f: that file's reason, not a kill. Under a small ulimit -n:
  // fewer files held at once, all converted, in place too.
  const std::string big = std::string(100000, 'x') + "\r\n";
  WriteBytes(Path("s/big.pl"), big);
  WriteBytes(Path("s/small.pl"), "a \r\n");
  CliRunAs as;
  as.limits = {{RLIMIT_FSIZE, 65536}};
  CliResult r = RunCli({"-f", "unix", Path("s")}, as);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("big.pl : Erreur E/S 223 (fichier trop grand pour la limite du programme"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(ReadBytes(Path("s/big.pl")) == big);
  EXPECT_EQ(ReadBytes(Path("s/small.pl")), "a\n");
  std::vector<std::string> files;
  for (const char* folder : {"n/", "n/a/", "n/a/b/", "n/c/"}) {
    for (int i = 0; i < 8; ++i) files.push_back(Path(folder + std::to_string(i) + ".pl"));
  }
  for (const std::string& f : files) WriteBytes(f, "a \r\n");
  ASSERT_EQ(::link(files[0].c_str(), Path("n/c/linked.pl").c_str()), 0);
  as.limits = {{RLIMIT_NOFILE, 24}};
  EXPECT_EQ(RunCli({"-r", "-j", "4", "-f", "unix", Path("n")}, as).status, 0);
  for (const std::string& f : files) EXPECT_EQ(ReadBytes(f), "a\n") << f;
  // Room for one thread beside the process's own: the run goes on with it.
  // A limit of processes binds only another user than root.
  if (::geteuid() != 0) return;
  for (const std::string& p : {dir_, Path("s")}) ::chmod(p.c_str(), 0777);
  WriteBytes(Path("s/small.pl"), "a \r\n");
  ASSERT_EQ(::chown(Path("s/small.pl").c_str(), 65534, 65534), 0);
  as = {"", 65534, {{RLIMIT_NPROC, 2}}};
  r = RunCli({"-j", "4", "-f", "unix", "-F", "small.pl", Path("s")}, as);
  EXPECT_NE(r.err.find("terminelle-cli: 1 tâches sur 4 ont pu démarrer ; la conversion continue "
                       "avec elles, rien n'est perdu.\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(ReadBytes(Path("s/small.pl")), "a\n");
}

TEST_F(CliRun, InterruptedRunLeavesEveryFileOldOrNew) {
  constexpr int kFiles = 1500;
  for (int i = 0; i < kFiles; ++i) WriteBytes(Path("d/f" + std::to_string(i) + ".pl"), "a \r\n");
  const HeldRun run = StartHeld({"-v", "-j", "2", "-f", "unix", Path("d")});
  ASSERT_GT(run.pid, 0);
  ::kill(run.pid, SIGINT);
  char buf[4096];
  while (::read(run.out, buf, sizeof buf) > 0) {
  }
  ::close(run.out);
  int status = 0;
  ::waitpid(run.pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  int converted = 0;
  for (int i = 0; i < kFiles; ++i) {
    std::string content = ReadBytes(Path("d/f" + std::to_string(i) + ".pl"));
    EXPECT_TRUE(content == "a \r\n" || content == "a\n") << i;
    converted += content == "a\n";
  }
  EXPECT_GE(converted, 1);
  EXPECT_LT(converted, kFiles);
  // No work file was left behind, and nothing waits to be put back.
  EXPECT_EQ(std::distance(fs::directory_iterator(Path("d")), fs::directory_iterator()), kFiles);
  EXPECT_TRUE(!fs::exists(Path("state/Terminelle")) || fs::is_empty(Path("state/Terminelle")));
}

TEST_F(CliRun, ASecondSignalEndsTheRunAtOnce) {
  // The run is held at a file whose opening waits until this process gives
  // up its lease on it; the kernel tells, by a signal, when the run got there.
  WriteBytes(Path("d/held.pl"), "a \r\n");
  sigset_t lease_broken, before;
  sigemptyset(&lease_broken);
  sigaddset(&lease_broken, SIGURG);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &lease_broken, &before), 0);
  struct Unblock {
    sigset_t mask;
    ~Unblock() { ::pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
  } unblock{before};
  // The same signal twice, or SIGINT then SIGTERM.
  for (int second : {SIGINT, SIGTERM}) {
    const Fd held(::open(Path("d/held.pl").c_str(), O_RDWR | O_CLOEXEC));
    if (::fcntl(held.get(), F_SETSIG, SIGURG) != 0 ||
        ::fcntl(held.get(), F_SETLEASE, F_WRLCK) != 0) {
      GTEST_SKIP() << "no lease on this file system";
    }
    std::vector<std::string> args = {"-f", "unix", Path("d")};
    std::vector<char*> argv = CliArgv(args);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    siginfo_t info{};
    ASSERT_EQ(::sigwaitinfo(&lease_broken, &info), SIGURG);
    ::kill(pid, SIGINT);
    // The second is sent once the first is taken, which gives both signals
    // back to the system: two pending would count as one.
    while (Catches(pid, SIGINT) || Catches(pid, SIGTERM)) ::sched_yield();
    ::kill(pid, second);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == second) << status;
  }
}

TEST_F(CliRun, ATrialListsAFileOnceWhateverItsNamesAndPatterns) {
  WriteBytes(Path("d/a.pl"), "x \r\n");
  ASSERT_EQ(::link(Path("d/a.pl").c_str(), Path("d/b.pl").c_str()), 0);
  CliResult r = RunCli({"-n", "-q", "-f", "unix", "-F", "*.pl;?.pl", Path("d")});
  EXPECT_EQ(r.status, 0) << r.err;
  // The name met first, whichever the folder lists first.
  EXPECT_TRUE(r.out == "à changer (1 ligne) : " + Path("d/a.pl") + "\n" ||
              r.out == "à changer (1 ligne) : " + Path("d/b.pl") + "\n")
      << r.out;
}

TEST_F(CliRun, ARewriteCutShortIsPutBackAtStartButNotByATrial) {
  // Cut short while writing the new content over the old, as the previous
  // version's record tells it: this version settles those too.
  WriteBytes(Path("d/k.pl"), "new");
  const std::string backup = Path("d/.terminelle-ancien-Ab12cd");
  const std::string temp = Path("d/.terminelle-Zz9yXx");
  WriteBytes(backup, "old content \r\n");
  WriteBytes(temp, "new content\n");
  struct stat st {};
  ASSERT_EQ(::stat(Path("d/k.pl").c_str(), &st), 0);
  auto field = [](const std::string& v) { return std::to_string(v.size()) + ":" + v + "\n"; };
  const std::string record = Path("state/Terminelle/reprise-Qw3rTy");
  WriteBytes(record, "terminelle-reprise 1\n1\n" + field(Path("d/k.pl")) + field(backup) +
                         field(temp) + field(std::to_string(st.st_dev)) +
                         field(std::to_string(st.st_ino)) + field("644") + field(""));
  // Its mark, the copy's path, tells that the beginning it holds is what the
  // rewrite left.
  if (::setxattr(Path("d/k.pl").c_str(), "user.terminelle.ancien", backup.data(), backup.size(),
                 0) != 0) {
    GTEST_SKIP() << "no user attributes here";
  }

  CliResult tried = RunCli({"-n", "-q", "-f", "unix", Path("d")});
  EXPECT_EQ(tried.status, 1) << tried.err;
  EXPECT_NE(tried.err.find("réécriture interrompue"), std::string::npos) << tried.err;
  EXPECT_EQ(ReadBytes(Path("d/k.pl")), "new");
  EXPECT_TRUE(fs::exists(record));

  // Put back before the walk, which then converts the old content.
  CliResult r = RunCli({"-q", "-f", "unix", Path("d")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Ces fichiers ont retrouvé leur contenu d'avant :\n" + Path("d/k.pl")),
            std::string::npos)
      << r.err;
  EXPECT_EQ(ReadBytes(Path("d/k.pl")), "old content\n");
  EXPECT_FALSE(fs::exists(record) || fs::exists(backup) || fs::exists(temp));
}

TEST_F(CliRun, RepositoriesAreEnteredOnlyWhenAskedAndExcludedNamesNever) {
  // The tools' own files: a hook ended with CR LF no longer runs.
  const std::map<std::string, std::string> tools = {
      {"d/.git/config", "[core] \r\n"},
      {"d/.git/hooks/pre-commit", "#!/bin/sh \r\nexit 0\r\n"},
      {"d/.svn/entries", "12 \r\n"},
      {"d/wt/.git", "gitdir: /srv/.git/worktrees/wt \r\n"}};
  for (const auto& [path, bytes] : tools) WriteBytes(Path(path), bytes);
  WriteBytes(Path("d/wt/a.pl"), "x \r\n");
  WriteBytes(Path("d/Cache/c.pl"), "x \r\n");
  WriteBytes(Path("d/a.BAK"), "x \r\n");
  const std::vector<std::string> args = {
      "-v", "-r", "-f", "unix", "-F", "*", "--exclure=cache", "--exclure=*.bak", Path("d")};
  CliResult r = RunCli(args);
  EXPECT_EQ(r.status, 0) << r.err;
  // Left alone is neither converted nor counted.
  EXPECT_EQ(Listed(r.out, ""), std::set<std::string>{Path("d/wt/a.pl")}) << r.out;
  for (const auto& [path, bytes] : tools) EXPECT_EQ(ReadBytes(Path(path)), bytes) << path;
  EXPECT_EQ(ReadBytes(Path("d/Cache/c.pl")), "x \r\n");
  EXPECT_EQ(ReadBytes(Path("d/a.BAK")), "x \r\n");

  std::vector<std::string> entering = args;
  entering.insert(entering.begin(), "--avec-depots");
  r = RunCli(entering);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadBytes(Path("d/.git/hooks/pre-commit")), "#!/bin/sh\nexit 0\n");
  EXPECT_EQ(ReadBytes(Path("d/wt/.git")), "gitdir: /srv/.git/worktrees/wt\n");
  EXPECT_EQ(ReadBytes(Path("d/Cache/c.pl")), "x \r\n");
}

TEST_F(CliRun, KeepIndentationKeepsOnlyLeadingBlanks) {
  WriteBytes(Path("d/s.pl"),
             "sub f {\r\n\t  my $x = 'PERL';  \r\n   \t\r\n  print <<EOT;\r\n  EOT \r\n}");
  CliResult r = RunCli({"-k", "-f", "unix", "--remplacer=perl", "--par=Perl", Path("d")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadBytes(Path("d/s.pl")),
            "sub f {\n\t  my $x = 'Perl';\n\n  print <<EOT;\n  EOT\n}\n");
}

TEST_F(CliRun, LineEndsOnlyKeepEveryBlankEvenWithKeptIndentation) {
  WriteBytes(Path("d/data.pl"), "  data\tx\t\t\r\n\t\r\n  PERL  ");
  CliResult r = RunCli(
      {"-q", "--fins-seulement", "-k", "-f", "unix", "--remplacer=perl", "--par=Perl", Path("d")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadBytes(Path("d/data.pl")), "  data\tx\t\t\n\t\n  Perl  \n");
}

TEST_F(CliRun, AByteOrderMarkGoesOnlyFromTheStartAndATrialShowsIt) {
  WriteBytes(Path("d/a.pl"), "\xEF\xBB\xBF  a \r\nb\xEF\xBB\xBF\r\n");
  WriteBytes(Path("d/only.pl"), "\xEF\xBB\xBF");
  const std::vector<std::string> args = {"-q", "--sans-bom", "-f", "unix", "-F", "a.pl;only.pl"};
  std::vector<std::string> trial = args;
  trial.insert(trial.end(), {"-n", "--diff", Path("d")});
  CliResult r = RunCli(trial);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "--- a/a.pl\n+++ b/a.pl\n@@ -1,2 +1,2 @@\n-\xEF\xBB\xBF  a \n-b\xEF\xBB\xBF\n+a\n"
            "+b\xEF\xBB\xBF\n\\ seule la fin de ligne change : CR LF → LF\n"
            "--- a/only.pl\n+++ b/only.pl\n@@ -1 +0,0 @@\n-\xEF\xBB\xBF\n");
  std::vector<std::string> run = args;
  run.push_back(Path("d"));
  r = RunCli(run);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadBytes(Path("d/a.pl")), "a\nb\xEF\xBB\xBF\n");
  EXPECT_EQ(ReadBytes(Path("d/only.pl")), "");
}

TEST_F(CliRun, KeptDatesSurviveARenameAndARewriteInPlace) {
  WriteBytes(Path("d/renamed.pl"), "a \r\n");
  WriteBytes(Path("d/linked.pl"), "b \r\n");
  WriteBytes(Path("d/unchanged.pl"), "u\n");
  ASSERT_EQ(::link(Path("d/linked.pl").c_str(), Path("d/other-name").c_str()), 0);
  // Accessed before modified: reading it would move its access time.
  const struct timespec times[2] = {{1500000000, 123456789}, {1600000000, 987654321}};
  for (const char* name : {"d/renamed.pl", "d/linked.pl", "d/unchanged.pl"}) {
    ASSERT_EQ(::utimensat(AT_FDCWD, Path(name).c_str(), times, 0), 0);
  }
  CliResult r = RunCli({"-q", "--garder-dates", "-f", "unix", Path("d")});
  EXPECT_EQ(r.status, 0) << r.err;
  // Looked at before the files are read here.
  for (const char* name : {"d/renamed.pl", "d/linked.pl", "d/unchanged.pl"}) {
    struct stat st {};
    ASSERT_EQ(::stat(Path(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_atim.tv_sec, times[0].tv_sec) << name;
    EXPECT_EQ(st.st_atim.tv_nsec, times[0].tv_nsec) << name;
    EXPECT_EQ(st.st_mtim.tv_sec, times[1].tv_sec) << name;
    EXPECT_EQ(st.st_mtim.tv_nsec, times[1].tv_nsec) << name;
  }
  EXPECT_EQ(ReadBytes(Path("d/renamed.pl")), "a\n");
  EXPECT_EQ(ReadBytes(Path("d/linked.pl")), "b\n");
  // Without it, a converted file is dated by its rewrite, renamed or in place.
  for (const char* name : {"d/renamed.pl", "d/linked.pl"}) {
    WriteBytes(Path(name), "c \r\n");
    ASSERT_EQ(::utimensat(AT_FDCWD, Path(name).c_str(), times, 0), 0);
  }
  EXPECT_EQ(RunCli({"-q", "-f", "unix", Path("d")}).status, 0);
  for (const char* name : {"d/renamed.pl", "d/linked.pl"}) {
    struct stat st {};
    ASSERT_EQ(::stat(Path(name).c_str(), &st), 0);
    EXPECT_GT(st.st_mtim.tv_sec, times[1].tv_sec) << name;
  }

  // Only the owner, or root, sets a file's dates: another user's writable
  // file is refused before anything is written.
  if (::geteuid() != 0) return;
  WriteBytes(Path("d/theirs.pl"), "c \r\n");
  for (const std::string& p : {dir_, Path("d")}) ::chmod(p.c_str(), 0777);
  ::chmod(Path("d/theirs.pl").c_str(), 0666);
  CliRunAs as;
  as.uid = 65534;
  r = RunCli({"-q", "--garder-dates", "-f", "unix", "-F", "theirs.pl", Path("d")}, as);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(Path("d/theirs.pl") + " : Accès au fichier refusé (seul son propriétaire "
                                             "(ou root) pourrait lui rendre ses dates"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(ReadBytes(Path("d/theirs.pl")), "c \r\n");
}

TEST_F(CliRun, DiffShowsWhatATrialWouldChangeInWalkOrder) {
  // Changes six lines apart share a hunk, as with diff -u; seven apart do not.
  std::string lines;
  for (int i = 1; i <= 18; ++i) {
    lines += (i == 9 ? "\tl" : "l") + std::to_string(i) +
             (i == 2    ? " "
              : i == 17 ? "\t"
                        : "") +
             "\n";
  }
  WriteBytes(Path("d/a.pl"), lines);
  // Longer than a line held whole: told by its first bytes and its size.
  WriteBytes(Path("d/long.pl"), std::string(std::size_t{1} << 21, 'x') + "  \r\n");
  WriteBytes(Path("d/x\ny.pl"), "q \n");
  WriteBytes(Path("d/b/endings.pl"), "x\r\n  y\r\nz");
  const std::string shown_long = std::string(256, 'x') + "[…] (ligne de ";
  const std::string expected =
      "--- a/a.pl\n+++ b/a.pl\n"
      "@@ -1,12 +1,12 @@\n l1\n-l2 \n+l2\n l3\n l4\n l5\n l6\n l7\n l8\n-\tl9\n+l9\n l10\n l11\n"
      " l12\n@@ -14,5 +14,5 @@\n l14\n l15\n l16\n-l17\t\n+l17\n l18\n"
      "--- a/long.pl\n+++ b/long.pl\n@@ -1 +1 @@\n-" +
      shown_long + "2097154 octets, trop longue pour être montrée)\n+" + shown_long +
      "2097152 octets, trop longue pour être montrée)\n"
      "--- \"a/x\\ny.pl\"\n+++ \"b/x\\ny.pl\"\n@@ -1 +1 @@\n-q \n+q\n"
      "--- a/b/endings.pl\n+++ b/b/endings.pl\n@@ -1,3 +1,3 @@\n-x\n-  y\n-z\n"
      "+x\n\\ seule la fin de ligne change : CR LF → LF\n+y\n"
      "+z\n\\ seule la fin de ligne change : aucune → LF\n";
  for (const char* jobs : {"1", "4"}) {
    CliResult r = RunCli({"-n", "--diff", "-q", "-r", "-j", jobs, "-f", "unix", "-F",
                          "a.pl;long.pl;x?y.pl;endings.pl", Path("d")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected) << "-j " << jobs;
    EXPECT_EQ(r.err, "");
  }
  // A CR may begin a CR LF: each note still follows its own line.
  CliResult mac = RunCli({"-n", "--diff", "-q", "-f", "mac", "-F", "*.pl", Path("d/b")});
  EXPECT_EQ(mac.out,
            "--- a/endings.pl\n+++ b/endings.pl\n@@ -1,3 +1,3 @@\n-x\n-  y\n-z\n"
            "+x\n\\ seule la fin de ligne change : CR LF → CR\n+y\n"
            "+z\n\\ seule la fin de ligne change : aucune → CR\n");
  EXPECT_EQ(ReadBytes(Path("d/b/endings.pl")), "x\r\n  y\r\nz");
}

TEST_F(CliRun, PerlCheckWarnsWherePerlWouldReadOtherwise) {
  WriteBytes(Path("d/bad.pl"),
             "print <<EOT;\ntext\n  EOT\nEOT\nprint <<\"  END\";\nx\n  END\n1;\n");
  WriteBytes(Path("d/pod.pm"), "=head1 SYNOPSIS\n\n    code();\n    =cut\n\n=cut\n1;\n");
  // These change, but not in what Perl reads.
  WriteBytes(Path("d/tilde.pl"), "print <<~EOT;\r\n    text\r\n    EOT\r\n");
  WriteBytes(Path("d/plain.pl"), "sub f {\r\n    my $x\r\n      = 1 << 2;  # shift\r\n}\r\n");
  const std::vector<std::string> args = {
      "-n", "--verifier-perl", "-q", "-f", "unix", "-F", "bad.pl;pod.pm;tilde.pl;plain.pl"};
  std::vector<std::string> all = args;
  all.push_back(Path("d"));
  CliResult r = RunCli(all);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, Path("d/bad.pl") + ":3: finirait trop tôt le document <<EOT de la ligne 1\n" +
                       Path("d/bad.pl") +
                       ":7: ne finirait plus le document <<\"  END\" de la ligne 5\n" +
                       Path("d/pod.pm") +
                       ":4: deviendrait un =cut : la suite de la POD serait lue comme du code\n");
  // Kept indentation leaves nothing to warn about.
  all.insert(all.begin(), "-k");
  r = RunCli(all);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<std::string> silent = args;
  silent.back() = "tilde.pl;plain.pl";
  silent.push_back(Path("d"));
  r = RunCli(silent);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Listed(r.out, "à changer ("),
            (std::set<std::string>{Path("d/tilde.pl"), Path("d/plain.pl")}));
}

TEST_F(CliRun, NamesHoldingControlBytesArePrintedQuoted) {
  // A name that would clear the screen of whoever reads the listing (C0, then
  // C1 as UTF-8 and as a lone byte), pass for two lines, and turn round what
  // follows it.
  // So, too, DEL, tab, CR, a quote and a backslash, and the invisible: a
  // paragraph separator, a soft hyphen, a zero-width space, a byte-order
  // mark and a tag.
  const std::string odd =
      "a\033[2Jb\nc\xC2\x9B"
      "2J\x9B"
      "2J\xE2\x80\xAE\xE2\x80\xA8\x7F\t\r\"\\\xE2\x80\xA9\xC2\xAD\xE2\x80\x8B\xEF\xBB\xBF\xF3\xA0"
      "\x80\x81.pl";
  const std::string shown = R"(a\033[2Jb\nc\302\2332J\2332J\342\200\256\342\200\250\177\t\r\"\\)"
                            R"(\342\200\251\302\255\342\200\213\357\273\277\363\240\200\201.pl")";
  WriteBytes(Path("d/" + odd), "#!/absent \r\n");
  WriteBytes(Path("d/ro-" + odd), "y \r\n");
  ASSERT_EQ(::chmod(Path("d/ro-" + odd).c_str(), 0444), 0);
  // Each listing, the diff's headers, the warnings, and at last a run that
  // changes the file.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-n"}, {"-n", "--diff"}, {"-n", "--verifier-perl"}, {"--info"}, {"-v"}}) {
    std::vector<std::string> all = args;
    all.insert(all.end(), {"-f", "unix", "-F", "*", Path("d")});
    const CliResult r = RunCli(all);
    const std::string told = r.out + r.err;
    EXPECT_NE(told.find(shown), std::string::npos) << args.back() << told;
    // Not even in the error line of the file that cannot be written.
    for (const char* raw : {"\033", "\x9B", "\xE2\x80\xAE", "\xE2\x80\xA8", "\x7F", "\xE2\x80\xA9",
                            "\xC2\xAD", "\xE2\x80\x8B", "\xEF\xBB\xBF", "\xF3\xA0\x80\x81"}) {
      EXPECT_EQ(told.find(raw), std::string::npos) << args.back();
    }
  }
}

TEST_F(CliRun, TenThousandLevelsOfLongNamesConvertInLittleMemory) {
  // In memory where the system has a folder there: ten thousand folders are
  // made, and batches flushed, in a moment.
  std::string root = Path("deep");
  if (fs::is_directory("/dev/shm")) {
    char in_memory[] = "/dev/shm/terminelle-deep-XXXXXX";
    ASSERT_NE(::mkdtemp(in_memory), nullptr);
    root = in_memory;
  } else {
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  }
  struct Removed {
    std::string path;
    ~Removed() { RemoveFolder(path); }
  } removed{root};
  // Made from open folders: the paths are far past the system's limit. The
  // files at the bottom, converted while the larger one just above them is,
  // wait for it to be told first: many results are in hand at once.
  const std::string name(255, 'n');
  constexpr int kAtTheBottom = 256;
  std::string larger;
  for (int i = 0; i < 1 << 21; ++i) larger += "x \r\n";
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 1; level <= kDepthLimit && fd >= 0; ++level) {
    ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
    const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
    if (level % 2500 == 0) {
      ASSERT_TRUE(WriteAt(fd, "f.pl", "x \r\n"));
    }
    if (level == kDepthLimit - 1) {
      ASSERT_TRUE(WriteAt(fd, "larger.pl", larger));
    }
  }
  ASSERT_GE(fd, 0);
  for (int i = 0; i < kAtTheBottom; ++i) {
    ASSERT_TRUE(WriteAt(fd, "f" + std::to_string(i) + ".pl", "x \r\n"));
  }

  RunSettings run;
  run.Folder = root;
  run.Filter = "*.pl";
  run.Subfolders = true;
  run.Format = LineEnding::Unix;
  run.Jobs = 2;
  run.Talk = Verbosity::kQuiet;
  constexpr std::size_t kBound = std::size_t{64} << 20;
  ResetPeak();
  const std::size_t before = Held();
  // Far past the bound, memory runs out rather than the machine's.
  LimitHeld(before + 4 * kBound);
  int status = -1;
  EXPECT_NO_THROW(status = RunConversion(run));
  LimitHeld(0);
  EXPECT_EQ(status, 0);
  EXPECT_LT(PeakHeld() - before, kBound);
  for (int i = 0; i < kAtTheBottom; ++i) {
    EXPECT_EQ(ReadAt(fd, "f" + std::to_string(i) + ".pl"), "x\n") << i;
  }
  EXPECT_EQ(ReadAt(fd, "f.pl"), "x\n");
  ::close(fd);
}

TEST_F(CliRun, CheckTellsByItsStatusWhetherAFileWouldChange) {
  WriteBytes(Path("d/a.pl"), "a \r\n");
  WriteBytes(Path("d/b.pl"), "b\n");
  CliResult r = RunCli({"--controle", "-q", "-f", "unix", Path("d")});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, "à changer (1 ligne) : " + Path("d/a.pl") + "\n");
  EXPECT_EQ(r.err, "");
  r = RunCli({"--controle", "-q", "-f", "unix", "-F", "b.pl", Path("d")});
  EXPECT_EQ(r.status, 0) << r.err;
  // A trial alone tells by its listing only.
  r = RunCli({"-n", "-q", "-f", "unix", Path("d")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadBytes(Path("d/a.pl")), "a \r\n");
}

namespace {

// Each line of a JSON stream, read strictly; a line that is not one JSON
// object fails the test.
std::vector<JsonValue> JsonLines(const std::string& out) {
  std::vector<JsonValue> values;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    JsonValue v;
    std::string error;
    EXPECT_TRUE(ParseJson(line, &v, &error)) << error << ": " << line;
    EXPECT_EQ(v.kind, JsonValue::Kind::kObject) << line;
    values.push_back(std::move(v));
  }
  return values;
}

// The member name of v as text; empty when it has none or it is no string.
std::string Text(const JsonValue& v, std::string_view name) {
  const JsonValue* m = v.Find(name);
  return m != nullptr && m->kind == JsonValue::Kind::kString ? m->text : std::string();
}

// The member name of v as a number as written; empty when it is no number.
std::string Number(const JsonValue& v, std::string_view name) {
  const JsonValue* m = v.Find(name);
  return m != nullptr && m->kind == JsonValue::Kind::kNumber ? m->text : std::string();
}

std::string FromBase64(std::string_view text) {
  const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  std::uint32_t bits = 0;
  int held = 0;
  for (char c : text) {
    if (c == '=') break;
    bits = (bits << 6) | static_cast<std::uint32_t>(digits.find(c));
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes += static_cast<char>((bits >> held) & 0xFF);
    }
  }
  return bytes;
}

}  // namespace

TEST_F(CliRun, JsonTellsEveryFileInWalkOrderAndNamesLossless) {
  // Not UTF-8, with a control byte, a quote, a backslash and U+202E.
  const std::string odd = "n\xFF\x01\"\\q\xE2\x80\xAE.pl";
  WriteBytes(Path("t/" + odd), "x \r\n");
  WriteBytes(Path("t/\xC3\xA9t\xC3\xA9.pl"), "e\n");
  WriteBytes(Path("t/bin.pl"), std::string("a\0b", 3));
  ASSERT_EQ(::symlink("bin.pl", Path("t/link.pl").c_str()), 0);
  WriteBytes(Path("t/ro.pl"), "r \n");
  WriteBytes(Path("t/closed/c.pl"), "c \n");
  ASSERT_EQ(::chmod(Path("t/ro.pl").c_str(), 0444), 0);
  ASSERT_EQ(::chmod(Path("t/closed").c_str(), 0), 0);
  CliRunAs as;
  if (::geteuid() == 0) {
    as.uid = 65534;
    for (const std::string& p : {dir_, Path("t")}) ::chmod(p.c_str(), 0777);
    ::chmod(Path("t/" + odd).c_str(), 0666);
  }
  const CliResult r = RunCli({"-n", "--json", "-r", "-j", "1", "-f", "unix", Path("t")}, as);
  EXPECT_EQ(r.status, 1) << r.err;
  // Whatever the threads, the same stream.
  EXPECT_EQ(RunCli({"-n", "--json", "-r", "-j", "4", "-f", "unix", Path("t")}, as).out, r.out);
  const std::vector<JsonValue> told = JsonLines(r.out);
  ASSERT_EQ(told.size(), 7u) << r.out;
  std::map<std::string, const JsonValue*> by_path;
  for (std::size_t k = 0; k + 1 < told.size(); ++k) {
    const JsonValue& v = told[k];
    const std::string bytes = FromBase64(Text(v, "path_bytes"));
    by_path[bytes.empty() ? Text(v, "path") : bytes] = &v;
  }
  const JsonValue* changed = by_path[Path("t/" + odd)];
  ASSERT_NE(changed, nullptr) << r.out;
  EXPECT_EQ(Text(*changed, "path"), Path("t/n\xEF\xBF\xBD\x01\"\\q\xE2\x80\xAE.pl"));
  EXPECT_EQ(r.out.find("\xE2\x80\xAE"), std::string::npos);
  EXPECT_EQ(Text(*changed, "outcome"), "would_change");
  EXPECT_EQ(Number(*changed, "changed_lines"), "1");
  const JsonValue* kept = by_path[Path("t/\xC3\xA9t\xC3\xA9.pl")];
  ASSERT_NE(kept, nullptr) << r.out;
  EXPECT_EQ(kept->Find("path_bytes"), nullptr);
  EXPECT_EQ(Text(*kept, "outcome"), "unchanged");
  EXPECT_EQ(Text(*by_path[Path("t/bin.pl")], "outcome"), "binary");
  EXPECT_EQ(Text(*by_path[Path("t/link.pl")], "outcome"), "left_alone");
  const JsonValue* refused = by_path[Path("t/ro.pl")];
  ASSERT_NE(refused, nullptr) << r.out;
  EXPECT_EQ(Text(*refused, "outcome"), "refused");
  const JsonValue* error = refused->Find("error");
  ASSERT_NE(error, nullptr) << r.out;
  EXPECT_EQ(Number(*error, "code"), "5");
  EXPECT_EQ(Text(*error, "message"), "Accès au fichier refusé");
  EXPECT_NE(Text(*error, "reason"), "");
  const JsonValue* closed = by_path[Path("t/closed")];
  ASSERT_NE(closed, nullptr) << r.out;
  EXPECT_EQ(Text(*closed, "type"), "folder");
  EXPECT_EQ(Text(*closed, "outcome"), "failed");
  const JsonValue& summary = told.back();
  EXPECT_EQ(Text(summary, "type"), "summary");
  for (const auto& [name, count] : std::map<std::string, std::string>{{"converted", "0"},
                                                                      {"would_change", "1"},
                                                                      {"unchanged", "1"},
                                                                      {"binary", "1"},
                                                                      {"left_alone", "1"},
                                                                      {"refused", "1"},
                                                                      {"failed", "1"},
                                                                      {"warnings", "0"},
                                                                      {"status", "1"}}) {
    EXPECT_EQ(Number(summary, name), count) << name;
  }
}

TEST_F(CliRun, AFolderThatCanBeListedButNotEnteredFailsACheck) {
  WriteBytes(Path("t/a.pl"), "a\n");
  WriteBytes(Path("t/blind/b.pl"), "b \n");
  ASSERT_EQ(::chmod(Path("t/blind").c_str(), 0444), 0);
  CliRunAs as;
  if (::geteuid() == 0) {
    as.uid = 65534;
    for (const std::string& p : {dir_, Path("t")}) ::chmod(p.c_str(), 0777);
  }
  const CliResult r = RunCli({"--controle", "--json", "-r", "-f", "unix", Path("t")}, as);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("{\"type\": \"folder\", \"path\": \"" + Path("t/blind") +
                       "\", \"outcome\": \"failed\""),
            std::string::npos)
      << r.out;
}

TEST_F(CliRun, InfoTellsEachFilesLineEndsAndWritesNothing) {
  const std::string mixed = "\xEF\xBB\xBF#!perl \r\nb\nc\r\r\rd\t\ne ";
  WriteBytes(Path("d/mixed.pl"), mixed);
  WriteBytes(Path("d/utf16.pl"), std::string("\xFF\xFE\r\n\x61\0", 6));
  const std::vector<std::string> args = {"--info", "-q", "-F", "mixed.pl;utf16.pl", Path("d")};
  CliResult r = RunCli(args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "texte (1 CR LF, 2 LF, 3 CR, BOM UTF-8, dernière ligne sans fin, 3 lignes à "
            "blancs de fin) : " +
                Path("d/mixed.pl") + "\nbinaire (octet NUL à la position 5, BOM UTF-16 LE) : " +
                Path("d/utf16.pl") + "\n");
  EXPECT_EQ(ReadBytes(Path("d/mixed.pl")), mixed);
  // The summary, of these, a file of one kind of line ends and a link.
  WriteBytes(Path("d/two.pl"), "a\t\nb \n");
  ASSERT_EQ(::symlink("two.pl", Path("d/link.pl").c_str()), 0);
  EXPECT_EQ(RunCli({"--info", Path("d")}).err,
            "Info, rien n'a été écrit : 2 fichiers texte (1 CR LF, 4 LF, 3 CR ; 1 à fins "
            "mélangées, 1 avec BOM, 1 à la dernière ligne sans fin, 2 avec des blancs de fin), 1 "
            "binaire, 1 laissé tel quel, 0 en échec.\n");
  std::vector<std::string> json = args;
  json.insert(json.begin(), "--json");
  r = RunCli(json);
  const std::vector<JsonValue> told = JsonLines(r.out);
  ASSERT_EQ(told.size(), 3u) << r.out;
  EXPECT_EQ(Text(told[0], "outcome"), "inspected");
  EXPECT_EQ(Text(told[0], "bom"), "utf-8");
  EXPECT_EQ(Number(told[0], "crlf") + Number(told[0], "lf") + Number(told[0], "cr") +
                Number(told[0], "trailing_blanks"),
            "1233");
  EXPECT_TRUE(told[0].Find("final_newline") != nullptr && !told[0].Find("final_newline")->boolean);
  EXPECT_EQ(Text(told[1], "outcome"), "binary");
  EXPECT_EQ(Text(told[1], "bom"), "utf-16le");
  EXPECT_EQ(Number(told[1], "nul_offset"), "5");
}

TEST_F(CliRun, PerlCheckWarnsOfWhatWouldStopAScriptOnceDeployed) {
  WriteBytes(Path("not-run"), "");
  ASSERT_EQ(::chmod(Path("not-run").c_str(), 0644), 0);
  struct Case {
    // Any name: the kernel reads #!, not the name; but Perl loads a module.
    std::string name, content;
    mode_t mode, folder_mode;
    std::vector<std::string> options;
    // The warning after the file's name; none for a script that would run.
    std::string warning;
  };
  const std::vector<std::string> unix = {"-f", "unix"};
  const std::vector<Case> cases = {
      {"script", "#!/bin/sh\necho\n", 0755, 0755, unix, ""},
      {"script", "\xEF\xBB\xBF#!/bin/sh\n", 0755, 0755, unix,
       ":1: une marque d'ordre des octets (BOM) UTF-8 précède #!"},
      {"script", "\xEF\xBB\xBF #!/bin/sh\n", 0755, 0755, unix,
       ":1: une marque d'ordre des octets (BOM) UTF-8 et des blancs précèdent #!"},
      {"script", "\t#!/bin/sh\n", 0755, 0755, {"-k", "-f", "unix"}, ":1: des blancs précèdent #!"},
      {"script",
       "#!/bin/sh\n",
       0755,
       0755,
       {"-f", "windows"},
       ":1: la ligne #! finirait par un CR"},
      {"script", "#!/absent/perl -w\n", 0755, 0755, unix,
       ":1: l'interpréteur « /absent/perl » n'existe pas sur cette machine"},
      {"script", "#!" + Path("not-run") + "\n", 0755, 0755, unix,
       ":1: l'interpréteur « " + Path("not-run") + " » n'est pas un fichier exécutable"},
      {"script", "#! perl\n", 0755, 0755, unix,
       ":1: l'interpréteur « perl » n'est pas un chemin absolu"},
      {"script", "#!/bin/sh\n", 0644, 0755, unix,
       ": commence par #! mais n'a aucun droit d'exécution"},
      {"script", "#!/bin/sh\n", 0775, 0755, unix, ": le script est modifiable par son groupe"},
      {"script", "#!/bin/sh\n", 0755, 0757, unix, ": son dossier est modifiable par son groupe"},
      {"Long.pm", "#!perl\n1;\n", 0664, 0757, unix, ""},
  };
  for (std::size_t k = 0; k < cases.size(); ++k) {
    const Case& c = cases[k];
    const std::string folder = Path("d" + std::to_string(k));
    const std::string script = folder + "/" + c.name;
    WriteBytes(script, c.content);
    ASSERT_EQ(::chmod(script.c_str(), c.mode), 0);
    ASSERT_EQ(::chmod(folder.c_str(), c.folder_mode), 0);
    std::vector<std::string> args = {"-n", "--verifier-perl", "-q", "-F", "*", folder};
    args.insert(args.begin(), c.options.begin(), c.options.end());
    const CliResult r = RunCli(args);
    if (c.warning.empty()) {
      EXPECT_EQ(r.status, 0) << k;
      EXPECT_EQ(r.err, "") << k;
      continue;
    }
    EXPECT_EQ(r.status, 1) << k;
    // One line, naming the file.
    EXPECT_EQ(r.err.rfind(script + c.warning, 0), 0u) << k << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << k << ": " << r.err;
  }
}
