#pragma once
// What a schedule keeps of each run: the files it met, so that it converts
// each once, and the first of its visits that failed.

#include <cstdint>
#include <unordered_map>
#include <unordered_set>

#include "convert/visit.h"

// Each file once per run, at the first name the walk meets it by, or once
// per scope, by whichever of its runs meets it first.
class MetFiles {
 public:
  // Notes the file of visit as met; false when its scope, or its run, had
  // met it already, and the visit is to be passed over. A run alone notes
  // only files of several names: the walk meets no other file twice.
  bool Meet(const Visit& visit);
  // A file of scope, put in place under a new inode (a rename), which the
  // scope's runs are not to convert again either.
  void Placed(unsigned scope, std::uint64_t device, std::uint64_t inode);
  // Forgets what run, or the scope of that number, met.
  void Forget(unsigned run);

 private:
  // For each run, the files of several names it met; for each scope, every
  // file its runs met.
  std::unordered_map<unsigned, std::unordered_set<FileKey, FileKeyHash>> met_;
};

// Where runs failed, and, for a schedule whose failures end their runs
// (the window's), which visits come too late.
class RunFailures {
 public:
  explicit RunFailures(bool end_runs) : end_runs_(end_runs) {}
  // The visit seq of run failed.
  void Note(unsigned run, std::uint64_t seq);
  // Whether a visit of run failed.
  bool Failed(unsigned run) const { return first_.count(run) != 0; }
  // Whether the visit seq of run comes after a failure of its run when
  // failures end runs: it is then neither converted nor put in place.
  bool Past(unsigned run, std::uint64_t seq) const;
  void Forget(unsigned run) { first_.erase(run); }

 private:
  const bool end_runs_;
  // For each run that failed, the visit that failed first.
  std::unordered_map<unsigned, std::uint64_t> first_;
};
