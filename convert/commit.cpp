#include "convert/commit.h"

#include <exception>
#include <memory>
#include <new>

#include "base/errors.h"
#include "convert/ioerror.h"

CommitOutcome Committer::Commit(const std::vector<VisitSlot*>& batch, RunFailures& failures,
                                MetFiles& met, std::unique_lock<std::mutex>& lock) {
  CommitOutcome outcome;
  outcome.Settled = batch.size();
  std::vector<Rewrite*> rewrites;
  for (VisitSlot* s : batch) rewrites.push_back(s->Pending());
  lock.unlock();
  const std::vector<int> durable = MakeDurableTogether(rewrites);
  lock.lock();
  std::vector<Rewrite*> placed;
  std::vector<VisitSlot*> placed_slots;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    VisitSlot& s = *batch[i];
    if (failures.Past(s.Item.Run, s.Seq)) {
      s.Drop();
      continue;
    }
    int err = durable[i];
    std::exception_ptr error;
    int code = 0;
    lock.unlock();
    try {
      if (err == 0) err = s.Pending()->PutInPlace();
      if (err != 0) {
        const EInOutError e = IoError(err, s.Item.Path.Text());
        code = e.ErrorCode;
        if (!IsShortage(code)) error = std::make_exception_ptr(e);
      }
    } catch (const std::bad_alloc&) {
      error = std::make_exception_ptr(EOutOfMemory());
    }
    lock.lock();
    // Nothing after it is put in place before it has had another try.
    if (!error && IsShortage(code)) {
      outcome.Settled = i;
      outcome.CutError = err;
      break;
    }
    if (error) {
      s.Fail(error, code);
      failures.Note(s.Item.Run, s.Seq);
      continue;
    }
    placed.push_back(s.Pending());
    placed_slots.push_back(&s);
    met.Placed(s.Item.Scope, s.Item.Key.Device,
               static_cast<std::uint64_t>(s.Pending()->PlacedInode()));
  }
  // The renames outlive a power cut only once their folders are flushed. A
  // folder that fails is named once, after the files renamed in it: they
  // are in place. What follows in its run goes no further.
  lock.unlock();
  const std::vector<FolderFlushFailure> unflushed = SyncFoldersOf(placed);
  lock.lock();
  for (const FolderFlushFailure& f : unflushed) {
    const VisitSlot& first = *placed_slots[f.First];
    failures.Note(first.Item.Run, placed_slots.back()->Seq);
    const PathChain folder = placed[f.First]->Entry().Chain().Folder();
    const std::string text = folder.Text();
    if (!unflushed_.insert(text).second) continue;
    VisitResult r;
    r.Path = folder;
    r.Folder = true;
    r.Run = first.Item.Run;
    r.Failed = true;
    r.Message = UnflushedFolderMessage(f.Error);
    r.Error = std::make_exception_ptr(UnflushedFolderError(f.Error, text));
    outcome.Folders.push_back(std::move(r));
  }
  // Their work files go without the lock held.
  std::vector<std::unique_ptr<PreparedConversion>> committed;
  for (std::size_t i = 0; i < outcome.Settled; ++i)
    committed.push_back(std::move(batch[i]->Prepared));
  lock.unlock();
  committed.clear();
  lock.lock();
  return outcome;
}
