#pragma once
// Converting the files a walk finds on several threads, and committing them
// in the walk's order, many together behind one barrier: a flush per file
// costs milliseconds on most disks, one for a batch of them costs no more.
//
// A run converts each file once, at the first name it is met by: a later name
// of a file with several (a hard link) is passed over, and so is a file
// another run of its scope met. Visits of one file by different runs form a
// strand: a visit starts only once the one before it is committed, so it
// reads what the other wrote. Different files are independent, so the bytes
// written are those of a run that converts one file after the other.
//
// Where the disk fills up, or the process runs out of descriptors, what is
// in hand is put in place and the rest is converted again in smaller
// batches, down to one file at a time: only a file that cannot fit, or be
// opened, alone fails.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "convert/convert.h"
#include "convert/info.h"
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
  // Runs that overlap (one started while another goes on) share a scope,
  // in which each file is converted once, by whichever run meets it first;
  // 0 for a run alone, which passes over only a file's further names.
  unsigned Scope = 0;
};

// What a trial warns of in a file: where (a line from 1, or 0 for the file
// as a whole), and what, in French.
struct TrialWarning {
  std::uint64_t Line = 0;
  std::string Text;
};

// What became of one visit.
struct VisitResult {
  PathChain Path;
  // Path names a folder: a walk's failure, or a folder whose flush failed.
  bool Folder = false;
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
  std::vector<TrialWarning> Warnings;
  // What a trial that inspects files rather than converting them found.
  FileInfo Info;
  // The failure itself, for a caller that shows it as it came.
  std::exception_ptr Error;
};

struct ScheduleOptions {
  // Files converted at once.
  unsigned Jobs = 1;
  // Nothing is written: each file is tried, as a run would convert it.
  bool Trial = false;
  // How a trial tries a file, when not with TryConvertFile alone; it may
  // fill the result's Shown, Warnings and Info.
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
  // Starts a thread running work; std::thread when empty. It throws as
  // std::thread does when the system has no thread to give.
  std::function<std::thread(std::function<void()> work)> StartThread;
};

class Schedule {
 public:
  // Receives results in the walk's order, from any thread, one call at a time.
  using Report = std::function<void(std::vector<VisitResult>& results)>;

  // Starts options.Jobs threads, or as many as the system gives; with none,
  // the threads that add and wait do the work.
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
  // Forgets what run (or the scope of that number) met, once it has added
  // its last visit.
  void EndRun(unsigned run);
  // Visits told and added so far, and the file a worker took last.
  void Progress(std::size_t* done, std::size_t* found, std::string* current);
  // The threads converting: fewer than asked when the system would not
  // start them all.
  unsigned Workers() const { return static_cast<unsigned>(workers_.size()); }

 private:
  struct Slot;
  void Work();
  // Converts the first visit that may start, the lock released meanwhile;
  // false when none may.
  bool ConvertOne(std::unique_lock<std::mutex>& lock);
  Slot* TakeStartable();
  void Perform(Slot& slot);
  // What follows a conversion: a disk found full sends it back for another
  // try while others hold room.
  void Finish(Slot& slot);
  // Commits and tells what is done at the front, in the walk's order. One
  // thread at a time.
  void CommitAndTell(std::unique_lock<std::mutex>& lock);
  std::size_t BatchFiles() const;
  bool DueForCommit(std::size_t done, const std::vector<Slot*>& batch, std::uint64_t bytes) const;
  // Puts batch in place, the lock released around the system's calls;
  // folders whose flush failed go to folders. Returns how many of the batch
  // it settled: the disk filled up (or descriptors ran out, *cut_error
  // says) at the next one, which with those after it is not in place.
  std::size_t Commit(std::vector<Slot*>& batch, std::vector<VisitResult>* folders, int* cut_error,
                     std::unique_lock<std::mutex>& lock);
  void Release(Slot& slot);
  void StopLocked();
  bool AllDone(unsigned run) const;
  // Whether slot comes after a failure of its run when failures end runs:
  // it is then neither converted nor put in place.
  bool AfterFailure(const Slot& slot) const;
  void NoteFailure(unsigned run, std::uint64_t seq);
  // Whether slot lies within the visits that may hold a new content at once.
  bool HasRoom(const Slot& slot) const;
  // The disk filled up, or descriptors ran out, while slot was converted or
  // committed: fewer visits may hold a new content from now on; those
  // beyond give theirs back and go again, slot too. False when slot was
  // converted alone, and so fails.
  bool MakeRoom(Slot& slot);
  void SendBack(Slot& slot);

  const ScheduleOptions options_;
  const Report report_;
  const std::size_t most_in_hand_;
  std::mutex m_;
  // Workers wait here for visits; the walk and the waiters, for progress.
  std::condition_variable work_, progress_;
  std::deque<Slot*> ready_;
  // The visits from the first not yet told, in the walk's order.
  std::deque<std::unique_ptr<Slot>> slots_;
  std::uint64_t next_seq_ = 0;
  // Files with a visit ready, in hand or waiting for its commit, and the
  // visits of the same file behind it: a list, which for the many files
  // met once costs no memory of its own.
  std::unordered_map<FileKey, std::list<Slot*>, FileKeyHash> strands_;
  // Strands with a visit waiting behind the one in hand.
  std::size_t strands_waiting_ = 0;
  // For each run, the files of several names it met; for each scope, every
  // file its runs met.
  std::unordered_map<unsigned, std::unordered_set<FileKey, FileKeyHash>> met_;
  // For each run that failed, the visit that failed first.
  std::unordered_map<unsigned, std::uint64_t> first_failure_;
  // Folders whose flush failed, told once.
  std::unordered_set<std::string> unflushed_;
  // Visits, from the first not told, that may hold a new content at once.
  std::size_t room_ = std::numeric_limits<std::size_t>::max();
  std::size_t found_ = 0, told_ = 0;
  PathChain current_;
  int converting_ = 0, idle_ = 0, waiting_ = 0, room_waiting_ = 0;
  bool closed_ = false, stopping_ = false, ending_ = false, telling_ = false;
  std::vector<std::thread> workers_;
};
