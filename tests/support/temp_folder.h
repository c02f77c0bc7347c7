#pragma once
// A folder of its own for each test, made under the system's temporary folder
// and removed with all it holds afterwards, and the bytes of files in it.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <system_error>

// Removes path with all it holds, even the folders a test closed to its owner.
inline void RemoveFolder(const std::string& path) {
  if (path.empty()) return;
  namespace fs = std::filesystem;
  std::error_code ignored;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (const auto& e : fs::recursive_directory_iterator(path, ignored)) {
    if (e.is_directory(ignored) && !e.is_symlink(ignored)) {
      fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(path, ignored);
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
