#pragma once
// Paths as text: their folder, their last name, and the absolute form shown
// to the user. Nothing here opens a file.

#include <string>

// The folder that holds path: "." for a bare name, "/" for a file at the root.
std::string FolderOf(const std::string& path);
// The last name of path ("" when it ends with a separator).
std::string NameOf(const std::string& path);
// path made absolute against the current folder, "." and ".." resolved by
// name (links are not followed).
std::string FullPathName(const std::string& path);
