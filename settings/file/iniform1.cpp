#include "settings/file/iniform1.h"

#include <cstdlib>

#include "base/errors.h"
#include "convert/interrupted.h"
#include "platform/folders.h"

std::string SettingsFilePath() {
  std::string base = UserConfigFolder();
  if (base.empty()) return "";
  return (base == "/" ? "" : base) + "/" + DossierIni + "/" + FichierIni;
}

Form1Fields ReadForm1Fields(TIniFile& ini) {
  auto text = [&](const char* key, const char* built) {
    std::string v = ini.ReadString(SectionForm1, key, AbsentIni);
    return v == AbsentIni ? std::string(built) : v;
  };
  auto box = [&](const char* key) { return ini.ReadBool(SectionForm1, key, true); };
  Form1Fields f;
  f.Folder = text("path_c", form1_built::kFolder);
  f.Filter = text("filtre_c", form1_built::kFilter);
  f.Subfolders = box("inclure_rep");
  // Restored in this order, each box checked unchecks the two others.
  if (box("Mac_c")) f.Format = LineEnding::Mac;
  if (box("unix_c")) f.Format = LineEnding::Unix;
  if (box("windows_c")) f.Format = LineEnding::Windows;
  f.Rule1 = {box("remplacer_1"), text("remplacer_1e", form1_built::kSearch1),
             text("remplacer_1l", form1_built::kReplacement1)};
  f.Rule2 = {box("remplacer_2"), text("remplacer_2e", form1_built::kSearch2),
             text("remplacer_2l", form1_built::kReplacement2)};
  return f;
}

std::string UntrustedSettingsText(const Untrusted& u, bool window) {
  return UntrustedText(u.Folder ? "le dossier des réglages" : "le fichier de réglages", u) +
         (window ? " : les réglages n'y sont ni lus ni enregistrés, et la fenêtre s'ouvre avec "
                   "ses champs d'origine. "
                 : " : les réglages n'y sont pas lus, et rien n'est converti. ") +
         AsSentence(UntrustedAdvice(u)) +
         (window ? " pour retrouver vos réglages." : ", ou donnez les réglages en options.");
}

Form1Fields ReadSavedForm1Fields() {
  TIniFile ini(SettingsFilePath(), SystemFileWriter(), IniTrust::kOwnOnly);
  if (const Untrusted* u = ini.Distrusted()) throw Exception(UntrustedSettingsText(*u, false));
  return ReadForm1Fields(ini);
}
