#include "platform/folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

// The folder named by variable when it holds an absolute path (a relative
// one is invalid and ignored), else home followed by fallback.
std::string XdgFolder(const char* variable, const char* fallback) {
  std::string folder;
  const char* value = std::getenv(variable);
  if (value != nullptr && value[0] == '/') {
    folder = value;
  } else {
    std::string home = HomeFolder();
    if (home.empty()) return "";
    folder = home + fallback;
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

}  // namespace

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  // getpwuid's answer lives in a buffer shared by every thread.
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  while (::getpwuid_r(::geteuid(), &entry, buf.data(), buf.size(), &found) == ERANGE &&
         buf.size() < (1u << 20)) {
    buf.resize(buf.size() * 2);
  }
  if (found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') return "";
  return found->pw_dir;
}

std::string UserConfigFolder() {
  return XdgFolder("XDG_CONFIG_HOME", "/.config");
}

std::string UserStateFolder() {
  return XdgFolder("XDG_STATE_HOME", "/.local/state");
}

int MakeFolders(const std::string& path) {
  for (std::size_t slash = 1;; ++slash) {
    slash = path.find('/', slash);
    std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    if (slash == std::string::npos) break;
  }
  return IsFolder(path) ? 0 : ENOTDIR;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
