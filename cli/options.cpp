#include "cli/options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/processors.h"
#include "scan/scrutedossier.h"

namespace {

// Long options without a short form.
enum : int {
  kReplace = 1000,
  kBy,
  kNoRules,
  kNoSubfolders,
  kSettings,
  kVersion,
  kDiff,
  kCheckPerl,
  kCheck,
  kJson,
  kInfo,
  kExclude,
  kEnterRepositories,
  kRemoveByteOrderMark,
  kEndingsOnly,
  kKeepDates
};

constexpr unsigned kMostJobs = 1024;

// n as French text writes it, its digits in groups of three: "10 000".
std::string GroupedDigits(unsigned long n) {
  std::string digits = std::to_string(n);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, " ");
  return digits;
}

const option kOptions[] = {
    {"format", required_argument, nullptr, 'f'},
    {"filtre", required_argument, nullptr, 'F'},
    {"sous-dossiers", no_argument, nullptr, 'r'},
    {"sans-sous-dossiers", no_argument, nullptr, kNoSubfolders},
    {"remplacer", required_argument, nullptr, kReplace},
    {"par", required_argument, nullptr, kBy},
    {"sans-remplacement", no_argument, nullptr, kNoRules},
    {"reglages", no_argument, nullptr, kSettings},
    {"essai", no_argument, nullptr, 'n'},
    {"garder-retraits", no_argument, nullptr, 'k'},
    {"diff", no_argument, nullptr, kDiff},
    {"verifier-perl", no_argument, nullptr, kCheckPerl},
    {"controle", no_argument, nullptr, kCheck},
    {"json", no_argument, nullptr, kJson},
    {"info", no_argument, nullptr, kInfo},
    {"exclure", required_argument, nullptr, kExclude},
    {"avec-depots", no_argument, nullptr, kEnterRepositories},
    {"sans-bom", no_argument, nullptr, kRemoveByteOrderMark},
    {"fins-seulement", no_argument, nullptr, kEndingsOnly},
    {"garder-dates", no_argument, nullptr, kKeepDates},
    {"taches", required_argument, nullptr, 'j'},
    {"silencieux", no_argument, nullptr, 'q'},
    {"verbeux", no_argument, nullptr, 'v'},
    {"aide", no_argument, nullptr, 'h'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

bool SameIgnoringAsciiCase(const char* a, const char* b) {
  return ::strcasecmp(a, b) == 0;
}

ParsedCommandLine Refused(std::string error) {
  ParsedCommandLine p;
  p.Action = CliAction::kUsageError;
  p.Error = std::move(error);
  return p;
}

}  // namespace

ParsedCommandLine ParseCommandLine(int argc, char** argv) {
  ParsedCommandLine parsed;
  CliOptions& o = parsed.Options;
  bool quiet = false, verbose = false, help = false, version = false;
  bool subfolders = false, no_subfolders = false, no_rules = false;
  // A rule is opened by --remplacer and closed by --par.
  bool rule_open = false;
  ::opterr = 0;
  ::optind = 0;  // a fresh parse, even after an earlier one
  for (;;) {
    const int previous = ::optind;
    const int c = ::getopt_long(argc, argv, ":f:F:rnkj:qvh", kOptions, nullptr);
    if (c == -1) break;
    // The word being read, for messages.
    const std::string word = ::optind > previous ? argv[::optind - 1] : argv[previous];
    switch (c) {
      case 'f':
        if (SameIgnoringAsciiCase(::optarg, "unix")) {
          o.Format = LineEnding::Unix;
        } else if (SameIgnoringAsciiCase(::optarg, "windows")) {
          o.Format = LineEnding::Windows;
        } else if (SameIgnoringAsciiCase(::optarg, "mac")) {
          o.Format = LineEnding::Mac;
        } else {
          return Refused("format inconnu : « " + std::string(::optarg) +
                         " » (unix, windows ou mac)");
        }
        break;
      case 'F':
        o.Filter = ::optarg;
        break;
      case 'r':
        subfolders = true;
        break;
      case kNoSubfolders:
        no_subfolders = true;
        break;
      case kReplace:
        if (rule_open) return Refused("--remplacer doit être suivi de --par");
        if (!o.Rules) o.Rules.emplace();
        if (o.Rules->size() == 2) return Refused("deux remplacements au plus");
        o.Rules->push_back({true, ::optarg, ""});
        rule_open = true;
        break;
      case kBy:
        if (!rule_open) return Refused("--par doit suivre --remplacer");
        o.Rules->back().Replacement = ::optarg;
        rule_open = false;
        break;
      case kNoRules:
        no_rules = true;
        break;
      case kSettings:
        o.FromSettings = true;
        break;
      case 'n':
        o.Trial = true;
        break;
      case 'k':
        o.KeepIndentation = true;
        break;
      case kDiff:
        o.Diff = true;
        break;
      case kCheckPerl:
        o.CheckPerl = true;
        break;
      case kCheck:
        o.Check = true;
        break;
      case kJson:
        o.Json = true;
        break;
      case kInfo:
        o.Info = true;
        break;
      case kExclude:
        o.Exclude.emplace_back(::optarg);
        break;
      case kEnterRepositories:
        o.EnterRepositories = true;
        break;
      case kRemoveByteOrderMark:
        o.RemoveByteOrderMark = true;
        break;
      case kEndingsOnly:
        o.EndingsOnly = true;
        break;
      case kKeepDates:
        o.KeepDates = true;
        break;
      case 'j': {
        char* end = nullptr;
        errno = 0;
        unsigned long n = std::strtoul(::optarg, &end, 10);
        if (::optarg[0] < '0' || ::optarg[0] > '9' || *end != '\0' || errno != 0 || n < 1 ||
            n > kMostJobs) {
          return Refused("nombre de tâches incorrect : « " + std::string(::optarg) + " » (de 1 à " +
                         std::to_string(kMostJobs) + ")");
        }
        o.Jobs = static_cast<unsigned>(n);
        break;
      }
      case 'q':
        quiet = true;
        break;
      case 'v':
        verbose = true;
        break;
      case 'h':
        help = true;
        break;
      case kVersion:
        version = true;
        break;
      case ':':
        return Refused("l'option « " + word + " » demande une valeur");
      default:
        if (::optopt != 0)
          return Refused("option inconnue : « -" + std::string(1, static_cast<char>(::optopt)) +
                         " »");
        return Refused("option inconnue ou ambiguë : « " + word + " »");
    }
  }
  if (help) {
    parsed.Action = CliAction::kHelp;
    return parsed;
  }
  if (version) {
    parsed.Action = CliAction::kVersion;
    return parsed;
  }
  if (rule_open) return Refused("--remplacer doit être suivi de --par");
  if (quiet && verbose) return Refused("--silencieux et --verbeux s'excluent");
  if (subfolders && no_subfolders) {
    return Refused("--sous-dossiers et --sans-sous-dossiers s'excluent");
  }
  if (no_rules && o.Rules) return Refused("--remplacer et --sans-remplacement s'excluent");
  if (subfolders || no_subfolders) o.Subfolders = subfolders;
  if (no_rules) o.Rules.emplace();
  // A check is a trial that tells by its status.
  if (o.Check) o.Trial = true;
  if (o.Info && (o.Trial || o.Diff)) {
    return Refused("--info ne va ni avec --essai (-n), ni avec --controle, ni avec --diff");
  }
  // Both only tell what a trial finds: without one, files would be written.
  if (o.Diff && !o.Trial) return Refused("--diff ne va qu'avec --essai (-n)");
  if (o.CheckPerl && !o.Trial) return Refused("--verifier-perl ne va qu'avec --essai (-n)");
  if (o.Diff && o.Json) return Refused("--diff et --json s'excluent");
  for (const std::string& pattern : o.Exclude) {
    if (pattern.empty()) return Refused("--exclure demande un motif");
    // A pattern names entries of one folder, as the filter's do: one holding a
    // "/" would leave nothing alone while the user believes it does.
    if (pattern.find('/') != std::string::npos) {
      return Refused("--exclure prend un motif de nom, sans « / » : « " + pattern + " »");
    }
  }
  o.Talk = quiet ? Verbosity::kQuiet : verbose ? Verbosity::kVerbose : Verbosity::kNormal;
  if (argc - ::optind > 1) return Refused("un seul dossier à la fois");
  if (::optind < argc) o.Folder = argv[::optind];
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
  run->Trial = options.Trial;
  run->KeepIndentation = options.KeepIndentation;
  run->Diff = options.Diff;
  run->CheckPerl = options.CheckPerl;
  run->Check = options.Check;
  run->Json = options.Json;
  run->Info = options.Info;
  run->Exclude = options.Exclude;
  run->EnterRepositories = options.EnterRepositories;
  run->RemoveByteOrderMark = options.RemoveByteOrderMark;
  run->EndingsOnly = options.EndingsOnly;
  run->KeepDates = options.KeepDates;
  run->Jobs = options.Jobs != 0 ? options.Jobs : ProcessorCount();
  run->Talk = options.Talk;
  return true;
}

std::string HelpText() {
  return R"(Usage : terminelle-cli [OPTION]... DOSSIER
Réécrit les fichiers texte de DOSSIER comme la fenêtre de Terminelle : chaque
ligne perd ses blancs et ses caractères de contrôle de début (sauf avec -k) et
de fin, reçoit la fin de ligne choisie, puis passe par les règles de remplacement, qui ne
tiennent pas compte de la casse (la règle 1, puis la règle 2).

  -f, --format=FORMAT    fin de ligne : unix (LF), windows (CR LF) ou mac (CR) ;
                         obligatoire sans --reglages
  -F, --filtre=LISTE     motifs de noms de fichiers séparés par « ; »
                         (par défaut « *.pl »)
  -r, --sous-dossiers    inclure les sous-dossiers, jusqu'à )" +
         GroupedDigits(kDepthLimit) + R"( niveaux
      --sans-sous-dossiers
                         ne pas inclure les sous-dossiers (par défaut, sauf
                         avec --reglages)
      --remplacer=TEXTE  remplacer TEXTE, sans tenir compte de la casse,
      --par=TEXTE          par celui-ci ; deux fois au plus (règles 1 et 2)
      --sans-remplacement
                         aucune règle de remplacement (par défaut, sauf avec
                         --reglages)
      --reglages         prendre le dossier, le filtre, les sous-dossiers, le
                         format et les deux règles dans les réglages enregistrés
                         par la fenêtre (serie.ini) ; les options données à côté
                         l'emportent
  -k, --garder-retraits  garder les blancs de début de ligne (les retraits) ;
                         ceux de fin de ligne partent toujours
      --fins-seulement   ne changer que les fins de ligne : aucun blanc n'est
                         retiré (les règles de remplacement s'appliquent)
      --sans-bom         retirer la marque d'ordre des octets UTF-8 (BOM) du
                         début des fichiers
      --garder-dates     les fichiers convertis gardent leurs dates de
                         modification et d'accès
      --exclure=MOTIF    laisser les noms qui répondent à MOTIF (mêmes jokers
                         que le filtre) : fichiers non convertis, dossiers non
                         parcourus ; autant de fois qu'il faut
      --avec-depots      parcourir aussi les dossiers des gestionnaires de
                         versions (.git, .svn, .hg, .bzr, CVS, _darcs), que
                         l'on laisse sinon
  -n, --essai            ne rien changer : lister les fichiers qui changeraient,
                         avec le nombre de lignes qui changeraient
      --diff             avec -n : montrer ce qui changerait, en diff unifié,
                         plutôt que la liste
      --controle         un essai (-n) dont l'état est 1 si un fichier
                         changerait, 0 sinon
      --verifier-perl    avec -n : signaler, dans les fichiers .pl, .pm et .cgi
                         qui changeraient, les lignes où Perl lirait autre chose
                         (fin de document << ou commande POD), et, dans tout
                         fichier qui commence par #! (sauf un module .pm),
                         changé ou non, ce qui l'empêcherait de tourner une
                         fois déployé (BOM, interpréteur absent, droits) ;
                         état 1 si un avertissement est donné
      --info             ne rien changer (ni demander de format) : dire, pour
                         chaque fichier, ses fins de ligne (CR LF, LF, CR), sa
                         marque d'ordre des octets, s'il est binaire, si sa
                         dernière ligne a une fin et ses lignes à blancs de fin
      --json             un objet JSON par ligne sur la sortie standard, un par
                         fichier puis un bilan, au lieu de la liste en
                         français ; la sortie d'erreur reste en français
  -j, --taches=N         nombre de fichiers convertis en même temps (par défaut,
                         le nombre de processeurs)
  -q, --silencieux       ni barre de progression ni bilan en français (les
                         erreurs, la liste ou le diff d'un essai, le JSON et
                         les avertissements restent)
  -v, --verbeux          une ligne par fichier
  -h, --aide, --help     afficher cette aide et quitter
      --version          afficher la version et quitter

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
