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
  // A trial warns where the conversion would change what Perl reads.
  bool CheckPerl = false;
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
