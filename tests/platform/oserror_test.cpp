#include "platform/oserror.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <string>

namespace {

TEST(OsErrorCode, LinuxErrorsBecomeTheirWindowsCodes) {
  EXPECT_EQ(OsErrorCode(ENOENT), 2);
  EXPECT_EQ(OsErrorCode(EMFILE), 4);
  EXPECT_EQ(OsErrorCode(ENFILE), 4);
  EXPECT_EQ(OsErrorCode(EACCES), 5);
  EXPECT_EQ(OsErrorCode(EPERM), 5);
  EXPECT_EQ(OsErrorCode(EROFS), 19);
  EXPECT_EQ(OsErrorCode(EBUSY), 32);
  EXPECT_EQ(OsErrorCode(ETXTBSY), 32);
  EXPECT_EQ(OsErrorCode(ENOSPC), 112);
  EXPECT_EQ(OsErrorCode(EDQUOT), 112);
  EXPECT_EQ(OsErrorCodeForPath(ENOENT, "/no/such/folder/file"), 3);
  EXPECT_EQ(OsErrorCodeForPath(ENOENT, "/tmp/no-such-file-here"), 2);
}

TEST(SystemErrorText, IsFrenchWhateverTheLocale) {
  // Servers and services run under C, where the system speaks English.
  const std::string before = std::setlocale(LC_ALL, nullptr);
  struct Case {
    int err;
    const char* text;
  };
  const Case cases[] = {
      {ENOENT, "aucun fichier ou dossier de ce nom"},                     // opening
      {ENOSPC, "plus de place sur le disque"},                            // writing
      {EACCES, "permission refusée"},                                     // listing
      {EIO, "erreur d'entrée-sortie"},                                    // flushing
      {EXDEV, "pas sur le même système de fichiers"},                     // renaming
      {EMFILE, "le programme n'a plus de descripteur de fichier libre"},  // limits
      {ENOTCONN, "système de fichiers déconnecté"},  // FUSE, network file systems
  };
  for (const char* locale : {"C", "C.UTF-8", "fr_FR.UTF-8"}) {
    if (std::setlocale(LC_ALL, locale) == nullptr) continue;
    for (const Case& c : cases) EXPECT_EQ(SystemErrorText(c.err), c.text) << locale;
  }
  std::setlocale(LC_ALL, before.c_str());
}

TEST(SystemErrorText, TheSystemsOwnTextDropsTrailingFullStopsAndBlanks) {
  // One no file operation meets, left to the system.
  std::string text = SystemErrorText(ECHRNG);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), '.');
  EXPECT_NE(text.back(), ' ');
}

}  // namespace
