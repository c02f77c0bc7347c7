#include "platform/folders.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/paths.h"

namespace {

// Passwd and group entries live in buffers shared by every thread unless
// the caller gives its own: lookup (getpwuid_r or getgrgid_r) is retried
// with a larger one while the entry does not fit; null when there is none.
template <class Entry, class Key, class Lookup>
Entry* LookUp(Key key, Lookup lookup, Entry* entry, std::vector<char>* buf) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  buf->resize(size > 0 ? static_cast<std::size_t>(size) : 16384);
  Entry* found = nullptr;
  while (lookup(key, entry, buf->data(), buf->size(), &found) == ERANGE &&
         buf->size() < (1u << 20)) {
    buf->resize(buf->size() * 2);
  }
  return found;
}

// Whether gid is uid's private group: its primary group, named after it,
// with no other member.
bool IsPrivateGroup(gid_t gid, uid_t uid) {
  passwd user{};
  group grp{};
  std::vector<char> user_buf, group_buf;
  const passwd* u = LookUp(uid, ::getpwuid_r, &user, &user_buf);
  const group* g = LookUp(gid, ::getgrgid_r, &grp, &group_buf);
  if (u == nullptr || g == nullptr || u->pw_gid != gid || u->pw_name == nullptr ||
      g->gr_name == nullptr || std::string(u->pw_name) != g->gr_name) {
    return false;
  }
  for (char** member = g->gr_mem; member != nullptr && *member != nullptr; ++member) {
    if (std::string(*member) != u->pw_name) return false;
  }
  return true;
}

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
  passwd entry{};
  std::vector<char> buf;
  const passwd* found = LookUp(::geteuid(), ::getpwuid_r, &entry, &buf);
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
    const std::string part = path.substr(0, slash);
    struct stat st {};
    if (::stat(part.c_str(), &st) != 0) {
      if (errno != ENOENT) return errno;
      struct stat above {};
      if (::stat(FolderOf(part).c_str(), &above) != 0) return errno;
      if (above.st_uid != ::geteuid() && above.st_uid != 0) return EPERM;
      if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    }
    if (slash == std::string::npos) break;
  }
  return IsFolder(path) ? 0 : ENOTDIR;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Ownership OwnershipOf(const struct stat& st) {
  const uid_t me = ::geteuid();
  if (st.st_uid != me) return Ownership::kOtherOwner;
  if ((st.st_mode & S_IWOTH) != 0 ||
      ((st.st_mode & S_IWGRP) != 0 && !IsPrivateGroup(st.st_gid, me))) {
    return Ownership::kOpenToOthers;
  }
  return Ownership::kOwn;
}

std::string AccountName(uid_t uid) {
  passwd entry{};
  std::vector<char> buf;
  const passwd* found = LookUp(uid, ::getpwuid_r, &entry, &buf);
  return found != nullptr && found->pw_name != nullptr ? found->pw_name : std::to_string(uid);
}
