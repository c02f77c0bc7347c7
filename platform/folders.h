#pragma once
// Where the user's folders are, and what a folder path leads to: the stand-in
// for the shell's special folders.

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
// Creates path and the folders above it that are missing (mode 0700); 0, or
// the errno that leaves path no folder (ENOTDIR when something else has its
// name).
int MakeFolders(const std::string& path);
// Whether path leads to a folder, following links.
bool IsFolder(const std::string& path);
