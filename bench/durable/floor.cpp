// The least a durable rewrite of every file of a tree can cost, as a yardstick
// for the conversion: each file's bytes read and written to a temporary file
// beside it, which then replaces it, with no conversion at all.
//
//   floor nosync|each|batched|parallel FOLDER
// nosync: no flush; each: one fdatasync per file; batched: 256 temporary
// files at a time, one syncfs, their renames, then one flush per folder;
// parallel: batched, on as many threads as processors, each with batches
// of its own.

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

enum class Mode { kNoSync, kEach, kBatched, kParallel };
Mode mode = Mode::kNoSync;

struct Pending {
  int temp;
  std::string folder;
  std::string name;
};
// Each thread's own batch and buffer.
thread_local std::vector<Pending> pending;
thread_local std::vector<char> buffer(1 << 20);
// The files to rewrite, for the threads to share.
struct Listed {
  std::string path;
  std::size_t base;
  mode_t mode;
};
std::vector<Listed> listed;

int OpenFolder(const std::string& folder) {
  return open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool PutInPlace(const Pending& p) {
  const int folder = OpenFolder(p.folder);
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", p.temp);
  const std::string temp = "." + p.name + ".floor";
  const bool ok = folder >= 0 &&
                  linkat(AT_FDCWD, proc, folder, temp.c_str(), AT_SYMLINK_FOLLOW) == 0 &&
                  renameat(folder, temp.c_str(), folder, p.name.c_str()) == 0;
  close(folder);
  close(p.temp);
  return ok;
}

bool Flush() {
  if (pending.empty()) return true;
  bool ok = syncfs(pending.front().temp) == 0;
  std::vector<std::string> folders;
  for (const Pending& p : pending) {
    ok = PutInPlace(p) && ok;
    if (folders.empty() || folders.back() != p.folder) folders.push_back(p.folder);
  }
  for (const std::string& f : folders) {
    const int fd = OpenFolder(f);
    ok = fd >= 0 && fsync(fd) == 0 && ok;
    close(fd);
  }
  pending.clear();
  return ok;
}

int Rewrite(const std::string& whole, std::size_t base, mode_t file_mode) {
  Pending p{-1, whole.substr(0, base - 1), whole.substr(base)};
  const int in = open(whole.c_str(), O_RDONLY | O_CLOEXEC);
  const int folder = OpenFolder(p.folder);
  p.temp = openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, file_mode & 0777);
  close(folder);
  if (in < 0 || p.temp < 0) return 1;
  for (ssize_t n; (n = read(in, buffer.data(), buffer.size())) > 0;) {
    if (write(p.temp, buffer.data(), static_cast<std::size_t>(n)) != n) return 1;
  }
  close(in);
  if (mode == Mode::kEach && fdatasync(p.temp) != 0) return 1;
  if (mode != Mode::kBatched && mode != Mode::kParallel) return PutInPlace(p) ? 0 : 1;
  pending.push_back(std::move(p));
  return pending.size() >= 256 && !Flush() ? 1 : 0;
}

int Visit(const char* path, const struct stat* st, int type, struct FTW* ftw) {
  if (type != FTW_F || !S_ISREG(st->st_mode)) return 0;
  if (mode == Mode::kParallel) {
    listed.push_back({path, static_cast<std::size_t>(ftw->base), st->st_mode});
    return 0;
  }
  return Rewrite(path, static_cast<std::size_t>(ftw->base), st->st_mode);
}

// The listed files rewritten on as many threads as processors.
bool RewriteListed() {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> ok{true};
  std::vector<std::thread> threads;
  const unsigned n = std::max(1u, std::thread::hardware_concurrency());
  for (unsigned t = 0; t < n; ++t) {
    threads.emplace_back([&] {
      for (std::size_t i; (i = next++) < listed.size();) {
        if (Rewrite(listed[i].path, listed[i].base, listed[i].mode) != 0) ok = false;
      }
      if (!Flush()) ok = false;
    });
  }
  for (std::thread& t : threads) t.join();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  mode = std::strcmp(argv[1], "each") == 0       ? Mode::kEach
         : std::strcmp(argv[1], "batched") == 0  ? Mode::kBatched
         : std::strcmp(argv[1], "parallel") == 0 ? Mode::kParallel
                                                 : Mode::kNoSync;
  if (nftw(argv[2], Visit, 64, FTW_PHYS) != 0 || !Flush() ||
      (mode == Mode::kParallel && !RewriteListed())) {
    std::perror("floor");
    return 1;
  }
  return 0;
}
