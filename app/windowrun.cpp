#include "app/windowrun.h"

#include <algorithm>
#include <utility>

#include "app/form1.h"
#include "app/messages.h"
#include "framework/localtext.h"
#include "platform/processors.h"
#include "platform/quote.h"

WindowRun::WindowRun(TForm1& form) : form_(form) {}

WindowRun::~WindowRun() = default;

FolderRun& WindowRun::Runs() {
  if (!runs_) {
    FolderRunOptions options;
    options.Jobs = ProcessorCount();
    options.StopRunAtFailure = true;
    options.Nested = true;
    runs_ = std::make_unique<FolderRun>(options, static_cast<RunTeller&>(*this));
  }
  return *runs_;
}

void WindowRun::Execute() {
  Runs().Execute(*form_.ScruteDossier1);
}

void WindowRun::Met(TObject* Sender, const std::string& Nom) {
  Runs().Met(Sender, Nom);
}

void WindowRun::WalkFailed(TObject* Sender, const std::string& Nom, std::string Message) {
  Runs().WalkFailed(Sender, Nom, std::move(Message));
}

void WindowRun::Finish() {
  if (!Running()) {
    ShowMessage("c'est fini");
    return;
  }
  const RunAccount account = runs_->Finish();
  ShowInPlace();
  // A run stopped for the window's close only waited for what was in hand.
  if (account.Stopped) return;
  if (!account.Unread.empty()) {
    // Sorted by their names as they are, shown quoted where they must be.
    std::vector<std::pair<std::string, std::string>> lines;
    for (const UnreadFolder& u : account.Unread) lines.emplace_back(u.Folder.Text(), u.Reason);
    std::sort(lines.begin(), lines.end());
    std::string details;
    for (const auto& [folder, reason] : lines)
      details += QuotedName(folder) + " : " + reason + "\n";
    details.pop_back();
    ShowMessage(std::to_string(lines.size()) +
                    (lines.size() > 1 ? " dossiers n'ont pas pu être parcourus en entier :"
                                      : " dossier n'a pas pu être parcouru en entier :"),
                details);
  }
  // The run's account stays in the status bar once it is over.
  form_.StatusBar1->Panel()->SetText(account.Counts.Text());
  ShowMessage("c'est fini");
}

void WindowRun::Stop() {
  stopping_ = true;
  if (runs_) runs_->Stop();
}

bool WindowRun::Choose(Visit& visit) {
  for (auto [box, kind] :
       {std::pair{form_.Mac_c, LineEnding::Mac}, std::pair{form_.unix_c, LineEnding::Unix},
        std::pair{form_.windows_c, LineEnding::Windows}}) {
    if (!box->Checked()) continue;
    visit.How = Conversion{};
    visit.How.Kind = kind;
    // As terminelle-cli: a file already in the chosen form keeps its inode and
    // dates, and needs no write permission.
    visit.How.Options.KeepUnchanged = true;
    visit.How.Options.Writer = form_.Writer;
    visit.How.Rule1 = rule1_.Read(form_.remplacer_1, form_.remplacer_1e, form_.remplacer_1l);
    visit.How.Rule2 = rule2_.Read(form_.remplacer_2, form_.remplacer_2e, form_.remplacer_2l);
    return true;
  }
  return false;
}

void WindowRun::Told(std::vector<VisitResult>& results) {
  // On a conversion thread: only noted here, shown by the run.
  auto last = std::find_if(results.rbegin(), results.rend(), [](const VisitResult& r) {
    return !r.Failed && !r.Dropped && r.Outcome == ConvertOutcome::kConverted;
  });
  if (last == results.rend()) return;
  std::lock_guard<std::mutex> lock(told_mutex_);
  in_place_ = last->Path;
  in_place_shown_ = false;
}

void WindowRun::EndedBy(const VisitResult& failure) {
  form_.StatusBar1->Panel()->SetText(QuotedName(failure.Path.Text()));
}

void WindowRun::Pump() {
  // Often enough for the window to answer at once, seldom enough that a
  // tree of small files does not pay for each entry a round of the event
  // loop, which costs more than converting one of them.
  const auto now = std::chrono::steady_clock::now();
  if (now - last_pump_ < form_.PumpPeriod) return;
  last_pump_ = now;
  // The status bar names what is in place, not what is only read: after a
  // crash, it never overstates what was done. Shown as the window is
  // painted: text set for each file of a fast run would cost more than its
  // conversion, and no one could read it.
  ShowInPlace();
  Application().ProcessMessages();
}

void WindowRun::ShowInPlace() {
  PathChain shown;
  {
    std::lock_guard<std::mutex> lock(told_mutex_);
    if (in_place_shown_) return;
    in_place_shown_ = true;
    shown = in_place_;
  }
  if (!stopping_) form_.StatusBar1->Panel()->SetText(QuotedName(shown.Text()));
}

ReplaceRule WindowRun::RuleFields::Read(const TCheckBox* on, const TEdit* search,
                                        const TEdit* replacement) {
  // The edits are read for every file; their bytes are made again only when
  // their text changed.
  const QString s = search->text();
  const QString r = replacement->text();
  if (s != search_text_) {
    search_text_ = s;
    bytes_.Search = ToLocalBytes(s);
  }
  if (r != replacement_text_) {
    replacement_text_ = r;
    bytes_.Replacement = ToLocalBytes(r);
  }
  bytes_.Enabled = on->Checked();
  return bytes_;
}
