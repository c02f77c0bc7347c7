#include "cli/report_text.h"

#include <cstdio>
#include <vector>

#include "base/errors.h"
#include "cli/diff.h"
#include "cli/summary.h"
#include "platform/quote.h"

namespace {

// A file's path under the chosen folder, as the diff names it: the walk names
// files after the folder, less one final separator.
std::string UnderFolder(const std::string& path, std::string root) {
  if (!root.empty() && root.back() == '/') root.pop_back();
  if (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
      path[root.size()] == '/') {
    return path.substr(root.size() + 1);
  }
  return path;
}

const char* MarkName(ByteOrderMark mark) {
  switch (mark) {
    case ByteOrderMark::kUtf8:
      return "UTF-8";
    case ByteOrderMark::kUtf16Le:
      return "UTF-16 LE";
    case ByteOrderMark::kUtf16Be:
      return "UTF-16 BE";
    case ByteOrderMark::kUtf32Le:
      return "UTF-32 LE";
    case ByteOrderMark::kUtf32Be:
      return "UTF-32 BE";
    case ByteOrderMark::kNone:
      break;
  }
  return nullptr;
}

// What an inspection found in one file, as the list tells it before the
// file's name.
std::string InfoText(ConvertOutcome outcome, const FileInfo& info) {
  if (outcome == ConvertOutcome::kLeftAlone) return "laissé tel quel";
  std::string text;
  if (info.Binary) {
    text = "binaire (octet NUL à la position " + std::to_string(info.NulAt);
  } else {
    text = "texte (" + std::to_string(info.CrLf) + " CR LF, " + std::to_string(info.Lf) + " LF, " +
           std::to_string(info.Cr) + " CR";
  }
  if (const char* mark = MarkName(info.Mark)) text += std::string(", BOM ") + mark;
  if (info.LastLineUnended) text += ", dernière ligne sans fin";
  if (info.TrailingBlanks > 0) {
    text += ", " + Plural(info.TrailingBlanks, "ligne", "lignes") + " à blancs de fin";
  }
  return text + ")";
}

const char* Verbose(ConvertOutcome outcome) {
  switch (outcome) {
    case ConvertOutcome::kConverted:
      return "converti";
    case ConvertOutcome::kUnchanged:
      return "inchangé";
    case ConvertOutcome::kBinary:
      return "binaire, laissé tel quel";
    case ConvertOutcome::kLeftAlone:
      break;
  }
  return "laissé tel quel";
}

}  // namespace

TextReport::TextReport(const RunSettings& run, ProgressBar& bar)
    : root_(run.Folder),
      trial_(run.Trial),
      diff_(run.Diff),
      info_(run.Info),
      talk_(run.Talk),
      bar_(bar) {}

void TextReport::List(const VisitResult& d) {
  if (info_) {
    bar_.Clear();
    std::fprintf(stdout, "%s : %s\n", InfoText(d.Outcome, d.Info).c_str(),
                 QuotedName(d.Path.Text()).c_str());
  } else if (trial_ && d.Outcome == ConvertOutcome::kConverted) {
    bar_.Clear();
    const std::string path = d.Path.Text();
    if (diff_) {
      if (!d.Shown.empty()) std::fputs(DiffHeader(UnderFolder(path, root_)).c_str(), stdout);
      std::fwrite(d.Shown.data(), 1, d.Shown.size(), stdout);
    } else {
      std::fprintf(stdout, "à changer (%s) : %s\n",
                   Plural(d.ChangedLines, "ligne", "lignes").c_str(), QuotedName(path).c_str());
    }
  } else if (talk_ == Verbosity::kVerbose) {
    bar_.Clear();
    std::fprintf(stdout, "%s : %s\n", Verbose(d.Outcome), QuotedName(d.Path.Text()).c_str());
  }
}

void TextReport::Complain(const VisitResult& d) {
  if (d.Failed) {
    bar_.Clear();
    // The words of the window's error box, the path already before them.
    std::string told = d.Message;
    const std::string reason = DetailOf(d.Error).Reason;
    if (!reason.empty()) told += " (" + reason + ")";
    std::fprintf(stderr, "terminelle-cli: %s : %s\n", QuotedName(d.Path.Text()).c_str(),
                 EscapedText(told).c_str());
  }
  if (d.Warnings.empty()) return;
  bar_.Clear();
  // Each as PATH:LINE: text, or PATH: text for the file as a whole.
  const std::string name = QuotedName(d.Path.Text());
  for (const TrialWarning& w : d.Warnings) {
    const std::string line = w.Line != 0 ? name + ":" + std::to_string(w.Line) + ": " : name + ": ";
    std::fprintf(stderr, "%s%s\n", line.c_str(), EscapedText(w.Text).c_str());
  }
}
