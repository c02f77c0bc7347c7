#include "cli/deploycheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "cli/perlcheck.h"
#include "convert/lineconverter.h"
#include "platform/oserror.h"

namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

bool IsSpaceOrTab(char c) {
  return c == ' ' || c == '\t';
}

constexpr mode_t kOthersWrite = S_IWGRP | S_IWOTH;

constexpr std::string_view kScriptMagic = "#!";

}  // namespace

DeployCheck::DeployCheck(int folder, std::string_view name)
    : folder_(folder), module_(IsPerlModuleName(name)) {}

void DeployCheck::Opened(const struct stat& status) {
  mode_ = status.st_mode;
}

void DeployCheck::Line(const TrialLine& line) {
  if (line.Number != 1 || module_) return;
  // The kernel reads the first line up to its LF: a CR the conversion
  // writes stays in it.
  std::string first(line.Converted);
  first += line.ConvertedBreak;
  first = first.substr(0, first.find('\n'));
  std::string_view rest = first;
  const bool marked = rest.substr(0, kUtf8Mark.size()) == kUtf8Mark;
  if (marked) rest.remove_prefix(kUtf8Mark.size());
  // Kept by -k or --fins-seulement, and after a mark even without them.
  const std::size_t blanks =
      LeadingBlanks(reinterpret_cast<const unsigned char*>(rest.data()), rest.size());
  if (rest.substr(blanks, kScriptMagic.size()) != kScriptMagic) return;
  script_ = true;
  if (marked && blanks == 0) {
    Warn(1,
         "une marque d'ordre des octets (BOM) UTF-8 précède #! : le noyau ne voit pas #! et ne "
         "peut pas lancer le script ; convertissez-le avec --sans-bom");
  } else if (marked) {
    Warn(1,
         "une marque d'ordre des octets (BOM) UTF-8 et des blancs précèdent #! : le noyau ne "
         "voit pas #! et ne peut pas lancer le script ; convertissez-le avec --sans-bom, sans "
         "--garder-retraits (-k) ni --fins-seulement");
  } else if (blanks > 0) {
    Warn(1,
         "des blancs précèdent #! : le noyau ne voit pas #! et ne peut pas lancer le script ; "
         "convertissez-le sans --garder-retraits (-k) ni --fins-seulement");
  }
  Interpreter(std::string(rest.substr(blanks + kScriptMagic.size())));
}

void DeployCheck::Interpreter(const std::string& line) {
  if (line.find('\r') != std::string::npos) {
    Warn(1,
         "la ligne #! finirait par un CR, que le noyau prendrait pour la fin du nom de "
         "l'interpréteur ou de son argument : le script ne pourrait pas être lancé ; convertissez "
         "au format unix (-f unix)");
    return;
  }
  std::size_t b = 0;
  while (b < line.size() && IsSpaceOrTab(line[b])) ++b;
  std::size_t e = b;
  while (e < line.size() && !IsSpaceOrTab(line[e])) ++e;
  const std::string path = line.substr(b, e - b);
  if (path.empty()) {
    Warn(1, "la ligne #! ne nomme aucun interpréteur : écrivez son chemin entier après #!");
    return;
  }
  if (path[0] != '/') {
    Warn(1, "l'interpréteur « " + path +
                " » n'est pas un chemin absolu : le noyau le chercherait depuis le dossier "
                "courant de qui lance le script ; écrivez son chemin entier (#!/usr/bin/perl)");
    return;
  }
  // For #!/usr/bin/env NAME, env is what the kernel runs; NAME is looked for
  // in the PATH of whoever runs the script, which this host does not tell.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR) {
      Warn(1, "l'interpréteur « " + path +
                  " » n'existe pas sur cette machine : installez-le, ou corrigez la ligne #! "
                  "(--remplacer et --par le peuvent)");
    } else {
      Warn(1, "l'interpréteur « " + path + " » n'a pas pu être examiné (" + SystemErrorText(err) +
                  ") : vérifiez qu'il peut être lancé");
    }
    return;
  }
  if (!S_ISREG(st.st_mode) || ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) != 0) {
    Warn(1, "l'interpréteur « " + path +
                " » n'est pas un fichier exécutable sur cette machine : corrigez la ligne #! "
                "ou ses droits");
  }
}

std::vector<TrialWarning> DeployCheck::Finish() const {
  std::vector<TrialWarning> all = warnings_;
  if (!script_) return all;
  if ((mode_ & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) {
    all.push_back({0,
                   "commence par #! mais n'a aucun droit d'exécution : le serveur ne pourra pas le "
                   "lancer ; donnez-le-lui (chmod +x)"});
  }
  if ((mode_ & kOthersWrite) != 0) {
    all.push_back({0,
                   "le script est modifiable par son groupe ou par les autres : un lanceur CGI "
                   "(suEXEC) refuse de le lancer ; retirez-leur ce droit (chmod go-w)"});
  }
  struct stat folder {};
  if (::fstat(folder_, &folder) == 0 && (folder.st_mode & kOthersWrite) != 0) {
    all.push_back({0,
                   "son dossier est modifiable par son groupe ou par les autres : un lanceur CGI "
                   "(suEXEC) refuse d'y lancer un script ; retirez-leur ce droit (chmod go-w sur "
                   "le dossier)"});
  }
  return all;
}

void DeployCheck::Warn(std::uint64_t line, std::string text) {
  warnings_.push_back({line, std::move(text)});
}
