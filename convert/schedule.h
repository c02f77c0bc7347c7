#pragma once
// Converting the files a walk finds on several threads, and committing them
// in the walk's order, many together behind one barrier: a flush per file
// costs milliseconds on most disks, one for a batch of them costs no more.
//
// Visits of one file (two patterns, two names of a hard link) form a strand:
// a visit starts only once the one before it is committed, so it reads what
// the other wrote. Different files are independent, so the bytes written are
// those of a run that converts one file after the other.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "convert/convert.h"
#include "platform/pathchain.h"
#include "platform/rewrite.h"

// One file, whatever name it is reached by: its device and inode, or its
// path for a symbolic link or when the walk could not read its status.
struct FileKey {
  std::uint64_t Device = 0;
  std::uint64_t Inode = 0;
  std::string Path;
  bool operator==(const FileKey& o) const {
    return Device == o.Device && Inode == o.Inode && Path == o.Path;
  }
};

struct FileKeyHash {
  std::size_t operator()(const FileKey& k) const;
};

// One visit of a file by a walk.
struct Visit {
  PathChain Path;
  // The file, reached through the walk's own open folder.
  FolderEntry Entry;
  FileKey Key;
  // How it is converted, as chosen when the walk reached it.
  Conversion How;
  // The run it belongs to.
  unsigned Run = 0;
};

// What became of one visit.
struct VisitResult {
  PathChain Path;
  unsigned Run = 0;
  ConvertOutcome Outcome = ConvertOutcome::kLeftAlone;
  // For a trial: the lines that would change.
  std::uint64_t ChangedLines = 0;
  bool Failed = false;
  // Never carried out: its run or the program stopped first.
  bool Dropped = false;
  // Why it failed, in French.
  std::string Message;
  // What a trial shows of the file in place of its line, and what it warns
  // of, as its own Try gives them.
  std::string Shown;
  std::string Warnings;
  // The failure itself, for a caller that shows it as it came.
  std::exception_ptr Error;
};

struct ScheduleOptions {
  // Files converted at once.
  unsigned Jobs = 1;
  // Nothing is written: each file is tried, once whatever its names.
  bool Trial = false;
  // How a trial tries a file, when not with TryConvertFile alone; it may
  // fill the result's Shown and Warnings.
  std::function<TrialOutcome(const Visit& visit, VisitResult& result)> Try;
  // A failure ends its run: no later visit of that run is committed (the
  // window). Otherwise the others go on (the command line).
  bool StopRunAtFailure = false;
  // Files, and bytes of their contents, committed together at most.
  std::size_t BatchFiles = 256;
  std::uint64_t BatchBytes = std::uint64_t{32} << 20;
  // Visits handed out but not yet told, at most; 0 chooses from the
  // descriptors the process may open (each holds its file and folder open).
  std::size_t MostInHand = 0;
};

class Schedule {
 public:
  // Receives results in the walk's order, from any thread, one call at a time.
  using Report = std::function<void(std::vector<VisitResult>& results)>;

  Schedule(const ScheduleOptions& options, Report report);
  // Stops, and waits for the workers.
  ~Schedule();
  Schedule(const Schedule&) = delete;
  Schedule& operator=(const Schedule&) = delete;

  // A visit, in the walk's order. While too many are in hand, calls
  // while_waiting between short waits. False once the schedule is stopping.
  bool Add(Visit visit, const std::function<void()>& while_waiting);
  // A failure of the walk itself, told in its place among the visits.
  void AddFailure(PathChain path, std::string message, unsigned run = 0);
  // No more visits are coming.
  void Close();
  // Hands out no more visits: those in hand finish, what is converted is
  // committed in order, the rest dropped.
  void Stop();
  // Waits up to period for every visit added so far (of run, when not 0)
  // to be committed and told; true once they are.
  bool WaitDone(std::chrono::milliseconds period, unsigned run = 0);
  // Whether a visit of run failed.
  bool RunFailed(unsigned run);
  // Visits told and added so far, and the file a worker took last.
  void Progress(std::size_t* done, std::size_t* found, std::string* current);

 private:
  struct Slot;
  void Work();
  void Perform(Slot& slot);
  void Settle(std::unique_lock<std::mutex>& lock);
  std::size_t BatchFiles() const;
  bool DueForCommit(std::size_t settled, const std::vector<Slot*>& batch,
                    std::uint64_t bytes) const;
  void Commit(std::vector<Slot*>& batch);
  void Release(Slot& slot);
  void StopLocked();
  bool AllDone(unsigned run) const;

  const ScheduleOptions options_;
  const Report report_;
  const std::size_t most_in_hand_;
  std::mutex m_;
  // Workers wait here for visits; the walk and the waiters, for progress.
  std::condition_variable work_, progress_;
  std::deque<Slot*> ready_;
  // The visits from the first not yet told, in the walk's order.
  std::deque<std::unique_ptr<Slot>> slots_;
  // Files with a visit ready, in hand or waiting for its commit, and the
  // visits of the same file behind it.
  std::unordered_map<FileKey, std::deque<Slot*>, FileKeyHash> strands_;
  // Strands with a visit waiting behind the one in hand.
  std::size_t strands_waiting_ = 0;
  // For a trial, every file met.
  std::unordered_set<FileKey, FileKeyHash> seen_;
  std::unordered_set<unsigned> failed_runs_;
  std::size_t found_ = 0, told_ = 0;
  PathChain current_;
  int converting_ = 0, idle_ = 0, waiting_ = 0, room_waiting_ = 0;
  bool closed_ = false, stopping_ = false, ending_ = false, settling_ = false;
  std::vector<std::thread> workers_;
};
