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
#include "cli/diff.h"
#include "cli/perlcheck.h"
#include "cli/quote.h"
#include "convert/interrupted.h"
#include "convert/schedule.h"
#include "platform/codepage.h"
#include "platform/dirlist.h"
#include "platform/oserror.h"
#include "platform/process.h"
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

// Everything the run writes on stdout and stderr, one writer at a time. The
// names of files are put together here, as each file's turn comes: the
// results that wait for theirs hold no long path.
class Report {
 public:
  explicit Report(const RunSettings& run)
      : root_(run.Folder),
        trial_(run.Trial),
        diff_(run.Diff),
        check_perl_(run.CheckPerl),
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
      if (d.Failed) {
        ++failed_;
        ClearBar();
        // The words of the window's error box, the path already before them.
        std::string told = d.Message;
        const std::string reason = DetailOf(d.Error).Reason;
        if (!reason.empty()) told += " (" + reason + ")";
        std::fprintf(stderr, "terminelle-cli: %s : %s\n", QuotedName(d.Path.Text()).c_str(),
                     EscapedText(told).c_str());
        continue;
      }
      const char* what = nullptr;
      switch (d.Outcome) {
        case ConvertOutcome::kConverted:
          ++converted_;
          what = "converti";
          break;
        case ConvertOutcome::kUnchanged:
          ++unchanged_;
          what = "inchangé";
          break;
        case ConvertOutcome::kBinary:
          ++left_;
          what = "binaire, laissé tel quel";
          break;
        case ConvertOutcome::kLeftAlone:
          ++left_;
          what = "laissé tel quel";
          break;
      }
      if (trial_ && d.Outcome == ConvertOutcome::kConverted) {
        ClearBar();
        const std::string path = d.Path.Text();
        if (diff_) {
          if (!d.Shown.empty()) std::fputs(DiffHeader(UnderFolder(path, root_)).c_str(), stdout);
          std::fwrite(d.Shown.data(), 1, d.Shown.size(), stdout);
        } else {
          std::fprintf(stdout, "à changer (%s) : %s\n",
                       Count(d.ChangedLines, "ligne", "lignes").c_str(), QuotedName(path).c_str());
        }
        if (!d.Warnings.empty()) {
          ++warned_;
          Warn(QuotedName(path), d.Warnings);
        }
      } else if (talk_ == Verbosity::kVerbose) {
        ClearBar();
        std::fprintf(stdout, "%s : %s\n", what, QuotedName(d.Path.Text()).c_str());
      }
    }
    // A listing that could not be written is a failure of its own.
    if ((std::fflush(stdout) != 0 || std::ferror(stdout) != 0) && output_error_ == 0) {
      output_error_ = errno != 0 ? errno : EIO;
    }
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

  // The last lines: why the run stopped, if it did, and what it did.
  void Summary(int signal) {
    std::lock_guard<std::mutex> guard(out_);
    ClearBar();
    if (output_error_ != 0) {
      std::fprintf(stderr, "terminelle-cli: la sortie standard n'a pas pu être écrite : %s\n",
                   SystemErrorText(output_error_).c_str());
    }
    if (talk_ == Verbosity::kQuiet) return;
    if (signal != 0) {
      std::fprintf(stderr,
                   "terminelle-cli: arrêté par %s ; les fichiers en cours ont été menés à bout, "
                   "les suivants n'ont pas été traités.\n",
                   signal == SIGINT ? "SIGINT" : "SIGTERM");
    }
    const std::string rest = Count(unchanged_, "inchangé", "inchangés") + ", " +
                             Count(left_, "laissé tel quel", "laissés tels quels") +
                             " (binaires, liens, dates), " + std::to_string(failed_) + " en échec";
    if (trial_) {
      std::fprintf(
          stderr, "Essai, rien n'a été écrit : %zu à changer, %s%s.\n", converted_, rest.c_str(),
          check_perl_ ? (", " + std::to_string(warned_) + " avec des avertissements Perl").c_str()
                      : "");
      if (warned_ > 0 && !keep_indentation_) {
        std::fputs(
            "terminelle-cli: --garder-retraits (-k) garde les retraits ; vérifiez ensuite "
            "les scripts avec perl -c.\n",
            stderr);
      }
    } else {
      std::fprintf(stderr, "Fichiers : %s, %s.\n",
                   Count(converted_, "converti", "convertis").c_str(), rest.c_str());
    }
  }

  // Whether some file failed, or a trial warned.
  bool AnyFailed() const { return failed_ > 0 || warned_ > 0 || output_error_ != 0; }

 private:
  void ClearBar() {
    if (!shown_) return;
    std::fputs("\r\033[K", stderr);
    shown_ = false;
  }

  // Each line of a trial's warnings, after the file's name.
  static void Warn(const std::string& name, const std::string& warnings) {
    for (std::size_t at = 0; at < warnings.size();) {
      const std::size_t end = std::min(warnings.find('\n', at), warnings.size() - 1) + 1;
      std::fputs(name.c_str(), stderr);
      std::fwrite(warnings.data() + at, 1, end - at, stderr);
      at = end;
    }
  }

  const std::string root_;
  const bool trial_;
  const bool diff_;
  const bool check_perl_;
  const bool keep_indentation_;
  const Verbosity talk_;
  const bool bar_;
  const Clock::time_point start_;
  Clock::time_point last_bar_;
  std::mutex out_;
  bool shown_ = false;
  std::size_t converted_ = 0, unchanged_ = 0, left_ = 0, failed_ = 0, warned_ = 0;
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
  void Line(const TrialLine& line) override {
    for (TrialListener* l : list_) l->Line(line);
  }

 private:
  std::vector<TrialListener*> list_;
};

// What a trial of one file shows: its diff's hunks, and its Perl warnings
// each as ":LINE: text", which the report writes after the file's name.
class Trier {
 public:
  explicit Trier(const RunSettings& run) : run_(run) {}

  TrialOutcome operator()(const Visit& visit, VisitResult& result) const {
    std::optional<FileDiff> diff;
    std::optional<PerlCheck> perl;
    Listeners listeners;
    if (run_.Diff) listeners.Add(&diff.emplace());
    if (run_.CheckPerl && IsPerlFileName(visit.Path.Name())) listeners.Add(&perl.emplace());
    const TrialOutcome t = TryConvertFile(visit.Entry, visit.How, listeners.Get());
    if (t.Outcome == ConvertOutcome::kConverted) {
      if (diff) result.Shown = diff->Finish();
      if (perl) {
        for (const PerlCheck::Warning& w : perl->Warnings()) {
          result.Warnings += ":" + std::to_string(w.Number) + ": " + EscapedText(w.Text) + "\n";
        }
      }
    }
    return t;
  }

 private:
  const RunSettings& run_;
};

}  // namespace

int RunConversion(const RunSettings& run) {
  InstallSignalHandlers();
  // A trial changes nothing, not even files a killed run left half rewritten.
  bool state_unread = false;
  if (!run.Trial) {
    std::vector<InterruptedRewrite> interrupted;
    if (int err = RestoreInterruptedRewrites(&interrupted)) {
      state_unread = true;
      std::fprintf(stderr, "terminelle-cli: %s\n", StateFolderUnreadText(err).c_str());
    }
    if (!interrupted.empty()) {
      std::fprintf(stderr, "%s\n", InterruptedRewritesText(interrupted, QuotedName).c_str());
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
  options.Trial = run.Trial;
  if (run.Trial) options.Try = Trier(run);
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
  scanner.SweepWorkFiles = !run.Trial;
  scanner.ReportRepeats = false;
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
  report.Summary(signal);
  if (signal != 0) return 128 + signal;
  return report.AnyFailed() || state_unread ? 1 : 0;
}
