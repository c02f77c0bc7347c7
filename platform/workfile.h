#pragma once
// The program's work files: temporary files, copies of an old content and
// the records of rewrites in place. They are named by a marker and twenty
// random letters and digits, which no person would type, so that the
// program never converts them and removes only what it made; and locked
// while in use, so that another instance tells them from files a killed run
// left behind.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/fd.h"
#include "platform/fileio.h"

// The markers of the three kinds; none begins another, so that a name is
// of one kind whatever its random part.
inline constexpr char kTempPrefix[] = ".terminelle~neuf~";
inline constexpr char kBackupPrefix[] = ".terminelle~ancien~";
inline constexpr char kRecordPrefix[] = "reprise~";

// A work file. It is made without a name where the file system allows it,
// so that a kill leaves nothing behind, and locked before it gets one.
// Removed when dropped, unless kept.
class WorkFile {
 public:
  // The mode asking Create for the permission bits any new file gets.
  static constexpr mode_t kNewFileBits = static_cast<mode_t>(-1);
  // Files are created through writer, which must outlive this object.
  explicit WorkFile(FileWriter& writer) : writer_(&writer) {}
  // Removes the file (before closing it, so the lock covers its whole life).
  ~WorkFile();
  WorkFile(const WorkFile&) = delete;
  WorkFile& operator=(const WorkFile&) = delete;
  // Drops any file held, then creates one in folder with the permission bits
  // mode, locked; its name, when it needs one, is prefix followed by random
  // letters and digits. 0 or errno.
  int Create(int folder, const char* prefix, mode_t mode);
  // Gives the file its name in its folder, unless it has one; 0 or errno.
  int Name();
  // Links the file in as name of folder, which must not exist; 0 or errno
  // (EEXIST when the name is taken). The file is then no work file any more.
  int LinkAs(int folder, const std::string& name);
  int fd() const { return fd_.get(); }
  // Its folder (borrowed: it must outlive this object).
  int folder() const { return folder_; }
  // Its name in the folder; "" while it has none.
  const std::string& name() const { return name_; }
  // Whether it has the permission bits asked for: one that had to be made
  // with a name keeps 0600 rather than bits that would keep its owner out.
  bool exact() const { return exact_; }
  // Leaves the file on disk when dropped.
  void Keep() { name_.clear(); }
  // Removes the file now.
  void Remove();

 private:
  int CreateNamed(mode_t mode);

  FileWriter* writer_;
  Fd fd_;
  int folder_ = -1;
  const char* prefix_ = "";
  std::string name_;
  bool exact_ = true;
};

// Whether name is one of the program's temporary files (of this version or
// the one before, which named them ".terminelle~" and twenty letters and
// digits) or copies of an old content.
bool IsWorkFileName(const char* name);
// Whether name is a record of a rewrite in place, of this version or the
// previous one (which named its work files with six letters or digits).
bool IsRecordName(const char* name);
// Whether a record may name name: a temporary file or a copy of an old
// content of this version or the previous one. A record of that version
// proves that it made what it names; nothing else does.
bool IsRecordedWorkFileName(const char* name);

// Opens folder's entry name into *file and locks it, with its status in *st;
// 0, EINVAL for an entry that is no regular file, EWOULDBLOCK when a running
// instance holds it, or the errno of what failed.
int OpenUnheld(int folder, const char* name, Fd* file, struct stat* st);

// Removes the work file name in folder when no running instance of the
// program holds it and it holds nothing worth keeping (a copy of an old
// content goes only when empty).
void SweepStaleWorkFile(int folder, const char* name);
// Removes the stale work files of folder, as SweepStaleWorkFile does.
void SweepStaleWorkFiles(const std::string& folder);
