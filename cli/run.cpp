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
#include "convert/interrupted.h"
#include "platform/codepage.h"
#include "platform/dirlist.h"
#include "platform/fileio.h"
#include "platform/oserror.h"
#include "platform/rewrite.h"
#include "scan/scrutedossier.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Visits handed out but not yet reported: the report keeps the walk's order,
// so a file that takes long holds back at most this many behind it. Each
// holds its folder open, so the open-folder budget bounds them too.
std::size_t MostInHand() {
  static const std::size_t most = std::min<std::size_t>(256, OpenListingBudget());
  return most;
}
// Runs shorter than this show no progress bar.
constexpr milliseconds kQuietStart{1000};
// How often the bar is redrawn; waits wake as often to redraw it.
constexpr milliseconds kBarPeriod{100};

// The signal that asked the run to stop; 0 while none did.
std::atomic<int> stop_signal{0};

void OnStopSignal(int sig) {
  stop_signal.store(sig, std::memory_order_relaxed);
}

bool StopAsked() {
  return stop_signal.load(std::memory_order_relaxed) != 0;
}

void InstallSignalHandlers() {
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  // Interrupted calls resume, so the files in hand finish. A second signal
  // ends the program at once; every file still holds its old or new content.
  sa.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A reader of the listing that goes away does not stop the conversion.
  signal(SIGPIPE, SIG_IGN);
}

// One file, whatever name it is reached by: its device and inode, or its
// path for a symbolic link or when the walk could not read its status.
struct FileKey {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::string path;
  bool operator==(const FileKey& o) const {
    return device == o.device && inode == o.inode && path == o.path;
  }
};

struct FileKeyHash {
  std::size_t operator()(const FileKey& k) const {
    if (k.inode == 0) return std::hash<std::string>()(k.path);
    return std::hash<std::uint64_t>()(k.inode * 0x9E3779B97F4A7C15ULL ^ k.device);
  }
};

// What became of one visit of a file.
struct Done {
  std::string path;
  ConvertOutcome outcome = ConvertOutcome::kLeftAlone;
  std::uint64_t lines = 0;
  bool failed = false;
  // Never started: the run was stopped first.
  bool dropped = false;
  std::string message;
  // A trial's diff, and its Perl warnings, held until the file's turn.
  std::string diff;
  std::string warnings;
};

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

// Everything the run writes on stdout and stderr, one writer at a time.
class Report {
 public:
  explicit Report(const RunSettings& run)
      : trial_(run.Trial),
        diff_(run.Diff),
        check_perl_(run.CheckPerl),
        keep_indentation_(run.KeepIndentation),
        talk_(run.Talk),
        bar_(run.Talk != Verbosity::kQuiet && ::isatty(STDERR_FILENO) == 1),
        start_(Clock::now()),
        last_bar_(start_) {}

  // Files finished, in the walk's order.
  void Tell(std::vector<Done>& batch) {
    std::lock_guard<std::mutex> guard(out_);
    for (Done& d : batch) {
      if (d.dropped) continue;
      if (d.failed) {
        ++failed_;
        ClearBar();
        std::fprintf(stderr, "terminelle-cli: %s : %s\n", d.path.c_str(), d.message.c_str());
        continue;
      }
      const char* what = nullptr;
      switch (d.outcome) {
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
      if (trial_ && d.outcome == ConvertOutcome::kConverted) {
        ClearBar();
        if (diff_) {
          std::fwrite(d.diff.data(), 1, d.diff.size(), stdout);
        } else {
          std::fprintf(stdout, "à changer (%s) : %s\n", Count(d.lines, "ligne", "lignes").c_str(),
                       d.path.c_str());
        }
        if (!d.warnings.empty()) {
          ++warned_;
          std::fputs(d.warnings.c_str(), stderr);
        }
      } else if (talk_ == Verbosity::kVerbose) {
        ClearBar();
        std::fprintf(stdout, "%s : %s\n", what, d.path.c_str());
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
    line += Tail(current, width > used + 1 ? width - used - 1 : 0);
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

// Hands the files the walk finds to the workers. Visits of one file form a
// strand: the worker that ends one visit takes the next, so a file is never
// converted by two threads at once and its visits keep the walk's order.
// Different files are independent, so the bytes written are those of a
// sequential run.
class Schedule {
 public:
  // while_waiting runs on the walk's thread while it waits for room.
  Schedule(const RunSettings& run, Report& report, std::function<void()> while_waiting)
      : run_(run), report_(report), while_waiting_(std::move(while_waiting)) {
    conversion_.Kind = run.Format;
    conversion_.Rule1 = run.Rule1;
    conversion_.Rule2 = run.Rule2;
    conversion_.Cp = &CodePage::System();
    conversion_.Options.KeepUnchanged = true;
    conversion_.Options.KeepIndentation = run.KeepIndentation;
    // The walk names files after the folder, less one final separator.
    root_ = run.Folder;
    if (!root_.empty() && root_.back() == '/') root_.pop_back();
  }

  // A file the walk reported, in the walk's order, reached through the
  // walk's own open folder. Waits while too many visits are in hand; false
  // once the run is stopping.
  bool Add(std::string path, FolderEntry entry, FileKey key) {
    std::unique_lock<std::mutex> lock(m_);
    // A trial reads every file once: a second visit would find what the
    // first one would have written, and changes nothing that the first did not.
    if (run_.Trial && !seen_.insert(key).second) return !stopping_;
    if (!WaitForRoom(lock)) return false;
    Task task{std::move(path), std::move(entry), std::move(key),
              first_unreported_ + results_.size()};
    results_.emplace_back();
    ++found_;
    auto [it, fresh] = busy_.try_emplace(task.key);
    if (!fresh) {
      it->second.push_back(std::move(task));
      return true;
    }
    ready_.push_back(std::move(task));
    if (idle_ > 0) work_.notify_one();
    return true;
  }

  // A failure of the walk itself, told in its place among the files.
  void AddFailure(std::string path, std::string message) {
    std::unique_lock<std::mutex> lock(m_);
    Done d;
    d.path = std::move(path);
    d.failed = true;
    d.message = std::move(message);
    results_.emplace_back(std::move(d));
    ReportLocked(lock);
  }

  // The walk is over.
  void Close() {
    std::lock_guard<std::mutex> lock(m_);
    closed_ = true;
    work_.notify_all();
  }

  // Hands out no more files; those in hand finish.
  void Stop() {
    std::lock_guard<std::mutex> lock(m_);
    StopLocked();
  }

  // Waits up to period for every visit to be reported; true once they are.
  bool WaitAll(milliseconds period) {
    std::unique_lock<std::mutex> lock(m_);
    ReportLocked(lock);
    ++main_waiting_;
    room_.wait_for(lock, period, [&] { return AllReported(); });
    --main_waiting_;
    return AllReported();
  }

  // Files done and found so far, and the one a worker took last.
  void Progress(std::size_t* done, std::size_t* found, std::string* current) {
    std::lock_guard<std::mutex> lock(m_);
    *done = done_;
    *found = found_;
    *current = current_;
  }

  // A worker's loop, until the walk is over and nothing is left, or the run stops.
  void Work() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
      if (StopAsked()) StopLocked();
      if (stopping_ || (ready_.empty() && closed_)) return;
      if (ready_.empty()) {
        ++idle_;
        work_.wait(lock);
        --idle_;
        continue;
      }
      Task task = std::move(ready_.front());
      ready_.pop_front();
      for (;;) {
        current_ = task.path;
        lock.unlock();
        Done done = Perform(task);
        lock.lock();
        ++done_;
        results_[task.index - first_unreported_] = std::move(done);
        ReportLocked(lock);
        if (StopAsked()) StopLocked();
        auto it = busy_.find(task.key);
        if (stopping_ || it->second.empty()) {
          for (const Task& waiting : it->second) DropLocked(waiting);
          busy_.erase(it);
          break;
        }
        task = std::move(it->second.front());
        it->second.pop_front();
      }
      ReportLocked(lock);
    }
  }

 private:
  // Waits while too many visits are in hand; false once the run is stopping.
  bool WaitForRoom(std::unique_lock<std::mutex>& lock) {
    while (!stopping_ && results_.size() >= MostInHand()) {
      ++main_waiting_;
      room_.wait_for(lock, kBarPeriod);
      --main_waiting_;
      if (StopAsked()) StopLocked();
      lock.unlock();
      while_waiting_();
      lock.lock();
    }
    return !stopping_;
  }

  struct Task {
    std::string path;
    FolderEntry entry;
    FileKey key;
    // The visit's place in the walk.
    std::size_t index;
  };

  Done Perform(const Task& task) const {
    Done d;
    d.path = task.path;
    try {
      if (run_.Trial) {
        std::optional<FileDiff> diff;
        std::optional<PerlCheck> perl;
        Listeners listeners;
        if (run_.Diff) listeners.Add(&diff.emplace(UnderFolder(task.path)));
        if (run_.CheckPerl && IsPerlFileName(task.path)) listeners.Add(&perl.emplace());
        TrialOutcome t = TryConvertFile(task.entry, conversion_, listeners.Get());
        d.outcome = t.Outcome;
        d.lines = t.ChangedLines;
        if (d.outcome == ConvertOutcome::kConverted) {
          if (diff) d.diff = diff->Finish();
          if (perl) {
            const std::string name = QuotedName(task.path);
            for (const PerlCheck::Warning& w : perl->Warnings()) {
              d.warnings += name + ":" + std::to_string(w.line) + ": " + w.text + "\n";
            }
          }
        }
      } else {
        d.outcome = ConvertFile(task.entry, conversion_);
      }
    } catch (const Exception& e) {
      d.failed = true;
      d.message = e.Message();
    } catch (const std::bad_alloc&) {
      d.failed = true;
      d.message = EOutOfMemory().Message();
    } catch (const std::exception& e) {
      d.failed = true;
      d.message = e.what();
    }
    return d;
  }

  // A file's path under the chosen folder, as the diff names it.
  std::string UnderFolder(const std::string& path) const {
    if (path.size() > root_.size() && path.compare(0, root_.size(), root_) == 0 &&
        path[root_.size()] == '/') {
      return path.substr(root_.size() + 1);
    }
    return path;
  }

  void DropLocked(const Task& task) {
    Done d;
    d.dropped = true;
    results_[task.index - first_unreported_] = std::move(d);
  }

  void StopLocked() {
    if (stopping_) return;
    stopping_ = true;
    // A visit waiting in a strand whose file is in hand is dropped by the
    // worker holding it; the others go now.
    for (const Task& task : ready_) {
      auto it = busy_.find(task.key);
      DropLocked(task);
      for (const Task& waiting : it->second) DropLocked(waiting);
      busy_.erase(it);
    }
    ready_.clear();
    work_.notify_all();
    room_.notify_all();
  }

  // Reports the visits that are done, in the walk's order; one thread at a
  // time reports, the lock released while it writes.
  void ReportLocked(std::unique_lock<std::mutex>& lock) {
    if (reporting_) return;
    reporting_ = true;
    for (;;) {
      std::vector<Done> batch;
      while (!results_.empty() && results_.front().has_value()) {
        batch.push_back(std::move(*results_.front()));
        results_.pop_front();
        ++first_unreported_;
      }
      if (batch.empty()) break;
      WakeMainLocked();
      lock.unlock();
      report_.Tell(batch);
      lock.lock();
    }
    reporting_ = false;
    WakeMainLocked();
  }

  // The walk, once it waits for room, sleeps until half the visits in hand
  // are reported, rather than waking for each.
  void WakeMainLocked() {
    if (main_waiting_ > 0 && results_.size() <= MostInHand() / 2) room_.notify_all();
  }

  bool AllReported() const { return closed_ && results_.empty() && !reporting_; }

  const RunSettings& run_;
  Report& report_;
  Conversion conversion_;
  std::string root_;
  const std::function<void()> while_waiting_;
  std::mutex m_;
  // Workers wait here for files; the walk and the end of the run, for room.
  std::condition_variable work_, room_;
  std::deque<Task> ready_;
  // Files with a visit ready or in hand, and the visits waiting behind it.
  std::unordered_map<FileKey, std::deque<Task>, FileKeyHash> busy_;
  // For a trial, every file met.
  std::unordered_set<FileKey, FileKeyHash> seen_;
  // Outcomes from the first visit not yet reported on; empty until done.
  std::deque<std::optional<Done>> results_;
  std::size_t first_unreported_ = 0;
  std::size_t found_ = 0, done_ = 0;
  std::string current_;
  int idle_ = 0, main_waiting_ = 0;
  bool closed_ = false, stopping_ = false, reporting_ = false;
};

}  // namespace

int RunConversion(const RunSettings& run) {
  InstallSignalHandlers();
  // A trial changes nothing, not even files a killed run left half rewritten.
  if (!run.Trial) {
    std::vector<InterruptedRewrite> interrupted = RestoreInterruptedRewrites();
    if (!interrupted.empty()) {
      std::fprintf(stderr, "%s\n", InterruptedRewritesText(interrupted).c_str());
    }
  }
  struct stat st {};
  if (::stat(run.Folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "terminelle-cli: dossier introuvable : %s\n", run.Folder.c_str());
    return 1;
  }
  // Asked once before any thread writes files.
  NewFileMode();

  Report report(run);
  Schedule* progress = nullptr;
  auto tick = [&] {
    if (!report.BarDue()) return;
    std::size_t done = 0, found = 0;
    std::string current;
    progress->Progress(&done, &found, &current);
    report.Bar(done, found, current);
  };
  Schedule schedule(run, report, tick);
  progress = &schedule;
  std::vector<std::thread> workers;
  TScruteDossier scanner;
  scanner.SetDossier(run.Folder);
  scanner.SetFiltre(run.Filter);
  scanner.SetMaxPenetration(run.Subfolders ? 10000 : 0);
  // A trial writes nothing, not even the removal of work files left behind.
  scanner.SweepWorkFiles = !run.Trial;
  scanner.Pump = [&] {
    if (StopAsked()) {
      scanner.Arret = true;
      schedule.Stop();
    }
    tick();
  };
  scanner.OnFichier = [&](TObject*, std::string nom) {
    FileKey key{scanner.Device, scanner.Inode, scanner.Inode == 0 ? nom : std::string()};
    if (!schedule.Add(std::move(nom), scanner.Entry, std::move(key))) scanner.Arret = true;
    tick();
  };
  scanner.OnEchec = [&](TObject*, std::string nom, std::string message) {
    schedule.AddFailure(std::move(nom), std::move(message));
  };
  try {
    for (unsigned i = 0; i < run.Jobs; ++i) workers.emplace_back([&] { schedule.Work(); });
    scanner.Execute();
  } catch (...) {
    // The files in hand still end old or new.
    schedule.Stop();
    schedule.Close();
    for (std::thread& t : workers) t.join();
    throw;
  }
  schedule.Close();
  while (!schedule.WaitAll(kBarPeriod)) {
    if (StopAsked()) schedule.Stop();
    tick();
  }
  for (std::thread& t : workers) t.join();

  const int signal = stop_signal.load();
  report.Summary(signal);
  if (signal != 0) return 128 + signal;
  return report.AnyFailed() ? 1 : 0;
}
