#include "cli/run.h"

#include <signal.h>
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
#include "cli/perlcheck.h"
#include "cli/progress.h"
#include "cli/report_json.h"
#include "cli/report_text.h"
#include "cli/summary.h"
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
#include "run/folderrun.h"
#include "scan/scrutedossier.h"

namespace {

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

// Everything the run writes on stdout and stderr, one writer at a time. The
// names of files are put together as each file's turn comes: the results
// that wait for theirs hold no long path. With --json, stdout holds only
// JSON; stderr tells humans what it tells without it.
class Report {
 public:
  explicit Report(const RunSettings& run)
      : run_(run), bar_(run.Talk == Verbosity::kQuiet), text_(run, bar_), json_(run) {}

  // Files finished, in the walk's order.
  void Tell(std::vector<VisitResult>& batch) {
    std::lock_guard<std::mutex> guard(out_);
    for (VisitResult& d : batch) {
      if (d.Dropped) continue;
      counts_.Add(d, run_.Info);
      if (run_.Json) {
        Line(json_.File(d));
      } else if (!d.Failed) {
        text_.List(d);
      }
      text_.Complain(d);
    }
    Flush();
  }

  // Whether the progress bar is due for drawing; cheap enough for every entry.
  bool BarDue() const { return bar_.Due(); }

  // Draws the progress bar: files done of files found, and the file in hand.
  void Bar(std::size_t done, std::size_t found, const std::string& current) {
    std::lock_guard<std::mutex> guard(out_);
    bar_.Draw(done, found, current);
  }

  // The last lines: why the run stopped, if it did, and what it did; with
  // --json, the summary object, which holds status, the exit status. The
  // status to exit with: 1 rather than 0 when the summary could not be
  // written either.
  int Summary(int signal, int status) {
    std::lock_guard<std::mutex> guard(out_);
    bar_.Clear();
    if (run_.Json) {
      Line(json_.Summary(counts_, status));
      Flush();
    }
    if (output_error_ != 0) {
      std::fprintf(stderr, "terminelle-cli: la sortie standard n'a pas pu être écrite : %s\n",
                   SystemErrorText(output_error_).c_str());
      if (status == 0) status = 1;
    }
    if (run_.Talk != Verbosity::kQuiet) WriteSummary(counts_, run_, signal);
    return status;
  }

  // Whether some file failed, or a trial warned.
  bool AnyFailed() const {
    return counts_.Files.Failed + counts_.Files.Refused > 0 || counts_.Warned > 0 ||
           output_error_ != 0;
  }
  // Whether a trial found a file that would change.
  bool AnyWouldChange() const { return run_.Trial && counts_.Files.Converted > 0; }

 private:
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

  const RunSettings& run_;
  std::mutex out_;
  ProgressBar bar_;
  TextReport text_;
  JsonReport json_;
  RunCounts counts_;
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

// What the folder run does for terminelle-cli: each file converted as the
// command line says, told in its report; a signal stops the run, and the
// progress bar is drawn as the walk goes and while its last files finish.
class CliTeller : public RunTeller {
 public:
  CliTeller(Report& report, const Conversion& how) : report_(report), how_(how) {}
  void Attach(FolderRun& run) { run_ = &run; }

  bool Choose(Visit& visit) override {
    visit.How = how_;
    return true;
  }
  void Told(std::vector<VisitResult>& results) override { report_.Tell(results); }
  void Pump() override {
    if (StopAsked()) run_->Stop();
    if (!report_.BarDue()) return;
    std::size_t done = 0, found = 0;
    std::string current;
    run_->Progress(&done, &found, &current);
    report_.Bar(done, found, current);
  }

 private:
  Report& report_;
  const Conversion& how_;
  FolderRun* run_ = nullptr;
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
  FolderRunOptions options;
  options.Jobs = run.Jobs;
  options.Trial = !writes;
  if (run.Info) {
    options.Try = [](const Visit& visit, VisitResult& result) {
      return TrialOutcome{InspectFile(visit.Entry, &result.Info), 0};
    };
  } else if (run.Trial) {
    options.Try = Trier(run);
  }
  options.WalkFailuresInOrder = true;
  options.Exclude = run.Exclude;
  options.EnterRepositories = run.EnterRepositories;
  options.WaitPeriod = kBarPeriod;
  CliTeller teller(report, how);
  FolderRun folder_run(options, teller);
  teller.Attach(folder_run);
  if (folder_run.Workers() < std::max(1u, run.Jobs)) {
    std::fprintf(stderr,
                 "terminelle-cli: %u tâches sur %u ont pu démarrer ; la conversion continue "
                 "avec elles, rien n'est perdu.\n",
                 folder_run.Workers(), std::max(1u, run.Jobs));
  }
  TScruteDossier scanner;
  scanner.SetDossier(run.Folder);
  scanner.SetFiltre(run.Filter);
  scanner.SetMaxPenetration(run.Subfolders ? kDepthLimit : 0);
  folder_run.Walk(scanner);

  const int signal = stop_signal.load();
  const int status = signal != 0 ? 128 + signal
                     : report.AnyFailed() || state_unread || (run.Check && report.AnyWouldChange())
                         ? 1
                         : 0;
  return report.Summary(signal, status);
}
