#pragma once
// The folder tree of the folder dialog. A folder is listed the first time it
// is opened or a path through it is looked up, on the spot: the dialog opens
// on its start folder at once, however large the file system, and never
// shows a level half listed.

#include <QAbstractItemModel>
#include <QDir>
#include <QIcon>
#include <QString>

#include <memory>
#include <vector>

// The file system from "/" down, one column of names.
class TFolderModel : public QAbstractItemModel {
 public:
  // An empty model; "/" is its only top item.
  explicit TFolderModel(QObject* parent = nullptr);
  ~TFolderModel() override;

  // The entries listed: folders, and files too when QDir::Files is set.
  void setFilter(QDir::Filters filters);
  // The entries listed.
  QDir::Filters filter() const { return filters_; }
  // Whether mkdir is refused.
  void setReadOnly(bool readOnly) { readOnly_ = readOnly; }
  // Whether mkdir is refused.
  bool isReadOnly() const { return readOnly_; }

  // The item of an absolute path, listing the folders on the way; invalid
  // when the path names nothing listed.
  QModelIndex index(const QString& path);
  // The absolute path of an item.
  QString filePath(const QModelIndex& index) const;
  // The name of an item.
  QString fileName(const QModelIndex& index) const;
  // Whether an item is a folder.
  bool isDir(const QModelIndex& index) const;
  // Makes the folder name in parent and gives its item; invalid on failure.
  QModelIndex mkdir(const QModelIndex& parent, const QString& name);

  // The item at row under parent.
  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  // The folder holding child.
  QModelIndex parent(const QModelIndex& child) const override;
  // The entries listed so far in parent.
  int rowCount(const QModelIndex& parent = {}) const override;
  // One column: the names.
  int columnCount(const QModelIndex& parent = {}) const override;
  // True for a folder not listed yet, so that it shows it can be opened.
  bool hasChildren(const QModelIndex& parent = {}) const override;
  // True for a folder not listed yet.
  bool canFetchMore(const QModelIndex& parent) const override;
  // Lists the folder.
  void fetchMore(const QModelIndex& parent) override;
  // The name and the icon of an item.
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  // Items can be selected.
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  struct Node;
  Node* NodeOf(const QModelIndex& index) const;
  QModelIndex IndexOf(Node* node) const;
  void List(Node* node);

  std::unique_ptr<Node> top_;
  QDir::Filters filters_ = QDir::AllDirs | QDir::NoDotAndDotDot;
  bool readOnly_ = true;
  QIcon folderIcon_;
  QIcon fileIcon_;
};
