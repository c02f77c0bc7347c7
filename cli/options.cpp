#include "cli/options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/processors.h"
#include "scan/scrutedossier.h"

// What the options read so far make.
struct OptionReading {
  CliOptions& Options;
  // Which options of the table were given, by their place in it.
  std::vector<bool> Given;
  // A rule is opened by --remplacer and closed by --par.
  bool RuleOpen = false;
};

namespace {

constexpr unsigned kMostJobs = 1024;
// As many as the window has.
constexpr std::size_t kMostRules = 2;

// The column where --aide's option lines put their text; names that reach
// it end their line, the text going on the next.
constexpr std::size_t kHelpColumn = 25;
// What --aide's text of -r shows the depth limit by.
constexpr std::string_view kDepthMark = "@PROFONDEUR@";

bool SameIgnoringAsciiCase(const char* a, const char* b) {
  return ::strcasecmp(a, b) == 0;
}

// Each option, in the order --aide tells them. An option that only turns a
// switch on names it; one with more to do reads itself.
constexpr CliOption kTable[] = {
    {.Long = "format",
     .Short = 'f',
     .Value = "FORMAT",
     .Help = "fin de ligne : unix (LF), windows (CR LF) ou mac (CR) ;\n"
             "obligatoire sans --reglages",
     .Read = [](OptionReading& r, const char* value) -> std::string {
       if (SameIgnoringAsciiCase(value, "unix")) {
         r.Options.Format = LineEnding::Unix;
       } else if (SameIgnoringAsciiCase(value, "windows")) {
         r.Options.Format = LineEnding::Windows;
       } else if (SameIgnoringAsciiCase(value, "mac")) {
         r.Options.Format = LineEnding::Mac;
       } else {
         return "format inconnu : « " + std::string(value) + " » (unix, windows ou mac)";
       }
       return {};
     }},
    {.Long = "filtre",
     .Short = 'F',
     .Value = "LISTE",
     .Help = "motifs de noms de fichiers séparés par « ; »\n"
             "(par défaut « *.pl »)",
     .Read = [](OptionReading& r, const char* value) -> std::string {
       r.Options.Filter = value;
       return {};
     }},
    {.Long = "sous-dossiers",
     .Short = 'r',
     .Help = "inclure les sous-dossiers, jusqu'à @PROFONDEUR@ niveaux",
     .Read = [](OptionReading& r, const char*) -> std::string {
       r.Options.Subfolders = true;
       return {};
     },
     .Excludes = {"sans-sous-dossiers"}},
    {.Long = "sans-sous-dossiers",
     .Help = "ne pas inclure les sous-dossiers (par défaut, sauf\n"
             "avec --reglages)",
     .Read = [](OptionReading& r, const char*) -> std::string {
       r.Options.Subfolders = false;
       return {};
     }},
    {.Long = "remplacer",
     .Value = "TEXTE",
     .Help = "remplacer TEXTE, sans tenir compte de la casse,",
     .Read = [](OptionReading& r, const char* value) -> std::string {
       if (r.RuleOpen) return "--remplacer doit être suivi de --par";
       std::optional<std::vector<ReplaceRule>>& rules = r.Options.Rules;
       if (!rules) rules.emplace();
       if (rules->size() == kMostRules) return "deux remplacements au plus";
       rules->push_back({true, value, ""});
       r.RuleOpen = true;
       return {};
     },
     .Excludes = {"sans-remplacement"}},
    {.Long = "par",
     .Value = "TEXTE",
     .Help = "  par celui-ci ; deux fois au plus (règles 1 et 2)",
     .Read = [](OptionReading& r, const char* value) -> std::string {
       if (!r.RuleOpen) return "--par doit suivre --remplacer";
       r.Options.Rules->back().Replacement = value;
       r.RuleOpen = false;
       return {};
     }},
    {.Long = "sans-remplacement",
     .Help = "aucune règle de remplacement (par défaut, sauf avec\n"
             "--reglages)",
     .Read = [](OptionReading& r, const char*) -> std::string {
       // Given, but none; --remplacer beside it is refused.
       if (!r.Options.Rules) r.Options.Rules.emplace();
       return {};
     }},
    {.Long = "reglages",
     .Help = "prendre le dossier, le filtre, les sous-dossiers, le\n"
             "format et les deux règles dans les réglages enregistrés\n"
             "par la fenêtre (serie.ini) ; les options données à côté\n"
             "l'emportent",
     .Sets = &CliOptions::FromSettings},
    {.Long = "garder-retraits",
     .Short = 'k',
     .Help = "garder les blancs de début de ligne (les retraits) ;\n"
             "ceux de fin de ligne partent toujours",
     .Sets = &CliOptions::KeepIndentation},
    {.Long = "fins-seulement",
     .Help = "ne changer que les fins de ligne : aucun blanc n'est\n"
             "retiré (les règles de remplacement s'appliquent)",
     .Sets = &CliOptions::EndingsOnly},
    {.Long = "sans-bom",
     .Help = "retirer la marque d'ordre des octets UTF-8 (BOM) du\n"
             "début des fichiers",
     .Sets = &CliOptions::RemoveByteOrderMark},
    {.Long = "garder-dates",
     .Help = "les fichiers convertis gardent leurs dates de\n"
             "modification et d'accès",
     .Sets = &CliOptions::KeepDates},
    {.Long = "exclure",
     .Value = "MOTIF",
     .Help = "laisser les noms qui répondent à MOTIF (mêmes jokers\n"
             "que le filtre) : fichiers non convertis, dossiers non\n"
             "parcourus ; autant de fois qu'il faut",
     .Read = [](OptionReading& r, const char* value) -> std::string {
       const std::string pattern = value;
       if (pattern.empty()) return "--exclure demande un motif";
       // A pattern names entries of one folder, as the filter's do: one holding
       // a "/" would leave nothing alone while the user believes it does.
       if (pattern.find('/') != std::string::npos) {
         return "--exclure prend un motif de nom, sans « / » : « " + pattern + " »";
       }
       r.Options.Exclude.push_back(pattern);
       return {};
     }},
    {.Long = "avec-depots",
     .Help = "parcourir aussi les dossiers des gestionnaires de\n"
             "versions (.git, .svn, .hg, .bzr, CVS, _darcs), que\n"
             "l'on laisse sinon",
     .Sets = &CliOptions::EnterRepositories},
    {.Long = "essai",
     .Short = 'n',
     .Help = "ne rien changer : lister les fichiers qui changeraient,\n"
             "avec le nombre de lignes qui changeraient",
     .Sets = &CliOptions::Trial},
    // --diff and --verifier-perl only tell what a trial finds: without one,
    // files would be written.
    {.Long = "diff",
     .Help = "avec -n : montrer ce qui changerait, en diff unifié,\n"
             "plutôt que la liste",
     .Sets = &CliOptions::Diff,
     .Needs = "essai",
     .Excludes = {"json"}},
    {.Long = "controle",
     .Help = "un essai (-n) dont l'état est 1 si un fichier\n"
             "changerait, 0 sinon",
     .Sets = &CliOptions::Check,
     .Implies = "essai"},
    {.Long = "verifier-perl",
     .Help = "avec -n : signaler, dans les fichiers .pl, .pm et .cgi\n"
             "qui changeraient, les lignes où Perl lirait autre chose\n"
             "(fin de document << ou commande POD), et, dans tout\n"
             "fichier qui commence par #! (sauf un module .pm),\n"
             "changé ou non, ce qui l'empêcherait de tourner une\n"
             "fois déployé (BOM, interpréteur absent, droits) ;\n"
             "état 1 si un avertissement est donné",
     .Sets = &CliOptions::CheckPerl,
     .Needs = "essai"},
    {.Long = "info",
     .Help = "ne rien changer (ni demander de format) : dire, pour\n"
             "chaque fichier, ses fins de ligne (CR LF, LF, CR), sa\n"
             "marque d'ordre des octets, s'il est binaire, si sa\n"
             "dernière ligne a une fin et ses lignes à blancs de fin",
     .Sets = &CliOptions::Info,
     .Excludes = {"essai", "controle", "diff"}},
    {.Long = "json",
     .Help = "un objet JSON par ligne sur la sortie standard, un par\n"
             "fichier puis un bilan, au lieu de la liste en\n"
             "français ; la sortie d'erreur reste en français",
     .Sets = &CliOptions::Json},
    {.Long = "taches",
     .Short = 'j',
     .Value = "N",
     .Help = "nombre de fichiers convertis en même temps (par défaut,\n"
             "le nombre de processeurs)",
     .Read = [](OptionReading& r, const char* value) -> std::string {
       char* end = nullptr;
       errno = 0;
       const unsigned long n = std::strtoul(value, &end, 10);
       if (value[0] < '0' || value[0] > '9' || *end != '\0' || errno != 0 || n < 1 ||
           n > kMostJobs) {
         return "nombre de tâches incorrect : « " + std::string(value) + " » (de 1 à " +
                std::to_string(kMostJobs) + ")";
       }
       r.Options.Jobs = static_cast<unsigned>(n);
       return {};
     }},
    {.Long = "silencieux",
     .Short = 'q',
     .Help = "ni barre de progression ni bilan en français (les\n"
             "erreurs, la liste ou le diff d'un essai, le JSON et\n"
             "les avertissements restent)",
     .Read = [](OptionReading& r, const char*) -> std::string {
       r.Options.Talk = Verbosity::kQuiet;
       return {};
     },
     .Excludes = {"verbeux"}},
    {.Long = "verbeux",
     .Short = 'v',
     .Help = "une ligne par fichier",
     .Read = [](OptionReading& r, const char*) -> std::string {
       r.Options.Talk = Verbosity::kVerbose;
       return {};
     }},
    {.Long = "aide", .Short = 'h', .Alias = "help", .Help = "afficher cette aide et quitter"},
    {.Long = "version", .Help = "afficher la version et quitter"},
};

// The place of the option named name in the table; its size for none.
constexpr std::size_t IndexOf(std::string_view name) {
  std::size_t i = 0;
  while (i < std::size(kTable) && name != kTable[i].Long) ++i;
  return i;
}

constexpr bool EveryNameKnown() {
  auto known = [](const char* name) {
    return name == nullptr || IndexOf(name) < std::size(kTable);
  };
  for (const CliOption& o : kTable) {
    if (!known(o.Implies) || !known(o.Needs)) return false;
    for (const char* excluded : o.Excludes) {
      if (!known(excluded)) return false;
    }
  }
  return true;
}
static_assert(EveryNameKnown(), "an option needs, implies or excludes one the table lacks");

// The options the reading ends with, whatever else is given.
constexpr std::size_t kHelpAt = IndexOf("aide");
constexpr std::size_t kVersionAt = IndexOf("version");
static_assert(kHelpAt < std::size(kTable) && kVersionAt < std::size(kTable));

// Long-only options are told apart by getopt_long past every short form.
constexpr int kFirstLongOnly = 256;

// An option as a message names it: its long name, and its short one beside.
std::string Named(const CliOption& o) {
  std::string text = std::string("--") + o.Long;
  if (o.Short != 0) text += std::string(" (-") + o.Short + ")";
  return text;
}

// n as French text writes it, its digits in groups of three: "10 000".
std::string GroupedDigits(unsigned long n) {
  std::string digits = std::to_string(n);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, " ");
  return digits;
}

// What --aide says of one option: its names, then its text from kHelpColumn on.
std::string HelpLines(const CliOption& o) {
  std::string names = o.Short != 0 ? std::string("  -") + o.Short + ", " : "      ";
  names += std::string("--") + o.Long;
  if (o.Alias != nullptr) names += std::string(", --") + o.Alias;
  if (o.Value != nullptr) names += std::string("=") + o.Value;
  std::string text = o.Help;
  if (const std::size_t at = text.find(kDepthMark); at != std::string::npos) {
    text.replace(at, kDepthMark.size(), GroupedDigits(kDepthLimit));
  }
  const std::string margin = "\n" + std::string(kHelpColumn, ' ');
  for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += margin.size()) {
    text.replace(at, 1, margin);
  }
  // Two blanks at least between the names and the text.
  const bool fits = names.size() + 2 <= kHelpColumn;
  return names + (fits ? std::string(kHelpColumn - names.size(), ' ') : margin) + text + "\n";
}

ParsedCommandLine Refused(std::string error) {
  ParsedCommandLine p;
  p.Action = CliAction::kUsageError;
  p.Error = std::move(error);
  return p;
}

// Takes the option at place i of the table, and what it implies.
std::string Take(OptionReading& reading, std::size_t i, const char* value) {
  const CliOption& o = kTable[i];
  reading.Given[i] = true;
  if (o.Sets != nullptr) reading.Options.*o.Sets = true;
  if (o.Read != nullptr) {
    if (std::string error = o.Read(reading, value); !error.empty()) return error;
  }
  return o.Implies != nullptr ? Take(reading, IndexOf(o.Implies), nullptr) : std::string();
}

// What is wrong with the options given together: first those refused beside
// others, then those that lack the one they go with.
std::string Conflict(const std::vector<bool>& given) {
  for (std::size_t i = 0; i < std::size(kTable); ++i) {
    const CliOption& o = kTable[i];
    if (!given[i]) continue;
    std::size_t count = 0;
    bool clash = false;
    for (const char* excluded : o.Excludes) {
      if (excluded == nullptr) continue;
      ++count;
      clash = clash || given[IndexOf(excluded)];
    }
    if (!clash) continue;
    if (count == 1) return std::string("--") + o.Long + " et --" + o.Excludes[0] + " s'excluent";
    std::string error = std::string("--") + o.Long + " ne va ";
    for (std::size_t k = 0; k < count; ++k) {
      error += (k == 0 ? "ni avec " : ", ni avec ") + Named(kTable[IndexOf(o.Excludes[k])]);
    }
    return error;
  }
  for (std::size_t i = 0; i < std::size(kTable); ++i) {
    const CliOption& o = kTable[i];
    if (given[i] && o.Needs != nullptr && !given[IndexOf(o.Needs)]) {
      return std::string("--") + o.Long + " ne va qu'avec " + Named(kTable[IndexOf(o.Needs)]);
    }
  }
  return {};
}

}  // namespace

std::span<const CliOption> CliOptionTable() {
  return kTable;
}

ParsedCommandLine ParseCommandLine(int argc, char** argv) {
  std::string shorts = ":";
  std::vector<option> longs;
  for (std::size_t i = 0; i < std::size(kTable); ++i) {
    const CliOption& o = kTable[i];
    const int has_arg = o.Value != nullptr ? required_argument : no_argument;
    const int code = o.Short != 0 ? o.Short : kFirstLongOnly + static_cast<int>(i);
    if (o.Short != 0) {
      shorts += o.Value != nullptr ? std::string{o.Short, ':'} : std::string{o.Short};
    }
    longs.push_back({o.Long, has_arg, nullptr, code});
    if (o.Alias != nullptr) longs.push_back({o.Alias, has_arg, nullptr, code});
  }
  longs.push_back({nullptr, 0, nullptr, 0});

  ParsedCommandLine parsed;
  OptionReading reading{parsed.Options, std::vector<bool>(std::size(kTable))};
  ::opterr = 0;
  ::optind = 0;  // a fresh parse, even after an earlier one
  for (;;) {
    const int previous = ::optind;
    const int c = ::getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr);
    if (c == -1) break;
    // The word being read, for messages.
    const std::string word = ::optind > previous ? argv[::optind - 1] : argv[previous];
    if (c == ':') return Refused("l'option « " + word + " » demande une valeur");
    std::size_t i = c >= kFirstLongOnly ? static_cast<std::size_t>(c - kFirstLongOnly) : 0;
    while (c < kFirstLongOnly && i < std::size(kTable) && kTable[i].Short != c) ++i;
    if (c == '?' || i >= std::size(kTable)) {
      if (::optopt != 0) {
        return Refused("option inconnue : « -" + std::string(1, static_cast<char>(::optopt)) +
                       " »");
      }
      return Refused("option inconnue ou ambiguë : « " + word + " »");
    }
    if (std::string error = Take(reading, i, ::optarg); !error.empty()) {
      return Refused(std::move(error));
    }
  }
  if (reading.Given[kHelpAt]) {
    parsed.Action = CliAction::kHelp;
    return parsed;
  }
  if (reading.Given[kVersionAt]) {
    parsed.Action = CliAction::kVersion;
    return parsed;
  }
  if (reading.RuleOpen) return Refused("--remplacer doit être suivi de --par");
  if (std::string error = Conflict(reading.Given); !error.empty()) return Refused(error);
  if (argc - ::optind > 1) return Refused("un seul dossier à la fois");
  if (::optind < argc) parsed.Options.Folder = argv[::optind];
  return parsed;
}

bool ResolveRun(const CliOptions& options, const Form1Fields* saved, RunSettings* run,
                std::string* error) {
  if (options.Folder) {
    run->Folder = *options.Folder;
  } else if (saved != nullptr) {
    run->Folder = saved->Folder;
  } else {
    *error = "il manque le dossier à convertir";
    return false;
  }
  // An empty folder would walk the whole system from its root.
  if (run->Folder.empty()) {
    *error = "le dossier à convertir est vide";
    return false;
  }
  run->Filter = options.Filter ? *options.Filter : saved != nullptr ? saved->Filter : "*.pl";
  run->Subfolders =
      options.Subfolders ? *options.Subfolders : saved != nullptr && saved->Subfolders;
  std::optional<LineEnding> format = options.Format;
  if (!format && saved != nullptr) format = saved->Format;
  // An inspection converts nothing: it needs no format.
  if (!format && options.Info) format = LineEnding::Unix;
  if (!format) {
    *error = "Vous devez choisir un format de conversion (--format=unix, windows ou mac)";
    return false;
  }
  run->Format = *format;
  if (!options.Rules && saved != nullptr) {
    run->Rule1 = saved->Rule1;
    run->Rule2 = saved->Rule2;
  } else {
    const std::vector<ReplaceRule> given = options.Rules.value_or(std::vector<ReplaceRule>());
    run->Rule1 = given.size() > 0 ? given[0] : ReplaceRule{};
    run->Rule2 = given.size() > 1 ? given[1] : ReplaceRule{};
  }
  static_cast<RunChoices&>(*run) = options;
  run->Jobs = options.Jobs != 0 ? options.Jobs : ProcessorCount();
  return true;
}

std::string HelpText() {
  std::string options;
  for (const CliOption& o : kTable) options += HelpLines(o);
  return R"(Usage : terminelle-cli [OPTION]... DOSSIER
Réécrit les fichiers texte de DOSSIER comme la fenêtre de Terminelle : chaque
ligne perd ses blancs et ses caractères de contrôle de début (sauf avec -k) et
de fin, reçoit la fin de ligne choisie, puis passe par les règles de remplacement, qui ne
tiennent pas compte de la casse (la règle 1, puis la règle 2).

)" + options +
         R"(
Un fichier dont le contenu converti est identique à son contenu n'est pas
touché : il garde sa date, et les outils de déploiement ne voient que les vrais
changements. Les liens symboliques, les fichiers binaires (octet NUL) et les
fichiers datés hors de 1980-2107 sont laissés tels quels. Un fichier est
toujours remplacé d'un coup : il garde son ancien contenu ou prend le nouveau,
même en cas d'arrêt brutal.

Les fichiers sont traités dans l'ordre de la fenêtre, chacun une seule fois,
quels que soient ses noms (liens physiques) et les motifs auxquels il répond.

Une ligne qui ne change que par sa fin de ligne est suivie, dans le diff, de
« \ seule la fin de ligne change : CR LF → LF ».

État de sortie : 0 si tout s'est bien passé, 1 si un fichier a échoué, si le
dossier est introuvable, si --verifier-perl a averti ou si, avec --controle, un
fichier changerait, 2 pour une erreur
d'utilisation, 130 après Ctrl+C (SIGINT) et 143 après SIGTERM : les fichiers en
cours sont alors terminés.

Exemples :
  terminelle-cli -f unix -r /var/www/cgi-bin
  terminelle-cli -n -f unix --remplacer='#!/perl/bin/perl' --par='#!/usr/bin/perl' .
  terminelle-cli -n --diff --verifier-perl -k -r -f unix -F '*.pl;*.pm' /srv/www
)";
}
