#include "cli/summary.h"

#include <signal.h>

#include <cstdio>

namespace {

unsigned long long Ull(std::uint64_t n) {
  return n;
}

}  // namespace

std::string Plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n > 1 ? many : one);
}

void RunCounts::Add(const VisitResult& d, bool inspecting) {
  Files.Count(d);
  Warned += !d.Warnings.empty();
  if (d.Failed) return;
  if (d.Outcome == ConvertOutcome::kBinary) ++Binary;
  if (!inspecting || d.Outcome != ConvertOutcome::kUnchanged) return;
  const FileInfo& i = d.Info;
  ++TextFiles;
  CrLf += i.CrLf;
  Lf += i.Lf;
  Cr += i.Cr;
  Mixed += (i.CrLf > 0) + (i.Lf > 0) + (i.Cr > 0) > 1;
  Marked += i.Mark != ByteOrderMark::kNone;
  Unended += i.LastLineUnended;
  BlankLines += i.TrailingBlanks;
  BlankFiles += i.TrailingBlanks > 0;
}

void WriteSummary(const RunCounts& counts, const RunSettings& run, int signal) {
  const Tally& tally = counts.Files;
  if (signal != 0) {
    std::fprintf(stderr,
                 "terminelle-cli: arrêté par %s ; les fichiers en cours ont été menés à bout, "
                 "les suivants n'ont pas été traités.\n",
                 signal == SIGINT ? "SIGINT" : "SIGTERM");
  }
  const std::string failed = std::to_string(tally.Failed + tally.Refused) + " en échec";
  const std::string rest = Plural(tally.Unchanged, "inchangé", "inchangés") + ", " +
                           Plural(tally.LeftAlone, "laissé tel quel", "laissés tels quels") +
                           " (binaires, liens, dates), " + failed;
  if (run.Info) {
    std::fprintf(
        stderr,
        "Info, rien n'a été écrit : %s (%llu CR LF, %llu LF, %llu CR ; %zu à fins mélangées, "
        "%zu avec BOM, %zu à la dernière ligne sans fin, %zu avec des blancs de fin), %s, %s, "
        "%s.\n",
        Plural(counts.TextFiles, "fichier texte", "fichiers texte").c_str(), Ull(counts.CrLf),
        Ull(counts.Lf), Ull(counts.Cr), counts.Mixed, counts.Marked, counts.Unended,
        counts.BlankFiles, Plural(counts.Binary, "binaire", "binaires").c_str(),
        Plural(tally.LeftAlone - counts.Binary, "laissé tel quel", "laissés tels quels").c_str(),
        failed.c_str());
  } else if (run.Trial) {
    std::fprintf(
        stderr, "Essai, rien n'a été écrit : %zu à changer, %s%s.\n", tally.Converted, rest.c_str(),
        run.CheckPerl ? (", " + std::to_string(counts.Warned) + " avec des avertissements").c_str()
                      : "");
    // Kept by line ends only too: -k is no advice then.
    if (counts.Warned > 0 && !run.KeepIndentation && !run.EndingsOnly) {
      std::fputs(
          "terminelle-cli: --garder-retraits (-k) garde les retraits ; vérifiez ensuite "
          "les scripts avec perl -c.\n",
          stderr);
    }
  } else {
    std::fprintf(stderr, "Fichiers : %s, %s.\n",
                 Plural(tally.Converted, "converti", "convertis").c_str(), rest.c_str());
  }
}
