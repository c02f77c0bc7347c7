#pragma once
// One visit of a file by a walk, as a schedule takes it, and what became of
// it, as the schedule tells it.

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "convert/conversion.h"
#include "convert/info.h"
#include "platform/folderentry.h"
#include "platform/pathchain.h"

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
  // The program's code of the failure (the 32 of "Erreur E/S 32"); 0 for a
  // failure without one (a folder's, memory that ran out).
  int Code = 0;
  // What a trial shows of the file in place of its line, and what it warns
  // of, as its own Try gives them.
  std::string Shown;
  std::vector<TrialWarning> Warnings;
  // What a trial that inspects files rather than converting them found.
  FileInfo Info;
  // The failure itself, for a caller that shows it as it came.
  std::exception_ptr Error;
};
