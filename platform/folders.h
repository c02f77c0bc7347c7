#pragma once
// Where the user's folders are, and what a folder path leads to: the stand-in
// for the shell's special folders.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// The user's home folder ($HOME when absolute, else the password entry); ""
// when there is none. Safe on any thread.
std::string HomeFolder();
// The user's configuration folder ($XDG_CONFIG_HOME when absolute, else
// ~/.config), without a final separator; "" when there is no home folder.
std::string UserConfigFolder();
// The user's state folder ($XDG_STATE_HOME when absolute, else
// ~/.local/state), without a final separator; "" when there is no home folder.
std::string UserStateFolder();
// Creates path and the folders above it that are missing (mode 0700), each
// only in a folder this user or root owns, so that a run under another
// user's environment leaves nothing of its own among that user's folders;
// 0, or the errno that leaves path no folder (ENOTDIR when something else
// has its name, EPERM when it would be made in another user's folder).
int MakeFolders(const std::string& path);
// Whether path leads to a folder, following links.
bool IsFolder(const std::string& path);

// Who may have written a file or folder the program keeps for its user (its
// state, its settings), which it trusts only when they are the user's alone,
// as OpenSSH treats ~/.ssh.
enum class Ownership {
  // This process's effective user owns it, and nobody else may write it.
  kOwn,
  // Another account owns it.
  kOtherOwner,
  // The user owns it, but its group or everyone may write it. A group is
  // harmless when it is the user's own private group (named after the user,
  // the user's primary group, with no other member), as user private groups
  // with umask 002 make them.
  kOpenToOthers,
};
// The ownership of the file or folder whose status is st, read through the
// descriptor it is then used by.
Ownership OwnershipOf(const struct stat& st);

// A file or folder kept for the user and found not theirs alone: neither read
// nor written.
struct Untrusted {
  std::string Path;
  bool Folder = false;
  Ownership Why = Ownership::kOwn;
  uid_t Owner = 0;
};

// The name of the account uid, or its number when it has none.
std::string AccountName(uid_t uid);
