#include "app/choisirdossier.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <utility>

#include "framework/localtext.h"
#include "platform/folders.h"

namespace {

// The tree's top: the named folder when it is an absolute path to one; the
// whole file system otherwise, which is what a name the shell would look up
// among its own items comes to here.
QString RootPath(const QString& root) {
  QFileInfo info(root);
  if (!root.isEmpty() && info.isAbsolute() && info.isDir()) return info.absoluteFilePath();
  return QStringLiteral("/");
}

FolderDialogHook& CurrentFolderDialogHook() {
  static FolderDialogHook hook;
  return hook;
}

}  // namespace

FolderDialogHook SetFolderDialogHook(FolderDialogHook hook) {
  return std::exchange(CurrentFolderDialogHook(), std::move(hook));
}

TFolderDialog::TFolderDialog(const QString& title, const QString& root, bool editBox,
                             bool includeFiles, bool allowNewFolder)
    : instruction_(new QLabel(title, this)),
      model_(new TFolderModel(this)),
      tree_(new QTreeView(this)),
      ok_(new QPushButton(QStringLiteral("OK"), this)),
      cancel_(new QPushButton(QStringLiteral("Annuler"), this)) {
  setWindowTitle(QStringLiteral("Rechercher un dossier"));
  setWindowModality(Qt::ApplicationModal);
  instruction_->setTextFormat(Qt::PlainText);
  instruction_->setWordWrap(true);

  QDir::Filters filters = QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives | QDir::Hidden;
  if (includeFiles) filters |= QDir::Files | QDir::System;
  model_->setFilter(filters);
  model_->setReadOnly(!allowNewFolder);
  const QString rootPath = RootPath(root);

  tree_->setModel(model_);
  tree_->setHeaderHidden(true);
  tree_->setUniformRowHeights(true);
  tree_->setSelectionMode(QAbstractItemView::SingleSelection);
  tree_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  if (rootPath != QLatin1String("/")) tree_->setRootIndex(model_->index(rootPath));
  QObject::connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
                   [this] { SelectionChanged(); });

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(instruction_);
  layout->addWidget(tree_, 1);
  if (editBox) {
    edit_ = new QLineEdit(this);
    edit_->setReadOnly(true);
    layout->addWidget(edit_);
  }
  auto* buttons = new QHBoxLayout;
  if (allowNewFolder) {
    new_folder_ = new QPushButton(QStringLiteral("Créer un nouveau dossier"), this);
    new_folder_->setAutoDefault(false);
    QObject::connect(new_folder_, &QPushButton::clicked, this, [this] { MakeFolder(); });
    buttons->addWidget(new_folder_);
  }
  buttons->addStretch(1);
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);
  layout->addLayout(buttons);
  ok_->setDefault(true);
  ok_->setEnabled(false);
  cancel_->setAutoDefault(false);
  QObject::connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
  QObject::connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  resize(320, 400);
}

bool TFolderDialog::SelectPath(const QString& path) {
  QModelIndex index = model_->index(path);
  if (!index.isValid() || !model_->isDir(index)) return false;
  tree_->setCurrentIndex(index);
  tree_->scrollTo(index);
  pending_ = path;
  return true;
}

QString TFolderDialog::SelectedPath() const {
  QModelIndex index = tree_->currentIndex();
  if (!index.isValid()) return {};
  return model_->filePath(index);
}

void TFolderDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Laid out now, the tree scrolls to the selection before it is first drawn.
  if (tree_->currentIndex().isValid()) tree_->scrollTo(tree_->currentIndex());
}

void TFolderDialog::SelectionChanged() {
  QModelIndex index = tree_->currentIndex();
  const bool folder = index.isValid() && model_->isDir(index);
  ok_->setEnabled(folder);
  if (edit_ != nullptr) edit_->setText(index.isValid() ? model_->fileName(index) : QString());
}

void TFolderDialog::MakeFolder() {
  QModelIndex parent = tree_->currentIndex();
  if (!parent.isValid()) return;
  QModelIndex made = model_->mkdir(parent, QStringLiteral("Nouveau dossier"));
  if (made.isValid()) tree_->setCurrentIndex(made);
}

bool ChoisirDossier(const std::string& title, const std::string& root, std::string& folder,
                    bool editBox, bool includeFiles, bool allowNewFolder) {
  bool result = false;
  if (!IsFolder(folder)) folder.clear();
  TFolderDialog dialog(QString::fromUtf8(title), FromLocalBytes(root), editBox, includeFiles,
                       allowNewFolder);
  if (!folder.empty()) dialog.SelectPath(FromLocalBytes(folder));
  const bool accepted = CurrentFolderDialogHook() ? CurrentFolderDialogHook()(dialog)
                                                  : dialog.exec() == QDialog::Accepted;
  if (accepted) {
    QString chosen = dialog.SelectedPath();
    if (!chosen.isEmpty()) {
      result = true;
      folder = ToLocalBytes(chosen);
    }
  }
  return result;
}
