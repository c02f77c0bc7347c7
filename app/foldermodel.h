#pragma once
// The file system as a tree of folders for the folder dialog, listed a level
// at a time when that level is first shown or walked through. Names are the
// entries' bytes read in the locale's character set, so every folder is
// listed and every path given back is the one on disk.

#include <QAbstractItemModel>
#include <QDir>
#include <QString>

#include <memory>
#include <string>
#include <vector>

// The tree: one top item "/", under it the folders (and files when asked).
class TFolderModel : public QAbstractItemModel {
 public:
  // A tree of folders only, which cannot be changed.
  explicit TFolderModel(QObject* parent = nullptr);
  ~TFolderModel() override;

  // What is listed: folders always, files too with QDir::Files.
  void setFilter(QDir::Filters filters) { filters_ = filters; }
  QDir::Filters filter() const { return filters_; }
  // A read-only model refuses mkdir.
  void setReadOnly(bool readOnly) { read_only_ = readOnly; }
  bool isReadOnly() const { return read_only_; }

  // The item of path, listing every level on the way; invalid when path
  // names nothing the tree lists. A relative path starts at the working folder.
  QModelIndex index(const QString& path);
  QString filePath(const QModelIndex& index) const;
  QString fileName(const QModelIndex& index) const;
  bool isDir(const QModelIndex& index) const;
  // Makes the folder name in parent and gives its item; invalid when that fails.
  QModelIndex mkdir(const QModelIndex& parent, const QString& name);

  // The item at row of parent, in the one column.
  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  // The folder holding child.
  QModelIndex parent(const QModelIndex& child) const override;
  // How many items of parent are listed so far.
  int rowCount(const QModelIndex& parent = {}) const override;
  // One column: the name.
  int columnCount(const QModelIndex& parent = {}) const override;
  // The name and the folder or file icon.
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  // Items can be selected.
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // A folder not listed yet may have children; a listed one when it has some.
  bool hasChildren(const QModelIndex& parent = {}) const override;
  // Whether parent is a folder not listed yet.
  bool canFetchMore(const QModelIndex& parent) const override;
  // Lists parent's entries.
  void fetchMore(const QModelIndex& parent) override;

 private:
  struct Node;
  Node* NodeOf(const QModelIndex& index) const;
  QModelIndex IndexOf(Node* node) const;
  void Insert(Node* parent, std::vector<std::unique_ptr<Node>> children);

  QDir::Filters filters_ = QDir::AllDirs;
  bool read_only_ = true;
  std::unique_ptr<Node> top_;
};
