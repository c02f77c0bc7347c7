#include "convert/schedule.h"

#include <algorithm>
#include <new>
#include <system_error>

#include "base/errors.h"
#include "convert/slot.h"

namespace {

// How long the walk waits for room before it calls back, so that a window
// stays responsive while its run is held up.
constexpr std::chrono::milliseconds kRoomWait{50};
// When the walk is slower than the conversion, what is converted waits this
// long for more to share its barrier.
constexpr std::chrono::milliseconds kIdleCommit{20};

}  // namespace

Schedule::Schedule(const ScheduleOptions& options, Report report)
    : options_(options),
      report_(std::move(report)),
      most_in_hand_(options.MostInHand > 0 ? options.MostInHand : InHandFromDescriptors()),
      failures_(options.StopRunAtFailure),
      room_(most_in_hand_) {
  const unsigned wanted = std::max(1u, options_.Jobs);
  workers_.reserve(wanted);
  for (unsigned i = 0; i < wanted; ++i) {
    // A system out of threads (a process limit, little memory) leaves the
    // work to those that started, or to the callers' own threads.
    try {
      workers_.push_back(options_.StartThread ? options_.StartThread([this] { Work(); })
                                              : std::thread([this] { Work(); }));
    } catch (const std::system_error&) {
      break;
    } catch (const std::bad_alloc&) {
      break;
    }
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
  // Each file once per run, or per scope: a further name of one already met,
  // or a file another run of the scope met, is passed over.
  if (!met_.Meet(visit)) return !stopping_;
  while (!stopping_ && slots_.size() >= most_in_hand_) {
    ++room_waiting_;
    // Converting and committing here may make the room.
    if (workers_.empty()) {
      while (ConvertOne(lock)) {
      }
    }
    CommitAndTell(lock);
    if (!stopping_ && slots_.size() >= most_in_hand_) progress_.wait_for(lock, kRoomWait);
    --room_waiting_;
    if (while_waiting) {
      lock.unlock();
      while_waiting();
      lock.lock();
    }
  }
  if (stopping_) return false;
  auto owned = std::make_unique<VisitSlot>();
  VisitSlot& slot = *owned;
  slot.Item = std::move(visit);
  slot.Seq = next_seq_++;
  slot.Result.Path = slot.Item.Path;
  slot.Result.Run = slot.Item.Run;
  slots_.push_back(std::move(owned));
  ++found_;
  if (AfterFailure(slot)) {
    slot.Drop();
    CommitAndTell(lock);
    return true;
  }
  slot.InStrand = true;
  if (!strands_.Enter(&slot)) {
    slot.State = VisitSlot::Stage::kWaiting;
    return true;
  }
  MakeReady(slot);
  if (workers_.empty()) {
    while (ConvertOne(lock)) {
    }
    CommitAndTell(lock);
  }
  return true;
}

void Schedule::AddFailure(PathChain path, std::string message, unsigned run) {
  std::unique_lock<std::mutex> lock(m_);
  auto owned = std::make_unique<VisitSlot>();
  owned->Seq = next_seq_++;
  owned->State = VisitSlot::Stage::kDone;
  owned->Result.Path = std::move(path);
  owned->Result.Folder = true;
  owned->Result.Run = run;
  owned->Result.Failed = true;
  owned->Result.Message = std::move(message);
  failures_.Note(run, owned->Seq);
  slots_.push_back(std::move(owned));
  CommitAndTell(lock);
}

void Schedule::Close() {
  std::unique_lock<std::mutex> lock(m_);
  closed_ = true;
  CommitAndTell(lock);
}

void Schedule::Stop() {
  std::unique_lock<std::mutex> lock(m_);
  StopLocked();
  CommitAndTell(lock);
}

void Schedule::StopLocked() {
  if (stopping_) return;
  stopping_ = true;
  for (VisitSlot* slot : ready_) slot->Drop();
  ready_.clear();
  strands_.DropWaiting([](VisitSlot& slot) { slot.Drop(); });
  work_.notify_all();
  progress_.notify_all();
}

bool Schedule::WaitDone(std::chrono::milliseconds period, unsigned run) {
  std::unique_lock<std::mutex> lock(m_);
  ++waiting_;
  if (workers_.empty()) {
    while (ConvertOne(lock)) {
    }
  }
  CommitAndTell(lock);
  progress_.wait_for(lock, period, [&] { return AllDone(run); });
  --waiting_;
  return AllDone(run);
}

bool Schedule::AllDone(unsigned run) const {
  if (telling_) return false;
  if (run == 0) return slots_.empty();
  return std::none_of(slots_.begin(), slots_.end(),
                      [run](const std::unique_ptr<VisitSlot>& s) { return s->Item.Run == run; });
}

bool Schedule::RunFailed(unsigned run) {
  std::lock_guard<std::mutex> lock(m_);
  return failures_.Failed(run);
}

void Schedule::EndRun(unsigned run) {
  std::lock_guard<std::mutex> lock(m_);
  met_.Forget(run);
  failures_.Forget(run);
}

void Schedule::Progress(std::size_t* done, std::size_t* found, std::string* current) {
  std::lock_guard<std::mutex> lock(m_);
  *done = told_;
  *found = found_;
  *current = current_.Text();
}

bool Schedule::AfterFailure(const VisitSlot& slot) const {
  return failures_.Past(slot.Item.Run, slot.Seq);
}

bool Schedule::HasRoom(const VisitSlot& slot) const {
  return room_.Holds(slot.Seq, slots_.front()->Seq);
}

void Schedule::Work() {
  std::unique_lock<std::mutex> lock(m_);
  for (;;) {
    if (ending_) return;
    if (ConvertOne(lock)) continue;
    // With converted files waiting for their commit, a worker looks again
    // after a while, when nothing else came to join them.
    ++idle_;
    if (slots_.empty() || telling_) {
      work_.wait(lock);
      --idle_;
    } else if (work_.wait_for(lock, kIdleCommit) == std::cv_status::timeout) {
      --idle_;
      CommitAndTell(lock);
    } else {
      --idle_;
    }
  }
}

VisitSlot* Schedule::TakeStartable() {
  for (auto it = ready_.begin(); it != ready_.end(); ++it) {
    if (HasRoom(**it)) {
      VisitSlot* slot = *it;
      ready_.erase(it);
      return slot;
    }
  }
  return nullptr;
}

bool Schedule::ConvertOne(std::unique_lock<std::mutex>& lock) {
  VisitSlot* taken = TakeStartable();
  if (taken == nullptr) return false;
  VisitSlot& slot = *taken;
  if (AfterFailure(slot)) {
    slot.Drop();
    Release(slot);
    CommitAndTell(lock);
    return true;
  }
  slot.State = VisitSlot::Stage::kRunning;
  slot.Alone = room_.Single() && converting_ == 0 &&
               std::none_of(slots_.begin(), slots_.end(), [](const std::unique_ptr<VisitSlot>& s) {
                 return s->Pending() != nullptr;
               });
  current_ = slot.Item.Path;
  ++converting_;
  lock.unlock();
  Perform(slot);
  lock.lock();
  --converting_;
  Finish(slot);
  CommitAndTell(lock);
  return true;
}

void Schedule::Perform(VisitSlot& slot) {
  try {
    if (options_.Trial) {
      const TrialOutcome trial = options_.Try ? options_.Try(slot.Item, slot.Result)
                                              : TryConvertFile(slot.Item.Entry, slot.Item.How);
      slot.Result.Outcome = trial.Outcome;
      slot.Result.ChangedLines = trial.ChangedLines;
      return;
    }
    slot.Prepared = PrepareConversion(slot.Item.Entry, slot.Item.How);
    slot.Result.Outcome = slot.Prepared->Outcome();
    if (Rewrite* pending = slot.Pending()) {
      slot.NeedsFlush = pending->NeedsToOutlive() != Durability::kInMemory;
      slot.Bytes = static_cast<std::uint64_t>(slot.Prepared->Bytes());
    }
  } catch (const EInOutError& e) {
    slot.Fail(std::current_exception(), e.ErrorCode);
  } catch (...) {
    slot.Fail(std::current_exception(), 0);
  }
}

void Schedule::Finish(VisitSlot& slot) {
  if (slot.Result.Failed && IsShortage(slot.Result.Code) && MakeRoom(slot)) return;
  slot.State = VisitSlot::Stage::kDone;
  slot.DoneAt = std::chrono::steady_clock::now();
  if (slot.Result.Failed) failures_.Note(slot.Item.Run, slot.Seq);
  // The room shrank while it was converted.
  if (slot.Pending() != nullptr && !HasRoom(slot)) {
    SendBack(slot);
    return;
  }
  // The next visit of the same file may read it now, unless this one has
  // yet to be committed.
  if (slot.Pending() == nullptr) Release(slot);
}

bool Schedule::MakeRoom(VisitSlot& slot) {
  // Whether others held room when the disk was found full (or descriptors
  // ran out) is not whether they hold it now: only a file converted alone
  // fails.
  if (slot.Alone) return false;
  std::size_t holding = 0;
  for (const auto& s : slots_) {
    if (s.get() != &slot && (s->State == VisitSlot::Stage::kRunning || s->Pending() != nullptr)) {
      ++holding;
    }
  }
  room_.Shrink(holding);
  SendBack(slot);
  for (const auto& s : slots_) {
    if (s->State == VisitSlot::Stage::kDone && s->Pending() != nullptr && !s->Committing &&
        !HasRoom(*s)) {
      SendBack(*s);
    }
  }
  return true;
}

void Schedule::SendBack(VisitSlot& slot) {
  slot.Reset();
  // Before the visits after it, so that the front of the walk goes first.
  auto at = std::find_if(ready_.begin(), ready_.end(),
                         [&slot](const VisitSlot* s) { return s->Seq > slot.Seq; });
  ready_.insert(at, &slot);
  if (idle_ > 0) work_.notify_one();
}

void Schedule::Release(VisitSlot& slot) {
  if (!slot.InStrand) return;
  slot.InStrand = false;
  VisitSlot* next = strands_.Leave(slot.Item.Key);
  if (next == nullptr) return;
  next->State = VisitSlot::Stage::kReady;
  MakeReady(*next);
}

void Schedule::MakeReady(VisitSlot& slot) {
  ready_.push_back(&slot);
  if (idle_ > 0) work_.notify_one();
}

std::size_t Schedule::BatchFiles() const {
  // Half of what may be in hand, so that the other half is converted while
  // a batch is committed.
  return std::max<std::size_t>(1, std::min(options_.BatchFiles, most_in_hand_ / 2));
}

bool Schedule::DueForCommit(std::size_t done, const std::vector<VisitSlot*>& batch,
                            std::uint64_t bytes) const {
  // Stopped short of a slot that is done: a limit was reached.
  if (done < slots_.size() && slots_[done]->State == VisitSlot::Stage::kDone) return true;
  if (batch.size() >= BatchFiles() || bytes >= options_.BatchBytes) return true;
  // Where contents need no flush, nothing is gained by waiting; nor where
  // the disk is nearly full, and the room is what waits.
  if (!batch.front()->NeedsFlush || room_.Limited()) return true;
  if (stopping_) return true;
  // While a visit in hand is still being converted, it may join the batch:
  // its end calls again. Once all are done, the batch waits no more when
  // someone waits for it (the end of a run, the walk wanting room), or when
  // the walk has been slow to give more.
  if (done == slots_.size()) {
    if (waiting_ > 0 || room_waiting_ > 0 || closed_) return true;
    if (ready_.empty() && converting_ == 0 &&
        std::chrono::steady_clock::now() - batch.front()->DoneAt >= kIdleCommit) {
      return true;
    }
  }
  // A later visit of one of these files waits for it.
  if (!strands_.AnyWaiting()) return false;
  for (std::size_t i = 0; i < done; ++i) {
    const VisitSlot& s = *slots_[i];
    if (s.InStrand && s.Pending() != nullptr && strands_.Waits(s.Item.Key)) return true;
  }
  return false;
}

void Schedule::CommitAndTell(std::unique_lock<std::mutex>& lock) {
  if (telling_) return;
  telling_ = true;
  bool any_told = false;
  for (;;) {
    // The done visits at the front; those with a new content to commit form
    // the batch, up to its limits.
    std::vector<VisitSlot*> batch;
    std::uint64_t bytes = 0;
    std::size_t done = 0;
    for (; done < slots_.size(); ++done) {
      VisitSlot& s = *slots_[done];
      if (s.State != VisitSlot::Stage::kDone) break;
      if (!s.Result.Failed && AfterFailure(s)) s.Drop();
      if (s.Pending() == nullptr) continue;
      // A very large file is committed alone: its flush is the batch's cost.
      if (batch.size() >= BatchFiles() || bytes >= options_.BatchBytes ||
          (!batch.empty() && s.Bytes >= options_.BatchBytes / 2)) {
        break;
      }
      batch.push_back(&s);
      bytes += s.Bytes;
    }
    if (done == 0) break;
    if (!batch.empty() && !DueForCommit(done, batch, bytes)) break;
    std::vector<VisitResult> folders;
    // The folders' failures are told right after the last file of the batch.
    const VisitSlot* folders_after = nullptr;
    if (!batch.empty()) {
      for (VisitSlot* s : batch) s->Committing = true;
      CommitOutcome committed = committer_.Commit(batch, failures_, met_, lock);
      for (VisitSlot* s : batch) s->Committing = false;
      folders = std::move(committed.Folders);
      const std::size_t cut = committed.Settled;
      if (cut > 0) folders_after = batch[cut - 1];
      if (cut < batch.size()) {
        VisitSlot& full = *batch[cut];
        if (!MakeRoom(full)) {
          const EInOutError e = IoError(committed.CutError, full.Item.Path.Text());
          full.Fail(std::make_exception_ptr(e), e.ErrorCode);
          failures_.Note(full.Item.Run, full.Seq);
        }
      } else {
        room_.Grow();
      }
    }
    // Told in the walk's order, up to a visit not committed yet.
    std::vector<VisitResult> told;
    std::size_t visits_told = 0;
    while (!slots_.empty()) {
      VisitSlot& s = *slots_.front();
      if (s.State != VisitSlot::Stage::kDone || s.Pending() != nullptr) break;
      if (!s.Result.Failed && AfterFailure(s)) s.Drop();
      Release(s);
      told.push_back(std::move(s.Result));
      ++visits_told;
      const bool last_of_batch = &s == folders_after;
      slots_.pop_front();
      if (last_of_batch) {
        for (VisitResult& f : folders) told.push_back(std::move(f));
        folders.clear();
      }
    }
    for (VisitResult& f : folders) told.push_back(std::move(f));
    if (told.empty()) break;
    told_ += visits_told;
    any_told = true;
    lock.unlock();
    report_(told);
    lock.lock();
  }
  telling_ = false;
  if (!any_told) return;
  // Room for the conversions that waited for it.
  if (room_.Limited()) work_.notify_all();
  // Waiters are woken when visits were told: the walk only once half the
  // room is free, rather than for each visit.
  if (waiting_ > 0 || (room_waiting_ > 0 && slots_.size() <= most_in_hand_ / 2)) {
    progress_.notify_all();
  }
}
