#include "convert/schedule.h"

#include <sys/resource.h>

#include <algorithm>
#include <new>

#include "base/errors.h"
#include "platform/dirlist.h"

namespace {

// How long the walk waits for room before it calls back, so that a window
// stays responsive while its run is held up.
constexpr std::chrono::milliseconds kRoomWait{50};
// When the walk is slower than the conversion, what is converted waits this
// long for more to share its barrier.
constexpr std::chrono::milliseconds kIdleCommit{20};

// Visits in hand at most: each holds a file, its temporary file and its
// folder open, beside the folders the walk holds.
std::size_t InHandFromDescriptors() {
  struct rlimit limit {};
  std::size_t open = 1024;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    open = static_cast<std::size_t>(limit.rlim_cur);
  }
  const std::size_t used = static_cast<std::size_t>(OpenListingBudget()) + 64;
  const std::size_t room = open > used ? (open - used) / 3 : 0;
  return std::clamp<std::size_t>(room, 8, 1024);
}

}  // namespace

std::size_t FileKeyHash::operator()(const FileKey& k) const {
  if (k.Inode == 0) return std::hash<std::string>()(k.Path);
  return std::hash<std::uint64_t>()(k.Inode * 0x9E3779B97F4A7C15ULL ^ k.Device);
}

struct Schedule::Slot {
  enum class State { kWaiting, kReady, kRunning, kDone };
  Visit visit;
  State state = State::kReady;
  VisitResult result;
  std::unique_ptr<PreparedConversion> prepared;
  // Its new content may be committed with others, and has to be flushed.
  bool batchable = false;
  bool needs_flush = true;
  std::uint64_t bytes = 0;
  // Whether it holds its file's strand.
  bool in_strand = false;
  // When its conversion ended.
  std::chrono::steady_clock::time_point done_at;

  Rewrite* Pending() const { return prepared ? prepared->Pending() : nullptr; }
  void Fail(std::exception_ptr error) {
    prepared.reset();
    result.Failed = true;
    result.Message = MessageOf(error);
    result.Error = std::move(error);
  }
  void Drop() {
    prepared.reset();
    result.Dropped = true;
    state = State::kDone;
  }
};

Schedule::Schedule(const ScheduleOptions& options, Report report)
    : options_(options),
      report_(std::move(report)),
      most_in_hand_(options.MostInHand > 0 ? options.MostInHand : InHandFromDescriptors()) {
  for (unsigned i = 0; i < std::max(1u, options_.Jobs); ++i) {
    workers_.emplace_back([this] { Work(); });
  }
}

Schedule::~Schedule() {
  {
    std::unique_lock<std::mutex> lock(m_);
    StopLocked();
    ending_ = true;
  }
  work_.notify_all();
  for (std::thread& t : workers_) t.join();
  // What was converted but not committed changes nothing.
  slots_.clear();
}

bool Schedule::Add(Visit visit, const std::function<void()>& while_waiting) {
  std::unique_lock<std::mutex> lock(m_);
  // A trial reads every file once: a second visit would find what the first
  // one would have written, and changes nothing that the first did not.
  if (options_.Trial && !seen_.insert(visit.Key).second) return !stopping_;
  while (!stopping_ && slots_.size() >= most_in_hand_) {
    ++room_waiting_;
    // Committing here may have made the room.
    Settle(lock);
    if (!stopping_ && slots_.size() >= most_in_hand_) progress_.wait_for(lock, kRoomWait);
    --room_waiting_;
    if (while_waiting) {
      lock.unlock();
      while_waiting();
      lock.lock();
    }
  }
  if (stopping_) return false;
  auto owned = std::make_unique<Slot>();
  Slot& slot = *owned;
  slot.visit = std::move(visit);
  slot.result.Path = slot.visit.Path;
  slot.result.Run = slot.visit.Run;
  slots_.push_back(std::move(owned));
  ++found_;
  if (options_.StopRunAtFailure && failed_runs_.count(slot.visit.Run) != 0) {
    slot.Drop();
    Settle(lock);
    return true;
  }
  auto [strand, fresh] = strands_.try_emplace(slot.visit.Key);
  slot.in_strand = true;
  if (!fresh) {
    slot.state = Slot::State::kWaiting;
    if (strand->second.empty()) ++strands_waiting_;
    strand->second.push_back(&slot);
    return true;
  }
  ready_.push_back(&slot);
  if (idle_ > 0) work_.notify_one();
  return true;
}

void Schedule::AddFailure(PathChain path, std::string message, unsigned run) {
  std::unique_lock<std::mutex> lock(m_);
  auto owned = std::make_unique<Slot>();
  owned->state = Slot::State::kDone;
  owned->result.Path = std::move(path);
  owned->result.Run = run;
  owned->result.Failed = true;
  owned->result.Message = std::move(message);
  slots_.push_back(std::move(owned));
  Settle(lock);
}

void Schedule::Close() {
  std::unique_lock<std::mutex> lock(m_);
  closed_ = true;
  Settle(lock);
}

void Schedule::Stop() {
  std::unique_lock<std::mutex> lock(m_);
  StopLocked();
  Settle(lock);
}

void Schedule::StopLocked() {
  if (stopping_) return;
  stopping_ = true;
  for (Slot* slot : ready_) slot->Drop();
  ready_.clear();
  for (auto& [key, waiting] : strands_) {
    for (Slot* slot : waiting) slot->Drop();
    waiting.clear();
  }
  strands_waiting_ = 0;
  work_.notify_all();
  progress_.notify_all();
}

bool Schedule::WaitDone(std::chrono::milliseconds period, unsigned run) {
  std::unique_lock<std::mutex> lock(m_);
  ++waiting_;
  Settle(lock);
  progress_.wait_for(lock, period, [&] { return AllDone(run); });
  --waiting_;
  return AllDone(run);
}

bool Schedule::AllDone(unsigned run) const {
  if (settling_) return false;
  if (run == 0) return slots_.empty();
  return std::none_of(slots_.begin(), slots_.end(),
                      [run](const std::unique_ptr<Slot>& s) { return s->visit.Run == run; });
}

bool Schedule::RunFailed(unsigned run) {
  std::lock_guard<std::mutex> lock(m_);
  return failed_runs_.count(run) != 0;
}

void Schedule::Progress(std::size_t* done, std::size_t* found, std::string* current) {
  std::lock_guard<std::mutex> lock(m_);
  *done = told_;
  *found = found_;
  *current = current_.Text();
}

void Schedule::Work() {
  std::unique_lock<std::mutex> lock(m_);
  for (;;) {
    if (ending_) return;
    if (ready_.empty()) {
      // With converted files waiting for their commit, a worker looks again
      // after a while, when nothing else came to join them.
      ++idle_;
      if (slots_.empty() || settling_) {
        work_.wait(lock);
        --idle_;
      } else if (work_.wait_for(lock, kIdleCommit) == std::cv_status::timeout) {
        --idle_;
        Settle(lock);
      } else {
        --idle_;
      }
      continue;
    }
    Slot& slot = *ready_.front();
    ready_.pop_front();
    if (options_.StopRunAtFailure && failed_runs_.count(slot.visit.Run) != 0) {
      slot.Drop();
      Release(slot);
      Settle(lock);
      continue;
    }
    slot.state = Slot::State::kRunning;
    current_ = slot.visit.Path;
    ++converting_;
    lock.unlock();
    Perform(slot);
    lock.lock();
    --converting_;
    slot.state = Slot::State::kDone;
    slot.done_at = std::chrono::steady_clock::now();
    // The next visit of the same file may read it now, unless this one has
    // yet to be committed.
    if (slot.Pending() == nullptr) Release(slot);
    Settle(lock);
  }
}

void Schedule::Perform(Slot& slot) {
  try {
    if (options_.Trial) {
      const TrialOutcome trial = options_.Try ? options_.Try(slot.visit, slot.result)
                                              : TryConvertFile(slot.visit.Entry, slot.visit.How);
      slot.result.Outcome = trial.Outcome;
      slot.result.ChangedLines = trial.ChangedLines;
      return;
    }
    slot.prepared = PrepareConversion(slot.visit.Entry, slot.visit.How);
    slot.result.Outcome = slot.prepared->Outcome();
    if (Rewrite* pending = slot.Pending()) {
      slot.batchable = pending->Replaces();
      slot.needs_flush = slot.batchable && pending->NeedsFlush();
      slot.bytes = static_cast<std::uint64_t>(slot.prepared->Bytes());
    }
  } catch (...) {
    slot.Fail(std::current_exception());
  }
}

void Schedule::Release(Slot& slot) {
  if (!slot.in_strand) return;
  slot.in_strand = false;
  auto strand = strands_.find(slot.visit.Key);
  if (strand == strands_.end()) return;
  if (strand->second.empty()) {
    strands_.erase(strand);
    return;
  }
  Slot& next = *strand->second.front();
  strand->second.pop_front();
  if (strand->second.empty()) --strands_waiting_;
  next.state = Slot::State::kReady;
  ready_.push_back(&next);
  if (idle_ > 0) work_.notify_one();
}

std::size_t Schedule::BatchFiles() const {
  // Half of what may be in hand, so that the other half is converted while
  // a batch is committed.
  return std::max<std::size_t>(1, std::min(options_.BatchFiles, most_in_hand_ / 2));
}

bool Schedule::DueForCommit(std::size_t settled, const std::vector<Slot*>& batch,
                            std::uint64_t bytes) const {
  // Stopped short of a slot that is done: a limit was reached.
  if (settled < slots_.size() && slots_[settled]->state == Slot::State::kDone) return true;
  if (batch.size() >= BatchFiles() || bytes >= options_.BatchBytes) return true;
  // Where contents need no flush, nothing is gained by waiting.
  if (!batch.front()->needs_flush) return true;
  if (stopping_) return true;
  // While a visit in hand is still being converted, it may join the batch:
  // its end calls again. Once all are done, the batch waits no more when
  // someone waits for it (the end of a run, the walk wanting room), or when
  // the walk has been slow to give more.
  if (settled == slots_.size()) {
    if (waiting_ > 0 || room_waiting_ > 0 || closed_) return true;
    if (ready_.empty() && converting_ == 0 &&
        std::chrono::steady_clock::now() - batch.front()->done_at >= kIdleCommit) {
      return true;
    }
  }
  // A later visit of one of these files waits for it.
  if (strands_waiting_ == 0) return false;
  for (std::size_t i = 0; i < settled; ++i) {
    const Slot& s = *slots_[i];
    if (s.in_strand && s.Pending() != nullptr) {
      auto strand = strands_.find(s.visit.Key);
      if (strand != strands_.end() && !strand->second.empty()) return true;
    }
  }
  return false;
}

void Schedule::Settle(std::unique_lock<std::mutex>& lock) {
  // One thread at a time commits and tells, in the walk's order.
  if (settling_) return;
  settling_ = true;
  bool any_told = false;
  for (;;) {
    // The done visits at the front; those with a new content to commit
    // form the batch, unless one must be committed alone.
    std::vector<Slot*> batch;
    Slot* alone = nullptr;
    std::uint64_t bytes = 0;
    std::size_t settled = 0;
    // Runs that fail in what is scanned: what comes after goes no further.
    // (A run counts as failed for all only once its failure is told, after
    // what came before it is committed.)
    std::vector<unsigned> failing;
    for (; settled < slots_.size(); ++settled) {
      Slot& s = *slots_[settled];
      if (s.state != Slot::State::kDone) break;
      if (options_.StopRunAtFailure) {
        const unsigned run = s.result.Run;
        if (!s.result.Failed && (failed_runs_.count(run) != 0 ||
                                 std::find(failing.begin(), failing.end(), run) != failing.end())) {
          s.Drop();
        }
        if (s.result.Failed) failing.push_back(run);
      }
      if (s.Pending() == nullptr) continue;
      if (!s.batchable) {
        if (batch.empty()) {
          alone = &s;
          ++settled;
        }
        break;
      }
      // A very large file is committed alone: its flush is the batch's cost.
      if (batch.size() >= BatchFiles() || bytes >= options_.BatchBytes ||
          (!batch.empty() && s.bytes >= options_.BatchBytes / 2)) {
        break;
      }
      batch.push_back(&s);
      bytes += s.bytes;
    }
    if (settled == 0) break;
    if (!batch.empty() && !DueForCommit(settled, batch, bytes)) break;
    if (!batch.empty() || alone != nullptr) {
      lock.unlock();
      if (alone != nullptr) {
        try {
          Rewrite& rewrite = *alone->Pending();
          if (int err = rewrite.Commit()) throw IoError(err, rewrite.Entry().Path());
        } catch (...) {
          alone->Fail(std::current_exception());
        }
        alone->prepared.reset();
      } else {
        Commit(batch);
      }
      lock.lock();
    }
    std::vector<VisitResult> told;
    for (std::size_t i = 0; i < settled; ++i) {
      Slot& s = *slots_.front();
      if (s.result.Failed && options_.StopRunAtFailure) failed_runs_.insert(s.result.Run);
      Release(s);
      told.push_back(std::move(s.result));
      slots_.pop_front();
    }
    told_ += told.size();
    any_told = true;
    lock.unlock();
    report_(told);
    lock.lock();
  }
  settling_ = false;
  // Waiters are woken when visits were told: the walk only once half the
  // room is free, rather than for each visit.
  if (any_told && (waiting_ > 0 || (room_waiting_ > 0 && slots_.size() <= most_in_hand_ / 2))) {
    progress_.notify_all();
  }
}

void Schedule::Commit(std::vector<Slot*>& batch) {
  std::vector<Rewrite*> rewrites;
  for (Slot* s : batch) rewrites.push_back(s->Pending());
  const std::vector<int> errors = MakeDurableTogether(rewrites);
  std::vector<unsigned> failed;
  std::vector<Rewrite*> placed;
  std::vector<Slot*> placed_slots;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    Slot& s = *batch[i];
    // Nothing after a failure of its run is put in place.
    if (options_.StopRunAtFailure &&
        std::find(failed.begin(), failed.end(), s.result.Run) != failed.end()) {
      s.Drop();
      continue;
    }
    try {
      Rewrite& rewrite = *s.Pending();
      if (errors[i] != 0) throw IoError(errors[i], s.visit.Path.Text());
      if (int err = rewrite.PutInPlace()) throw IoError(err, rewrite.Entry().Path());
      placed.push_back(s.Pending());
      placed_slots.push_back(&s);
    } catch (...) {
      s.Fail(std::current_exception());
      failed.push_back(s.result.Run);
    }
  }
  // The renames outlive a power cut only once their folders are flushed.
  if (int err = SyncFoldersOf(placed)) {
    for (Slot* s : placed_slots) {
      s->Fail(std::make_exception_ptr(IoError(err, s->visit.Path.Text())));
    }
  }
  for (Slot* s : batch) s->prepared.reset();
}
