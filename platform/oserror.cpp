#include "platform/oserror.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

int OsErrorCode(int err) {
  switch (err) {
    case ENOENT:
      return 2;
    case ENOTDIR:
      return 3;
    case EMFILE:
    case ENFILE:
      return 4;
    case EACCES:
    case EPERM:
    case EISDIR:
      return 5;
    case ENOMEM:
      return 8;
    case EXDEV:
      return 17;
    case EROFS:
      return 19;
    case ENXIO:
      return 21;
    case EBUSY:
    case ETXTBSY:
      return 32;
    case EAGAIN:
      return 33;
    case EEXIST:
      return 80;
    case EINVAL:
      return 87;
    case ENOSPC:
    case EDQUOT:
      return 112;
    case ENAMETOOLONG:
      return 206;
    case EFBIG:
      return 223;
    case EIO:
      return 1117;
    case ELOOP:
      return 1921;
    default:
      return 31;
  }
}

int OsErrorCodeForPath(int err, const std::string& path) {
  if (err == ENOENT) {
    std::string::size_type slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
      struct stat st {};
      std::string parent = path.substr(0, slash);
      if (stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return 3;
    }
  }
  return OsErrorCode(err);
}

std::string SystemErrorText(int err) {
  char buf[512];
  // The GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  std::string s = text != nullptr ? text : "";
  while (!s.empty() && (static_cast<unsigned char>(s.back()) <= 0x20 || s.back() == '.')) {
    s.pop_back();
  }
  return s;
}

std::string FullPathName(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(path, ec);
  if (ec) return path;
  std::string out = p.lexically_normal().string();
  // lexically_normal keeps a trailing separator for "dir/."; the name of the
  // folder itself is what callers want to show.
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}
