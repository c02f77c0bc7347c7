#include "app/form1.h"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEvent>
#include <QKeyEvent>
#include <QResizeEvent>
#include <QThread>

#include <optional>
#include <utility>

#include "app/choisirdossier.h"
#include "app/dropfolder.h"
#include "app/messages.h"
#include "app/windowrun.h"
#include "framework/localtext.h"

TForm1::TForm1(QWidget* parent) : TForm(parent), run_(std::make_unique<WindowRun>(*this)) {
  Name = "Form1";
  setObjectName(QStringLiteral("Form1"));
  Build();
  NotifyLoaded();
  Guarded([this] { FormCreate(this); });
  AcceptFolderDrops();
  // Edits show the start of their text, restored or as designed.
  for (TEdit* edit : {remplacer_1e, remplacer_1l, remplacer_2e, remplacer_2l, path_c, filtre_c}) {
    edit->setCursorPosition(0);
  }
}

TForm1::~TForm1() {
  // Its threads report to the window: they end before anything else goes.
  run_.reset();
}

void TForm1::closeEvent(QCloseEvent* event) {
  TForm::closeEvent(event);
  if (!event->isAccepted()) return;
  if (run_ && run_->Running()) {
    // The run stops as terminelle-cli does on its first signal: what is in
    // hand is finished and put in place in the walk's order, nothing after
    // it; the window closes once it has.
    event->ignore();
    if (closing_) return;
    closing_ = true;
    run_->Stop();
    StatusBar1->Panel()->SetText("Arrêt…");
    return;
  }
  // Closing the main window has asked the event loop to end; the window
  // stays on screen until it does, which a box still open delays.
  if (Application().MainForm == this && QThread::currentThread()->loopLevel() > 0) {
    event->ignore();
  }
}

void TForm1::resizeEvent(QResizeEvent* event) {
  TForm::resizeEvent(event);
  Relayout();
}

void TForm1::AcceptFolderDrops() {
  setAcceptDrops(true);
  // An edit would insert the dragged address into its text.
  for (TEdit* edit : {remplacer_1e, remplacer_1l, remplacer_2e, remplacer_2l, path_c, filtre_c}) {
    edit->installEventFilter(this);
  }
}

bool TForm1::TakeFolderDrop(QEvent* event) {
  const QEvent::Type type = event->type();
  if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop) return false;
  auto* drop = static_cast<QDropEvent*>(event);
  const Qt::DropAction action = NameDropAction(drop->possibleActions());
  bool taken = false;
  Guarded([&] {
    if (drop->mimeData() == nullptr || action == Qt::IgnoreAction) return;
    std::optional<std::string> folder = DroppedFolder(*drop->mimeData());
    if (!folder) return;
    taken = true;
    if (type == QEvent::Drop) {
      path_c->setText(FromLocalBytes(*folder));
      path_c->setCursorPosition(0);
    }
  });
  if (!taken) return false;
  drop->setDropAction(action);
  drop->accept();
  return true;
}

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
  if (!TakeFolderDrop(event)) TForm::dragEnterEvent(event);
}

void TForm1::dragMoveEvent(QDragMoveEvent* event) {
  if (!TakeFolderDrop(event)) TForm::dragMoveEvent(event);
}

void TForm1::dropEvent(QDropEvent* event) {
  if (!TakeFolderDrop(event)) TForm::dropEvent(event);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (dynamic_cast<TEdit*>(watched) != nullptr && TakeFolderDrop(event)) return true;
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
    if (enter && mods == Qt::NoModifier) {
      if (auto* button = qobject_cast<QPushButton*>(watched); button && button->isEnabled()) {
        button->click();
        return true;
      }
    }
  }
  return TForm::eventFilter(watched, event);
}

void TForm1::FormCreate(TObject* /*Sender*/) {
  if (Mac_c->Checked()) {
    Image3->show();
    Image1->hide();
    Image2->hide();
  }
  if (unix_c->Checked()) {
    Image3->hide();
    Image1->show();
    Image2->hide();
  }
  if (windows_c->Checked()) {
    Image3->hide();
    Image1->hide();
    Image2->show();
  }
}

void TForm1::Button1Click(TObject* /*Sender*/) {
  if (!Mac_c->Checked() && !unix_c->Checked() && !windows_c->Checked()) {
    ShowMessage("Vous devez choisir un format de conversion");
    return;
  }
  // An empty field would walk the whole system from its root.
  const std::string folder = ToLocalBytes(path_c->text());
  if (folder.empty()) {
    ShowMessage("Vous devez choisir un dossier");
    return;
  }
  // A window closing starts nothing more.
  if (closing_) return;
  ScruteDossier1->SetDossier(folder);
  ScruteDossier1->SetFiltre(ToLocalBytes(filtre_c->text()));
  ScruteDossier1->SetMaxPenetration(inclure_rep->Checked() ? kDepthLimit : 0);
  // The run the window's close stopped is over: the window closes now.
  struct CloseAfter {
    TForm1& form;
    ~CloseAfter() {
      if (form.closing_ && !form.run_->Running()) form.close();
    }
  } close_after{*this};
  run_->Execute();
}

void TForm1::Button2Click(TObject* /*Sender*/) {
  close();
}

void TForm1::SpeedButton2Click(TObject* /*Sender*/) {
  std::string folder = ToLocalBytes(path_c->text());
  // No root: the whole file system, as the network root names nothing here.
  // Cancel leaves the field as it was, whatever it held.
  if (ChoisirDossier("Choisissez le dossier", "", folder, false, false, false)) {
    path_c->setText(FromLocalBytes(folder));
  }
}

void TForm1::ScruteDossier1Fichier(TObject* Sender, std::string Nom) {
  run_->Met(Sender, Nom);
}

void TForm1::ScruteDossier1FinExecute(TObject* /*Sender*/) {
  run_->Finish();
}

void TForm1::ScruteDossier1Echec(TObject* Sender, std::string Nom, std::string Message) {
  run_->WalkFailed(Sender, Nom, std::move(Message));
}

void TForm1::windows_cClick(TObject* /*Sender*/) {
  if (!windows_c->Checked()) return;
  Image3->hide();
  Image1->hide();
  Image2->show();
  Mac_c->SetChecked(false);
  unix_c->SetChecked(false);
}

void TForm1::unix_cClick(TObject* /*Sender*/) {
  if (!unix_c->Checked()) return;
  Image3->hide();
  Image1->show();
  Image2->hide();
  Mac_c->SetChecked(false);
  windows_c->SetChecked(false);
}

void TForm1::Mac_cClick(TObject* /*Sender*/) {
  if (!Mac_c->Checked()) return;
  unix_c->SetChecked(false);
  Image3->show();
  Image1->hide();
  Image2->hide();
  windows_c->SetChecked(false);
}

void TForm1::Button3Click(TObject* /*Sender*/) {
  const QString find = remplacer_1e->text();
  const QString replacement = remplacer_1l->text();
  remplacer_1e->setText(replacement);
  remplacer_1l->setText(find);
}

void TForm1::Button4Click(TObject* /*Sender*/) {
  const QString find = remplacer_2e->text();
  const QString replacement = remplacer_2l->text();
  remplacer_2e->setText(replacement);
  remplacer_2l->setText(find);
}

void TForm1::remplacer_1Click(TObject* /*Sender*/) {
  const bool on = remplacer_1->Checked();
  remplacer_1e->setEnabled(on);
  remplacer_1l->setEnabled(on);
  Button3->setEnabled(on);
}

void TForm1::remplacer_2Click(TObject* /*Sender*/) {
  const bool on = remplacer_2->Checked();
  remplacer_2e->setEnabled(on);
  remplacer_2l->setEnabled(on);
  Button4->setEnabled(on);
}

void TForm1::ConvertTextFile(const std::string& source, const std::string& destination,
                             LineEnding kind) {
  ReplaceRule rule1{remplacer_1->Checked(), ToLocalBytes(remplacer_1e->text()),
                    ToLocalBytes(remplacer_1l->text())};
  ReplaceRule rule2{remplacer_2->Checked(), ToLocalBytes(remplacer_2e->text()),
                    ToLocalBytes(remplacer_2l->text())};
  ::ConvertTextFile(source, destination, kind, rule1, rule2);
}
