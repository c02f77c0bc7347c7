#include "platform/folderentry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/paths.h"

namespace {

// Opens folder for use as the base of later calls; 0 or errno.
int OpenFolderPath(const std::string& folder, Fd* out) {
  const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  if (folder.size() < PATH_MAX) {
    const char* path = folder.empty() ? "." : folder.c_str();
    out->reset(RetryInterrupted([path] { return ::open(path, flags); }));
    return out->get() < 0 ? errno : 0;
  }
  // Too long for one call: opened a piece at a time, each piece a run of
  // whole names shorter than the system's limit.
  const char* start = folder[0] == '/' ? "/" : ".";
  Fd at(RetryInterrupted([start] { return ::open(start, flags); }));
  if (at.get() < 0) return errno;
  for (std::size_t pos = 0;;) {
    while (pos < folder.size() && folder[pos] == '/') ++pos;
    if (pos >= folder.size()) break;
    std::size_t cut = folder.size();
    if (cut - pos >= PATH_MAX) {
      cut = folder.rfind('/', pos + PATH_MAX - 1);
      if (cut == std::string::npos || cut <= pos) cut = folder.find('/', pos);
      if (cut == std::string::npos) cut = folder.size();
    }
    const std::string piece = folder.substr(pos, cut - pos);
    const int next = RetryInterrupted([&] { return ::openat(at.get(), piece.c_str(), flags); });
    if (next < 0) return errno;
    at.reset(next);
    pos = cut;
  }
  *out = std::move(at);
  return 0;
}

}  // namespace

int FolderEntry::Locate(const std::string& path) {
  // Its last name apart, which the calls below use, and the path kept as written.
  const std::string::size_type slash = path.find_last_of('/');
  path_ = slash == std::string::npos
              ? PathChain(path)
              : PathChain(PathChain(path.substr(0, slash)), path.substr(slash + 1));
  // Opened for this entry alone: nothing stays open in a folder once the
  // run that reached it is over.
  folder_.reset();
  Fd folder;
  if (int err = OpenFolderPath(FolderOf(path), &folder)) return err;
  folder_ = std::make_shared<const Fd>(std::move(folder));
  return Name().empty() ? EISDIR : 0;
}

int FolderEntry::LocateThroughLinks(const std::string& path) {
  if (int err = Locate(path)) return err;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (int err = Status(&st)) return err == ENOENT ? 0 : err;
    if (!S_ISLNK(st.st_mode)) return 0;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
    ssize_t n = ::readlinkat(Folder(), Name().c_str(), target.data(), target.size());
    if (n < 0) return errno;
    target.resize(static_cast<std::size_t>(n));
    if (target.empty()) return ENOENT;
    if (int err = Locate(target[0] == '/' ? target : FolderOf(Path()) + "/" + target)) return err;
  }
  return ELOOP;
}

int FolderEntry::Status(struct stat* st) const {
  return ::fstatat(Folder(), Name().c_str(), st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

std::string FolderEntry::Identity() const {
  // The entries of one listing come one after the other and share their
  // open folder: its identity is asked once while it stays open.
  thread_local std::weak_ptr<const Fd> last;
  thread_local std::string prefix;
  const bool same = folder_ != nullptr && !last.expired() && !last.owner_before(folder_) &&
                    !folder_.owner_before(last);
  if (!same) {
    struct stat st {};
    if (::fstat(Folder(), &st) != 0) return Path();
    last = folder_;
    prefix = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "/";
  }
  return prefix + Name();
}

int FolderEntry::OpenForReading(Fd* file, bool keep_access_time) const {
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
  auto open = [this](int with) {
    return RetryInterrupted([this, with] { return ::openat(Folder(), Name().c_str(), with); });
  };
  int fd = open(keep_access_time ? flags | O_NOATIME : flags);
  // Refused to whoever may not set the file's dates.
  if (fd < 0 && keep_access_time && errno == EPERM) fd = open(flags);
  const int err = fd < 0 ? errno : 0;
  file->reset(fd);
  return err;
}
