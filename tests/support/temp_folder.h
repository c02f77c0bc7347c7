#pragma once
// A folder of its own for each test, made under the system's temporary folder
// and removed with all it holds afterwards, and the bytes of files in it.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <system_error>
#include <vector>

// Removes path with all it holds, even the folders a test closed to its owner,
// however deep: it goes from open folder to open folder, so no path grows with
// depth. What cannot be removed stays, and the folders above it.
inline void RemoveFolder(const std::string& path) {
  if (path.empty()) return;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  ::chmod(path.c_str(), (st.st_mode & 07777) | 0700);
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  // The names from path down to the open folder.
  std::vector<std::string> way;
  while (fd >= 0) {
    std::string sub;
    if (DIR* listing = ::fdopendir(::dup(fd))) {
      // The copy shares the offset of the listings before it.
      ::rewinddir(listing);
      while (const dirent* e = ::readdir(listing)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
          ::unlinkat(fd, name.c_str(), 0);
        } else if (sub.empty()) {
          sub = name;
          ::fchmodat(fd, name.c_str(), (st.st_mode & 07777) | 0700, 0);
        }
      }
      ::closedir(listing);
    }
    int next = -1;
    if (!sub.empty()) {
      next = ::openat(fd, sub.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (next >= 0) way.push_back(sub);
    } else if (!way.empty()) {
      next = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (next >= 0 && ::unlinkat(next, way.back().c_str(), AT_REMOVEDIR) != 0) {
        ::close(next);
        next = -1;
      }
      way.pop_back();
    }
    ::close(fd);
    fd = next;
  }
  ::rmdir(path.c_str());
}

class TempFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "terminelle-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    // Rewrites in place keep their backups and records here, not in the user's folders.
    setenv("XDG_STATE_HOME", (dir_ + "/state").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("XDG_STATE_HOME");
    RemoveFolder(dir_);
  }

  std::string dir_;
};

// Writes bytes to path, creating its folders.
inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The bytes of path; empty when it cannot be read.
inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A folder of its own for each test, with its state folder apart from it, so
// that backups and records never show among the folder's entries or move its
// date, and the few file helpers the conversion and rewrite tests share.
class FolderAndStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/terminelle-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    dir_ = folder;
    char state[] = "/tmp/terminelle-state-XXXXXX";
    ASSERT_NE(mkdtemp(state), nullptr);
    state_ = state;
    setenv("XDG_STATE_HOME", state_.c_str(), 1);
  }
  void TearDown() override {
    RemoveFolder(dir_);
    RemoveFolder(state_);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // Writes bytes to the file name of the folder; its path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string p = Path(name);
    WriteBytes(p, bytes);
    return p;
  }
  static std::string Read(const std::string& path) { return ReadBytes(path); }
  std::set<std::string> Entries() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      names.insert(e.path().filename().string());
    }
    return names;
  }

  std::string dir_;
  std::string state_;
};
