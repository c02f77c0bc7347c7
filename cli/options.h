#pragma once
// The command line of terminelle-cli: GNU-style options with French long
// names, and the run they make once the window's settings are taken in.

#include <optional>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "settings/file/iniform1.h"

// How much a run tells on its way.
enum class Verbosity { kQuiet, kNormal, kVerbose };

// What the command line gave; an empty optional was not given.
struct CliOptions {
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
  // --essai.
  bool Trial = false;
  // --garder-retraits.
  bool KeepIndentation = false;
  // --diff.
  bool Diff = false;
  // --verifier-perl.
  bool CheckPerl = false;
  // --controle (which makes a trial).
  bool Check = false;
  // --json.
  bool Json = false;
  // --info.
  bool Info = false;
  // --exclure, each pattern in the order given.
  std::vector<std::string> Exclude;
  // --avec-depots.
  bool EnterRepositories = false;
  // --sans-bom.
  bool RemoveByteOrderMark = false;
  // --fins-seulement.
  bool EndingsOnly = false;
  // --garder-dates.
  bool KeepDates = false;
  // --taches; 0 when not given.
  unsigned Jobs = 0;
  // --silencieux, --verbeux.
  Verbosity Talk = Verbosity::kNormal;
};

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
struct RunSettings {
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
  // Nothing is written; the files that would change are listed.
  bool Trial = false;
  // Lines keep their leading blanks.
  bool KeepIndentation = false;
  // A trial shows what would change as a unified diff rather than a list.
  bool Diff = false;
  // A trial warns where the conversion would change what Perl reads, and of
  // what would stop a CGI script once deployed.
  bool CheckPerl = false;
  // A trial whose status is 1 when any file would change.
  bool Check = false;
  // Each file met, then the run's summary, as one JSON object a line on
  // stdout, in place of the French listing.
  bool Json = false;
  // Nothing is written: each file's line ends, byte-order mark, binary or
  // not, final line end and trailing blanks are told.
  bool Info = false;
  // Names matching any of these patterns (as the filter's) are left alone,
  // folders among them not entered.
  std::vector<std::string> Exclude;
  // Version-control folders (.git, .svn...) are entered too.
  bool EnterRepositories = false;
  // A UTF-8 byte-order mark at the start of a file goes.
  bool RemoveByteOrderMark = false;
  // Only the line ends change: no blank is trimmed.
  bool EndingsOnly = false;
  // A converted file keeps its modification and access times.
  bool KeepDates = false;
  // Files converted at once, at least 1.
  unsigned Jobs = 1;
  // How much is told.
  Verbosity Talk = Verbosity::kNormal;
};

// The run options make, the window's saved fields filling in what they leave
// out (saved is null without --reglages); false with *error set when a folder
// or a format is missing.
bool ResolveRun(const CliOptions& options, const Form1Fields* saved, RunSettings* run,
                std::string* error);

// The text of --aide.
std::string HelpText();
