#pragma once
// Batches of converted visits put in place in the walk's order, many behind
// one barrier: a flush per file costs milliseconds on most disks, one for a
// batch of them costs no more. A folder whose flush fails once files are
// renamed in it is told once, after them.

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "convert/runs.h"
#include "convert/slot.h"
#include "convert/visit.h"

// What putting a batch in place came to.
struct CommitOutcome {
  // The visits of the batch settled, from its first: put in place, failed
  // or dropped. Short of the whole batch when the disk filled up, or
  // descriptors ran out (CutError, an errno, says which), at the next one,
  // which, with those after it, is not in place.
  std::size_t Settled = 0;
  int CutError = 0;
  // Folders whose flush failed, each told once, after the last visit
  // settled.
  std::vector<VisitResult> Folders;
};

class Committer {
 public:
  // Puts the new contents of batch (visits done, each with one pending) in
  // place, in order, the lock held only between the system's calls. A visit
  // past a failure of its run is dropped; one that fails is told to
  // failures; a file put in place under a new inode is told to met.
  CommitOutcome Commit(const std::vector<VisitSlot*>& batch, RunFailures& failures, MetFiles& met,
                       std::unique_lock<std::mutex>& lock);

 private:
  // Folders whose flush failed, told once.
  std::unordered_set<std::string> unflushed_;
};
