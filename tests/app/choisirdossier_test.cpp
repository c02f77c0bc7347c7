// The folder chooser: its dialog, its field rules and the folder button.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include "app/form1.h"
#include "app_fixture.h"

namespace {

using FolderTest = AppTest;

QString Q(const std::string& s) {
  return QString::fromLocal8Bit(s);
}

}  // namespace

TEST_F(FolderTest, ExistingFolderIsSelectedAndKeptOnCancel) {
  WriteFileBytes(Path("a/b/file.txt"), "x");
  TForm1 form;
  form.path_c->setText(Q(Path("a/b")));
  QString selected;
  QString instruction;
  SetFolderDialogHook([&](TFolderDialog& dialog) {
    selected = dialog.SelectedPath();
    instruction = dialog.Instruction()->text();
    EXPECT_TRUE(dialog.OkButton()->isEnabled());
    EXPECT_EQ(dialog.OkButton()->text(), "OK");
    EXPECT_EQ(dialog.CancelButton()->text(), "Annuler");
    EXPECT_EQ(dialog.EditBox(), nullptr);
    EXPECT_EQ(dialog.NewFolderButton(), nullptr);
    EXPECT_FALSE(dialog.Model()->filter() & QDir::Files);
    EXPECT_TRUE(dialog.Model()->isReadOnly());
    return false;
  });
  form.SpeedButton2->click();
  EXPECT_EQ(selected, Q(Path("a/b")));
  EXPECT_EQ(instruction, "Choisissez le dossier");
  EXPECT_EQ(form.path_c->text(), Q(Path("a/b")));
}

TEST_F(FolderTest, OkGivesTheChosenFolder) {
  WriteFileBytes(Path("a/file.txt"), "x");
  WriteFileBytes(Path("c/d/file.txt"), "x");
  TForm1 form;
  form.path_c->setText(Q(Path("a")));
  SetFolderDialogHook([&](TFolderDialog& dialog) { return dialog.SelectPath(Q(Path("c/d"))); });
  form.SpeedButton2->click();
  EXPECT_EQ(form.path_c->text(), Q(Path("c/d")));

  // The root of the file system comes back as "/".
  SetFolderDialogHook([&](TFolderDialog& dialog) { return dialog.SelectPath("/"); });
  form.SpeedButton2->click();
  EXPECT_EQ(form.path_c->text(), "/");
}

TEST_F(FolderTest, CancelLeavesTheFieldAsItWas) {
  WriteFileBytes(Path("plain.txt"), "x");
  TForm1 form;
  for (const std::string& start : {Path("absent"), Path("plain.txt"), std::string()}) {
    form.path_c->setText(Q(start));
    bool preselected = true;
    bool okEnabled = true;
    SetFolderDialogHook([&](TFolderDialog& dialog) {
      preselected = !dialog.SelectedPath().isEmpty();
      okEnabled = dialog.OkButton()->isEnabled();
      return false;
    });
    form.SpeedButton2->click();
    EXPECT_FALSE(preselected) << start;
    EXPECT_FALSE(okEnabled) << start;
    EXPECT_EQ(form.path_c->text(), Q(start));
  }
}

TEST_F(FolderTest, ChoisirDossierResultAndFlags) {
  std::string folder = Path("");
  SetFolderDialogHook([&](TFolderDialog& dialog) {
    EXPECT_NE(dialog.EditBox(), nullptr);
    EXPECT_NE(dialog.NewFolderButton(), nullptr);
    EXPECT_TRUE(dialog.Model()->filter() & QDir::Files);
    return true;
  });
  EXPECT_TRUE(ChoisirDossier("Titre", "", folder, true, true, true));
  // A start folder is a folder: OK on it gives it back.
  EXPECT_EQ(Q(folder), QDir(Q(Path(""))).absolutePath());

  std::string missing = Path("absent");
  SetFolderDialogHook([](TFolderDialog&) { return false; });
  EXPECT_FALSE(ChoisirDossier("Titre", "", missing, false, false, false));
  EXPECT_TRUE(missing.empty());
}

TEST_F(FolderTest, TreeListsFoldersOnly) {
  WriteFileBytes(Path("dir/inner/x.txt"), "x");
  WriteFileBytes(Path("dir/file.txt"), "x");
  WriteFileBytes(Path("dir/.hidden/y.txt"), "y");
  TFolderDialog dialog("Choisissez le dossier", "", false, false, false);
  ASSERT_TRUE(dialog.SelectPath(Q(Path("dir"))));
  TFolderModel* model = dialog.Model();
  QModelIndex dir = model->index(Q(Path("dir")));
  if (model->canFetchMore(dir)) model->fetchMore(dir);
  ASSERT_EQ(model->rowCount(dir), 2);
  QStringList names;
  for (int row = 0; row < model->rowCount(dir); ++row)
    names << model->index(row, 0, dir).data().toString();
  names.sort();
  EXPECT_EQ(names, (QStringList{".hidden", "inner"}));
  // The whole file system is shown from its root.
  EXPECT_FALSE(dialog.Tree()->rootIndex().isValid());
  EXPECT_FALSE(dialog.SelectPath(Q(Path("dir/file.txt"))));
}

TEST_F(FolderTest, OpensOnTheStartFolderAtOnce) {
  for (const char* sibling : {"alpha", "start", "zeta"})
    WriteFileBytes(Path("d/e/") + sibling + "/f", "x");
  TFolderDialog dialog("Choisissez le dossier", "", false, false, false);
  // No event is processed from here on: what shows first must be right.
  ASSERT_TRUE(dialog.SelectPath(Q(Path("d/e/start"))));
  dialog.show();
  QTreeView* tree = dialog.Tree();
  const QModelIndex current = tree->currentIndex();
  EXPECT_EQ(dialog.SelectedPath(), Q(Path("d/e/start")));
  EXPECT_EQ(dialog.Model()->rowCount(current.parent()), 3);
  EXPECT_EQ(current.row(), 1);
  EXPECT_TRUE(tree->viewport()->rect().contains(tree->visualRect(current)));
}

TEST_F(FolderTest, RealDialogIsApplicationModal) {
  WriteFileBytes(Path("a/file.txt"), "x");
  TForm1 form;
  form.show();
  form.path_c->setText(Q(Path("a")));
  bool modal = false;
  QString selected;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (auto* dialog = dynamic_cast<TFolderDialog*>(QApplication::activeModalWidget())) {
      poll.stop();
      modal = dialog->windowModality() == Qt::ApplicationModal;
      selected = dialog->SelectedPath();
      dialog->OkButton()->click();
    }
  });
  poll.start(10);
  form.SpeedButton2->click();
  EXPECT_TRUE(modal);
  EXPECT_EQ(selected, Q(Path("a")));
  EXPECT_EQ(form.path_c->text(), Q(Path("a")));
}
