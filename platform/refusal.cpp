#include "platform/refusal.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/writeover.h"

namespace {

// What this process may do to files, as the system tells it.
struct Credentials {
  uid_t fsuid = 0;
  gid_t fsgid = 0;
  std::vector<gid_t> groups;
  std::uint64_t effective = 0;

  bool Has(int capability) const { return ((effective >> capability) & 1) != 0; }
  bool InGroup(gid_t gid) const {
    return gid == fsgid || std::find(groups.begin(), groups.end(), gid) != groups.end();
  }
};

// The numbers after key in the text of /proc/self/status, in base.
std::vector<unsigned long long> StatusNumbers(const std::string& status, const char* key,
                                              int base) {
  std::vector<unsigned long long> numbers;
  const std::size_t at = status.find(std::string("\n") + key);
  if (at == std::string::npos) return numbers;
  const char* p = status.c_str() + at + 1 + std::strlen(key);
  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\n' || *p == '\0') return numbers;
    char* end = nullptr;
    numbers.push_back(std::strtoull(p, &end, base));
    if (end == p) return numbers;
    p = end;
  }
}

Credentials ReadCredentials() {
  Credentials c;
  const std::string status = ProcessStatus();
  const auto uid = StatusNumbers(status, "Uid:", 10);
  const auto gid = StatusNumbers(status, "Gid:", 10);
  const auto caps = StatusNumbers(status, "CapEff:", 16);
  if (uid.size() == 4 && gid.size() == 4 && caps.size() == 1) {
    c.fsuid = static_cast<uid_t>(uid[3]);
    c.fsgid = static_cast<gid_t>(gid[3]);
    c.effective = caps[0];
    for (unsigned long long g : StatusNumbers(status, "Groups:", 10)) {
      c.groups.push_back(static_cast<gid_t>(g));
    }
    return c;
  }
  // Without /proc, the system is asked directly.
  c.fsuid = ::geteuid();
  c.fsgid = ::getegid();
  const int n = ::getgroups(0, nullptr);
  if (n > 0) {
    c.groups.resize(static_cast<std::size_t>(n));
    c.groups.resize(static_cast<std::size_t>(std::max(0, ::getgroups(n, c.groups.data()))));
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) == 0) {
    c.effective = data[0].effective | (static_cast<std::uint64_t>(data[1].effective) << 32);
  }
  return c;
}

// Moved on in a child process, which may go on to change its credentials.
std::atomic<unsigned> credentials_epoch{0};

void ForgetCredentials() {
  credentials_epoch.fetch_add(1, std::memory_order_relaxed);
}

// This process's credentials, read once per thread: they never change in
// the program, only in the children tests make.
const Credentials& MyCredentials() {
  static const bool watched = ::pthread_atfork(nullptr, nullptr, ForgetCredentials) == 0;
  (void)watched;
  thread_local unsigned epoch = ~0u;
  thread_local Credentials mine;
  const unsigned now = credentials_epoch.load(std::memory_order_relaxed);
  if (epoch != now) {
    mine = ReadCredentials();
    epoch = now;
  }
  return mine;
}

// Flags that forbid writing the file, or replacing it.
constexpr int kUnwritableFlags = FS_IMMUTABLE_FL | FS_APPEND_FL;

}  // namespace

bool InodeFlags(FileWriter& writer, int fd, int* flags) {
  *flags = 0;
  return writer.GetInodeFlags(fd, flags) == 0;
}

int RefuseUnwritable(const FolderEntry& entry, const struct stat& st) {
  // A file without write permission is refused even to root, as a
  // read-only file is on Windows.
  if ((st.st_mode & 0222) == 0) return EACCES;
  if (st.st_uid == MyCredentials().fsuid && (st.st_mode & S_IWUSR) != 0) return 0;
  return ::faccessat(entry.Folder(), entry.Name().c_str(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
}

int RefuseUnkeepable(FileWriter& writer, int fd, const struct stat& st) {
  const Credentials& me = MyCredentials();
  // Without CAP_FSETID, writing clears setuid and setgid; chmod gives them
  // back to the owner (or with CAP_FOWNER), and setgid only for a group the
  // caller is in, dropping it silently otherwise.
  if ((st.st_mode & (S_ISUID | S_ISGID)) != 0 && !me.Has(CAP_FSETID)) {
    if (st.st_uid != me.fsuid && !me.Has(CAP_FOWNER)) return EPERM;
    if ((st.st_mode & S_ISGID) != 0 && !me.InGroup(st.st_gid)) return EPERM;
  }
  // Writing always removes a file capability; only CAP_SETFCAP sets one.
  if (!me.Has(CAP_SETFCAP) && writer.GetAttribute(fd, kCapabilityAttribute, nullptr, 0) >= 0) {
    return EPERM;
  }
  return 0;
}

int RefuseUndatable(const struct stat& st) {
  const Credentials& me = MyCredentials();
  return st.st_uid == me.fsuid || me.Has(CAP_FOWNER) ? 0 : EPERM;
}

int RefuseFlagged(FileWriter& writer, int fd, int* flags) {
  int mine = 0;
  int& read = flags != nullptr ? *flags : mine;
  return InodeFlags(writer, fd, &read) && (read & kUnwritableFlags) != 0 ? EPERM : 0;
}
