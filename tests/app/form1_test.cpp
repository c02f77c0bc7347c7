// The main window as built, restored and resized, and its small controls.
#include <QDropEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QTest>

#include <gtest/gtest.h>

#include "app/form1.h"
#include "app/run.h"
#include "app_fixture.h"
#include "framework/localtext.h"

namespace {

using Form1Test = AppTest;

std::vector<std::string> Names(const TForm1& form) {
  std::vector<std::string> out;
  for (TComponent* c : form.Components()) out.push_back(c->Name);
  return out;
}

// Which of the three pictures are shown, Mac, Unix, Windows.
std::vector<bool> Shown(const TForm1& form) {
  return {!form.Image3->isHidden(), !form.Image1->isHidden(), !form.Image2->isHidden()};
}

std::vector<bool> Formats(const TForm1& form) {
  return {form.Mac_c->Checked(), form.unix_c->Checked(), form.windows_c->Checked()};
}

bool RowEnabled(const TEdit* find, const TEdit* replacement, const TButton* swap) {
  return find->isEnabled() && replacement->isEnabled() && swap->isEnabled();
}

}  // namespace

TEST_F(Form1Test, FirstStartChoosesWindowsWithBothRowsOn) {
  TForm1 form;
  EXPECT_EQ(Formats(form), (std::vector<bool>{false, false, true}));
  EXPECT_EQ(Shown(form), (std::vector<bool>{false, false, true}));
  EXPECT_TRUE(form.remplacer_1->Checked());
  EXPECT_TRUE(form.remplacer_2->Checked());
  EXPECT_TRUE(RowEnabled(form.remplacer_1e, form.remplacer_1l, form.Button3));
  EXPECT_TRUE(RowEnabled(form.remplacer_2e, form.remplacer_2l, form.Button4));
  EXPECT_TRUE(form.inclure_rep->Checked());
  EXPECT_EQ(form.filtre_c->text(), "*.pl");
  EXPECT_EQ(form.remplacer_1e->text(), "#!/perl/bin/perl");
  EXPECT_EQ(form.remplacer_2l->text(),
            "use lib '/home/e-smith/files/ibays/Primary/cgi-bin/solvane/' ;");
  EXPECT_EQ(form.Button1->text(), QString::fromUtf8("Démarrer la conversion"));
  EXPECT_TRUE(form.StatusBar1->Panel()->Text().empty());
  EXPECT_EQ(form.windowTitle(), "Terminelle");
}

TEST_F(Form1Test, ComponentsAreListedInBuildingOrder) {
  TForm1 form;
  const std::vector<std::string> expected = {
      "StatusBar1",  "Panel1",       "Gradient1",    "Button1",        "Button2",
      "Panel2",      "Gradient6",    "Label4",       "Panel3",         "Gradient2",
      "GroupBox1",   "Label1",       "Label5",       "remplacer_1e",   "remplacer_1l",
      "remplacer_1", "Button3",      "GroupBox2",    "Label2",         "Label6",
      "Label7",      "remplacer_2e", "remplacer_2l", "remplacer_2",    "Button4",
      "GroupBox3",   "SpeedButton2", "Label3",       "Label8",         "Image3",
      "Image1",      "Image2",       "path_c",       "inclure_rep",    "filtre_c",
      "Mac_c",       "unix_c",       "windows_c",    "ScruteDossier1", "SvgEditIni1",
      "XPManifest1", "BalloonHint1"};
  EXPECT_EQ(Names(form), expected);
  // The scanner starts from the stored values of the window's definition.
  EXPECT_EQ(form.ScruteDossier1->Dossier(), "/");
  EXPECT_EQ(form.ScruteDossier1->Filtre(), "*.*");
  EXPECT_EQ(form.ScruteDossier1->MaxPenetration(), kDepthLimit);
}

TEST_F(Form1Test, RestoreWithNoFormatCheckedShowsAllPictures) {
  WriteSettings("Mac_c=0\nunix_c=0\nwindows_c=0\n");
  TForm1 form;
  EXPECT_EQ(Formats(form), (std::vector<bool>{false, false, false}));
  EXPECT_EQ(Shown(form), (std::vector<bool>{true, true, true}));
}

TEST_F(Form1Test, RestoreKeepsTheLastCheckedFormat) {
  WriteSettings("Mac_c=1\nunix_c=1\nwindows_c=0\n");
  {
    TForm1 form;
    EXPECT_EQ(Formats(form), (std::vector<bool>{false, true, false}));
    EXPECT_EQ(Shown(form), (std::vector<bool>{false, true, false}));
  }
  // A missing value counts as checked, so Windows wins.
  WriteSettings("Mac_c=1\nunix_c=1\n");
  TForm1 form;
  EXPECT_EQ(Formats(form), (std::vector<bool>{false, false, true}));
  EXPECT_EQ(Shown(form), (std::vector<bool>{false, false, true}));
}

TEST_F(Form1Test, RowSavedUncheckedOpensEnabledUntilToggled) {
  WriteSettings("remplacer_1=0\nremplacer_2=1\n");
  TForm1 form;
  EXPECT_FALSE(form.remplacer_1->Checked());
  EXPECT_TRUE(RowEnabled(form.remplacer_1e, form.remplacer_1l, form.Button3));
  form.remplacer_1->click();
  EXPECT_TRUE(RowEnabled(form.remplacer_1e, form.remplacer_1l, form.Button3));
  form.remplacer_1->click();
  EXPECT_FALSE(form.remplacer_1e->isEnabled());
  EXPECT_FALSE(form.remplacer_1l->isEnabled());
  EXPECT_FALSE(form.Button3->isEnabled());
  // Disabled, the row keeps its texts; the other row is untouched.
  EXPECT_EQ(form.remplacer_1e->text(), "#!/perl/bin/perl");
  EXPECT_TRUE(RowEnabled(form.remplacer_2e, form.remplacer_2l, form.Button4));
}

TEST_F(Form1Test, SettingsAreSavedOnCloseAndRestoredAtNextStart) {
  {
    TForm1 form;
    form.path_c->setText("/tmp/ailleurs");
    form.remplacer_2e->setText(QString::fromUtf8("déjà"));
    form.inclure_rep->click();
    form.Mac_c->click();
    form.remplacer_2->click();
    form.close();
  }
  TForm1 form;
  EXPECT_EQ(form.path_c->text(), "/tmp/ailleurs");
  EXPECT_EQ(form.path_c->cursorPosition(), 0);
  EXPECT_EQ(form.remplacer_2e->text(), QString::fromUtf8("déjà"));
  EXPECT_FALSE(form.inclure_rep->Checked());
  EXPECT_EQ(Formats(form), (std::vector<bool>{true, false, false}));
  EXPECT_EQ(Shown(form), (std::vector<bool>{true, false, false}));
  EXPECT_FALSE(form.remplacer_2->Checked());
  // A row restored unchecked stays usable until its box is changed.
  EXPECT_TRUE(RowEnabled(form.remplacer_2e, form.remplacer_2l, form.Button4));
}

TEST_F(Form1Test, SettingsKeepEveryByteOfTheLocaleCharset) {
  // Windows-1252 values: "été", "œuvre", and every byte above ASCII, the five
  // that set leaves undefined among them.
  std::string every;
  for (int b = 0x80; b < 0x100; ++b) every += static_cast<char>(b);
  auto file = [&](const std::string& typed) {
    return "[Form1]\nremplacer_1e=\xE9t\xE9\nremplacer_1l=\x9Cuvre\nremplacer_1=1\n"
           "remplacer_2e=" +
           typed + "\nremplacer_2l=" + every +
           "\nremplacer_2=1\n"
           "path_c=/srv/\xE9t\xE9\ninclure_rep=1\nfiltre_c=*.pl\nMac_c=0\nunix_c=0\nwindows_c=1\n";
  };
  const QString typed = QString::fromUtf8("ŒUVRE à Noël");
  // In UTF-8 the same values cannot be shown, and are still written back as they were.
  for (const CodePage& cp : {CodePage::SingleByte("CP1252"), CodePage::Utf8()}) {
    PinnedCodePage pin(cp);
    WriteFileBytes(SettingsFile(), file(""));
    {
      TForm1 form;
      for (const TEdit* edit :
           {form.remplacer_1e, form.remplacer_1l, form.remplacer_2l, form.path_c})
        EXPECT_FALSE(edit->text().contains(QChar::ReplacementCharacter)) << cp.Name();
      if (!cp.IsUtf8()) {
        EXPECT_EQ(form.remplacer_1e->text(), QString::fromUtf8("été"));
        EXPECT_EQ(form.remplacer_1l->text(), QString::fromUtf8("œuvre"));
        EXPECT_EQ(form.path_c->text(), QString::fromUtf8("/srv/été"));
      }
      form.remplacer_2e->setText(typed);
      form.close();
    }
    const std::string written =
        cp.IsUtf8() ? typed.toUtf8().toStdString() : "\x8CUVRE \xE0 No\xEBl";
    EXPECT_EQ(ReadFileBytes(SettingsFile()), file(written)) << cp.Name();
  }
}

TEST_F(Form1Test, FormatBoxesKeepAtMostOneChosen) {
  WriteSettings("Mac_c=0\nunix_c=1\nwindows_c=0\n");
  TForm1 form;
  ASSERT_EQ(Formats(form), (std::vector<bool>{false, true, false}));
  form.Mac_c->click();
  EXPECT_EQ(Formats(form), (std::vector<bool>{true, false, false}));
  EXPECT_EQ(Shown(form), (std::vector<bool>{true, false, false}));
  form.windows_c->click();
  EXPECT_EQ(Formats(form), (std::vector<bool>{false, false, true}));
  EXPECT_EQ(Shown(form), (std::vector<bool>{false, false, true}));
  // Unchecking the chosen box leaves no format and its picture in place.
  form.windows_c->click();
  EXPECT_EQ(Formats(form), (std::vector<bool>{false, false, false}));
  EXPECT_EQ(Shown(form), (std::vector<bool>{false, false, true}));
}

TEST_F(Form1Test, SwapButtonsExchangeTheRowTexts) {
  TForm1 form;
  form.Button3->click();
  EXPECT_EQ(form.remplacer_1e->text(), "#!/usr/bin/perl");
  EXPECT_EQ(form.remplacer_1l->text(), "#!/perl/bin/perl");
  form.Button3->click();
  EXPECT_EQ(form.remplacer_1e->text(), "#!/perl/bin/perl");
  // Empty texts are swapped all the same, whatever the row's box says.
  form.remplacer_2->click();
  ASSERT_FALSE(form.remplacer_2->Checked());
  form.remplacer_2e->clear();
  form.Button4->click();  // disabled: nothing happens
  EXPECT_TRUE(form.remplacer_2e->text().isEmpty());
  form.Button4Click(nullptr);
  EXPECT_EQ(form.remplacer_2e->text(),
            "use lib '/home/e-smith/files/ibays/Primary/cgi-bin/solvane/' ;");
  EXPECT_TRUE(form.remplacer_2l->text().isEmpty());
}

TEST_F(Form1Test, KeysFocusAndTabOrder) {
  TForm1 form;
  EXPECT_EQ(form.focusWidget(), form.Button1);
  const std::vector<QWidget*> expected = {
      form.Button1,     form.Button2, form.remplacer_1e, form.remplacer_1l,
      form.remplacer_1, form.Button3, form.remplacer_2e, form.remplacer_2l,
      form.remplacer_2, form.Button4, form.path_c,       form.inclure_rep,
      form.filtre_c,    form.Mac_c,   form.unix_c,       form.windows_c};
  std::vector<QWidget*> chain;
  QWidget* w = form.Button1;
  do {
    if (w->focusPolicy() & Qt::TabFocus) chain.push_back(w);
    w = w->nextInFocusChain();
  } while (w != form.Button1 && chain.size() < 40);
  EXPECT_EQ(chain, expected);
  EXPECT_EQ(form.SpeedButton2->focusPolicy(), Qt::NoFocus);
  for (TButton* b : {form.Button1, form.Button2, form.Button3, form.Button4}) {
    EXPECT_FALSE(b->isDefault());
    EXPECT_FALSE(b->autoDefault());
  }
  // Enter presses the focused button; Escape does nothing.
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(form.Button3, &enter);
  EXPECT_EQ(form.remplacer_1e->text(), "#!/usr/bin/perl");
  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(form.Button3, &escape);
  EXPECT_EQ(form.remplacer_1e->text(), "#!/usr/bin/perl");
  EXPECT_TRUE(boxes.empty());
}

TEST_F(Form1Test, ResizingMovesOnlyTheRightAnchoredControls) {
  TForm1 form;
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  const QRect button1 = form.Button1->geometry();
  const QRect button2 = form.Button2->geometry();
  const QRect path = form.path_c->geometry();
  const QRect mac = form.Mac_c->geometry();
  const QRect image2 = form.Image2->geometry();
  EXPECT_EQ(button2, QRect(400, 8, 131, 25));
  EXPECT_EQ(image2, QRect(388, 104, 65, 89));
  EXPECT_EQ(form.GroupBox3->geometry(), QRect(10, 10, 521, 159));
  EXPECT_EQ(form.StatusBar1->geometry(), QRect(0, 520, 541, 19));
  EXPECT_EQ(form.Panel1->geometry(), QRect(0, 479, 541, 41));
  EXPECT_EQ(form.Panel3->geometry(), QRect(0, 33, 541, 446));

  for (int delta : {150, -200}) {
    form.resize(541 + delta, 539);
    EXPECT_EQ(form.Button2->geometry(), button2.translated(delta, 0)) << delta;
    EXPECT_EQ(form.Image2->geometry(), image2.translated(delta, 0)) << delta;
    EXPECT_EQ(form.Image3->x(), 204 + delta);
    EXPECT_EQ(form.Image1->x(), 296 + delta);
    EXPECT_EQ(form.Button1->geometry(), button1);
    EXPECT_EQ(form.path_c->geometry(), path);
    EXPECT_EQ(form.Mac_c->geometry(), mac);
    EXPECT_EQ(form.GroupBox2->width(), 521 + delta);
    EXPECT_EQ(form.Gradient1->width(), 541 + delta);
  }

  // Taller: the band below the boxes takes the extra height.
  form.resize(541, 639);
  EXPECT_EQ(form.Panel3->height(), 546);
  EXPECT_EQ(form.Gradient2->geometry(), QRect(10, 440, 521, 96));
  EXPECT_EQ(form.StatusBar1->y(), 620);
  // Shorter: no band, the lowest boxes run past the panel's edge.
  form.resize(541, 339);
  EXPECT_EQ(form.Gradient2->height(), 0);
  EXPECT_EQ(form.Panel3->height(), 246);
  EXPECT_GT(form.GroupBox2->geometry().bottom(), form.Panel3->height());
  EXPECT_EQ(form.GroupBox1->y(), 169);
  EXPECT_EQ(form.Panel1->y(), 339 - 19 - 41);
}

TEST_F(Form1Test, StatusPanelSpansTheBar) {
  TForm1 form;
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  TStatusPanel* panel = form.StatusBar1->Panel();
  EXPECT_TRUE(form.StatusBar1->isSizeGripEnabled());
  for (int width : {541, 900}) {
    form.resize(width, 539);
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel->width() > form.StatusBar1->width() - 40; }))
        << width;
  }
  panel->SetText("/un/chemin");
  EXPECT_EQ(panel->Text(), "/un/chemin");
  EXPECT_TRUE(QTest::qWaitFor([&] { return panel->Painted() == "/un/chemin"; }));
}

TEST_F(Form1Test, LongPathsInTheStatusBarKeepTheFileName) {
  PinnedCodePage pin(CodePage::Utf8());
  TForm1 form;
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  TStatusPanel* panel = form.StatusBar1->Panel();
  const QFontMetrics metrics = panel->fontMetrics();
  const int room = panel->width() - 4;
  // Folder names of accented letters and of characters beyond 16 bits.
  std::string path = "/srv/www";
  while (metrics.horizontalAdvance(FromLocalBytes(path)) < 3 * room) {
    path += "/d\xC3\xA9p\xC3\xB4t-\xF0\x9D\x84\x9E\xF0\x9D\x84\x9E";
  }
  path += "/script-final.pl";
  panel->SetText(path);
  ASSERT_TRUE(QTest::qWaitFor([&] { return panel->Painted() == FromLocalBytes(path); }));
  const QString shown = panel->Shown();
  EXPECT_TRUE(shown.startsWith("/srv/")) << shown.toStdString();
  EXPECT_TRUE(shown.endsWith("/script-final.pl")) << shown.toStdString();
  EXPECT_TRUE(shown.contains(QChar(0x2026)) || shown.contains("...")) << shown.toStdString();
  EXPECT_LE(metrics.horizontalAdvance(shown), room);
  // A name longer than the bar keeps its end; a short path is shown whole.
  const QString longName = "/srv/" + QString(200, 'x') + ".pl";
  EXPECT_TRUE(ElidePath(longName, metrics, room).endsWith("xx.pl"));
  EXPECT_EQ(ElidePath("/srv/a.pl", metrics, room), "/srv/a.pl");
}

TEST_F(Form1Test, DroppedFolderReplacesTheFolderField) {
  PinnedCodePage pin(CodePage::Utf8());
  TForm1 form;
  EXPECT_TRUE(form.acceptDrops());
  // A folder whose name is not UTF-8, as a file manager's address gives it.
  const std::string folder = Path("d\xE9p\xF4t");
  WriteFileBytes(folder + "/script.pl", "#!/usr/bin/perl\n");
  const QByteArray address = "file://" + QByteArray::fromStdString(folder).toPercentEncoding("/");
  auto drop = [&](QWidget* target, const QByteArray& uris) {
    QMimeData data;
    data.setData("text/uri-list", uris);
    data.setText(QString::fromLatin1(uris));
    const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction;
    QDragEnterEvent enter(QPoint(5, 5), offered, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent dropped(QPointF(5, 5), offered, &data, Qt::LeftButton, Qt::NoModifier);
    if (enter.isAccepted()) QApplication::sendEvent(target, &dropped);
    // A move would have the file manager delete what was dragged.
    EXPECT_TRUE(!enter.isAccepted() || dropped.dropAction() == Qt::CopyAction);
    return enter.isAccepted() && dropped.isAccepted();
  };

  form.path_c->setText("/ancien/dossier");
  EXPECT_TRUE(drop(form.path_c, address + "\r\n"));
  EXPECT_EQ(ToLocalBytes(form.path_c->text()), folder);
  // A file, dropped on the window's background, gives its folder.
  form.path_c->setText("/ancien/dossier");
  EXPECT_TRUE(drop(&form, address + "/script.pl\r\n"));
  EXPECT_EQ(ToLocalBytes(form.path_c->text()), folder);
  // Web addresses and files of other machines are not taken.
  form.path_c->setText("/ancien/dossier");
  EXPECT_FALSE(drop(&form, "https://example.org/cgi-bin/\r\n"));
  EXPECT_FALSE(drop(&form, "file://autre-machine.example.org/srv/\r\n"));
  EXPECT_EQ(form.path_c->text(), "/ancien/dossier");
}

TEST_F(Form1Test, HintsAndLooks) {
  TForm1 form;
  EXPECT_EQ(form.path_c->toolTip(), QString::fromUtf8("Répertoire des fichiers à convertir"));
  EXPECT_EQ(form.Button3->toolTip(), "Intervertir");
  EXPECT_TRUE(HintOn(form.filtre_c));
  EXPECT_TRUE(HintText(form.filtre_c).isEmpty());
  EXPECT_FALSE(HintOn(form.Button1));
  EXPECT_TRUE(form.BalloonHint1->UseBalloonAsApplicationHint());
  EXPECT_EQ(form.BalloonHint1->DefaultIcon(), TIconKind::ikNone);
  EXPECT_EQ(form.path_c->palette().color(QPalette::Base), QColor(240, 251, 255));
  EXPECT_EQ(form.Label5->palette().color(QPalette::WindowText), QColor(128, 128, 0));
  EXPECT_TRUE(form.Label4->font().bold());
  EXPECT_FALSE(form.Label1->font().bold());
  EXPECT_EQ(form.Image1->Picture().size(), QSize(48, 48));
  EXPECT_FALSE(form.Image1->Picture().mask().isNull());
  EXPECT_EQ(form.Image3->Picture().size(), QSize(48, 48));
  EXPECT_TRUE(form.Image3->Picture().hasAlphaChannel());
  EXPECT_EQ(form.SpeedButton2->iconSize(), QSize(16, 16));
}

TEST_F(Form1Test, NoCaptionIsClippedInTheFacesDebianShips) {
  TForm1 form;
  for (const char* family : {"Liberation Sans", "DejaVu Sans", "DejaVu Sans Condensed"}) {
    if (!QFontDatabase::hasFamily(family)) continue;
    // The window font at 96, 120 and 144 dpi, over the design's own sizes.
    for (int pixels : {11, 14, 17}) {
      QFont font = form.font();
      font.setFamily(family);
      font.setPixelSize(pixels);
      form.setFont(font);
      form.FitCaptions();
      for (QWidget* w : form.findChildren<QWidget*>()) {
        int need = 0;
        if (auto* box = qobject_cast<QCheckBox*>(w)) {
          need = box->sizeHint().width();
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
          need = button->fontMetrics().horizontalAdvance(button->text()) + 1;
        } else if (auto* label = qobject_cast<QLabel*>(w)) {
          need = label->sizeHint().width();
        } else {
          continue;
        }
        const std::string where =
            family + (" " + std::to_string(pixels) + " ") + w->objectName().toStdString();
        EXPECT_LE(need, w->width()) << where;
        EXPECT_LE(w->geometry().right(), w->parentWidget()->contentsRect().right()) << where;
      }
    }
  }
}

TEST_F(Form1Test, QtsOwnTextsAreFrench) {
  ASSERT_TRUE(LoadQtFrench());
  TForm1 form;
  std::unique_ptr<QMenu> menu(form.path_c->createStandardContextMenu());
  QStringList texts;
  for (QAction* action : menu->actions()) texts << action->text().section('\t', 0, 0).remove('&');
  for (const char* text : {"Annuler", "Couper", "Copier", "Coller"}) {
    EXPECT_TRUE(texts.contains(text)) << text << " in " << texts.join(", ").toStdString();
  }
}
