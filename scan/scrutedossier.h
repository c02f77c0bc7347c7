#pragma once
// A non-visual component that walks a folder tree depth first and reports,
// by event, every file matching a list of patterns and every sub-folder met.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/component.h"
#include "platform/dirlist.h"
#include "platform/folderentry.h"
#include "platform/pathchain.h"

// How deep a walk goes unless told otherwise, and as deep as the programs
// let it go: the folders below are reported, not entered.
inline constexpr int32_t kDepthLimit = 10000;

// An event about one path: Nom is the full path of a file or sub-folder, put
// together for the event.
using TScruteEvent = std::function<void(TObject* Sender, std::string Nom)>;
// A folder the walk could not go through: Nom is its path, Message says why
// in French.
using TScruteEchec = std::function<void(TObject* Sender, std::string Nom, std::string Message)>;

// Walks Dossier; the window converts each file it reports through OnFichier.
class TScruteDossier : public TComponent {
 public:
  // Starts configured to walk the whole root with every file reported.
  explicit TScruteDossier(TComponent* owner = nullptr);

  // One complete run; an error from a handler leaves at once without OnFinExecute.
  void Execute();

  // Folder where a run starts.
  const std::string& Dossier() const { return dossier_; }
  // Sets the start folder; a run under way keeps the one it began with.
  void SetDossier(const std::string& v) { dossier_ = v; }
  // Patterns separated by ";".
  const std::string& Filtre() const { return filtre_; }
  // Sets the pattern list; a run under way keeps the one it began with.
  void SetFiltre(const std::string& v) { filtre_ = v; }
  // Whether sub-folders are entered.
  bool SousDossier() const { return sous_dossier_; }
  // Sets whether sub-folders are entered, from the next run on.
  void SetSousDossier(bool v) { sous_dossier_ = v; }
  // Deepest level entered; negative means no limit.
  int32_t MaxPenetration() const { return max_penetration_; }
  // Sets the depth limit; a run under way reads it at each new level.
  void SetMaxPenetration(int32_t v) { max_penetration_ = v; }

  // Fired for each file matching a pattern, once per pattern it matches
  // (once only, under the first, without ReportRepeats). A file is any
  // entry but a folder: a symbolic link is one, whatever it leads to.
  TScruteEvent OnFichier;
  // Fired for each sub-folder met, entered or not; a folder already
  // entered in this run (reached again through a bind mount) is not
  // entered again.
  TScruteEvent OnDossier;
  // Fired for each folder that could not be opened, entered (read without
  // execute permission) or read whole, or was not entered because of the
  // depth limit; the walk goes on with the rest.
  TScruteEchec OnEchec;
  // The folder OnEchec reports, as its names: a handler that keeps it holds
  // no long path.
  PathChain FailedFolder;
  // Kept for the window's definition; never fired.
  TNotifyEvent OnCreate;
  // Fired when a run starts.
  TNotifyEvent OnExecute;
  // Fired when a run has walked the whole tree.
  TNotifyEvent OnFinExecute;

  // Path of the file last reported.
  std::string FichierCourant;
  // Path of the sub-folder last met.
  std::string DossierCourant;
  // Low 32 bits of the size of the file last reported; a link's own, as
  // the walk never looks at what a link leads to.
  int32_t Taille = 0;
  // Local last-write time of the file last reported, as a DOS date and
  // time; a link's own.
  int32_t DateHeure = 0;
  // Device and inode of the file last reported, which tell the same file
  // under two names; 0 and 0 for a symbolic link or when its status could
  // not be read.
  uint64_t Device = 0;
  // See Device.
  uint64_t Inode = 0;
  // The file last reported, reached through the walk's own open folder: a
  // handler that opens it from there never goes through a link, whatever
  // was put in the place of a folder since the walk entered it.
  FolderEntry Entry;
  // Depth of the level being walked: 0 for Dossier itself.
  int32_t Profondeur = 0;
  // Set by a handler to end the walk early; cleared when a run starts.
  bool Arret = false;
  // Whether the walk, as it enters a folder, removes the work files a
  // killed run left there (listing its files never does); a trial, which
  // writes nothing, turns it off.
  bool SweepWorkFiles = true;
  // Whether a file matching several patterns is reported under each; the
  // programs, which convert a file once, turn it off.
  bool ReportRepeats = true;
  // Patterns of names left alone, with the filter's wildcards and case rule:
  // a file so named is not reported, a folder is reported to OnDossier but
  // not entered. The start folder is walked whatever its name. Read when a
  // run starts.
  std::vector<std::string> Exclude;
  // Whether the folders version-control tools keep their own files in
  // (.git, .svn, .hg, .bzr, CVS, _darcs) are entered, and a file so named
  // reported; otherwise they are left alone as Exclude's names are. Read
  // when a run starts.
  bool EnterRepositories = false;
  // Processes waiting events without waiting; empty means no pumping.
  std::function<void()> Pump;

  // Walks folder at depth with its own pattern list and sub-folder flag,
  // down to MaxPenetration.
  void ParcourirDossier(int32_t depth, const std::string& folder, const std::string& patterns,
                        bool subfolders);
  // Reports the files of folder matching each pattern of the list, in list
  // order; the program's work files are neither reported nor removed.
  void ListerFichiers(const std::string& folder, const std::string& patterns);

 private:
  // The names one run leaves alone, made from Exclude and EnterRepositories
  // when it starts.
  class Exclusions;

  bool Refuses(int32_t depth) const;
  // path names the folder, and text is its path put together.
  void ListerFichiers(const std::shared_ptr<const Fd>& folder, const FolderNames& names,
                      const PathChain& path, const std::string& text, const std::string& patterns,
                      const Exclusions& left_alone);
  void ReadFolder(const std::shared_ptr<const Fd>& folder, const PathChain& path,
                  FolderNames* names);
  void Fail(const PathChain& folder, const std::string& message);
  void PumpMessages() const {
    if (Pump) Pump();
  }

  std::string dossier_;
  std::string filtre_;
  bool sous_dossier_ = true;
  int32_t max_penetration_ = kDepthLimit;
};
