#pragma once
// The command line of terminelle-cli: GNU-style options with French long
// names, read from one table, and the run they make once the window's
// settings are taken in.

#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "settings/file/iniform1.h"

// How much a run tells on its way.
enum class Verbosity { kQuiet, kNormal, kVerbose };

// What the command line decides of a run that no saved setting touches: it
// passes from the options to the run as it is.
struct RunChoices {
  // Nothing is written; the files that would change are listed (--essai).
  bool Trial = false;
  // Lines keep their leading blanks (--garder-retraits).
  bool KeepIndentation = false;
  // A trial shows what would change as a unified diff rather than a list.
  bool Diff = false;
  // A trial warns where the conversion would change what Perl reads, and of
  // what would stop a CGI script once deployed (--verifier-perl).
  bool CheckPerl = false;
  // A trial whose status is 1 when any file would change (--controle).
  bool Check = false;
  // Each file met, then the run's summary, as one JSON object a line on
  // stdout, in place of the French listing.
  bool Json = false;
  // Nothing is written: each file's line ends, byte-order mark, binary or
  // not, final line end and trailing blanks are told.
  bool Info = false;
  // Names matching any of these patterns (as the filter's) are left alone,
  // folders among them not entered; in the order given (--exclure).
  std::vector<std::string> Exclude;
  // Version-control folders (.git, .svn...) are entered too (--avec-depots).
  bool EnterRepositories = false;
  // A UTF-8 byte-order mark at the start of a file goes (--sans-bom).
  bool RemoveByteOrderMark = false;
  // Only the line ends change: no blank is trimmed (--fins-seulement).
  bool EndingsOnly = false;
  // A converted file keeps its modification and access times (--garder-dates).
  bool KeepDates = false;
  // How much is told (--silencieux, --verbeux).
  Verbosity Talk = Verbosity::kNormal;
};

// What the command line gave; an empty optional was not given.
struct CliOptions : RunChoices {
  // DOSSIER.
  std::optional<std::string> Folder;
  // --filtre.
  std::optional<std::string> Filter;
  // --sous-dossiers (true) or --sans-sous-dossiers (false).
  std::optional<bool> Subfolders;
  // --format.
  std::optional<LineEnding> Format;
  // --remplacer and --par, in order; none, but given, with --sans-remplacement.
  std::optional<std::vector<ReplaceRule>> Rules;
  // --reglages.
  bool FromSettings = false;
  // --taches; 0 when not given.
  unsigned Jobs = 0;
};

// The command line as it is being read.
struct OptionReading;

// One option: how it is written, what --aide says of it, which options it
// needs or refuses beside it, and what reading it does.
struct CliOption {
  // The long name, without "--".
  const char* Long = nullptr;
  // The short form, or 0.
  char Short = 0;
  // A second long name for the same option, or null.
  const char* Alias = nullptr;
  // What --aide calls its value; null for an option without one.
  const char* Value = nullptr;
  // Its lines in --aide, after the names.
  const char* Help = "";
  // The switch it turns on, for an option that does only that.
  bool CliOptions::*Sets = nullptr;
  // Reads it, and its value if it has one; what is wrong, in French, or empty.
  std::string (*Read)(OptionReading& reading, const char* value) = nullptr;
  // An option it stands for as well, by long name: --controle is a trial.
  const char* Implies = nullptr;
  // The option it goes with only, by long name.
  const char* Needs = nullptr;
  // The options refused beside it, by long name.
  std::array<const char*, 3> Excludes = {};
};

// Every option, in the order --aide tells them.
std::span<const CliOption> CliOptionTable();

// What the program is asked to do.
enum class CliAction { kRun, kHelp, kVersion, kUsageError };

// The command line, read.
struct ParsedCommandLine {
  // What to do.
  CliAction Action = CliAction::kRun;
  // The options, for kRun.
  CliOptions Options;
  // What is wrong, in French, for kUsageError.
  std::string Error;
};

// Reads argv (reordered as getopt_long does).
ParsedCommandLine ParseCommandLine(int argc, char** argv);

// Everything a run needs.
struct RunSettings : RunChoices {
  // Where the walk starts.
  std::string Folder;
  // Patterns separated by ";".
  std::string Filter;
  // Whether sub-folders are walked, down to kDepthLimit levels.
  bool Subfolders = false;
  // The line ending written.
  LineEnding Format = LineEnding::Unix;
  // Applied first.
  ReplaceRule Rule1;
  // Applied to what rule 1 gives.
  ReplaceRule Rule2;
  // Files converted at once, at least 1.
  unsigned Jobs = 1;
};

// The run options make, the window's saved fields filling in what they leave
// out (saved is null without --reglages); false with *error set when a folder
// or a format is missing.
bool ResolveRun(const CliOptions& options, const Form1Fields* saved, RunSettings* run,
                std::string* error);

// The text of --aide.
std::string HelpText();
