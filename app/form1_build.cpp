#include "app/form1.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QIcon>
#include <QStyle>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <tuple>
#include <utility>

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
