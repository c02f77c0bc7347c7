#pragma once
// A run over a folder, as both programs make it: the walk's files handed to
// the schedule as visits, each run's counts, first failure and unread
// folders kept, a stop on request, and the results told in the walk's order
// to the program, which shows them its own way.

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "convert/schedule.h"
#include "convert/tally.h"
#include "scan/scrutedossier.h"

// What a program does with a folder run: Told is called on whichever thread
// commits, the others on the walk's.
class RunTeller {
 public:
  virtual ~RunTeller() = default;
  // How the file the walk just met is converted, asked once the program has
  // pumped: sets visit.How, or returns false to pass the file over.
  virtual bool Choose(Visit& visit) = 0;
  // Results, in the walk's order, a batch at a time, one call at a time.
  virtual void Told(std::vector<VisitResult>& results) = 0;
  // The failure that ends a run (StopRunAtFailure), once everything before
  // it is in place; the run throws it next.
  virtual void EndedBy(const VisitResult& /*failure*/) {}
  // Between files, while the walk waits for room and while a run waits for
  // its last files: where a program handles its events, draws its progress
  // and asks the run to stop.
  virtual void Pump() {}
};

// A folder the walk could not go through, and why.
struct UnreadFolder {
  PathChain Folder;
  std::string Reason;
};

// What one run did, once its walk is over.
struct RunAccount {
  // Its results, counted as they were told.
  Tally Counts;
  // The folders it could not go through, in the walk's order, unless the
  // walk's failures are told among the results.
  std::vector<UnreadFolder> Unread;
  // Stop was asked: what was in hand was finished, nothing after it.
  bool Stopped = false;
};

// The schedule's settings (jobs, trial and how it tries a file, whether a
// failure ends its run...), and the run's own.
struct FolderRunOptions : ScheduleOptions {
  // Runs may overlap (the window's second click during a run): one started
  // while another goes on shares its scope, in which each file is converted
  // once, so every file a run meets is remembered while it goes on.
  // Otherwise a run passes over only a file's further names.
  bool Nested = false;
  // A folder the walk could not go through is told among the results, in
  // its place (the command line). Otherwise it is kept for the run's
  // account, and the start folder's own failure is the run's error.
  bool WalkFailuresInOrder = false;
  // Names left alone, and whether version-control folders are entered (the
  // scanner's Exclude and EnterRepositories).
  std::vector<std::string> Exclude;
  bool EnterRepositories = false;
  // How long a run waits for its last files between two pumps.
  std::chrono::milliseconds WaitPeriod{20};
};

class FolderRun {
 public:
  // Starts the schedule's threads.
  FolderRun(const FolderRunOptions& options, RunTeller& teller);
  FolderRun(const FolderRun&) = delete;
  FolderRun& operator=(const FolderRun&) = delete;

  // Walks scanner's folder as one run, the scanner's events bound to this
  // run, and gives its account. Where the walk of a run alone throws,
  // everything stops.
  RunAccount Walk(TScruteDossier& scanner);

  // A run over scanner's folder for a program whose own handlers of the
  // scanner's events call Met, WalkFailed and Finish (the window). One
  // started during another (from a handler or a pump) is nested in it.
  void Execute(TScruteDossier& scanner);
  // The file the scanner (Sender) reports as Nom, for the innermost run.
  // Throws that run's failure, once what came before it is in place.
  void Met(TObject* Sender, const std::string& Nom);
  // A folder the scanner could not go through.
  void WalkFailed(TObject* Sender, const std::string& Nom, std::string Message);
  // The innermost run's walk is over: waits for its files, then throws its
  // failure or gives its account.
  RunAccount Finish();

  // Stops every run: the files in hand are finished and put in place in the
  // walk's order, none after them.
  void Stop();
  // Whether a run goes on.
  bool Running() const { return !runs_.empty(); }
  // Files told and found so far, and the file a thread took last.
  void Progress(std::size_t* done, std::size_t* found, std::string* current) {
    schedule_.Progress(done, found, current);
  }
  // The threads converting: fewer than asked when the system would not
  // start them all.
  unsigned Workers() const { return schedule_.Workers(); }

 private:
  // A run under way: its scanner, its start folder as the scanner names
  // it, the folders it could not read, its number and its scope.
  struct Run {
    TScruteDossier* scanner;
    std::string folder;
    std::vector<UnreadFolder> unread;
    unsigned id;
    unsigned scope;
  };

  // On a conversion thread.
  void Tell(std::vector<VisitResult>& told);
  void WaitFor(unsigned run);
  void ThrowIfFailed(unsigned run);
  void EndInnermost();

  const FolderRunOptions options_;
  RunTeller& teller_;
  std::vector<Run> runs_;
  unsigned last_id_ = 0;
  bool stopped_ = false;
  // What Walk's end gives.
  RunAccount walked_;
  // What the conversion threads tell: each run's counts, and its first
  // failure when failures end runs.
  std::mutex told_mutex_;
  std::map<unsigned, Tally> tallies_;
  std::map<unsigned, VisitResult> failures_;
  // Last, so that its threads, which tell the members above, end first.
  Schedule schedule_;
};
