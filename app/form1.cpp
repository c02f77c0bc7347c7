#include "app/form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEvent>
#include <QFont>
#include <QFontDatabase>
#include <QIcon>
#include <QKeyEvent>
#include <QResizeEvent>
#include <QStyle>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <optional>

#include "app/choisirdossier.h"
#include "app/dropfolder.h"
#include "app/messages.h"
#include "base/errors.h"
#include "framework/localtext.h"
#include "platform/processors.h"
#include "platform/quote.h"
#include "settings/file/iniform1.h"

namespace {

// Qt text from the UTF-8 literals of this file.
QString U(const char* text) {
  return QString::fromUtf8(text);
}

// The window's font: the classic 8-point dialog face, or the nearest
// installed sans-serif of similar width.
QFont WindowFont(int pixelSize) {
  QFont font;
  font.setStyleHint(QFont::SansSerif);
  for (const char* family : {"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans", "Arial",
                             "DejaVu Sans Condensed", "DejaVu Sans"}) {
    if (QFontDatabase::hasFamily(QString::fromLatin1(family))) {
      font.setFamily(QString::fromLatin1(family));
      break;
    }
  }
  font.setPixelSize(pixelSize);
  return font;
}

void SetColor(QWidget* w, QPalette::ColorRole role, const QColor& color) {
  QPalette palette = w->palette();
  palette.setColor(role, color);
  w->setPalette(palette);
}

// A vertical band of 100 steps from start (top) to end (bottom), filling parent.
TGradient* Band(TComponent* owner, QWidget* parent, const char* name, TColor start, TColor end) {
  auto* band = new TGradient(owner, parent, name);
  band->SetStyle(TGradientStyle::grVertical);
  band->SetStartColor(start);
  band->SetEndColor(end);
  band->SetSteps(100);
  return band;
}

// The very pale blue of the folder and filter fields.
constexpr TColor kPaleBlue = 16776176;

}  // namespace

TForm1::TForm1(QWidget* parent) : TForm(parent) {
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
  // Its threads report here: they end before anything else goes.
  conversions_.reset();
}

int TForm1::S(int designPixels) const {
  return static_cast<int>(std::lround(designPixels * scale_));
}

// Every component is made with new and this window as its owner, which
// destroys it with itself, newest first (a control before the panel that
// holds it); the Qt parent only says where a control is drawn, and owns only
// what is not a component (layouts). The application owns the window.
// Components are made in this order, which is the window's component list;
// places are at the design resolution, scaled to the screen's.
void TForm1::Build() {
  scale_ = logicalDpiX() / 96.0;
  BuildWindow();
  BuildButtonBar();
  BuildTitleBand();
  BuildMainPanel();
  BuildRule1();
  BuildRule2();
  BuildFolderBox();
  BuildFolderFields();
  BuildFormatBoxes();
  BuildFaceless();
  SetKeys();
  BindEvents();
  move(296, 73);
  resize(S(541), S(539));
  Relayout();
  FitCaptions();
  Button1->setFocus();
}

void TForm1::BuildWindow() {
  setWindowTitle(QString::fromUtf8(Application().Title));
  setWindowIcon(QIcon(QStringLiteral(":/pictures/terminelle.ico")));
  setFont(WindowFont(S(11)));
  SetColor(this, QPalette::Window, ToQColor(clBtnFace, palette()));
  setAutoFillBackground(true);
}

void TForm1::BuildButtonBar() {
  StatusBar1 = new TStatusBar(this, this, "StatusBar1");
  StatusBar1->setFont(QApplication::font("QStatusBar"));

  Panel1 = new TPanel(this, this, "Panel1");
  Gradient1 = Band(this, Panel1, "Gradient1", clBtnFace, clWhite);
  Button1 = new TButton(this, Panel1, "Button1");
  Button1->setText(U("Démarrer la conversion"));
  Button1->setGeometry(S(10), S(8), S(169), S(25));
  Button2 = new TButton(this, Panel1, "Button2");
  Button2->setText(U("Quitter"));
  Button2->resize(S(131), S(25));
}

void TForm1::BuildTitleBand() {
  Panel2 = new TPanel(this, this, "Panel2");
  Panel2->Caption = U(R"(CONVERSION DE FICHIER TEXTE WINDOWS->UNIX- (\r\n à \n))");
  QFont bold = font();
  bold.setBold(true);
  Panel2->setFont(bold);
  SetColor(Panel2, QPalette::WindowText, ToQColor(clActiveCaption, palette()));
  Gradient6 = Band(this, Panel2, "Gradient6", clWhite, clBtnFace);
  Label4 =
      new TLabel(this, Panel2, "Label4", U("CONVERSION DE FICHIER TEXTE (Mac, Unix ,Windows)"));
  Label4->move(S(88), S(8));
  Label4->adjustSize();
}

void TForm1::BuildMainPanel() {
  Panel3 = new TPanel(this, this, "Panel3");
  Gradient2 = Band(this, Panel3, "Gradient2", clBtnFace, clWhite);
  // It takes only what the group boxes leave, which Relayout works out.
  Gradient2->SetAlign(TAlign::alNone);
}

namespace {

const char* const kFindHint =
    "Ce texte sera remplacé par la chaine se trouvant à droite (indépendamment de la casse).";
const char* const kReplaceHint =
    "Ce texte remplacera la chaine se trouvant à gauche (indépendamment de la casse).";

void PlaceLabel(TLabel* label, int x, int y) {
  label->move(x, y);
  label->adjustSize();
}

}  // namespace

void TForm1::BuildRule1() {
  GroupBox1 = new TGroupBox(this, Panel3, "GroupBox1", U("Remplacer"));
  Label1 = new TLabel(this, GroupBox1, "Label1", U("par"));
  PlaceLabel(Label1, S(248), S(72));
  Label5 = new TLabel(this, GroupBox1, "Label5",
                      U("Exemple : Interpreteur PERL (#!/perl/bin/perl sous Windows à  "
                        "#!/usr/bin/perl sous LINUX)"));
  PlaceLabel(Label5, S(24), S(48));
  SetColor(Label5, QPalette::WindowText, ToQColor(clOlive, palette()));
  remplacer_1e = new TEdit(this, GroupBox1, "remplacer_1e");
  remplacer_1e->setText(U(form1_built::kSearch1));
  remplacer_1e->setGeometry(S(24), S(72), S(209), S(21));
  remplacer_1e->setToolTip(U(kFindHint));
  remplacer_1l = new TEdit(this, GroupBox1, "remplacer_1l");
  remplacer_1l->setText(U(form1_built::kReplacement1));
  remplacer_1l->setGeometry(S(280), S(72), S(209), S(21));
  remplacer_1l->setToolTip(U(kReplaceHint));
  remplacer_1 = new TCheckBox(this, GroupBox1, "remplacer_1");
  remplacer_1->setText(U("Effectuer le remplacement de tous les fichiers"));
  remplacer_1->setGeometry(S(24), S(24), S(273), S(17));
  remplacer_1->setChecked(false);
  Button3 = new TButton(this, GroupBox1, "Button3");
  Button3->setText(U("<--->"));
  Button3->setGeometry(S(216), S(96), S(75), S(25));
  Button3->setToolTip(U("Intervertir"));
}

void TForm1::BuildRule2() {
  GroupBox2 = new TGroupBox(this, Panel3, "GroupBox2", U("Remplacer"));
  Label2 = new TLabel(this, GroupBox2, "Label2", U("par"));
  PlaceLabel(Label2, S(248), S(88));
  Label6 = new TLabel(this, GroupBox2, "Label6",
                      U("Exemple : Path Utilisation d'un fichier PM (use lib 'c:/perl/lib/'  "
                        "sous Windows  à"));
  PlaceLabel(Label6, S(24), S(48));
  Label7 =
      new TLabel(this, GroupBox2, "Label7", U("use lib '/home/e-smith/files/ibays/'  sous LINUX"));
  PlaceLabel(Label7, S(24), S(64));
  for (TLabel* label : {Label6, Label7})
    SetColor(label, QPalette::WindowText, ToQColor(clOlive, palette()));
  remplacer_2e = new TEdit(this, GroupBox2, "remplacer_2e");
  remplacer_2e->setText(U(form1_built::kSearch2));
  remplacer_2e->setGeometry(S(24), S(88), S(209), S(21));
  remplacer_2e->setToolTip(U(kFindHint));
  remplacer_2l = new TEdit(this, GroupBox2, "remplacer_2l");
  remplacer_2l->setText(U(form1_built::kReplacement2));
  remplacer_2l->setGeometry(S(280), S(88), S(209), S(21));
  remplacer_2l->setToolTip(U(kReplaceHint));
  remplacer_2 = new TCheckBox(this, GroupBox2, "remplacer_2");
  remplacer_2->setText(U("Effectuer le remplacement de tous les fichiers"));
  remplacer_2->setGeometry(S(24), S(24), S(257), S(17));
  remplacer_2->setChecked(false);
  Button4 = new TButton(this, GroupBox2, "Button4");
  Button4->setText(U("<--->"));
  Button4->setGeometry(S(216), S(112), S(75), S(25));
  Button4->setToolTip(U("Intervertir"));
}

void TForm1::BuildFolderBox() {
  GroupBox3 = new TGroupBox(this, Panel3, "GroupBox3",
                            U("Sélectionner le répertoire des fichiers à convertir"));
  SpeedButton2 = new TSpeedButton(this, GroupBox3, "SpeedButton2");
  SpeedButton2->setGeometry(S(448), S(56), S(41), S(25));
  QPixmap glyph = LoadPicture(QStringLiteral(":/pictures/dossier.bmp"), true);
  SpeedButton2->setIcon(QIcon(glyph));
  SpeedButton2->setIconSize(glyph.size());
  SpeedButton2->setToolTip(U("Sélection du répertoire des fichiers à convertir"));
  Label3 = new TLabel(this, GroupBox3, "Label3", U("Filtre"));
  PlaceLabel(Label3, S(88), S(32));
  Label8 = new TLabel(this, GroupBox3, "Label8", U("Sélectionner le format souhaité"));
  PlaceLabel(Label8, S(24), S(88));
  Image3 = new TImage(this, GroupBox3, "Image3");
  Image3->SetPicture(LoadPicture(QStringLiteral(":/pictures/mac.ico"), false));
  Image1 = new TImage(this, GroupBox3, "Image1");
  Image1->SetPicture(LoadPicture(QStringLiteral(":/pictures/unix.bmp"), true));
  Image2 = new TImage(this, GroupBox3, "Image2");
  Image2->SetPicture(LoadPicture(QStringLiteral(":/pictures/windows.ico"), false));
  for (TImage* image : {Image3, Image1, Image2}) image->resize(S(65), S(89));
}

void TForm1::BuildFolderFields() {
  path_c = new TEdit(this, GroupBox3, "path_c");
  path_c->setText(U(form1_built::kFolder));
  path_c->setGeometry(S(24), S(60), S(409), S(21));
  path_c->setToolTip(U("Répertoire des fichiers à convertir"));
  inclure_rep = new TCheckBox(this, GroupBox3, "inclure_rep");
  inclure_rep->setText(U("Inclure les sous répertoires"));
  inclure_rep->setGeometry(S(184), S(32), S(145), S(17));
  SetColor(inclure_rep, QPalette::Window, ToQColor(clBtnFace, palette()));
  inclure_rep->setChecked(true);
  filtre_c = new TEdit(this, GroupBox3, "filtre_c");
  filtre_c->setText(U(form1_built::kFilter));
  filtre_c->setGeometry(S(24), S(28), S(49), S(21));
  // Its hint is on with no text: it shows none, nor its box's.
  SetShowHint(filtre_c, true);
  for (TEdit* edit : {path_c, filtre_c})
    SetColor(edit, QPalette::Base, ToQColor(kPaleBlue, palette()));
}

void TForm1::BuildFormatBoxes() {
  Mac_c = new TCheckBox(this, GroupBox3, "Mac_c");
  Mac_c->setText(U("Mac"));
  Mac_c->setGeometry(S(208), S(88), S(49), S(17));
  unix_c = new TCheckBox(this, GroupBox3, "unix_c");
  unix_c->setText(U("Unix"));
  unix_c->setGeometry(S(296), S(88), S(65), S(17));
  windows_c = new TCheckBox(this, GroupBox3, "windows_c");
  windows_c->setText(U("Windows"));
  windows_c->setGeometry(S(392), S(88), S(73), S(17));
  Mac_c->setChecked(false);
  unix_c->setChecked(true);
  windows_c->setChecked(false);
}

void TForm1::BuildFaceless() {
  ScruteDossier1 = new TScruteDossier(this);
  ScruteDossier1->Name = "ScruteDossier1";
  ScruteDossier1->SetDossier("/");
  ScruteDossier1->SetFiltre("*.*");
  ScruteDossier1->SetSousDossier(true);
  ScruteDossier1->SetMaxPenetration(kDepthLimit);
  ScruteDossier1->Pump = [this] { Pump(); };
  // Each file is converted once, under the first pattern it matches.
  ScruteDossier1->ReportRepeats = false;

  SvgEditIni1 = new TSvgEditIni(this);
  SvgEditIni1->Name = "SvgEditIni1";
  SvgEditIni1->SauveEdit = true;
  SvgEditIni1->SauveDateTimePicker = true;
  SvgEditIni1->SauveCheckBox = true;
  SvgEditIni1->SauveRadioButton = true;
  SvgEditIni1->SauveSpinEdit = true;
  SvgEditIni1->SauveMemo = false;
  SvgEditIni1->SauveRichEdit = false;
  SvgEditIni1->SauveComboBox = false;
  SvgEditIni1->SauveListBox = false;
  SvgEditIni1->SauveStringGrid = false;

  XPManifest1 = new TComponent(this);
  XPManifest1->Name = "XPManifest1";

  BalloonHint1 = new TBalloonHint(this);
  BalloonHint1->Name = "BalloonHint1";
  BalloonHint1->SetDefaultIcon(TIconKind::ikNone);
  BalloonHint1->SetUseBalloonAsApplicationHint(true);
}

void TForm1::SetKeys() {
  // Enter presses the focused push button; none is the default one.
  for (TButton* button : {Button1, Button2, Button3, Button4}) {
    button->setAutoDefault(false);
    button->setDefault(false);
    button->installEventFilter(this);
  }
  QWidget* tabs[] = {Button1,     Button2, remplacer_1e, remplacer_1l,
                     remplacer_1, Button3, remplacer_2e, remplacer_2l,
                     remplacer_2, Button4, path_c,       inclure_rep,
                     filtre_c,    Mac_c,   unix_c,       windows_c};
  for (std::size_t i = 1; i < std::size(tabs); ++i) QWidget::setTabOrder(tabs[i - 1], tabs[i]);
}

// Last, so that no handler runs while the built states are set.
void TForm1::BindEvents() {
  Button1->OnClick = [this](TObject* sender) { Button1Click(sender); };
  Button2->OnClick = [this](TObject* sender) { Button2Click(sender); };
  Button3->OnClick = [this](TObject* sender) { Button3Click(sender); };
  Button4->OnClick = [this](TObject* sender) { Button4Click(sender); };
  SpeedButton2->OnClick = [this](TObject* sender) { SpeedButton2Click(sender); };
  remplacer_1->OnClick = [this](TObject* sender) { remplacer_1Click(sender); };
  remplacer_2->OnClick = [this](TObject* sender) { remplacer_2Click(sender); };
  Mac_c->OnClick = [this](TObject* sender) { Mac_cClick(sender); };
  unix_c->OnClick = [this](TObject* sender) { unix_cClick(sender); };
  windows_c->OnClick = [this](TObject* sender) { windows_cClick(sender); };
  ScruteDossier1->OnFichier = [this](TObject* sender, std::string nom) {
    ScruteDossier1Fichier(sender, std::move(nom));
  };
  ScruteDossier1->OnFinExecute = [this](TObject* sender) { ScruteDossier1FinExecute(sender); };
  ScruteDossier1->OnEchec = [this](TObject* sender, std::string nom, std::string message) {
    ScruteDossier1Echec(sender, std::move(nom), std::move(message));
  };
}

void TForm1::FitCaptions() {
  int missing = 0;
  auto keepInside = [&missing](const QWidget* w) {
    missing = std::max(missing, w->geometry().right() - w->parentWidget()->contentsRect().right());
  };
  for (TCheckBox* box : findChildren<TCheckBox*>()) {
    box->resize(std::max(box->width(), box->sizeHint().width()), box->height());
    keepInside(box);
  }
  // A push button's own minimum width is no need of its caption.
  for (TButton* button : findChildren<TButton*>()) {
    const int margins = 2 * (style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) +
                             style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button));
    const int need = button->fontMetrics().horizontalAdvance(button->text()) + margins;
    button->resize(std::max(button->width(), need), button->height());
  }
  for (TLabel* label : findChildren<TLabel*>()) {
    label->adjustSize();
    keepInside(label);
  }
  if (missing > 0) {
    resize(width() + missing, height());
    Relayout();
  }
}

void TForm1::closeEvent(QCloseEvent* event) {
  TForm::closeEvent(event);
  if (!event->isAccepted()) return;
  if (!runs_.empty()) {
    // The run stops as terminelle-cli does on its first signal: what is in
    // hand is finished and put in place in the walk's order, nothing after
    // it; the window closes once it has.
    event->ignore();
    if (closing_) return;
    closing_ = true;
    ScruteDossier1->Arret = true;
    if (conversions_) conversions_->Stop();
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

void TForm1::Relayout() {
  const int w = width();
  const int h = height();
  const int statusHeight = S(19);
  const int bottomHeight = S(41);
  const int topHeight = S(33);
  StatusBar1->setGeometry(0, h - statusHeight, w, statusHeight);
  Panel1->setGeometry(0, h - statusHeight - bottomHeight, w, bottomHeight);
  Panel2->setGeometry(0, 0, w, topHeight);
  Panel3->setGeometry(0, topHeight, w, std::max(0, h - statusHeight - bottomHeight - topHeight));
  Gradient1->setGeometry(Panel1->rect());
  Gradient6->setGeometry(Panel2->rect());
  Button2->move(w - S(10) - Button2->width(), S(8));

  // The three boxes stacked inside the 10-pixel border, the band below them.
  const int border = S(10);
  const int inner = std::max(0, w - 2 * border);
  int top = border;
  for (auto [box, height] :
       {std::pair<TGroupBox*, int>{GroupBox3, S(159)}, {GroupBox1, S(128)}, {GroupBox2, S(143)}}) {
    box->setGeometry(border, top, inner, height);
    top += height;
  }
  Gradient2->setGeometry(border, top, inner, std::max(0, Panel3->height() - border - top));

  // The pictures keep their distance to the right edge of their box.
  const int designBox = 521;
  for (auto [image, left, imageTop] :
       {std::tuple<TImage*, int, int>{Image3, 204, 104}, {Image1, 296, 105}, {Image2, 388, 104}}) {
    image->move(inner - S(designBox - left - 65) - S(65), S(imageTop));
  }
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
  // The folder as the scanner names it. A run started during another shares
  // its scope: a file either has converted or holds is not converted again.
  const unsigned id = ++last_run_;
  runs_.push_back(Run{folder.back() == '/' ? folder.substr(0, folder.size() - 1) : folder,
                      {},
                      id,
                      runs_.empty() ? id : runs_.front().scope});
  struct EndRun {
    TForm1& form;
    unsigned id;
    ~EndRun() {
      if (form.conversions_) form.conversions_->EndRun(id);
      {
        std::lock_guard<std::mutex> lock(form.told_mutex_);
        form.tallies_.erase(id);
      }
      form.runs_.pop_back();
      // The run the window's close stopped is over: the window closes now.
      if (form.runs_.empty() && form.closing_) form.close();
    }
  } end_run{*this, id};
  ScruteDossier1->Execute();
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
  // The file as the walk reached it, through its own open folder, taken
  // before a nested run started while pumping moves the scanner on; the
  // visit waits with its names rather than the path put together for Nom.
  auto* scanner = dynamic_cast<TScruteDossier*>(Sender);
  Visit visit;
  if (scanner != nullptr) {
    visit.Entry = scanner->Entry;
    visit.Key = FileKey{scanner->Device, scanner->Inode,
                        scanner->Inode == 0 ? scanner->Entry.Identity() : ""};
  } else {
    visit.Entry.Locate(Nom);
    visit.Key.Path = Nom;
  }
  visit.Path = visit.Entry.Chain();
  Pump();
  // A file that failed ends the walk, as if its conversion had just failed.
  if (!runs_.empty()) EndIfFailed(runs_.back().id);
  for (auto [box, kind] : {std::pair{Mac_c, LineEnding::Mac}, std::pair{unix_c, LineEnding::Unix},
                           std::pair{windows_c, LineEnding::Windows}}) {
    if (!box->Checked()) continue;
    visit.How = Conversion{};
    visit.How.Kind = kind;
    // As terminelle-cli: a file already in the chosen form keeps its inode and
    // dates, and needs no write permission.
    visit.How.Options.KeepUnchanged = true;
    visit.How.Options.Writer = Writer;
    visit.How.Rule1 = rule1_.Read(remplacer_1, remplacer_1e, remplacer_1l);
    visit.How.Rule2 = rule2_.Read(remplacer_2, remplacer_2e, remplacer_2l);
    visit.Run = runs_.empty() ? 0 : runs_.back().id;
    visit.Scope = runs_.empty() ? 0 : runs_.back().scope;
    Conversions().Add(visit, [this] { Pump(); });
  }
}

Schedule& TForm1::Conversions() {
  if (!conversions_) {
    ScheduleOptions options;
    options.Jobs = ProcessorCount();
    options.StopRunAtFailure = true;
    conversions_ = std::make_unique<Schedule>(options, [this](std::vector<VisitResult>& told) {
      // On a conversion thread: only noted here, shown by the run.
      std::lock_guard<std::mutex> lock(told_mutex_);
      for (VisitResult& r : told) {
        tallies_[r.Run].Count(r);
        if (!r.Failed && !r.Dropped && r.Outcome == ConvertOutcome::kConverted) {
          in_place_ = r.Path;
          in_place_shown_ = false;
        }
        if (r.Failed) failures_.try_emplace(r.Run, std::move(r));
      }
    });
  }
  return *conversions_;
}

void TForm1::WaitForRun(unsigned run) {
  if (!conversions_) return;
  while (!conversions_->WaitDone(std::chrono::milliseconds(20), run)) {
    Application().ProcessMessages();
    ShowInPlace();
  }
  ShowInPlace();
}

void TForm1::Pump() {
  // Often enough for the window to answer at once, seldom enough that a
  // tree of small files does not pay for each entry a round of the event
  // loop, which costs more than converting one of them.
  const auto now = std::chrono::steady_clock::now();
  if (now - last_pump_ < PumpPeriod) return;
  last_pump_ = now;
  // The status bar names what is in place, not what is only read: after a
  // crash, it never overstates what was done. Shown as the window is
  // painted: text set for each file of a fast run would cost more than its
  // conversion, and no one could read it.
  ShowInPlace();
  Application().ProcessMessages();
}

ReplaceRule TForm1::RuleFields::Read(const TCheckBox* on, const TEdit* search,
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

void TForm1::ShowInPlace() {
  PathChain shown;
  {
    std::lock_guard<std::mutex> lock(told_mutex_);
    if (in_place_shown_) return;
    in_place_shown_ = true;
    shown = in_place_;
  }
  if (!closing_) StatusBar1->Panel()->SetText(QuotedName(shown.Text()));
}

void TForm1::EndIfFailed(unsigned run) {
  if (!conversions_ || !conversions_->RunFailed(run)) return;
  // What came before the failure is committed first, as it would have been
  // had the files been converted one after the other.
  WaitForRun(run);
  VisitResult failure;
  {
    std::lock_guard<std::mutex> lock(told_mutex_);
    auto it = failures_.find(run);
    if (it == failures_.end()) return;
    failure = std::move(it->second);
    failures_.erase(it);
  }
  StatusBar1->Panel()->SetText(QuotedName(failure.Path.Text()));
  if (failure.Error) std::rethrow_exception(failure.Error);
  throw Exception(failure.Message);
}

void TForm1::ScruteDossier1FinExecute(TObject* /*Sender*/) {
  if (runs_.empty()) {
    ShowMessage("c'est fini");
    return;
  }
  const Run& run = runs_.back();
  // "c'est fini" once the last file is in place; a run stopped for the
  // window's close only waits for what is in hand.
  WaitForRun(run.id);
  if (closing_) return;
  EndIfFailed(run.id);
  if (!run.unread.empty()) {
    // Sorted by their names as they are, shown quoted where they must be.
    std::vector<std::pair<std::string, std::string>> lines;
    for (const Unread& u : run.unread) lines.emplace_back(u.folder.Text(), u.reason);
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
  Tally tally;
  {
    std::lock_guard<std::mutex> lock(told_mutex_);
    tally = tallies_[run.id];
  }
  // The run's account stays in the status bar once it is over.
  StatusBar1->Panel()->SetText(tally.Text());
  ShowMessage("c'est fini");
}

void TForm1::ScruteDossier1Echec(TObject* Sender, std::string Nom, std::string Message) {
  // Nothing of the run could be done: an error, as for a file that cannot be opened.
  if (runs_.empty() || Nom == runs_.back().folder)
    throw Exception(QuotedName(Nom) + " : " + Message);
  auto* scanner = dynamic_cast<TScruteDossier*>(Sender);
  runs_.back().unread.push_back(
      Unread{scanner != nullptr ? scanner->FailedFolder : PathChain(Nom), std::move(Message)});
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
