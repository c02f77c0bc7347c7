// terminelle-cli: the window's conversion from a command line, for servers
// without a display.

#include <clocale>
#include <cstdio>
#include <exception>
#include <string>

#include "base/errors.h"
#include "cli/options.h"
#include "cli/run.h"
#include "platform/process.h"
#include "platform/quote.h"
#include "settings/file/iniform1.h"

int main(int argc, char** argv) {
  // Messages from the system and the charset of file contents follow the user's locale.
  std::setlocale(LC_ALL, "");
  FailWritesPastSizeLimit();
  ParsedCommandLine parsed = ParseCommandLine(argc, argv);
  switch (parsed.Action) {
    case CliAction::kHelp:
      std::fputs(HelpText().c_str(), stdout);
      return 0;
    case CliAction::kVersion:
      std::printf("terminelle-cli %s\n", TERMINELLE_VERSION);
      return 0;
    case CliAction::kUsageError:
      break;
    case CliAction::kRun:
      try {
        std::optional<Form1Fields> saved;
        if (parsed.Options.FromSettings) saved = ReadSavedForm1Fields();
        RunSettings run;
        if (!ResolveRun(parsed.Options, saved ? &*saved : nullptr, &run, &parsed.Error)) break;
        return RunConversion(run);
      } catch (...) {
        // In the program's words: "Mémoire insuffisante" for memory that ran out.
        std::fprintf(stderr, "terminelle-cli: %s\n",
                     EscapedText(MessageOf(std::current_exception())).c_str());
        return 1;
      }
  }
  std::fprintf(stderr,
               "terminelle-cli: %s\nEssayez « terminelle-cli --aide » pour plus d'informations.\n",
               EscapedText(parsed.Error).c_str());
  return 2;
}
