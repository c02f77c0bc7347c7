// The command line, read as getopt_long reads it, and the run it makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "cli/options.h"

namespace {

ParsedCommandLine Parse(std::vector<std::string> words) {
  words.insert(words.begin(), "terminelle-cli");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return ParseCommandLine(static_cast<int>(words.size()), argv.data());
}

bool SameRule(const ReplaceRule& a, const ReplaceRule& b) {
  return a.Enabled == b.Enabled && a.Search == b.Search && a.Replacement == b.Replacement;
}

}  // namespace

TEST(CliOptions, ReadsOptionsAndFillsTheRestFromSavedSettings) {
  ParsedCommandLine p = Parse({"-rnv", "-j3", "cgi-bin", "--format=Windows", "--remplacer=a",
                               "--par=", "-F", "*.cgi;*.pl", "--remplacer", "b", "--par", "c"});
  ASSERT_EQ(p.Action, CliAction::kRun) << p.Error;
  const CliOptions& o = p.Options;
  EXPECT_EQ(o.Folder, "cgi-bin");
  EXPECT_EQ(o.Filter, "*.cgi;*.pl");
  EXPECT_TRUE(o.Subfolders == true && o.Trial && !o.FromSettings);
  EXPECT_EQ(o.Format, LineEnding::Windows);
  EXPECT_EQ(o.Jobs, 3u);
  EXPECT_EQ(o.Talk, Verbosity::kVerbose);
  ASSERT_TRUE(o.Rules && o.Rules->size() == 2u);
  EXPECT_TRUE(SameRule((*o.Rules)[0], {true, "a", ""}));
  EXPECT_TRUE(SameRule((*o.Rules)[1], {true, "b", "c"}));

  // Without them, the window's filter and no sub-folder.
  RunSettings run;
  std::string error;
  ASSERT_TRUE(ResolveRun(Parse({"-f", "mac", "-q", "d"}).Options, nullptr, &run, &error));
  EXPECT_EQ(run.Filter, "*.pl");
  EXPECT_FALSE(run.Subfolders);
  EXPECT_EQ(run.Format, LineEnding::Mac);
  EXPECT_FALSE(run.Rule1.Enabled || run.Rule2.Enabled);
  EXPECT_GE(run.Jobs, 1u);
  EXPECT_EQ(run.Talk, Verbosity::kQuiet);

  // Saved settings fill what is not given; what is given wins, rules as a whole.
  Form1Fields saved;
  saved.Folder = "/srv/saved";
  saved.Filter = "*.cgi";
  saved.Subfolders = true;
  saved.Format = LineEnding::Windows;
  saved.Rule1 = {true, "x", "y"};
  saved.Rule2 = {false, "u", "v"};
  ASSERT_TRUE(ResolveRun(Parse({"--reglages"}).Options, &saved, &run, &error));
  EXPECT_EQ(run.Folder, "/srv/saved");
  EXPECT_EQ(run.Filter, "*.cgi");
  EXPECT_TRUE(run.Subfolders);
  EXPECT_EQ(run.Format, LineEnding::Windows);
  EXPECT_TRUE(SameRule(run.Rule1, saved.Rule1) && SameRule(run.Rule2, saved.Rule2));
  ASSERT_TRUE(
      ResolveRun(Parse({"--reglages", "-f", "unix", "--remplacer=p", "--par=q", "ici"}).Options,
                 &saved, &run, &error));
  EXPECT_EQ(run.Folder, "ici");
  EXPECT_EQ(run.Format, LineEnding::Unix);
  EXPECT_TRUE(SameRule(run.Rule1, {true, "p", "q"}) && !run.Rule2.Enabled);
  // Both ways: what is saved as on can be turned off.
  ASSERT_TRUE(
      ResolveRun(Parse({"--reglages", "--sans-sous-dossiers", "--sans-remplacement"}).Options,
                 &saved, &run, &error));
  EXPECT_FALSE(run.Subfolders);
  EXPECT_FALSE(run.Rule1.Enabled || run.Rule2.Enabled);
  saved.Subfolders = false;
  ASSERT_TRUE(ResolveRun(Parse({"--reglages", "-r"}).Options, &saved, &run, &error));
  EXPECT_TRUE(run.Subfolders);
  saved.Format.reset();
  EXPECT_FALSE(ResolveRun(Parse({"--reglages"}).Options, &saved, &run, &error));
  EXPECT_EQ(error.rfind("Vous devez choisir un format de conversion", 0), 0u) << error;
}

TEST(CliOptions, BadUsageIsRefusedWithAReason) {
  const std::vector<std::vector<std::string>> refused = {
      {"--inconnue", "d"},
      {"-x", "d"},
      {"d", "--format"},
      {"-f", "linux", "d"},
      {"-j", "0", "d"},
      {"-j", "2x", "d"},
      {"-j", "-1", "d"},
      {"--ver", "d"},
      {"--par=b", "d"},
      {"--remplacer=a", "d"},
      {"--remplacer=a", "--remplacer=b", "--par=c", "d"},
      {"--remplacer=a", "--par=b", "--remplacer=c", "--par=d", "--remplacer=e", "--par=f", "d"},
      {"-q", "-v", "d"},
      {"-r", "--sans-sous-dossiers", "d"},
      {"--sans-remplacement", "--remplacer=a", "--par=b", "d"},
      {"-f", "unix", "d", "e"},
      {"--diff", "-f", "unix", "d"},
      {"--verifier-perl", "-f", "unix", "d"},
      {"--info", "-n", "d"},
      {"--info", "--controle", "d"},
      {"--exclure=cache/tmp", "-f", "unix", "d"},
      {"--info", "--controle", "d"},
      {"--diff", "--json", "-n", "-f", "unix", "d"},
  };
  for (const auto& words : refused) {
    ParsedCommandLine p = Parse(words);
    EXPECT_EQ(p.Action, CliAction::kUsageError) << words[0];
    EXPECT_FALSE(p.Error.empty()) << words[0];
  }
  RunSettings run;
  std::string error;
  EXPECT_FALSE(ResolveRun(Parse({"-f", "unix"}).Options, nullptr, &run, &error));
  EXPECT_FALSE(ResolveRun(Parse({"d"}).Options, nullptr, &run, &error));
  // An empty folder would walk the whole system.
  EXPECT_FALSE(ResolveRun(Parse({"-f", "unix", ""}).Options, nullptr, &run, &error));
  EXPECT_EQ(Parse({"-f", "linux", "--aide"}).Action, CliAction::kUsageError);
  EXPECT_EQ(Parse({"--help", "d"}).Action, CliAction::kHelp);
  EXPECT_EQ(Parse({"--version"}).Action, CliAction::kVersion);
}

TEST(CliOptions, EveryOptionIsInTheHelpAndTheManualPage) {
  // The manual page's item tags, the lines after each .TP, as text: "\\-" a
  // hyphen, .BR's quoted comma a comma, so that they read "-f, --format".
  std::ifstream man(TERMINELLE_CLI_MAN);
  ASSERT_TRUE(man) << TERMINELLE_CLI_MAN;
  std::vector<std::string> tags;
  for (std::string line, previous; std::getline(man, line); previous = line) {
    if (previous != ".TP") continue;
    for (const std::string from : {"\\-", " \", \" "}) {
      for (std::size_t at; (at = line.find(from)) != line.npos;)
        line.replace(at, from.size(), from == "\\-" ? "-" : ", ");
    }
    tags.push_back(line);
  }
  const std::string help = HelpText();
  for (const CliOption& o : CliOptionTable()) {
    std::string names = std::string("--") + o.Long;
    if (o.Alias != nullptr) names += std::string(", --") + o.Alias;
    if (o.Short != 0) names = std::string("-") + o.Short + ", " + names;
    EXPECT_NE(help.find(names), std::string::npos) << names;
    EXPECT_TRUE(std::any_of(tags.begin(), tags.end(), [&](const std::string& t) {
      return t.find(names) != t.npos;
    })) << names;
  }
}
