#pragma once
// The main window's settings file as any program of the suite reads it:
// where it lives, the fields it saves and what they hold when nothing is saved.

#include <optional>
#include <string>

#include "convert/convert.h"
#include "settings/file/inifile.h"

// The settings folder's name under the user's configuration folder.
inline const std::string DossierIni = "Terminelle";
// The settings file's name.
inline const std::string FichierIni = "serie.ini";
// Read as the default of an edit's key, to tell a missing key from an empty one.
inline const std::string AbsentIni = "\x25\xF9\x40\xE0\x2A\xA3";
// The main window's section.
inline const std::string SectionForm1 = "Form1";

// The texts the main window's edits are built with.
namespace form1_built {
// path_c.
inline constexpr char kFolder[] =
    R"(C:\Program Files\Apache Group\Apache2\htdocs\cgi-bin\Solvane\ZAPHORELLIN\mise-a-jour\Program Files\Apache Group\Apache2\htdocs\cgi-bin)";
// filtre_c.
inline constexpr char kFilter[] = "*.pl";
// remplacer_1e.
inline constexpr char kSearch1[] = "#!/perl/bin/perl";
// remplacer_1l.
inline constexpr char kReplacement1[] = "#!/usr/bin/perl";
// remplacer_2e.
inline constexpr char kSearch2[] = "use lib 'c:/perl/lib/' ;";
// remplacer_2l.
inline constexpr char kReplacement2[] =
    "use lib '/home/e-smith/files/ibays/Primary/cgi-bin/solvane/' ;";
}  // namespace form1_built

// The settings file's path ("" when there is no home folder); nothing is created.
std::string SettingsFilePath();

// The text telling that the settings file, or its folder, is not the user's
// own (u): the window (when window) opens with its built fields and saves
// nothing; terminelle-cli --reglages converts nothing.
std::string UntrustedSettingsText(const Untrusted& u, bool window);

// The main window's fields that make a conversion run, as the window shows
// them once it has restored them from the settings file.
struct Form1Fields {
  // path_c.
  std::string Folder;
  // filtre_c.
  std::string Filter;
  // inclure_rep.
  bool Subfolders = true;
  // The one format box left checked; none when none is.
  std::optional<LineEnding> Format;
  // remplacer_1, remplacer_1e, remplacer_1l.
  ReplaceRule Rule1;
  // remplacer_2, remplacer_2e, remplacer_2l.
  ReplaceRule Rule2;
};

// The fields as the window restores them from ini: a missing edit keeps its
// built text, a missing box counts as checked, and of the format boxes saved
// as checked the last of Mac, Unix, Windows wins.
Form1Fields ReadForm1Fields(TIniFile& ini);
// The same from a file opened for this reading only.
inline Form1Fields ReadForm1Fields(TIniFile&& ini) {
  return ReadForm1Fields(ini);
}
// The fields as saved in the user's settings file; throws the program's
// error, saying why, when it or its folder is not the user's own.
Form1Fields ReadSavedForm1Fields();
