#include "scan/scrutedossier.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/codepage.h"
#include "platform/dirlist.h"
#include "platform/rewrite.h"
#include "platform/wildcard.h"

namespace {

// Attribute masks of the two listings: every file entry, and the folders.
constexpr int32_t kEveryEntry = 63;
constexpr int32_t kFolderBit = 0x10;

std::string WithoutFinalSeparator(const std::string& folder) {
  if (!folder.empty() && folder.back() == '/') return folder.substr(0, folder.size() - 1);
  return folder;
}

// A folder being walked. Its sub-folder listing stays open while the
// sub-folders it has given so far are walked; a level may be parked (closed,
// its place kept) when the walk goes deeper than the open-listing budget.
struct Level {
  DirList subfolders;
  std::string path;
  std::size_t nameStart;  // where the folder's own name begins in path
  int32_t depth;
  dev_t device = 0;
  ino_t inode = 0;
  long position = 0;
  bool parked = false;
};

// The levels of one walk, from the start folder down to the one being walked.
// They live on the heap rather than the call stack, so depth costs no stack;
// each run has its own.
class Levels {
 public:
  explicit Levels(int budget) : budget_(budget) {}

  bool Empty() const { return items_.empty(); }
  Level& Top() { return items_.back(); }

  void Push(DirList listing, std::string path, std::size_t nameStart, int32_t depth) {
    Level level{std::move(listing), std::move(path), nameStart, depth};
    level.device = level.subfolders.Device();
    level.inode = level.subfolders.Inode();
    if (level.subfolders.IsOpen()) ++open_;
    items_.push_back(std::move(level));
  }

  void Pop() {
    if (items_.back().subfolders.IsOpen()) --open_;
    items_.pop_back();
  }

  // Whether folder is one the walk is already inside (a bind mount of an
  // ancestor, or the same folder reached again).
  bool Inside(const DirList& folder) const {
    for (const Level& level : items_) {
      if ((level.subfolders.IsOpen() || level.parked) && level.device == folder.Device() &&
          level.inode == folder.Inode()) {
        return true;
      }
    }
    return false;
  }

  // Before a level is added: when the budget is spent, parks the shallower
  // half of the open listings, keeping the current one.
  void MakeRoom() {
    if (open_ < budget_) return;
    int toPark = open_ / 2;
    for (std::size_t i = 0; i + 1 < items_.size() && toPark > 0; ++i) {
      Level& level = items_[i];
      if (!level.subfolders.IsOpen()) continue;
      level.position = level.subfolders.Tell();
      level.subfolders.Close();
      level.parked = true;
      --open_;
      --toPark;
    }
  }

  // Reopens the top level where it stood, through the nearest open ancestor;
  // the parked levels just above that one are reopened along the way, as many
  // as half the budget, since the walk comes back to them next.
  void ResumeTop() {
    const std::size_t top = items_.size() - 1;
    std::size_t first = top;
    while (first > 0 && !items_[first - 1].subfolders.IsOpen()) --first;
    const std::size_t half = static_cast<std::size_t>(budget_ / 2);
    const std::size_t keepFrom = top + 1 - std::min(top + 1 - first, half > 0 ? half : 1);
    DirList scratch;
    const DirList* base = first > 0 ? &items_[first - 1].subfolders : nullptr;
    for (std::size_t m = first; m <= top; ++m) {
      Level& level = items_[m];
      DirList next = base == nullptr ? DirList::OpenPath(level.path)
                                     : base->OpenChild(level.path.c_str() + level.nameStart);
      if (!next.IsOpen() || next.Device() != level.device || next.Inode() != level.inode) {
        // Moved or gone since: it and the levels below it give nothing more.
        for (std::size_t k = m; k <= top; ++k) items_[k].parked = false;
        return;
      }
      if (m >= keepFrom) {
        next.Seek(level.position);
        level.subfolders = std::move(next);
        level.parked = false;
        ++open_;
        base = &level.subfolders;
      } else {
        scratch = std::move(next);
        base = &scratch;
      }
    }
  }

 private:
  std::vector<Level> items_;
  int budget_;
  int open_ = 0;
};

}  // namespace

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
  // Copies, so that a handler changing the properties leaves this run alone.
  const std::string folder = dossier_;
  const std::string patterns = filtre_;
  ParcourirDossier(0, folder, patterns, kEveryEntry, sousDossier_);
  if (OnFinExecute) OnFinExecute(this);
}

bool TScruteDossier::Refuses(int32_t depth) const {
  return maxPenetration_ >= 0 && depth > maxPenetration_;
}

void TScruteDossier::ParcourirDossier(int32_t depth, const std::string& folder,
                                      const std::string& patterns, int32_t mask, bool subfolders) {
  if (Refuses(depth)) return;
  Profondeur = depth;
  // This walk's own arguments: a nested run or a handler cannot change them.
  const std::string list = patterns;
  Levels levels(OpenListingBudget());
  {
    std::string path = WithoutFinalSeparator(folder);
    DirList start = DirList::OpenPath(path);
    ListerFichiers(start, path, list, mask);
    levels.Push(std::move(start), std::move(path), 0, depth);
  }
  while (!levels.Empty()) {
    if (levels.Top().parked) levels.ResumeTop();
    Level& level = levels.Top();
    DirEntry entry;
    if (Arret || !level.subfolders.Next(&entry)) {
      levels.Pop();
      if (!levels.Empty()) {
        // Back in the parent, which pumps once the sub-folder is handled.
        Profondeur = levels.Top().depth;
        PumpMessages();
      }
      continue;
    }
    if (!level.subfolders.IsFolder(entry)) continue;
    std::string path = level.path + "/" + entry.Name;
    DossierCourant = path;
    if (OnDossier) OnDossier(this, path);
    if (subfolders && !Arret) {
      const int32_t childDepth = level.depth + 1;
      if (!Refuses(childDepth)) {
        // A link to a folder is reported but never followed, and a folder
        // already on the way down is not walked again: no loop repeats files.
        levels.MakeRoom();
        DirList child;
        if (!level.subfolders.IsLink(entry)) child = level.subfolders.OpenChild(entry.Name);
        if (child.IsOpen() && !levels.Inside(child)) {
          Profondeur = childDepth;
          ListerFichiers(child, path, list, mask);
          const std::size_t nameStart = level.path.size() + 1;
          levels.Push(std::move(child), std::move(path), nameStart, childDepth);
          continue;
        }
      }
      Profondeur = level.depth;
    }
    PumpMessages();
  }
}

void TScruteDossier::ListerFichiers(const std::string& folder, const std::string& patterns,
                                    int32_t mask) {
  const std::string path = WithoutFinalSeparator(folder);
  const std::string list = patterns;
  ListerFichiers(DirList::OpenPath(path), path, list, mask);
}

void TScruteDossier::ListerFichiers(const DirList& folder, const std::string& path,
                                    const std::string& patterns, int32_t mask) {
  std::size_t start = 0;
  bool swept = false;
  for (;;) {
    const std::size_t end = patterns.find(';', start);
    const WildcardPattern pattern(
        patterns.substr(start, end == std::string::npos ? std::string::npos : end - start),
        CodePage::System());
    if (folder.IsOpen() && !pattern.MatchesNothing() && !Arret) {
      DirList files = folder.Reopen();
      DirEntry entry;
      while (!Arret && files.Next(&entry)) {
        // The program's own temporary and backup files are never reported;
        // the first listing of a folder clears away those a killed run left.
        if (IsWorkFileName(entry.Name)) {
          if (!swept) SweepStaleWorkFile(files.Fd(), entry.Name);
          continue;
        }
        if (!pattern.Matches(entry.Name, entry.Length)) continue;
        const bool isFolder = files.IsFolder(entry);
        if (isFolder && (mask & kFolderBit) == 0) continue;
        PumpMessages();
        if (isFolder || !OnFichier) continue;
        std::string name = path + "/" + entry.Name;
        struct stat st {};
        int32_t size = 0, stamp = 0;
        if (files.Status(entry.Name, &st)) {
          size = static_cast<int32_t>(static_cast<uint32_t>(st.st_size));
          DosDateTime(st.st_mtime, &stamp);
        }
        FichierCourant = name;
        Taille = size;
        DateHeure = stamp;
        // A link is a name of its own, not the file it leads to.
        const bool link = files.IsLink(entry);
        Device = link ? 0 : st.st_dev;
        Inode = link ? 0 : st.st_ino;
        OnFichier(this, std::move(name));
      }
      swept = true;
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
}
