// The simple message box and the error box, shown for real.
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/messages.h"
#include "app_fixture.h"
#include "framework/forms.h"

namespace {

// Runs answer on the modal box once it is up; gives up after a while.
void WhenModal(std::function<void(QWidget*)> answer) {
  auto* poll = new QTimer;
  auto tries = std::make_shared<int>(0);
  QObject::connect(poll, &QTimer::timeout, [poll, tries, answer] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != nullptr || ++*tries > 500) {
      poll->stop();
      poll->deleteLater();
      if (modal != nullptr) answer(modal);
    }
  });
  poll->start(10);
}

void Key(QWidget* w, Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QTest::keyClick(w, key, mods);
}

}  // namespace

TEST(MessageBox, TextIsUtf8OrElseTheLocaleCharset) {
  EXPECT_EQ(BoxText("Accès au fichier refusé."), QStringLiteral("Accès au fichier refusé."));
  // A Latin-1 path is not UTF-8: it is neither dropped nor turned into replacement characters.
  EXPECT_EQ(BoxText("caf\xE9").size(), 4);
  EXPECT_FALSE(BoxText("caf\xE9").contains(QChar::ReplacementCharacter));
  EXPECT_EQ(BoxText(""), QString());
  // In a single-byte locale it reads in that set, the message around it still in UTF-8.
  PinnedCodePage pin(CodePage::SingleByte("ISO-8859-15"));
  EXPECT_EQ(BoxText("Accès refusé : /srv/caf\xE9"), QString::fromUtf8("Accès refusé : /srv/café"));
}

TEST(MessageBox, ClipboardTextFollowsTheBoxLayout) {
  const QString rule(27, '-');
  EXPECT_EQ(MessageBoxClipboardText("Terminelle", "c'est fini", {"&OK"}),
            rule + "\r\nTerminelle\r\n" + rule + "\r\nc'est fini\r\n" + rule + "\r\nOK   \r\n" +
                rule + "\r\n");
  EXPECT_EQ(MessageBoxClipboardText("T", "", {"&Oui", "Non"}),
            rule + "\r\nT\r\n" + rule + "\r\n\r\n" + rule + "\r\nOui   Non   \r\n" + rule + "\r\n");
}

TEST(MessageBox, OneOkButtonThatEnterAndEscapePress) {
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
    TMessageForm box("c'est fini");
    EXPECT_EQ(box.windowTitle(), "Terminelle");
    EXPECT_EQ(box.Message()->text(), "c'est fini");
    EXPECT_EQ(box.findChildren<QPushButton*>().size(), 1);
    EXPECT_EQ(box.OkButton()->text(), "OK");
    EXPECT_EQ(box.windowModality(), Qt::ApplicationModal);
    bool answered = false;
    WhenModal([&](QWidget* modal) {
      answered = modal == &box;
      Key(modal, key);
    });
    box.exec();
    EXPECT_TRUE(answered) << key;
    EXPECT_FALSE(box.isVisible());
  }
}

TEST(MessageBox, LongTextWrapsWithinHalfTheScreen) {
  const QString text = QString("mot ").repeated(400);
  TMessageForm box(text);
  const int half = QGuiApplication::primaryScreen()->availableGeometry().width() / 2;
  EXPECT_LE(box.Message()->width(), half);
  EXPECT_TRUE(box.Message()->wordWrap());
  EXPECT_GT(box.Message()->height(), 3 * box.fontMetrics().height());
  TMessageForm small("c'est fini");
  EXPECT_LT(small.Message()->width(), half / 2);
  // Short texts still leave the window manager room for the whole caption.
  EXPECT_GE(small.width(), CaptionWidth("Terminelle"));
  TErrorForm error("Erreur E/S 5.");
  error.show();
  EXPECT_GE(error.width(), CaptionWidth("Terminelle"));
  EXPECT_GT(CaptionWidth("Terminelle"), small.fontMetrics().horizontalAdvance("Terminelle") + 60);
  // Details however many: every line in a list that scrolls within the
  // screen, read-only, that the user may select and copy.
  QString lines;
  for (int i = 0; i < 5000; ++i) lines += QString("/srv/www/d%1 : illisible\n").arg(i);
  TMessageForm listed("5000 dossiers", lines.trimmed());
  ASSERT_NE(listed.Details(), nullptr);
  EXPECT_TRUE(listed.Details()->isReadOnly());
  EXPECT_EQ(listed.Details()->blockCount(), 5000);
  EXPECT_LE(listed.height(), QGuiApplication::primaryScreen()->availableGeometry().height());
}

TEST(MessageBox, CtrlCCopiesEitherBox) {
  const QString text = "Vous devez choisir un format de conversion";
  TMessageForm box(text);
  TErrorForm error(text);
  for (QWidget* w : {static_cast<QWidget*>(&box), static_cast<QWidget*>(&error)}) {
    QApplication::clipboard()->clear();
    Key(w, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(),
              MessageBoxClipboardText("Terminelle", text, {"OK"}));
    // Another modifier: nothing is copied.
    QApplication::clipboard()->clear();
    Key(w, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(QApplication::clipboard()->text().isEmpty());
  }
}

TEST(MessageBox, ShowMessageAndTheErrorBoxAreModal) {
  ASSERT_FALSE(SetBoxHook(nullptr));
  QString seen;
  WhenModal([&](QWidget* modal) {
    seen = modal->windowTitle() + "|" + static_cast<TMessageForm*>(modal)->Message()->text();
    Key(modal, Qt::Key_Escape);
  });
  ShowMessage("c'est fini");
  EXPECT_EQ(seen, "Terminelle|c'est fini");

  InstallErrorBox();
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  WhenModal([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(box, nullptr);
    icon = box->icon();
    seen = box->windowTitle() + "|" + box->text();
    box->button(QMessageBox::Ok)->click();
  });
  // The period rule is applied before the box sees the text.
  Application().ShowException("Impossible d'ouvrir le fichier");
  EXPECT_EQ(icon, QMessageBox::Critical);
  EXPECT_EQ(seen, "Terminelle|Impossible d'ouvrir le fichier.");
}
