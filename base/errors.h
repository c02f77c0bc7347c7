#pragma once
// The error classes every layer raises. Messages are the program's own French
// texts; they travel up to the one place that shows them to the user.

#include <exception>
#include <string>

// Base of every error this program raises on purpose.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  // The message, as shown to the user.
  const std::string& Message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// The codes EInOutError carries, which its messages are keyed on: Windows
// system error codes, and from 100 on the runtime's own input/output codes.
namespace io_code {
inline constexpr int kFileNotFound = 2;
inline constexpr int kPathNotFound = 3;
inline constexpr int kTooManyOpenFiles = 4;
inline constexpr int kAccessDenied = 5;
inline constexpr int kNotEnoughMemory = 8;
inline constexpr int kNotSameDevice = 17;
inline constexpr int kWriteProtected = 19;
inline constexpr int kNotReady = 21;
inline constexpr int kGeneralFailure = 31;
// Another program has the file: here, changed or replaced it since it was read.
inline constexpr int kSharingViolation = 32;
inline constexpr int kLockViolation = 33;
inline constexpr int kFileExists = 80;
inline constexpr int kInvalidParameter = 87;
inline constexpr int kReadBeyondEnd = 100;
inline constexpr int kDiskWriteError = 101;
// Written to, but no file that takes what is written (a destination that is
// neither a file, a device nor a pipe).
inline constexpr int kNotOpenForOutput = 105;
inline constexpr int kInvalidNumber = 106;
inline constexpr int kDiskFull = 112;
inline constexpr int kNameTooLong = 206;
inline constexpr int kFileTooLarge = 223;
inline constexpr int kDeviceError = 1117;
inline constexpr int kCannotResolveName = 1921;
}  // namespace io_code

// A file operation failed; ErrorCode is the Windows-style code of the failure.
class EInOutError : public Exception {
 public:
  // The error for code, with the message of the code table.
  explicit EInOutError(int code);
  static std::string MessageFor(int code);
  int ErrorCode;
};

// Errors of the stream classes.
class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

// A file stream could not be opened or created.
class EFileStreamError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

// A file could not be opened for reading.
class EFOpenError : public EFileStreamError {
 public:
  // "Impossible d'ouvrir le fichier "path". reason".
  EFOpenError(const std::string& path, const std::string& reason);
};

// Errors of the memory manager.
class EHeapException : public Exception {
 public:
  using Exception::Exception;
};

// Memory ran out.
class EOutOfMemory : public EHeapException {
 public:
  // "Mémoire insuffisante".
  EOutOfMemory();
};

// The message of an error in flight as the user is told it: the program's own
// message, "Mémoire insuffisante" when memory ran out, what() of any other
// standard error, "Erreur inconnue" for anything else.
std::string MessageOf(std::exception_ptr error);
