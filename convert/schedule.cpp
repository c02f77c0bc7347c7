#include "convert/schedule.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>
#include <system_error>

#include "base/errors.h"
#include "platform/dirlist.h"
#include "platform/paths.h"

namespace {

// How long the walk waits for room before it calls back, so that a window
// stays responsive while its run is held up.
constexpr std::chrono::milliseconds kRoomWait{50};
// When the walk is slower than the conversion, what is converted waits this
// long for more to share its barrier.
constexpr std::chrono::milliseconds kIdleCommit{20};
constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

// Visits in hand at most: each holds a file, its temporary file and its
// folder open, beside the folders the walk holds and a few more (the
// standard streams, the state folder, a rewrite in place's copy and
// record), fewer of them under a small limit. Never more than the limit
// leaves room for, however small: a visit that still finds none is tried
// again with fewer in hand.
std::size_t InHandFromDescriptors() {
  struct rlimit limit {};
  std::size_t open = 1024;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    open = static_cast<std::size_t>(limit.rlim_cur);
  }
  const std::size_t used =
      static_cast<std::size_t>(OpenListingBudget()) + std::clamp<std::size_t>(open / 4, 16, 64);
  const std::size_t room = open > used ? (open - used) / 3 : 0;
  return std::clamp<std::size_t>(room, 1, 1024);
}

// A failure that fewer files in hand may cure: a full disk or quota, or no
// descriptor left.
bool WantsRoom(int err) {
  return err == ENOSPC || err == EDQUOT || err == EMFILE || err == ENFILE;
}

bool WantsRoom(const std::exception_ptr& error) {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const EInOutError& e) {
    return e.ErrorCode == io_code::kDiskFull || e.ErrorCode == io_code::kTooManyOpenFiles;
  } catch (...) {
  }
  return false;
}

// Whether the walk may meet the file of visit again, under another name.
bool HasOtherNames(const Visit& visit) {
  const struct stat* listed = visit.Entry.Listed();
  return listed != nullptr && listed->st_nlink > 1;
}

}  // namespace

std::size_t FileKeyHash::operator()(const FileKey& k) const {
  if (k.Inode == 0) return std::hash<std::string>()(k.Path);
  return std::hash<std::uint64_t>()(k.Inode * 0x9E3779B97F4A7C15ULL ^ k.Device);
}

struct Schedule::Slot {
  enum class State { kWaiting, kReady, kRunning, kDone };
  Visit visit;
  // Its place in the walk's order.
  std::uint64_t seq = 0;
  State state = State::kReady;
  VisitResult result;
  std::unique_ptr<PreparedConversion> prepared;
  // Its new content has to be flushed to outlive a power cut.
  bool needs_flush = true;
  std::uint64_t bytes = 0;
  // Whether it holds its file's strand.
  bool in_strand = false;
  // In a batch being committed: nothing else may touch its new content.
  bool committing = false;
  // Converted while no other visit held room or could take any: a full
  // disk then leaves no hope of another try.
  bool alone = false;
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
  if (visit.Scope != 0) {
    // A file another run of the scope converted by a rename has a new
    // inode, which that run noted once it was in place.
    if (!met_[visit.Scope].insert(visit.Key).second) return !stopping_;
  } else if (HasOtherNames(visit) && !met_[visit.Run].insert(visit.Key).second) {
    return !stopping_;
  }
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
  auto owned = std::make_unique<Slot>();
  Slot& slot = *owned;
  slot.visit = std::move(visit);
  slot.seq = next_seq_++;
  slot.result.Path = slot.visit.Path;
  slot.result.Run = slot.visit.Run;
  slots_.push_back(std::move(owned));
  ++found_;
  if (AfterFailure(slot)) {
    slot.Drop();
    CommitAndTell(lock);
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
  if (workers_.empty()) {
    while (ConvertOne(lock)) {
    }
    CommitAndTell(lock);
  }
  return true;
}

void Schedule::AddFailure(PathChain path, std::string message, unsigned run) {
  std::unique_lock<std::mutex> lock(m_);
  auto owned = std::make_unique<Slot>();
  owned->seq = next_seq_++;
  owned->state = Slot::State::kDone;
  owned->result.Path = std::move(path);
  owned->result.Folder = true;
  owned->result.Run = run;
  owned->result.Failed = true;
  owned->result.Message = std::move(message);
  NoteFailure(run, owned->seq);
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
                      [run](const std::unique_ptr<Slot>& s) { return s->visit.Run == run; });
}

bool Schedule::RunFailed(unsigned run) {
  std::lock_guard<std::mutex> lock(m_);
  return first_failure_.count(run) != 0;
}

void Schedule::EndRun(unsigned run) {
  std::lock_guard<std::mutex> lock(m_);
  met_.erase(run);
  first_failure_.erase(run);
}

void Schedule::Progress(std::size_t* done, std::size_t* found, std::string* current) {
  std::lock_guard<std::mutex> lock(m_);
  *done = told_;
  *found = found_;
  *current = current_.Text();
}

bool Schedule::AfterFailure(const Slot& slot) const {
  if (!options_.StopRunAtFailure) return false;
  auto it = first_failure_.find(slot.visit.Run);
  return it != first_failure_.end() && slot.seq > it->second;
}

void Schedule::NoteFailure(unsigned run, std::uint64_t seq) {
  auto [it, fresh] = first_failure_.try_emplace(run, seq);
  if (!fresh) it->second = std::min(it->second, seq);
}

bool Schedule::HasRoom(const Slot& slot) const {
  return room_ == kNoLimit || slot.seq < slots_.front()->seq + room_;
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

Schedule::Slot* Schedule::TakeStartable() {
  for (auto it = ready_.begin(); it != ready_.end(); ++it) {
    if (HasRoom(**it)) {
      Slot* slot = *it;
      ready_.erase(it);
      return slot;
    }
  }
  return nullptr;
}

bool Schedule::ConvertOne(std::unique_lock<std::mutex>& lock) {
  Slot* taken = TakeStartable();
  if (taken == nullptr) return false;
  Slot& slot = *taken;
  if (AfterFailure(slot)) {
    slot.Drop();
    Release(slot);
    CommitAndTell(lock);
    return true;
  }
  slot.state = Slot::State::kRunning;
  slot.alone = room_ == 1 && converting_ == 0 &&
               std::none_of(slots_.begin(), slots_.end(),
                            [](const std::unique_ptr<Slot>& s) { return s->Pending() != nullptr; });
  current_ = slot.visit.Path;
  ++converting_;
  lock.unlock();
  Perform(slot);
  lock.lock();
  --converting_;
  Finish(slot);
  CommitAndTell(lock);
  return true;
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
      slot.needs_flush = pending->NeedsToOutlive() != Durability::kInMemory;
      slot.bytes = static_cast<std::uint64_t>(slot.prepared->Bytes());
    }
  } catch (...) {
    slot.Fail(std::current_exception());
  }
}

void Schedule::Finish(Slot& slot) {
  if (slot.result.Failed && WantsRoom(slot.result.Error) && MakeRoom(slot)) return;
  slot.state = Slot::State::kDone;
  slot.done_at = std::chrono::steady_clock::now();
  if (slot.result.Failed) NoteFailure(slot.visit.Run, slot.seq);
  // The room shrank while it was converted.
  if (slot.Pending() != nullptr && !HasRoom(slot)) {
    SendBack(slot);
    return;
  }
  // The next visit of the same file may read it now, unless this one has
  // yet to be committed.
  if (slot.Pending() == nullptr) Release(slot);
}

bool Schedule::MakeRoom(Slot& slot) {
  // Whether others held room when the disk was found full (or descriptors
  // ran out) is not whether they hold it now: only a file converted alone
  // fails.
  if (slot.alone) return false;
  std::size_t holding = 0;
  for (const auto& s : slots_) {
    if (s.get() != &slot && (s->state == Slot::State::kRunning || s->Pending() != nullptr)) {
      ++holding;
    }
  }
  room_ = std::max<std::size_t>(1, std::min(room_, holding + 1) / 2);
  SendBack(slot);
  for (const auto& s : slots_) {
    if (s->state == Slot::State::kDone && s->Pending() != nullptr && !s->committing &&
        !HasRoom(*s)) {
      SendBack(*s);
    }
  }
  return true;
}

void Schedule::SendBack(Slot& slot) {
  slot.prepared.reset();
  slot.result = VisitResult();
  slot.result.Path = slot.visit.Path;
  slot.result.Run = slot.visit.Run;
  slot.needs_flush = true;
  slot.bytes = 0;
  slot.state = Slot::State::kReady;
  // Before the visits after it, so that the front of the walk goes first.
  auto at = std::find_if(ready_.begin(), ready_.end(),
                         [&slot](const Slot* s) { return s->seq > slot.seq; });
  ready_.insert(at, &slot);
  if (idle_ > 0) work_.notify_one();
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

bool Schedule::DueForCommit(std::size_t done, const std::vector<Slot*>& batch,
                            std::uint64_t bytes) const {
  // Stopped short of a slot that is done: a limit was reached.
  if (done < slots_.size() && slots_[done]->state == Slot::State::kDone) return true;
  if (batch.size() >= BatchFiles() || bytes >= options_.BatchBytes) return true;
  // Where contents need no flush, nothing is gained by waiting; nor where
  // the disk is nearly full, and the room is what waits.
  if (!batch.front()->needs_flush || room_ != kNoLimit) return true;
  if (stopping_) return true;
  // While a visit in hand is still being converted, it may join the batch:
  // its end calls again. Once all are done, the batch waits no more when
  // someone waits for it (the end of a run, the walk wanting room), or when
  // the walk has been slow to give more.
  if (done == slots_.size()) {
    if (waiting_ > 0 || room_waiting_ > 0 || closed_) return true;
    if (ready_.empty() && converting_ == 0 &&
        std::chrono::steady_clock::now() - batch.front()->done_at >= kIdleCommit) {
      return true;
    }
  }
  // A later visit of one of these files waits for it.
  if (strands_waiting_ == 0) return false;
  for (std::size_t i = 0; i < done; ++i) {
    const Slot& s = *slots_[i];
    if (s.in_strand && s.Pending() != nullptr) {
      auto strand = strands_.find(s.visit.Key);
      if (strand != strands_.end() && !strand->second.empty()) return true;
    }
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
    std::vector<Slot*> batch;
    std::uint64_t bytes = 0;
    std::size_t done = 0;
    for (; done < slots_.size(); ++done) {
      Slot& s = *slots_[done];
      if (s.state != Slot::State::kDone) break;
      if (!s.result.Failed && AfterFailure(s)) s.Drop();
      if (s.Pending() == nullptr) continue;
      // A very large file is committed alone: its flush is the batch's cost.
      if (batch.size() >= BatchFiles() || bytes >= options_.BatchBytes ||
          (!batch.empty() && s.bytes >= options_.BatchBytes / 2)) {
        break;
      }
      batch.push_back(&s);
      bytes += s.bytes;
    }
    if (done == 0) break;
    if (!batch.empty() && !DueForCommit(done, batch, bytes)) break;
    std::vector<VisitResult> folders;
    // The folders' failures are told right after the last file of the batch.
    const Slot* folders_after = nullptr;
    if (!batch.empty()) {
      for (Slot* s : batch) s->committing = true;
      int cut_error = 0;
      const std::size_t cut = Commit(batch, &folders, &cut_error, lock);
      for (Slot* s : batch) s->committing = false;
      if (cut > 0) folders_after = batch[cut - 1];
      if (cut < batch.size()) {
        Slot& full = *batch[cut];
        if (!MakeRoom(full)) {
          full.Fail(std::make_exception_ptr(IoError(cut_error, full.visit.Path.Text())));
          NoteFailure(full.visit.Run, full.seq);
        }
      } else if (room_ != kNoLimit) {
        // Space freed (another program's, or the old contents replaced)
        // lets the batches grow back.
        room_ = room_ >= most_in_hand_ / 2 ? kNoLimit : room_ * 2;
      }
    }
    // Told in the walk's order, up to a visit not committed yet.
    std::vector<VisitResult> told;
    std::size_t visits_told = 0;
    while (!slots_.empty()) {
      Slot& s = *slots_.front();
      if (s.state != Slot::State::kDone || s.Pending() != nullptr) break;
      if (!s.result.Failed && AfterFailure(s)) s.Drop();
      Release(s);
      told.push_back(std::move(s.result));
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
  if (room_ != kNoLimit) work_.notify_all();
  // Waiters are woken when visits were told: the walk only once half the
  // room is free, rather than for each visit.
  if (waiting_ > 0 || (room_waiting_ > 0 && slots_.size() <= most_in_hand_ / 2)) {
    progress_.notify_all();
  }
}

std::size_t Schedule::Commit(std::vector<Slot*>& batch, std::vector<VisitResult>* folders,
                             int* cut_error, std::unique_lock<std::mutex>& lock) {
  std::vector<Rewrite*> rewrites;
  for (Slot* s : batch) rewrites.push_back(s->Pending());
  lock.unlock();
  const std::vector<int> durable = MakeDurableTogether(rewrites);
  lock.lock();
  std::vector<Rewrite*> placed;
  std::vector<Slot*> placed_slots;
  std::size_t cut = batch.size();
  for (std::size_t i = 0; i < batch.size(); ++i) {
    Slot& s = *batch[i];
    if (AfterFailure(s)) {
      s.Drop();
      continue;
    }
    int err = durable[i];
    std::exception_ptr error;
    lock.unlock();
    try {
      if (err == 0) err = s.Pending()->PutInPlace();
      if (err != 0 && !WantsRoom(err)) {
        error = std::make_exception_ptr(IoError(err, s.visit.Path.Text()));
      }
    } catch (const std::bad_alloc&) {
      error = std::make_exception_ptr(EOutOfMemory());
    }
    lock.lock();
    // Nothing after it is put in place before it has had another try.
    if (WantsRoom(err)) {
      cut = i;
      *cut_error = err;
      break;
    }
    if (error) {
      s.Fail(error);
      NoteFailure(s.visit.Run, s.seq);
      continue;
    }
    placed.push_back(s.Pending());
    placed_slots.push_back(&s);
    if (s.visit.Scope != 0) {
      met_[s.visit.Scope].insert(
          FileKey{s.visit.Key.Device, static_cast<std::uint64_t>(s.Pending()->PlacedInode()), ""});
    }
  }
  // The renames outlive a power cut only once their folders are flushed. A
  // folder that fails is named once, after the files renamed in it: they
  // are in place. What follows in its run goes no further.
  lock.unlock();
  const std::vector<FolderFlushFailure> unflushed = SyncFoldersOf(placed);
  lock.lock();
  for (const FolderFlushFailure& f : unflushed) {
    const Slot& last = *placed_slots.back();
    NoteFailure(placed_slots[f.First]->visit.Run, last.seq);
    const PathChain folder = placed[f.First]->Entry().Chain().Folder();
    const std::string text = folder.Text();
    if (!unflushed_.insert(text).second) continue;
    VisitResult r;
    r.Path = folder;
    r.Folder = true;
    r.Run = placed_slots[f.First]->visit.Run;
    r.Failed = true;
    r.Message = UnflushedFolderMessage(f.Error);
    r.Error = std::make_exception_ptr(UnflushedFolderError(f.Error, text));
    folders->push_back(std::move(r));
  }
  // Their work files go without the lock held.
  std::vector<std::unique_ptr<PreparedConversion>> committed;
  for (std::size_t i = 0; i < cut; ++i) committed.push_back(std::move(batch[i]->prepared));
  lock.unlock();
  committed.clear();
  lock.lock();
  return cut;
}
