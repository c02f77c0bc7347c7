#include "run_cli.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "../support/temp_folder.h"

namespace {

// The program as another user runs it: a copy under the system's temporary
// folder, as reachable as the tests' own folders there, since the build may
// lie where that user cannot go (a checkout in a mode-0700 /root). Made
// once, removed when the tests end.
const std::string& ProgramForOthers() {
  static const struct Copy {
    Copy() {
      folder = (std::filesystem::temp_directory_path() / "terminelle-cli-XXXXXX").string();
      if (::mkdtemp(folder.data()) == nullptr || ::chmod(folder.c_str(), 0755) != 0) return;
      std::error_code failed;
      if (std::filesystem::copy_file(TERMINELLE_CLI, folder + "/terminelle-cli", failed)) {
        program = folder + "/terminelle-cli";
      }
    }
    ~Copy() { RemoveFolder(folder); }
    std::string folder, program;
  } copy;
  return copy.program;
}

std::string Slurp(int fd) {
  std::string s;
  char buf[4096];
  ssize_t n;
  ::lseek(fd, 0, SEEK_SET);
  while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(n));
  return s;
}

int TempFile() {
  char name[] = "/tmp/terminelle-cli-out-XXXXXX";
  int fd = ::mkstemp(name);
  ::unlink(name);
  return fd;
}

}  // namespace

std::vector<char*> CliArgv(std::vector<std::string>& args) {
  args.insert(args.begin(), TERMINELLE_CLI);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return argv;
}

CliResult RunCli(const std::vector<std::string>& args, const CliRunAs& as) {
  std::vector<std::string> words = args;
  std::vector<char*> argv = CliArgv(words);
  if (as.uid >= 0) argv[0] = const_cast<char*>(ProgramForOthers().c_str());
  int out = as.stdout_to.empty() ? TempFile() : ::open(as.stdout_to.c_str(), O_WRONLY);
  int err = TempFile();
  pid_t pid = ::fork();
  if (pid == 0) {
    if (as.uid >= 0) {
      const gid_t none[] = {static_cast<gid_t>(as.uid)};
      if (::setgroups(1, none) != 0 || ::setgid(static_cast<gid_t>(as.uid)) != 0 ||
          ::setuid(static_cast<uid_t>(as.uid)) != 0 || ::chdir("/") != 0) {
        ::_exit(126);
      }
    }
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  CliResult r;
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (as.stdout_to.empty()) r.out = Slurp(out);
  r.err = Slurp(err);
  ::close(out);
  ::close(err);
  return r;
}
