#pragma once
// The window's side of its runs, which the core's folder run makes: each
// file converted with the format and rules the window shows when the walk
// meets it, the window's events handled while a run goes on, and the status
// bar and boxes that tell what a run did.

#include <QString>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "run/folderrun.h"

class TCheckBox;
class TEdit;
class TForm1;

class WindowRun : private RunTeller {
 public:
  explicit WindowRun(TForm1& form);
  ~WindowRun() override;
  WindowRun(const WindowRun&) = delete;
  WindowRun& operator=(const WindowRun&) = delete;

  // Walks the folder ScruteDossier1 is set to: a run of its own, or nested
  // in the one under way, sharing its scope.
  void Execute();
  // The window's handlers of the scanner's events: a file met, a folder the
  // walk could not go through, the walk's end, which tells the user the run
  // is over once its last file is in place.
  void Met(TObject* Sender, const std::string& Nom);
  void WalkFailed(TObject* Sender, const std::string& Nom, std::string Message);
  void Finish();
  // Stops the runs under way, as terminelle-cli does on its first signal.
  void Stop();
  // Whether a run goes on.
  bool Running() const { return runs_ && runs_->Running(); }

 private:
  bool Choose(Visit& visit) override;
  void Told(std::vector<VisitResult>& results) override;
  void EndedBy(const VisitResult& failure) override;
  // Lets the window answer during a run: the file last put in place is
  // shown and the events waiting are handled, at most once every PumpPeriod.
  void Pump() override;
  // Shows in the status bar the file last put in place, when it is new.
  void ShowInPlace();
  FolderRun& Runs();

  // A replacement row as its fields stand, their bytes kept from one file
  // to the next while the texts stay the same.
  class RuleFields {
   public:
    ReplaceRule Read(const TCheckBox* on, const TEdit* search, const TEdit* replacement);

   private:
    QString search_text_;
    QString replacement_text_;
    ReplaceRule bytes_;
  };

  TForm1& form_;
  RuleFields rule1_, rule2_;
  std::chrono::steady_clock::time_point last_pump_{};
  bool stopping_ = false;
  // The file last put in place, noted on the conversion threads.
  std::mutex told_mutex_;
  PathChain in_place_;
  bool in_place_shown_ = true;
  // Made at the first run. Last, so that its threads, which tell this
  // object, end first.
  std::unique_ptr<FolderRun> runs_;
};
