#pragma once
// Picking a folder in a modal dialog of our own: a tree of the file system's
// folders under an instruction text, with "OK" and "Annuler".

#include <QDialog>
#include <QString>

#include <functional>
#include <string>

#include "app/foldermodel.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;

class TFolderDialog : public QDialog {
 public:
  // A dialog showing title above the tree of root ("/" when root names no folder).
  TFolderDialog(const QString& title, const QString& root, bool editBox, bool includeFiles,
                bool allowNewFolder);
  // Selects path in the tree and scrolls it into view; false when it is no folder.
  bool SelectPath(const QString& path);
  // The path of the selected folder; empty when none is selected.
  QString SelectedPath() const;

  // The instruction above the tree.
  QLabel* Instruction() const { return instruction_; }
  QTreeView* Tree() const { return tree_; }
  // The model behind the tree.
  TFolderModel* Model() const { return model_; }
  QPushButton* OkButton() const { return ok_; }
  QPushButton* CancelButton() const { return cancel_; }
  // The edit box under the tree; null when the dialog has none.
  QLineEdit* EditBox() const { return edit_; }
  // The button making a folder; null when the dialog has none.
  QPushButton* NewFolderButton() const { return new_folder_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void SelectionChanged();
  void MakeFolder();

  QLabel* instruction_;
  TFolderModel* model_;
  QTreeView* tree_;
  QLineEdit* edit_ = nullptr;
  QPushButton* new_folder_ = nullptr;
  QPushButton* ok_;
  QPushButton* cancel_;
  QString pending_;
};

// Answers the dialog instead of the user: it may select a folder and returns
// true for OK, false for Annuler.
using FolderDialogHook = std::function<bool(TFolderDialog& dialog)>;
// Puts hook in place of the user for the dialog from now on (an empty one
// gives it back to the user); returns the one it replaces.
FolderDialogHook SetFolderDialogHook(FolderDialogHook hook);

// Lets the user pick a folder under root (an absolute folder; the whole file
// system otherwise), the dialog opening on folder when it names one. A folder
// that names no existing directory is emptied first; on OK it becomes the
// chosen path. Returns whether OK was pressed.
bool ChoisirDossier(const std::string& title, const std::string& root, std::string& folder,
                    bool editBox, bool includeFiles, bool allowNewFolder);
