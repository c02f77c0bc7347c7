#include "scan/scrutedossier.h"

#include <sys/stat.h>

#include <utility>
#include <vector>

#include "convert/codepage.h"
#include "platform/dirlist.h"
#include "platform/wildcard.h"

namespace {

// Attribute masks of the two listings: every file entry, and the folders.
constexpr int32_t kEveryEntry = 63;
constexpr int32_t kFolderBit = 0x10;

std::string WithoutFinalSeparator(const std::string& folder) {
  if (!folder.empty() && folder.back() == '/') return folder.substr(0, folder.size() - 1);
  return folder;
}

// A folder being walked: its sub-folder listing stays open while the
// sub-folders it has given so far are walked.
struct Level {
  DirList subfolders;
  std::string path;
  int32_t depth;
};

// Whether folder is one the walk is already inside (a bind mount of an
// ancestor, or the same folder reached again).
bool AlreadyInside(const std::vector<Level>& levels, const DirList& folder) {
  for (const Level& level : levels) {
    if (level.subfolders.IsOpen() && level.subfolders.Device() == folder.Device() &&
        level.subfolders.Inode() == folder.Inode()) {
      return true;
    }
  }
  return false;
}

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
  RaiseOpenFileLimit();
  // This walk's own arguments: a nested run or a handler cannot change them.
  const std::string list = patterns;
  // The levels live here rather than on the call stack, so depth costs heap
  // memory only; each run has its own.
  std::vector<Level> levels;
  {
    std::string path = WithoutFinalSeparator(folder);
    DirList start = DirList::OpenPath(path);
    ListFiles(start, path, list, mask);
    levels.push_back(Level{std::move(start), std::move(path), depth});
  }
  while (!levels.empty()) {
    Level& level = levels.back();
    DirEntry entry;
    if (Arret || !level.subfolders.Next(&entry)) {
      levels.pop_back();
      if (!levels.empty()) {
        // Back in the parent, which pumps once the sub-folder is handled.
        Profondeur = levels.back().depth;
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
        DirList child;
        if (!level.subfolders.IsLink(entry)) child = level.subfolders.OpenChild(entry.Name);
        if (child.IsOpen() && !AlreadyInside(levels, child)) {
          Profondeur = childDepth;
          ListFiles(child, path, list, mask);
          levels.push_back(Level{std::move(child), std::move(path), childDepth});
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
  ListFiles(DirList::OpenPath(path), path, list, mask);
}

void TScruteDossier::ListFiles(const DirList& folder, const std::string& path,
                               const std::string& patterns, int32_t mask) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = patterns.find(';', start);
    const WildcardPattern pattern(
        patterns.substr(start, end == std::string::npos ? std::string::npos : end - start),
        CodePage::System());
    if (folder.IsOpen() && !pattern.MatchesNothing() && !Arret) {
      DirList files = folder.Reopen();
      DirEntry entry;
      while (!Arret && files.Next(&entry)) {
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
        OnFichier(this, std::move(name));
      }
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
}
