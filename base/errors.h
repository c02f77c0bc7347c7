#pragma once
// The error classes every layer raises. Messages are the program's own French
// texts; they travel up to the one place that shows them to the user.

#include <exception>
#include <string>

// Base of every error this program raises on purpose.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  // An error about the file or folder at path (empty when the message names
  // it), for reason.
  Exception(std::string message, std::string path, std::string reason)
      : message_(std::move(message)), path_(std::move(path)), reason_(std::move(reason)) {}
  // The message, as shown to the user.
  const std::string& Message() const { return message_; }
  // What the error is about, when its message does not name it.
  const std::string& Path() const { return path_; }
  // Why, in French, and what the user can do about it; empty when unknown.
  const std::string& Reason() const { return reason_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
  std::string path_;
  std::string reason_;
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
  // The same, about the file at path, for reason.
  EInOutError(int code, std::string path, std::string reason);
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
  // "Impossible d'ouvrir le fichier "path". Reason", its first letter made
  // a capital, as a sentence begins.
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

// text beginning as a sentence does: the French reasons begin in lower
// case, as they are most often told within one, and none begins with an
// accented letter.
std::string AsSentence(std::string text);

// The message of an error in flight as the user is told it: the program's own
// message, "Mémoire insuffisante" when memory ran out, what() of any other
// standard error, "Erreur inconnue" for anything else.
std::string MessageOf(std::exception_ptr error);

// What the user is told of an error beyond its message.
struct ErrorDetail {
  std::string Path;
  std::string Reason;
};
// The path and reason the program's error carries; none for any other, or
// for no error at all.
ErrorDetail DetailOf(std::exception_ptr error);
