#include "convert/runs.h"

#include <sys/stat.h>

#include <algorithm>

namespace {

// Whether the walk may meet the file of visit again, under another name.
bool HasOtherNames(const Visit& visit) {
  const struct stat* listed = visit.Entry.Listed();
  return listed != nullptr && listed->st_nlink > 1;
}

}  // namespace

bool MetFiles::Meet(const Visit& visit) {
  // A file another run of the scope converted by a rename has a new inode,
  // which that run noted once it was in place.
  if (visit.Scope != 0) return met_[visit.Scope].insert(visit.Key).second;
  return !HasOtherNames(visit) || met_[visit.Run].insert(visit.Key).second;
}

void MetFiles::Placed(unsigned scope, std::uint64_t device, std::uint64_t inode) {
  if (scope != 0) met_[scope].insert(FileKey{device, inode, ""});
}

void MetFiles::Forget(unsigned run) {
  met_.erase(run);
}

void RunFailures::Note(unsigned run, std::uint64_t seq) {
  auto [it, fresh] = first_.try_emplace(run, seq);
  if (!fresh) it->second = std::min(it->second, seq);
}

bool RunFailures::Past(unsigned run, std::uint64_t seq) const {
  if (!end_runs_) return false;
  auto it = first_.find(run);
  return it != first_.end() && seq > it->second;
}
