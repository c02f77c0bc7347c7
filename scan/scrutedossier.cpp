#include "scan/scrutedossier.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/codepage.h"
#include "platform/dirlist.h"
#include "platform/dosdate.h"
#include "platform/oserror.h"
#include "platform/wildcard.h"
#include "platform/workfile.h"

namespace {

std::string WithoutFinalSeparator(const std::string& folder) {
  if (!folder.empty() && folder.back() == '/') return folder.substr(0, folder.size() - 1);
  return folder;
}

// A folder being walked: its open descriptor, and the entries that may be
// sub-folders, read when it was entered and walked from cursor on. A level
// may be parked (its descriptor closed) when the walk goes deeper than the
// open-folder budget.
struct Level {
  std::shared_ptr<const Fd> folder;
  FolderNames subfolders;
  std::size_t cursor = 0;
  // Its name after its parent's path; the start folder's whole path.
  PathChain path;
  // Where its part of the walk's text begins.
  std::size_t text_start;
  int32_t depth;
  dev_t device = 0;
  ino_t inode = 0;
  // Moved or gone while parked: it gives nothing more.
  bool gone = false;
};

// The levels of one walk, from the start folder down to the one being walked.
// They live on the heap rather than the call stack, so depth costs no stack;
// each run has its own.
class Levels {
 public:
  explicit Levels(int budget) : budget_(budget) {}

  bool Empty() const { return items_.empty(); }
  Level& Top() { return items_.back(); }

  void Push(Level level) {
    ++open_;
    items_.push_back(std::move(level));
  }

  void Pop() {
    if (items_.back().folder) --open_;
    items_.pop_back();
  }

  // Before a level is added: when the budget is spent, parks the shallower
  // half of the open folders, keeping the current one.
  void MakeRoom() {
    if (open_ < budget_) return;
    int to_park = open_ / 2;
    for (std::size_t i = 0; i + 1 < items_.size() && to_park > 0; ++i) {
      Level& level = items_[i];
      if (!level.folder) continue;
      level.folder.reset();
      --open_;
      --to_park;
    }
  }

  // Reopens the top level by name from the nearest open ancestor, never
  // through a link; the parked levels just above it are reopened along the
  // way, as many as half the budget, since the walk comes back to them next.
  // When a folder is no longer where the walk found it, it and the levels
  // below it give nothing more, and its path is returned; none otherwise.
  PathChain ResumeTop() {
    const std::size_t top = items_.size() - 1;
    std::size_t first = top;
    while (first > 0 && !items_[first - 1].folder) --first;
    const std::size_t half = static_cast<std::size_t>(budget_ / 2);
    const std::size_t keep_from = top + 1 - std::min(top + 1 - first, half > 0 ? half : 1);
    std::shared_ptr<const Fd> base = first > 0 ? items_[first - 1].folder : nullptr;
    for (std::size_t m = first; m <= top; ++m) {
      Level& level = items_[m];
      auto next = std::make_shared<const Fd>(
          base == nullptr ? OpenListableFolder(level.path.Text())
                          : OpenListableSubfolder(base->get(), level.path.Name().c_str()));
      struct stat st {};
      if (next->get() < 0 || ::fstat(next->get(), &st) != 0 || st.st_dev != level.device ||
          st.st_ino != level.inode) {
        for (std::size_t k = m; k <= top; ++k) items_[k].gone = true;
        return level.path;
      }
      if (m >= keep_from) {
        level.folder = next;
        ++open_;
      }
      base = std::move(next);
    }
    return PathChain();
  }

 private:
  std::vector<Level> items_;
  int budget_;
  int open_ = 0;
};

// The folders one walk entered, by device and inode, which a bind mount
// shows unchanged: a folder met again (a bind mount of itself, or of a
// folder above it, anywhere in the tree) is not walked twice, so no file is
// met twice that way. It grows with the folders walked, not their files:
// for each device, a table of inodes at most three quarters full, 11 to 22
// bytes a folder.
class MetFolders {
 public:
  // Remembers the folder; false when the walk had already entered it.
  bool Remember(dev_t device, ino_t inode) {
    auto table = std::find_if(tables_.begin(), tables_.end(),
                              [device](const Table& t) { return t.device == device; });
    if (table == tables_.end()) table = tables_.insert(tables_.end(), Table{device});
    return table->Insert(static_cast<std::uint64_t>(inode));
  }

 private:
  struct Table {
    dev_t device;
    // 0 marks a free slot; inode 0 is kept apart.
    std::vector<std::uint64_t> slots = std::vector<std::uint64_t>(16);
    std::size_t size = 0;
    bool zero = false;

    bool Insert(std::uint64_t inode) {
      if (inode == 0) return !std::exchange(zero, true);
      if ((size + 1) * 4 > slots.size() * 3) Grow();
      if (!Place(inode)) return false;
      ++size;
      return true;
    }
    bool Place(std::uint64_t inode) {
      const std::size_t mask = slots.size() - 1;
      const std::uint64_t h = inode * 0x9E3779B97F4A7C15ULL;
      for (std::size_t at = (h ^ h >> 32) & mask;; at = (at + 1) & mask) {
        if (slots[at] == inode) return false;
        if (slots[at] == 0) {
          slots[at] = inode;
          return true;
        }
      }
    }
    void Grow() {
      std::vector<std::uint64_t> old(slots.size() * 2);
      old.swap(slots);
      for (std::uint64_t inode : old) {
        if (inode != 0) Place(inode);
      }
    }
  };
  std::vector<Table> tables_;
};

// The status of the open folder fd, read by a lookup inside it: one that can
// be listed but not entered (read without execute permission) fails here,
// none of its entries could be looked at or opened; 0 or errno.
int EnteredStatus(int fd, struct stat* st) {
  return ::fstatat(fd, ".", st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

// Removes, of the names listed in the open folder fd, the work files a
// killed run left there.
void SweepLeftWorkFiles(int fd, const FolderNames& names) {
  std::size_t cursor = 0;
  DirEntry entry;
  while (names.Next(&cursor, &entry)) {
    if (IsWorkFileName(entry.Name)) SweepStaleWorkFile(fd, entry.Name);
  }
}

std::string CannotOpen(int err) {
  return "impossible d'ouvrir le dossier (" + SystemErrorText(err) + ")";
}

std::string CannotEnter(int err) {
  return "impossible d'entrer dans le dossier (" + SystemErrorText(err) + ")";
}

// Whether name is one of the folders version-control tools keep their own
// files in (config, HEAD, refs, hooks...), which only they should write: a
// hook whose lines end with CR LF no longer runs. Compared byte for byte,
// unlike the filter: the tools make and look for these names exactly so, and
// on Linux a ".GIT" or a "cvs" folder is none of theirs but the user's own,
// converted like any other. A file named ".git" is git's link from a
// worktree or a submodule to its repository, just as much its own.
bool IsRepositoryName(std::string_view name) {
  static constexpr std::string_view kNames[] = {".git", ".svn", ".hg", ".bzr", "CVS", "_darcs"};
  return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

}  // namespace

class TScruteDossier::Exclusions {
 public:
  // Each pattern is made (upper-cased) once for the whole run, not for each
  // folder it lists.
  Exclusions(const std::vector<std::string>& patterns, bool enter_repositories)
      : enter_repositories_(enter_repositories) {
    for (const std::string& pattern : patterns) {
      patterns_.emplace_back(pattern, CodePage::System());
    }
  }

  // Whether the entry is neither reported as a file nor entered as a folder.
  // Out of line: inlined, it crowds the registers of the listing's loop,
  // which every file of the walk goes through.
  [[gnu::noinline]] bool Leave(const DirEntry& entry) const {
    if (!enter_repositories_ && IsRepositoryName(std::string_view(entry.Name, entry.Length))) {
      return true;
    }
    for (const WildcardPattern& pattern : patterns_) {
      if (pattern.Matches(entry.Name, entry.Length)) return true;
    }
    return false;
  }

 private:
  std::vector<WildcardPattern> patterns_;
  bool enter_repositories_;
};

TScruteDossier::TScruteDossier(TComponent* owner)
    : TComponent(owner), dossier_("/"), filtre_("*.*") {}

void TScruteDossier::Execute() {
  if (OnExecute) OnExecute(this);
  Arret = false;
  FichierCourant.clear();
  DossierCourant.clear();
  Taille = 0;
  DateHeure = 0;
  Device = 0;
  Inode = 0;
  Entry = FolderEntry();
  FailedFolder = PathChain();
  // Copies, so that a handler changing the properties leaves this run alone.
  const std::string folder = dossier_;
  const std::string patterns = filtre_;
  {
    // No folder stays open once the walk is over, however it ends: the
    // user may want to unmount it.
    struct Forget {
      FolderEntry& entry;
      ~Forget() { entry = FolderEntry(); }
    } forget{Entry};
    ParcourirDossier(0, folder, patterns, sous_dossier_);
  }
  if (OnFinExecute) OnFinExecute(this);
}

bool TScruteDossier::Refuses(int32_t depth) const {
  return max_penetration_ >= 0 && depth > max_penetration_;
}

void TScruteDossier::Fail(const PathChain& folder, const std::string& message) {
  FailedFolder = folder;
  if (OnEchec) OnEchec(this, folder.Text(), message);
}

void TScruteDossier::ReadFolder(const std::shared_ptr<const Fd>& folder, const PathChain& path,
                                FolderNames* names) {
  if (int err = names->Read(folder->get())) {
    Fail(path, "impossible de lire le dossier en entier (" + SystemErrorText(err) + ")");
  }
}

void TScruteDossier::ParcourirDossier(int32_t depth, const std::string& folder,
                                      const std::string& patterns, bool subfolders) {
  if (Refuses(depth)) return;
  Profondeur = depth;
  // This walk's own arguments: a nested run or a handler cannot change them.
  const std::string list = patterns;
  const Exclusions left_alone(Exclude, EnterRepositories);
  Levels levels(OpenListingBudget());
  // The path of the level being walked as text, beside the names: each
  // event's path is one copy of it rather than a climb up the chain. One
  // path for the walk, not one for each level.
  std::string here;
  // Lists the files of a folder just opened, then makes it the walk's level;
  // here already names it, from text_start on.
  auto enter = [&](std::shared_ptr<const Fd> fd, const struct stat& st, PathChain path,
                   std::size_t text_start, int32_t at) {
    Level level{std::move(fd), FolderNames(), 0,    std::move(path), text_start, at,
                st.st_dev,     st.st_ino,     false};
    FolderNames names;
    ReadFolder(level.folder, level.path, &names);
    if (SweepWorkFiles && !Arret) SweepLeftWorkFiles(level.folder->get(), names);
    ListerFichiers(level.folder, names, level.path, here, list, left_alone);
    names.KeepPossibleFolders();
    level.subfolders = std::move(names);
    levels.Push(std::move(level));
  };
  MetFolders met;
  {
    PathChain path(WithoutFinalSeparator(folder));
    auto fd = std::make_shared<const Fd>(OpenListableFolder(path.Name()));
    struct stat st {};
    if (fd->get() < 0) {
      Fail(path, CannotOpen(errno));
      return;
    }
    if (int err = EnteredStatus(fd->get(), &st)) {
      Fail(path, CannotEnter(err));
      return;
    }
    met.Remember(st.st_dev, st.st_ino);
    here = path.Name();
    enter(std::move(fd), st, std::move(path), 0, depth);
  }
  while (!levels.Empty()) {
    if (!levels.Top().folder && !levels.Top().gone) {
      const PathChain moved = levels.ResumeTop();
      if (!moved.Empty()) Fail(moved, "dossier déplacé pendant le parcours");
    }
    Level& level = levels.Top();
    DirEntry entry;
    if (Arret || !level.folder || !level.subfolders.Next(&level.cursor, &entry)) {
      here.resize(level.text_start);
      levels.Pop();
      if (!levels.Empty()) {
        // Back in the parent, which pumps once the sub-folder is handled.
        Profondeur = levels.Top().depth;
        PumpMessages();
      }
      continue;
    }
    const int parent = level.folder->get();
    if (!IsSubfolderEntry(parent, entry)) continue;
    PathChain path(level.path, entry.Name);
    DossierCourant.assign(here).append(1, '/').append(entry.Name);
    if (OnDossier) OnDossier(this, DossierCourant);
    // A folder left alone is met but not entered; nor is it missed at the
    // depth limit, since it would not have been walked anyway.
    if (subfolders && !Arret && !left_alone.Leave(entry)) {
      const int32_t child_depth = level.depth + 1;
      // A folder the walk already entered is not walked again: neither a
      // loop nor a bind mount repeats files.
      if (Refuses(child_depth)) {
        // Without sub-folders asked for, none is missed.
        if (max_penetration_ > 0) {
          Fail(path, "sous-dossiers non parcourus au-delà de " + std::to_string(max_penetration_) +
                         " niveaux");
        }
      } else {
        levels.MakeRoom();
        auto child = std::make_shared<const Fd>(OpenListableSubfolder(parent, entry.Name));
        struct stat st {};
        int entered = 0;
        if (child->get() < 0) {
          // One that went away meanwhile is no failure, as for a file.
          if (errno != ENOENT) Fail(path, CannotOpen(errno));
        } else if ((entered = EnteredStatus(child->get(), &st)) != 0) {
          Fail(path, CannotEnter(entered));
        } else if (met.Remember(st.st_dev, st.st_ino)) {
          Profondeur = child_depth;
          const std::size_t text_start = here.size();
          here.append(1, '/').append(entry.Name);
          enter(std::move(child), st, std::move(path), text_start, child_depth);
          continue;
        }
      }
      Profondeur = level.depth;
    }
    PumpMessages();
  }
}

void TScruteDossier::ListerFichiers(const std::string& folder, const std::string& patterns) {
  const PathChain path(WithoutFinalSeparator(folder));
  const std::string list = patterns;
  auto fd = std::make_shared<const Fd>(OpenListableFolder(path.Name()));
  struct stat st {};
  if (fd->get() < 0) {
    Fail(path, CannotOpen(errno));
    return;
  }
  if (int err = EnteredStatus(fd->get(), &st)) {
    Fail(path, CannotEnter(err));
    return;
  }
  FolderNames names;
  ReadFolder(fd, path, &names);
  ListerFichiers(fd, names, path, path.Name(), list, Exclusions(Exclude, EnterRepositories));
}

void TScruteDossier::ListerFichiers(const std::shared_ptr<const Fd>& folder,
                                    const FolderNames& names, const PathChain& path,
                                    const std::string& text, const std::string& patterns,
                                    const Exclusions& left_alone) {
  const int fd = folder->get();
  // Cut once: without repeats, each pattern asks those before it.
  std::vector<WildcardPattern> list;
  for (std::size_t start = 0;;) {
    const std::size_t end = patterns.find(';', start);
    list.emplace_back(
        patterns.substr(start, end == std::string::npos ? std::string::npos : end - start),
        CodePage::System());
    if (end == std::string::npos) break;
    start = end + 1;
  }
  for (std::size_t k = 0; k < list.size(); ++k) {
    const WildcardPattern& pattern = list[k];
    if (!pattern.MatchesNothing() && !Arret) {
      std::size_t cursor = 0;
      DirEntry entry;
      while (!Arret && names.Next(&cursor, &entry)) {
        // The program's own temporary and backup files are never reported.
        if (IsWorkFileName(entry.Name)) continue;
        if (!pattern.Matches(entry.Name, entry.Length) || left_alone.Leave(entry)) continue;
        if (!ReportRepeats &&
            std::any_of(
                list.begin(), list.begin() + static_cast<std::ptrdiff_t>(k),
                [&](const WildcardPattern& p) { return p.Matches(entry.Name, entry.Length); })) {
          continue;
        }
        // A folder the pattern matches pumps like a file, but is none.
        const bool is_folder = IsSubfolderEntry(fd, entry);
        PumpMessages();
        if (is_folder || !OnFichier) continue;
        PathChain name(path, entry.Name);
        // A link is a name of its own, not the file it leads to, which is
        // never looked at.
        struct stat st {};
        int32_t size = 0, stamp = 0;
        const bool known = ::fstatat(fd, entry.Name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (known) {
          size = static_cast<int32_t>(static_cast<uint32_t>(st.st_size));
          DosDateTime(st.st_mtime, &stamp);
        }
        FichierCourant.assign(text).append(1, '/').append(entry.Name);
        Taille = size;
        DateHeure = stamp;
        const bool file = known && !S_ISLNK(st.st_mode);
        Device = file ? st.st_dev : 0;
        Inode = file ? st.st_ino : 0;
        Entry = FolderEntry(folder, std::move(name));
        if (known) Entry.SetListed(st);
        OnFichier(this, FichierCourant);
      }
    }
  }
}
