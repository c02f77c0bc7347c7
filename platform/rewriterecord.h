#pragma once
// The record a rewrite in place keeps in the program's state folder while it
// works, the mark it leaves on the file meanwhile, and the put-back. The
// record names the file by its path and what identifies it (device, inode,
// owner, group, mark), the copy of its old content, its new content and the
// mode and capability writing clears; it is on disk before the file is
// touched, so that after a crash, a kill or a power cut the next start puts
// back a file cut short, or gives back the mode and capability of one found
// whole. Only records of the running user's own, in a state folder of its
// own, are read: another account could write anything in others. The mark
// tells any run of any user meeting the file meanwhile, who cannot read the
// record, that what it holds may be cut short; it is a flag, and nothing
// named in it is ever opened.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/fd.h"
#include "platform/fileio.h"
#include "platform/folderentry.h"
#include "platform/folders.h"
#include "platform/workfile.h"

// The program's state folder ($XDG_STATE_HOME/Terminelle, by default
// ~/.local/state/Terminelle); "" when the user has no home folder.
std::string StateFolderPath();
// Opens the state folder into *folder, creating it when missing; 0, EPERM
// when it is not this user's own (OwnershipOf) or would be made in another
// user's folder (MakeFolders), or errno.
int OpenStateFolder(Fd* folder);

// A work file a record names, and which file it is: the one made then, not
// one put under its name since.
struct RecordedFile {
  // Where it lies: beside the file rewritten, or in the state folder.
  bool InStateFolder = false;
  // Its name there; "" when a record of an earlier version names another
  // place.
  std::string Name;
  // Records of the first version do not tell which file it is.
  bool Known = false;
  dev_t Device = 0;
  ino_t Inode = 0;
  uid_t Owner = 0;
};

// The work file name, in the state folder or beside the file rewritten,
// whose status is st.
RecordedFile Recorded(bool in_state_folder, const std::string& name, const struct stat& st);

// What a record tells of one rewrite in place.
struct RewriteRecord {
  // The file rewritten, by its absolute path and its identity.
  std::string Target;
  dev_t Device = 0;
  ino_t Inode = 0;
  // Its owner and group; records of earlier versions do not tell them.
  bool Owned = false;
  uid_t Owner = 0;
  gid_t Group = 0;
  // Its mode and file capability (none when empty), which writing clears.
  mode_t Mode = 0;
  std::string Capability;
  // The mark it bears while it may be cut short.
  std::string Mark;
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
  // may change, and the next start puts back what is cut short. marked says
  // whether the file bears its mark meanwhile. 0 or errno.
  int MarkOldContentKept(bool marked);
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
// so a put-back cut short is finished at the next start. A file is written
// only when it is still the one the record names, with its owner, group and
// permissions, and holds what the rewrite, or the put-back, left: what its
// owner saved since stays. 0; EPERM, with *untrusted filled when given, when
// the state folder or a record in it is not this user's own (OwnershipOf):
// then nothing is read, settled or swept; or the errno that kept the state
// folder from being read whole (some records may then be left for the next
// start). A state folder not made yet holds none.
int RestoreInterruptedRewrites(std::vector<InterruptedRewrite>* found,
                               FileWriter& writer = SystemFileWriter(),
                               Untrusted* untrusted = nullptr);

// The extended attribute a file rewritten in place bears from the moment it
// may change until it is whole again, its value the name of the copy of its
// old content. Where the file system keeps no attributes of users, or has no
// room for one more, only the record tells, and only to its own user.
inline constexpr char kRewriteMarkAttribute[] = "user.terminelle.ancien";

// Marks fd through writer with mark; 0, with *marked false where the file
// system takes no mark (no attributes of users, or no room for it: ENOTSUP,
// ENOSPC, E2BIG), or errno.
int MarkRewriting(FileWriter& writer, int fd, const std::string& mark, bool* marked);
// Takes fd's mark away, through writer, when it is mark.
void ClearRewriteMark(FileWriter& writer, int fd, const std::string& mark);

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

// Settles, through writer, the marked file at entry whose status is st and
// whose mark is mark, as the next start would.
MarkedFile SettleMarkedFile(FileWriter& writer, const FolderEntry& entry, const struct stat& st,
                            const std::string& mark);

// The copy of a marked file's old content as a run of any user may find it:
// a work file of the program beside the file, named as its mark ends.
struct MarkedCopy {
  // "" when there is none beside it.
  std::string Name;
  uid_t Owner = 0;
  // Whether this process may read it.
  bool Readable = false;
};

// The copy of the old content of the marked file whose open folder is folder
// and whose mark is mark, found by its status alone.
MarkedCopy FindMarkedCopy(int folder, const std::string& mark);
