#include "platform/oserror.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/errors.h"

int OsErrorCode(int err) {
  switch (err) {
    case ENOENT:
      return io_code::kFileNotFound;
    case ENOTDIR:
      return io_code::kPathNotFound;
    case EMFILE:
    case ENFILE:
      return io_code::kTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
      return io_code::kAccessDenied;
    case ENOMEM:
      return io_code::kNotEnoughMemory;
    case EXDEV:
      return io_code::kNotSameDevice;
    case EROFS:
      return io_code::kWriteProtected;
    case ENXIO:
      return io_code::kNotReady;
    case EBUSY:
    case ETXTBSY:
      return io_code::kSharingViolation;
    case EAGAIN:
      return io_code::kLockViolation;
    case EEXIST:
      return io_code::kFileExists;
    case EINVAL:
      return io_code::kInvalidParameter;
    case ENOSPC:
    case EDQUOT:
      return io_code::kDiskFull;
    case ENAMETOOLONG:
      return io_code::kNameTooLong;
    case EFBIG:
      return io_code::kFileTooLarge;
    case EIO:
      return io_code::kDeviceError;
    case ELOOP:
      return io_code::kCannotResolveName;
    default:
      return io_code::kGeneralFailure;
  }
}

int OsErrorCodeForPath(int err, const std::string& path) {
  if (err == ENOENT) {
    std::string::size_type slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
      struct stat st {};
      std::string parent = path.substr(0, slash);
      if (stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return io_code::kPathNotFound;
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
