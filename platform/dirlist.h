#pragma once
// Folder listings in the order the system keeps their entries, opened through
// their parent's handle so that no path length limits how deep a walk goes.

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

// One entry of a listing; Name is valid until the next call on the listing.
struct DirEntry {
  // The entry's name, without any folder.
  const char* Name = nullptr;
  // Bytes in Name.
  std::size_t Length = 0;
  // The kind the listing gives (DT_DIR, DT_LNK, ...), DT_UNKNOWN when it cannot tell.
  unsigned char Type = DT_UNKNOWN;
};

// One open listing of one folder. Move-only; closes itself.
class DirList {
 public:
  // A closed listing, which yields nothing.
  DirList() = default;
  // A listing has one owner, which closes it; moving leaves the source closed.
  ~DirList() { Close(); }
  DirList(DirList&& other) noexcept;
  DirList& operator=(DirList&& other) noexcept;
  DirList(const DirList&) = delete;
  DirList& operator=(const DirList&) = delete;

  // The folder at path, "" meaning the root; a link given here is followed.
  static DirList OpenPath(const std::string& path);
  // The sub-folder name of this listing's folder, never reached through a link.
  DirList OpenChild(const char* name) const;
  // A second listing of the same folder, from its first entry.
  DirList Reopen() const;

  // Whether the folder could be opened; a closed listing yields nothing.
  bool IsOpen() const { return dir_ != nullptr; }
  // The listing's descriptor, for calls relative to its folder; negative when closed.
  int Fd() const { return dir_ != nullptr ? dirfd(dir_) : -1; }
  // The folder's device, which with its inode tells the same folder under two names.
  dev_t Device() const { return device_; }
  // The folder's inode on its device.
  ino_t Inode() const { return inode_; }

  // The next entry other than "." and ".."; false at the end or on any error.
  bool Next(DirEntry* entry);
  // Whether the entry is a folder, following a link (a dangling link is none).
  bool IsFolder(const DirEntry& entry) const;
  // Whether the entry itself is a symbolic link.
  bool IsLink(const DirEntry& entry) const;
  // The entry's status, following a link when the target exists.
  bool Status(const char* name, struct stat* st) const;
  // Where the listing stands, to come back to in a new listing of the same folder.
  long Tell() const;
  // Goes back to a place Tell gave for this folder.
  void Seek(long position);
  // Releases the listing; closing twice is harmless.
  void Close();

 private:
  explicit DirList(int fd);
  DIR* dir_ = nullptr;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

// The folder at path ("" meaning the root) open for listing, a link given
// here followed; negative with errno set.
int OpenListableFolder(const std::string& path);
// The sub-folder name of the open folder parent, open for listing and never
// reached through a link; negative with errno set.
int OpenListableSubfolder(int parent, const char* name);
// Whether entry of the open folder is a folder, following a link (a dangling
// link is none).
bool IsFolderEntry(int folder, const DirEntry& entry);
// Whether entry of the open folder is itself a symbolic link.
bool IsLinkEntry(int folder, const DirEntry& entry);
// Whether entry of the open folder is itself a folder: a link is none,
// whatever it leads to, and nothing it leads to is looked at (that could
// mount it, or hang on a network that stopped answering).
bool IsSubfolderEntry(int folder, const DirEntry& entry);

// The entries of one folder, read whole before any is handled: converted
// files renamed into a folder while it is listed would otherwise come back
// on some file systems, and be converted again.
class FolderNames {
 public:
  // Reads the entries of fd (a descriptor not listed before), "." and ".."
  // left out; 0, or the errno that cut the listing short (the entries read
  // until then are kept).
  int Read(int fd);
  // Keeps only the entries that may be folders themselves: folders and
  // entries of a kind the listing did not tell.
  void KeepPossibleFolders();
  // The entry after *cursor (0 for the first), which it moves on; false
  // after the last. Names stay valid while this object is not changed.
  bool Next(std::size_t* cursor, DirEntry* entry) const;

 private:
  // Each entry as its kind's byte, its name and a NUL.
  std::string bytes_;
};

// How many folder listings a walk may keep open at once: a quarter of the
// process's handles, so the work done on each file still finds some.
int OpenListingBudget();
