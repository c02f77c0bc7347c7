#include "platform/dirlist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "../support/temp_folder.h"
#include "platform/fd.h"

namespace {

using DirListTest = TempFolderTest;

std::set<std::string> Listed(const FolderNames& names) {
  std::set<std::string> listed;
  std::size_t cursor = 0;
  DirEntry entry;
  while (names.Next(&cursor, &entry)) listed.insert(std::string(entry.Name, entry.Length));
  return listed;
}

TEST_F(DirListTest, FolderNamesReadsAFolderWholeAndKeepsWhatMayBeAFolder) {
  // Far more than one read of the listing gives.
  std::set<std::string> expected = {"sub", "link", "fifo"};
  for (int i = 0; i < 600; ++i) {
    const std::string name = std::to_string(i) + std::string(200, 'n');
    WriteBytes(dir_ + "/" + name, "");
    expected.insert(name);
  }
  ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("sub", (dir_ + "/link").c_str()), 0);
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0644), 0);
  Fd folder(open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  FolderNames names;
  ASSERT_EQ(names.Read(folder.get()), 0);
  EXPECT_EQ(Listed(names), expected);
  names.KeepPossibleFolders();
  EXPECT_EQ(Listed(names), (std::set<std::string>{"sub"}));
  // What cannot be listed says why.
  Fd fifo(open((dir_ + "/fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  EXPECT_EQ(names.Read(fifo.get()), ENOTDIR);
}

TEST_F(DirListTest, AKindTheListingDoesNotTellIsAskedAndALinkIsNeverListed) {
  ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("sub", (dir_ + "/to-sub").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (dir_ + "/dangling").c_str()), 0);
  WriteBytes(dir_ + "/file", "");
  Fd folder(open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  auto unknown = [](const char* name) { return DirEntry{name, std::strlen(name), DT_UNKNOWN}; };
  EXPECT_TRUE(IsFolderEntry(folder.get(), unknown("sub")));
  EXPECT_TRUE(IsFolderEntry(folder.get(), unknown("to-sub")));
  EXPECT_FALSE(IsFolderEntry(folder.get(), unknown("dangling")));
  EXPECT_FALSE(IsFolderEntry(folder.get(), unknown("file")));
  EXPECT_FALSE(IsLinkEntry(folder.get(), unknown("sub")));
  EXPECT_TRUE(IsLinkEntry(folder.get(), unknown("to-sub")));
  EXPECT_TRUE(IsLinkEntry(folder.get(), unknown("dangling")));
  EXPECT_FALSE(IsLinkEntry(folder.get(), unknown("file")));
  // A walk's sub-folder is never a link, whatever it leads to.
  EXPECT_TRUE(IsSubfolderEntry(folder.get(), unknown("sub")));
  EXPECT_FALSE(IsSubfolderEntry(folder.get(), unknown("to-sub")));
  EXPECT_GE(Fd(OpenListableSubfolder(folder.get(), "sub")).get(), 0);
  EXPECT_LT(Fd(OpenListableSubfolder(folder.get(), "to-sub")).get(), 0);
}

}  // namespace
