#include "run/folderrun.h"

#include <exception>
#include <utility>

#include "base/errors.h"
#include "platform/process.h"
#include "platform/quote.h"

namespace {

// The permissions of new files are read from the umask once, before any
// thread writes one.
const ScheduleOptions& ModeKnown(const ScheduleOptions& options) {
  NewFileMode();
  return options;
}

}  // namespace

FolderRun::FolderRun(const FolderRunOptions& options, RunTeller& teller)
    : options_(options),
      teller_(teller),
      schedule_(ModeKnown(options), [this](std::vector<VisitResult>& told) { Tell(told); }) {}

RunAccount FolderRun::Walk(TScruteDossier& scanner) {
  scanner.OnFichier = [this](TObject* sender, std::string nom) { Met(sender, nom); };
  scanner.OnEchec = [this](TObject* sender, std::string nom, std::string message) {
    WalkFailed(sender, nom, std::move(message));
  };
  scanner.OnFinExecute = [this](TObject*) { walked_ = Finish(); };
  walked_ = RunAccount();
  try {
    Execute(scanner);
  } catch (...) {
    // The files in hand still end with their old content or their new one;
    // a run nested in another ends alone.
    if (!Running()) schedule_.Stop();
    throw;
  }
  return std::move(walked_);
}

void FolderRun::Execute(TScruteDossier& scanner) {
  // Each file is converted once, under the first pattern it matches; a
  // trial writes nothing, not even the removal of work files left behind.
  scanner.ReportRepeats = false;
  scanner.SweepWorkFiles = !options_.Trial;
  scanner.Exclude = options_.Exclude;
  scanner.EnterRepositories = options_.EnterRepositories;
  scanner.Pump = [this] { teller_.Pump(); };
  // The folder as the scanner names it in its failures.
  std::string folder = scanner.Dossier();
  if (!folder.empty() && folder.back() == '/') folder.pop_back();
  const unsigned id = ++last_id_;
  const unsigned scope = !options_.Nested ? 0 : runs_.empty() ? id : runs_.front().scope;
  runs_.push_back(Run{&scanner, std::move(folder), {}, id, scope});
  struct End {
    FolderRun& run;
    ~End() { run.EndInnermost(); }
  } end{*this};
  scanner.Execute();
}

void FolderRun::EndInnermost() {
  const unsigned id = runs_.back().id;
  schedule_.EndRun(id);
  {
    std::lock_guard<std::mutex> lock(told_mutex_);
    tallies_.erase(id);
    failures_.erase(id);
  }
  runs_.pop_back();
}

void FolderRun::Met(TObject* Sender, const std::string& Nom) {
  // The file as the walk reached it, through its own open folder, taken
  // before a run started while pumping moves the scanner on; the visit
  // waits with its names rather than the path put together for Nom.
  auto* scanner = dynamic_cast<TScruteDossier*>(Sender);
  Visit visit;
  if (scanner != nullptr) {
    visit.Entry = scanner->Entry;
    visit.Key = FileKey{scanner->Device, scanner->Inode,
                        scanner->Inode == 0 ? scanner->Entry.Identity() : std::string()};
  } else {
    visit.Entry.Locate(Nom);
    visit.Key.Path = Nom;
  }
  visit.Path = visit.Entry.Chain();
  teller_.Pump();
  // A file that failed ends the walk, as if its conversion had just failed.
  if (!runs_.empty()) ThrowIfFailed(runs_.back().id);
  if (!teller_.Choose(visit)) return;
  if (!runs_.empty()) {
    visit.Run = runs_.back().id;
    visit.Scope = runs_.back().scope;
  }
  if (!schedule_.Add(std::move(visit), [this] { teller_.Pump(); }) && scanner != nullptr) {
    scanner->Arret = true;
  }
}

void FolderRun::WalkFailed(TObject* Sender, const std::string& Nom, std::string Message) {
  auto* scanner = dynamic_cast<TScruteDossier*>(Sender);
  PathChain folder = scanner != nullptr ? scanner->FailedFolder : PathChain(Nom);
  if (options_.WalkFailuresInOrder) {
    schedule_.AddFailure(std::move(folder), std::move(Message),
                         runs_.empty() ? 0 : runs_.back().id);
    return;
  }
  // Nothing of the run could be done: an error, as for a file that cannot be opened.
  if (runs_.empty() || Nom == runs_.back().folder) {
    throw Exception(QuotedName(Nom) + " : " + Message);
  }
  runs_.back().unread.push_back(UnreadFolder{std::move(folder), std::move(Message)});
}

RunAccount FolderRun::Finish() {
  RunAccount account;
  if (runs_.empty()) return account;
  const unsigned id = runs_.back().id;
  // Once the last file is in place; a stopped run only waits for what is in hand.
  WaitFor(id);
  account.Stopped = stopped_;
  if (stopped_) return account;
  ThrowIfFailed(id);
  account.Unread = std::move(runs_.back().unread);
  std::lock_guard<std::mutex> lock(told_mutex_);
  account.Counts = tallies_[id];
  return account;
}

void FolderRun::Stop() {
  stopped_ = true;
  for (Run& run : runs_) run.scanner->Arret = true;
  schedule_.Stop();
}

void FolderRun::Tell(std::vector<VisitResult>& told) {
  {
    std::lock_guard<std::mutex> lock(told_mutex_);
    for (const VisitResult& r : told) {
      tallies_[r.Run].Count(r);
      if (r.Failed && options_.StopRunAtFailure) failures_.try_emplace(r.Run, r);
    }
  }
  teller_.Told(told);
}

void FolderRun::WaitFor(unsigned run) {
  // The outermost run waits for everything, its walk's failures included.
  const unsigned visits_of = runs_.size() > 1 ? run : 0;
  while (!schedule_.WaitDone(options_.WaitPeriod, visits_of)) teller_.Pump();
}

void FolderRun::ThrowIfFailed(unsigned run) {
  if (!options_.StopRunAtFailure || !schedule_.RunFailed(run)) return;
  // What came before the failure is committed first, as it would have been
  // had the files been converted one after the other.
  WaitFor(run);
  VisitResult failure;
  {
    std::lock_guard<std::mutex> lock(told_mutex_);
    auto it = failures_.find(run);
    if (it == failures_.end()) return;
    failure = std::move(it->second);
    failures_.erase(it);
  }
  teller_.EndedBy(failure);
  if (failure.Error) std::rethrow_exception(failure.Error);
  throw Exception(failure.Message);
}
