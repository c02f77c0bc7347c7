#include "cli/run.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/errors.h"
#include "cli/deploycheck.h"
#include "cli/diff.h"
#include "cli/json.h"
#include "cli/perlcheck.h"
#include "convert/info.h"
#include "convert/interrupted.h"
#include "convert/schedule.h"
#include "convert/tally.h"
#include "platform/codepage.h"
#include "platform/dirlist.h"
#include "platform/oserror.h"
#include "platform/process.h"
#include "platform/quote.h"
#include "platform/rewriterecord.h"
#include "scan/scrutedossier.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Runs shorter than this show no progress bar.
constexpr milliseconds kQuietStart{1000};
// How often the bar is redrawn; waits wake as often to redraw it.
constexpr milliseconds kBarPeriod{100};

// The signal that asked the run to stop; 0 while none did.
std::atomic<int> stop_signal{0};

void OnStopSignal(int sig) {
  stop_signal.store(sig, std::memory_order_relaxed);
  // Whichever comes second, SIGINT or SIGTERM, ends the program at once.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(SIGINT, &fallback, nullptr);
  sigaction(SIGTERM, &fallback, nullptr);
}

bool StopAsked() {
  return stop_signal.load(std::memory_order_relaxed) != 0;
}

void InstallSignalHandlers() {
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaddset(&sa.sa_mask, SIGINT);
  sigaddset(&sa.sa_mask, SIGTERM);
  // Interrupted calls resume, so the files in hand finish. A second signal
  // ends the program at once; every file still holds its old or new content.
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A reader of the listing that goes away does not stop the conversion.
  signal(SIGPIPE, SIG_IGN);
}

std::string Count(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n > 1 ? many : one);
}

// Columns of the terminal on stderr.
std::size_t TerminalWidth() {
  struct winsize ws {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

// The end of path that fits in cols columns, a character taken as one column.
std::string Tail(const std::string& path, std::size_t cols) {
  std::size_t chars = 0;
  for (unsigned char c : path) chars += (c & 0xC0) != 0x80;
  if (chars <= cols) return path;
  if (cols == 0) return "";
  std::size_t keep = cols - 1;
  std::size_t i = path.size();
  while (i > 0 && keep > 0) {
    --i;
    if ((static_cast<unsigned char>(path[i]) & 0xC0) != 0x80) --keep;
  }
  return "…" + path.substr(i);
}

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

// The code of an EInOutError; none for any other error.
std::optional<int> IoCodeOf(const std::exception_ptr& error) {
  if (!error) return std::nullopt;
  try {
    std::rethrow_exception(error);
  } catch (const EInOutError& e) {
    return e.ErrorCode;
  } catch (...) {
  }
  return std::nullopt;
}

const char* MarkName(ByteOrderMark mark, bool json) {
  switch (mark) {
    case ByteOrderMark::kUtf8:
      return json ? "utf-8" : "UTF-8";
    case ByteOrderMark::kUtf16Le:
      return json ? "utf-16le" : "UTF-16 LE";
    case ByteOrderMark::kUtf16Be:
      return json ? "utf-16be" : "UTF-16 BE";
    case ByteOrderMark::kUtf32Le:
      return json ? "utf-32le" : "UTF-32 LE";
    case ByteOrderMark::kUtf32Be:
      return json ? "utf-32be" : "UTF-32 BE";
    case ByteOrderMark::kNone:
      break;
  }
  return nullptr;
}

// What an inspection found in one file, as the French listing tells it
// before the file's name.
std::string InfoText(ConvertOutcome outcome, const FileInfo& info) {
  if (outcome == ConvertOutcome::kLeftAlone) return "laissé tel quel";
  std::string text;
  if (info.Binary) {
    text = "binaire (octet NUL à la position " + std::to_string(info.NulAt);
  } else {
    text = "texte (" + std::to_string(info.CrLf) + " CR LF, " + std::to_string(info.Lf) + " LF, " +
           std::to_string(info.Cr) + " CR";
  }
  if (const char* mark = MarkName(info.Mark, false)) text += std::string(", BOM ") + mark;
  if (info.LastLineUnended) text += ", dernière ligne sans fin";
  if (info.TrailingBlanks > 0) {
    text += ", " + Count(info.TrailingBlanks, "ligne", "lignes") + " à blancs de fin";
  }
  return text + ")";
}

// Everything the run writes on stdout and stderr, one writer at a time. The
// names of files are put together here, as each file's turn comes: the
// results that wait for theirs hold no long path. With --json, stdout holds
// only JSON; stderr tells humans what it tells without it.
class Report {
 public:
  explicit Report(const RunSettings& run)
      : root_(run.Folder),
        trial_(run.Trial),
        diff_(run.Diff),
        check_perl_(run.CheckPerl),
        json_(run.Json),
        info_(run.Info),
        // Kept by line ends only too: -k is no advice then.
        keep_indentation_(run.KeepIndentation || run.EndingsOnly),
        talk_(run.Talk),
        bar_(run.Talk != Verbosity::kQuiet && ::isatty(STDERR_FILENO) == 1),
        start_(Clock::now()),
        last_bar_(start_) {}

  // Files finished, in the walk's order.
  void Tell(std::vector<VisitResult>& batch) {
    std::lock_guard<std::mutex> guard(out_);
    for (VisitResult& d : batch) {
      if (d.Dropped) continue;
      tally_.Count(d);
      const bool warned = !d.Warnings.empty();
      warned_ += warned;
      if (!d.Failed) Note(d);
      if (json_) {
        Json(d);
      } else if (!d.Failed) {
        List(d);
      }
      if (d.Failed) {
        ClearBar();
        // The words of the window's error box, the path already before them.
        std::string told = d.Message;
        const std::string reason = DetailOf(d.Error).Reason;
        if (!reason.empty()) told += " (" + reason + ")";
        std::fprintf(stderr, "terminelle-cli: %s : %s\n", QuotedName(d.Path.Text()).c_str(),
                     EscapedText(told).c_str());
      }
      if (warned) {
        ClearBar();
        Warn(QuotedName(d.Path.Text()), d.Warnings);
      }
    }
    Flush();
  }

  // Whether the progress bar is due for drawing; cheap enough for every entry.
  bool BarDue() const {
    if (!bar_) return false;
    Clock::time_point now = Clock::now();
    return now - start_ >= kQuietStart && now - last_bar_ >= kBarPeriod;
  }

  // Draws the progress bar: files done of files found, and the file in hand.
  void Bar(std::size_t done, std::size_t found, const std::string& current) {
    std::lock_guard<std::mutex> guard(out_);
    last_bar_ = Clock::now();
    constexpr std::size_t kCells = 20;
    const std::size_t full = found == 0 ? 0 : done * kCells / found;
    std::string line = "\r[" + std::string(full, '#') + std::string(kCells - full, '-') + "] " +
                       std::to_string(done) + "/" + std::to_string(found) + " ";
    const std::size_t used = line.size() - 1;
    const std::size_t width = TerminalWidth();
    line += Tail(QuotedName(current), width > used + 1 ? width - used - 1 : 0);
    line += "\033[K";
    std::fwrite(line.data(), 1, line.size(), stderr);
    shown_ = true;
  }

  // The last lines: why the run stopped, if it did, and what it did; with
  // --json, the summary object, which holds status, the exit status. The
  // status to exit with: 1 rather than 0 when the summary could not be
  // written either.
  int Summary(int signal, int status) {
    std::lock_guard<std::mutex> guard(out_);
    ClearBar();
    if (json_) {
      JsonSummary(status);
      Flush();
    }
    if (output_error_ != 0) {
      std::fprintf(stderr, "terminelle-cli: la sortie standard n'a pas pu être écrite : %s\n",
                   SystemErrorText(output_error_).c_str());
      if (status == 0) status = 1;
    }
    if (talk_ == Verbosity::kQuiet) return status;
    if (signal != 0) {
      std::fprintf(stderr,
                   "terminelle-cli: arrêté par %s ; les fichiers en cours ont été menés à bout, "
                   "les suivants n'ont pas été traités.\n",
                   signal == SIGINT ? "SIGINT" : "SIGTERM");
    }
    const std::string failed = std::to_string(tally_.Failed + tally_.Refused) + " en échec";
    const std::string rest = Count(tally_.Unchanged, "inchangé", "inchangés") + ", " +
                             Count(tally_.LeftAlone, "laissé tel quel", "laissés tels quels") +
                             " (binaires, liens, dates), " + failed;
    if (info_) {
      std::fprintf(
          stderr,
          "Info, rien n'a été écrit : %s (%llu CR LF, %llu LF, %llu CR ; %zu à fins mélangées, "
          "%zu avec BOM, %zu à la dernière ligne sans fin, %zu avec des blancs de fin), %s, %s, "
          "%s.\n",
          Count(read_, "fichier texte", "fichiers texte").c_str(), Ull(crlf_), Ull(lf_), Ull(cr_),
          mixed_, marked_, unended_, blanks_files_, Count(binary_, "binaire", "binaires").c_str(),
          Count(tally_.LeftAlone - binary_, "laissé tel quel", "laissés tels quels").c_str(),
          failed.c_str());
    } else if (trial_) {
      std::fprintf(
          stderr, "Essai, rien n'a été écrit : %zu à changer, %s%s.\n", tally_.Converted,
          rest.c_str(),
          check_perl_ ? (", " + std::to_string(warned_) + " avec des avertissements").c_str() : "");
      if (warned_ > 0 && !keep_indentation_) {
        std::fputs(
            "terminelle-cli: --garder-retraits (-k) garde les retraits ; vérifiez ensuite "
            "les scripts avec perl -c.\n",
            stderr);
      }
    } else {
      std::fprintf(stderr, "Fichiers : %s, %s.\n",
                   Count(tally_.Converted, "converti", "convertis").c_str(), rest.c_str());
    }
    return status;
  }

  // Whether some file failed, or a trial warned.
  bool AnyFailed() const {
    return tally_.Failed + tally_.Refused > 0 || warned_ > 0 || output_error_ != 0;
  }
  // Whether a trial found a file that would change.
  bool AnyWouldChange() const { return trial_ && tally_.Converted > 0; }

 private:
  static unsigned long long Ull(std::uint64_t n) { return n; }

  // What the French listing on stdout says of a file that did not fail.
  void List(const VisitResult& d) {
    if (info_) {
      ClearBar();
      std::fprintf(stdout, "%s : %s\n", InfoText(d.Outcome, d.Info).c_str(),
                   QuotedName(d.Path.Text()).c_str());
    } else if (trial_ && d.Outcome == ConvertOutcome::kConverted) {
      ClearBar();
      const std::string path = d.Path.Text();
      if (diff_) {
        if (!d.Shown.empty()) std::fputs(DiffHeader(UnderFolder(path, root_)).c_str(), stdout);
        std::fwrite(d.Shown.data(), 1, d.Shown.size(), stdout);
      } else {
        std::fprintf(stdout, "à changer (%s) : %s\n",
                     Count(d.ChangedLines, "ligne", "lignes").c_str(), QuotedName(path).c_str());
      }
    } else if (talk_ == Verbosity::kVerbose) {
      ClearBar();
      std::fprintf(stdout, "%s : %s\n", Verbose(d.Outcome), QuotedName(d.Path.Text()).c_str());
    }
  }

  static const char* Verbose(ConvertOutcome outcome) {
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

  // The outcome as --json names it.
  const char* Outcome(const VisitResult& d) const {
    if (d.Failed) return IsRefusal(d) ? "refused" : "failed";
    switch (d.Outcome) {
      case ConvertOutcome::kConverted:
        return trial_ ? "would_change" : "converted";
      case ConvertOutcome::kUnchanged:
        return info_ ? "inspected" : "unchanged";
      case ConvertOutcome::kBinary:
        return "binary";
      case ConvertOutcome::kLeftAlone:
        break;
    }
    return "left_alone";
  }

  // Counts what the summary tells beyond the tally: binary files apart, and
  // what inspections found.
  void Note(const VisitResult& d) {
    if (d.Outcome == ConvertOutcome::kBinary) ++binary_;
    if (!info_ || d.Outcome != ConvertOutcome::kUnchanged) return;
    const FileInfo& i = d.Info;
    ++read_;
    crlf_ += i.CrLf;
    lf_ += i.Lf;
    cr_ += i.Cr;
    mixed_ += (i.CrLf > 0) + (i.Lf > 0) + (i.Cr > 0) > 1;
    marked_ += i.Mark != ByteOrderMark::kNone;
    unended_ += i.LastLineUnended;
    blanks_ += i.TrailingBlanks;
    blanks_files_ += i.TrailingBlanks > 0;
  }

  // One result as a line of JSON on stdout.
  void Json(const VisitResult& d) {
    JsonObject o;
    o.Text("type", d.Folder ? "folder" : "file");
    o.Bytes("path", d.Path.Text());
    o.Text("outcome", Outcome(d));
    // Counted by trials only; a file unchanged has none.
    if (!d.Failed && !info_) {
      if (trial_ && d.Outcome == ConvertOutcome::kConverted) {
        o.Number("changed_lines", d.ChangedLines);
      } else if (d.Outcome == ConvertOutcome::kUnchanged) {
        o.Number("changed_lines", 0);
      }
    }
    if (d.Failed) {
      JsonObject e;
      if (const std::optional<int> code = IoCodeOf(d.Error)) {
        e.Number("code", static_cast<std::uint64_t>(*code));
      } else {
        e.Null("code");
      }
      e.Text("message", d.Message);
      const std::string reason = DetailOf(d.Error).Reason;
      if (reason.empty()) {
        e.Null("reason");
      } else {
        e.Text("reason", reason);
      }
      o.Raw("error", e.Close());
    }
    if (info_ && !d.Failed && d.Outcome != ConvertOutcome::kLeftAlone) {
      const FileInfo& i = d.Info;
      if (const char* mark = MarkName(i.Mark, true)) {
        o.Text("bom", mark);
      } else {
        o.Null("bom");
      }
      o.Bool("binary", i.Binary);
      if (i.Binary) {
        o.Number("nul_offset", i.NulAt);
      } else {
        o.Number("crlf", i.CrLf).Number("lf", i.Lf).Number("cr", i.Cr);
        o.Bool("final_newline", !i.LastLineUnended);
        o.Number("trailing_blanks", i.TrailingBlanks);
      }
    }
    if (check_perl_) {
      std::string list = "[";
      for (const TrialWarning& w : d.Warnings) {
        JsonObject item;
        if (w.Line != 0) {
          item.Number("line", w.Line);
        } else {
          item.Null("line");
        }
        if (list.size() > 1) list += ", ";
        list += item.Text("text", w.Text).Close();
      }
      o.Raw("warnings", list + "]");
    }
    Line(o.Close());
  }

  void JsonSummary(int status) {
    JsonObject o;
    o.Text("type", "summary");
    o.Number("converted", trial_ ? 0 : tally_.Converted);
    o.Number("would_change", trial_ ? tally_.Converted : 0);
    o.Number("unchanged", info_ ? 0 : tally_.Unchanged);
    if (info_) o.Number("inspected", read_);
    o.Number("binary", binary_);
    o.Number("left_alone", tally_.LeftAlone - binary_);
    o.Number("refused", tally_.Refused);
    o.Number("failed", tally_.Failed);
    o.Number("warnings", warned_);
    if (info_) {
      o.Number("crlf", crlf_).Number("lf", lf_).Number("cr", cr_);
      o.Number("mixed", mixed_).Number("bom", marked_).Number("no_final_newline", unended_);
      o.Number("trailing_blanks", blanks_);
    }
    o.Number("status", static_cast<std::uint64_t>(status));
    Line(o.Close());
  }

  void Line(std::string line) {
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  }

  // A listing that could not be written is a failure of its own.
  void Flush() {
    if ((std::fflush(stdout) != 0 || std::ferror(stdout) != 0) && output_error_ == 0) {
      output_error_ = errno != 0 ? errno : EIO;
    }
  }

  void ClearBar() {
    if (!shown_) return;
    std::fputs("\r\033[K", stderr);
    shown_ = false;
  }

  // Each of a trial's warnings, as PATH:LINE: text, or PATH: text for the
  // file as a whole.
  static void Warn(const std::string& name, const std::vector<TrialWarning>& warnings) {
    for (const TrialWarning& w : warnings) {
      const std::string line =
          w.Line != 0 ? name + ":" + std::to_string(w.Line) + ": " : name + ": ";
      std::fprintf(stderr, "%s%s\n", line.c_str(), EscapedText(w.Text).c_str());
    }
  }

  const std::string root_;
  const bool trial_;
  const bool diff_;
  const bool check_perl_;
  const bool json_;
  const bool info_;
  const bool keep_indentation_;
  const Verbosity talk_;
  const bool bar_;
  const Clock::time_point start_;
  Clock::time_point last_bar_;
  std::mutex out_;
  bool shown_ = false;
  Tally tally_;
  std::size_t binary_ = 0, warned_ = 0;
  // What inspections found: text files read, their line ends, and how many
  // had ends of several kinds, a mark, a last line without an end, lines
  // ending in blanks.
  std::size_t read_ = 0, mixed_ = 0, marked_ = 0, unended_ = 0, blanks_files_ = 0;
  std::uint64_t crlf_ = 0, lf_ = 0, cr_ = 0, blanks_ = 0;
  int output_error_ = 0;
};

// Tells each line of a trial to every listener it has.
class Listeners : public TrialListener {
 public:
  void Add(TrialListener* listener) { list_.push_back(listener); }
  // What the trial is to tell: null without any listener.
  TrialListener* Get() {
    if (list_.empty()) return nullptr;
    return list_.size() == 1 ? list_[0] : this;
  }
  void Opened(const struct stat& status) override {
    for (TrialListener* l : list_) l->Opened(status);
  }
  void Line(const TrialLine& line) override {
    for (TrialListener* l : list_) l->Line(line);
  }

 private:
  std::vector<TrialListener*> list_;
};

// What a trial of one file shows: its diff's hunks, and its warnings.
class Trier {
 public:
  explicit Trier(const RunSettings& run) : run_(run) {}

  TrialOutcome operator()(const Visit& visit, VisitResult& result) const {
    std::optional<FileDiff> diff;
    std::optional<PerlCheck> perl;
    std::optional<DeployCheck> deploy;
    Listeners listeners;
    if (run_.Diff) listeners.Add(&diff.emplace());
    if (run_.CheckPerl) {
      if (IsPerlFileName(visit.Path.Name())) listeners.Add(&perl.emplace());
      // Whether it would change or not, a script may not run once deployed.
      listeners.Add(&deploy.emplace(visit.Entry.Folder(), visit.Path.Name()));
    }
    TrialOutcome t;
    try {
      t = TryConvertFile(visit.Entry, visit.How, listeners.Get());
    } catch (...) {
      // A file refused, once read, is still told what would stop it.
      if (deploy) Warnings(perl, *deploy, result);
      throw;
    }
    if (t.Outcome == ConvertOutcome::kConverted && diff) result.Shown = diff->Finish();
    if (deploy &&
        (t.Outcome == ConvertOutcome::kConverted || t.Outcome == ConvertOutcome::kUnchanged)) {
      Warnings(perl, *deploy, result);
    }
    return t;
  }

 private:
  // The script's first line, then Perl's lines, then the file as a whole.
  static void Warnings(const std::optional<PerlCheck>& perl, const DeployCheck& deploy,
                       VisitResult& result) {
    std::vector<TrialWarning> deployment = deploy.Finish();
    for (TrialWarning& w : deployment) {
      if (w.Line != 0) result.Warnings.push_back(std::move(w));
    }
    if (perl) {
      for (const PerlCheck::Warning& w : perl->Warnings()) {
        result.Warnings.push_back({w.Number, w.Text});
      }
    }
    for (TrialWarning& w : deployment) {
      if (w.Line == 0) result.Warnings.push_back(std::move(w));
    }
  }

  const RunSettings& run_;
};

}  // namespace

int RunConversion(const RunSettings& run) {
  InstallSignalHandlers();
  // A trial changes nothing, not even files a killed run left half rewritten;
  // nor does an inspection.
  const bool writes = !run.Trial && !run.Info;
  bool state_unread = false;
  if (writes) {
    std::vector<InterruptedRewrite> interrupted;
    Untrusted untrusted;
    if (int err = RestoreInterruptedRewrites(&interrupted, SystemFileWriter(), &untrusted)) {
      if (!untrusted.Path.empty()) {
        std::fprintf(stderr, "terminelle-cli: %s\n",
                     EscapedText(UntrustedStateText(untrusted)).c_str());
        return 1;
      }
      state_unread = true;
      std::fprintf(stderr, "terminelle-cli: %s\n", StateFolderUnreadText(err).c_str());
    }
    if (!interrupted.empty()) {
      std::fprintf(stderr, "%s\n", InterruptedRewritesText(interrupted).c_str());
    }
  }
  struct stat st {};
  const int missing = ::stat(run.Folder.c_str(), &st) != 0 ? errno
                      : !S_ISDIR(st.st_mode)               ? ENOTDIR
                                                           : 0;
  if (missing != 0) {
    std::fprintf(stderr, "terminelle-cli: dossier introuvable : %s (%s)\n",
                 QuotedName(run.Folder).c_str(), SystemErrorText(missing).c_str());
    return 1;
  }
  // Asked once before any thread writes files.
  NewFileMode();

  Report report(run);
  Conversion how;
  how.Kind = run.Format;
  how.Rule1 = run.Rule1;
  how.Rule2 = run.Rule2;
  how.Cp = &CodePage::System();
  how.Options.KeepUnchanged = true;
  how.Options.KeepIndentation = run.KeepIndentation;
  how.Options.EndingsOnly = run.EndingsOnly;
  how.Options.RemoveByteOrderMark = run.RemoveByteOrderMark;
  how.Options.KeepDates = run.KeepDates;
  ScheduleOptions options;
  options.Jobs = run.Jobs;
  options.Trial = !writes;
  if (run.Info) {
    options.Try = [](const Visit& visit, VisitResult& result) {
      return TrialOutcome{InspectFile(visit.Entry, &result.Info), 0};
    };
  } else if (run.Trial) {
    options.Try = Trier(run);
  }
  Schedule schedule(options, [&](std::vector<VisitResult>& told) { report.Tell(told); });
  if (schedule.Workers() < std::max(1u, run.Jobs)) {
    std::fprintf(stderr,
                 "terminelle-cli: %u tâches sur %u ont pu démarrer ; la conversion continue "
                 "avec elles, rien n'est perdu.\n",
                 schedule.Workers(), std::max(1u, run.Jobs));
  }
  auto tick = [&] {
    if (!report.BarDue()) return;
    std::size_t done = 0, found = 0;
    std::string current;
    schedule.Progress(&done, &found, &current);
    report.Bar(done, found, current);
  };
  TScruteDossier scanner;
  scanner.SetDossier(run.Folder);
  scanner.SetFiltre(run.Filter);
  scanner.SetMaxPenetration(run.Subfolders ? kDepthLimit : 0);
  // A trial writes nothing, not even the removal of work files left behind.
  scanner.SweepWorkFiles = writes;
  scanner.ReportRepeats = false;
  scanner.Exclude = run.Exclude;
  scanner.EnterRepositories = run.EnterRepositories;
  scanner.Pump = [&] {
    if (StopAsked()) {
      scanner.Arret = true;
      schedule.Stop();
    }
    tick();
  };
  // The walk's own names, rather than the paths its events put together,
  // travel with each visit.
  scanner.OnFichier = [&](TObject*, std::string) {
    Visit visit;
    visit.Key = FileKey{scanner.Device, scanner.Inode,
                        scanner.Inode == 0 ? scanner.Entry.Identity() : std::string()};
    visit.Path = scanner.Entry.Chain();
    visit.Entry = scanner.Entry;
    visit.How = how;
    if (!schedule.Add(std::move(visit), tick)) scanner.Arret = true;
    tick();
  };
  scanner.OnEchec = [&](TObject*, std::string, std::string message) {
    schedule.AddFailure(scanner.FailedFolder, std::move(message));
  };
  try {
    scanner.Execute();
  } catch (...) {
    // The files in hand still end old or new.
    schedule.Stop();
    throw;
  }
  schedule.Close();
  while (!schedule.WaitDone(kBarPeriod)) {
    if (StopAsked()) schedule.Stop();
    tick();
  }

  const int signal = stop_signal.load();
  const int status = signal != 0 ? 128 + signal
                     : report.AnyFailed() || state_unread || (run.Check && report.AnyWouldChange())
                         ? 1
                         : 0;
  return report.Summary(signal, status);
}
