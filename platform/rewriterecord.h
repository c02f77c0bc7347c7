#pragma once
// The record a rewrite in place keeps in the program's state folder while it
// works, the mark it leaves on the file meanwhile, and the put-back. The
// record names the file, the copy of its old content, its new content and
// the mode and capability writing clears; it is on disk before the file is
// touched, so that after a crash, a kill or a power cut the next start puts
// back a file cut short, or gives back the mode and capability of one found
// whole. The mark tells any run of any user meeting the file meanwhile, who
// cannot read the record, that what it holds may be cut short.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/fd.h"
#include "platform/fileio.h"
#include "platform/workfile.h"

// The program's state folder ($XDG_STATE_HOME/Terminelle, by default
// ~/.local/state/Terminelle); "" when the user has no home folder.
std::string StateFolderPath();
// Opens the state folder into *folder, creating it when missing; 0 or errno.
int OpenStateFolder(Fd* folder);

// A work file a record names, and which file it is: the one made then, not
// one put under its name since.
struct RecordedFile {
  std::string Path;
  // Records of the previous version do not tell which.
  bool Known = false;
  dev_t Device = 0;
  ino_t Inode = 0;
  uid_t Owner = 0;
};

// The work file at path whose status is st.
RecordedFile Recorded(const std::string& path, const struct stat& st);

// What a record tells of one rewrite in place.
struct RewriteRecord {
  // The file rewritten, by its absolute path and its identity.
  std::string Target;
  dev_t Device = 0;
  ino_t Inode = 0;
  // Its mode and file capability (none when empty), which writing clears.
  mode_t Mode = 0;
  std::string Capability;
  // The copy of its old content, and its new content.
  RecordedFile Backup;
  RecordedFile Temp;
};

// The record file of one rewrite in place. Removed when dropped, unless kept.
class RecordFile {
 public:
  // Written through writer, which must outlive this object.
  explicit RecordFile(FileWriter& writer) : writer_(writer), file_(writer) {}
  // Writes record in the open state folder, flushed before it gets its name
  // (no record is ever found cut short) and its name flushed; it says the
  // file is not touched yet. 0 or errno.
  int Write(int state_folder, const RewriteRecord& record);
  // Marks, flushed, that the old content is kept safe: from now on the file
  // may change, and the next start puts back what is cut short. 0 or errno.
  int MarkOldContentKept();
  // Leaves the record on disk for the next start.
  void Keep() { file_.Keep(); }

 private:
  FileWriter& writer_;
  WorkFile file_;
};

// A file whose rewrite was cut short, as found at start.
struct InterruptedRewrite {
  std::string Path;
  // True when its old content was put back.
  bool Restored = false;
  // Otherwise (it changed since, or could not be written), where its old
  // content is kept; "" when no copy is left.
  std::string KeptIn;
};

// Puts back, through writer, the old content of files whose rewrite in place
// was cut short, gives back the mode and capability of those found with
// their new or old content, and cleans away what such rewrites left; *found
// receives what the user should be told. Rewrites still under way in another
// instance of the program are left alone. A record goes only once settled,
// so a put-back cut short is finished at the next start. 0, or the errno
// that kept the state folder from being read whole (some records may then
// be left for the next start); a state folder not made yet holds none.
int RestoreInterruptedRewrites(std::vector<InterruptedRewrite>* found,
                               FileWriter& writer = SystemFileWriter());

// The extended attribute a file rewritten in place bears from the moment it
// may change until it is whole again, its value the path of the copy of its
// old content. Where the file system keeps no attributes of users, only the
// record tells, and only to its own user.
inline constexpr char kRewriteMarkAttribute[] = "user.terminelle.ancien";

// Marks fd, whose old content is kept at kept_in, through writer; 0 or errno.
int MarkRewriting(FileWriter& writer, int fd, const std::string& kept_in);
// Takes fd's mark away, when it has one, through writer.
void ClearRewriteMark(FileWriter& writer, int fd);

// What became of a marked file met by a run.
enum class MarkedFile {
  // A record of this user's was settled: the file holds its old or new
  // content, or what another program wrote since, and is marked no more.
  kSettled,
  // An instance of the program is rewriting it now.
  kBeingRewritten,
  // Cut short by a rewrite whose record this user cannot settle (another
  // user's, or lost): it is to be left alone.
  kCutShort,
};

// Settles, through writer, the marked file whose status is st, its old
// content kept at kept_in (as its mark says), as the next start would.
MarkedFile SettleMarkedFile(FileWriter& writer, const struct stat& st, const std::string& kept_in);
