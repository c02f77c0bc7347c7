#pragma once
// Converting the files a walk finds on several threads, and committing them
// in the walk's order, many together behind one barrier: a flush per file
// costs milliseconds on most disks, one for a batch of them costs no more.
//
// A run converts each file once, at the first name it is met by
// (convert/runs.h); visits of one file follow one another (convert/strands.h),
// different files are independent, so the bytes written are those of a run
// that converts one file after the other. Batches shrink where the disk
// fills up (convert/room.h).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "convert/commit.h"
#include "convert/convert.h"
#include "convert/room.h"
#include "convert/runs.h"
#include "convert/strands.h"
#include "convert/visit.h"
#include "platform/pathchain.h"

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
  void Work();
  // Converts the first visit that may start, the lock released meanwhile;
  // false when none may.
  bool ConvertOne(std::unique_lock<std::mutex>& lock);
  VisitSlot* TakeStartable();
  void Perform(VisitSlot& slot);
  // What follows a conversion: a disk found full sends it back for another
  // try while others hold room.
  void Finish(VisitSlot& slot);
  // Commits and tells what is done at the front, in the walk's order. One
  // thread at a time.
  void CommitAndTell(std::unique_lock<std::mutex>& lock);
  std::size_t BatchFiles() const;
  bool DueForCommit(std::size_t done, const std::vector<VisitSlot*>& batch,
                    std::uint64_t bytes) const;
  // Lets the next visit of slot's file start, once slot is committed.
  void Release(VisitSlot& slot);
  void MakeReady(VisitSlot& slot);
  void StopLocked();
  bool AllDone(unsigned run) const;
  // Whether slot comes after a failure of its run when failures end runs:
  // it is then neither converted nor put in place.
  bool AfterFailure(const VisitSlot& slot) const;
  // Whether slot lies within the visits that may hold a new content at once.
  bool HasRoom(const VisitSlot& slot) const;
  // The disk filled up, or descriptors ran out, while slot was converted or
  // committed: fewer visits may hold a new content from now on; those
  // beyond give theirs back and go again, slot too. False when slot was
  // converted alone, and so fails.
  bool MakeRoom(VisitSlot& slot);
  void SendBack(VisitSlot& slot);

  const ScheduleOptions options_;
  const Report report_;
  const std::size_t most_in_hand_;
  std::mutex m_;
  // Workers wait here for visits; the walk and the waiters, for progress.
  std::condition_variable work_, progress_;
  std::deque<VisitSlot*> ready_;
  // The visits from the first not yet told, in the walk's order.
  std::deque<std::unique_ptr<VisitSlot>> slots_;
  std::uint64_t next_seq_ = 0;
  Strands strands_;
  MetFiles met_;
  RunFailures failures_;
  Room room_;
  Committer committer_;
  std::size_t found_ = 0, told_ = 0;
  PathChain current_;
  int converting_ = 0, idle_ = 0, waiting_ = 0, room_waiting_ = 0;
  bool closed_ = false, stopping_ = false, ending_ = false, telling_ = false;
  std::vector<std::thread> workers_;
};
