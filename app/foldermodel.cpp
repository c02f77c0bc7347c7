#include "app/foldermodel.h"

#include <sys/stat.h>

#include <QApplication>
#include <QCollator>
#include <QStyle>

#include <algorithm>

#include "framework/localtext.h"
#include "platform/dirlist.h"
#include "platform/folders.h"
#include "platform/paths.h"

struct TFolderModel::Node {
  Node* parent = nullptr;
  int row = 0;
  std::string path;
  QString name;
  bool folder = true;
  bool listed = false;
  std::vector<std::unique_ptr<Node>> children;
};

namespace {

std::string ChildPath(const std::string& folder, const std::string& name) {
  return (folder == "/" ? "" : folder) + "/" + name;
}

// The absolute path's names, "." and ".." worked out as the words they are.
std::vector<std::string> Names(const std::string& path) {
  const std::string full = FullPathName(path.empty() ? "." : path);
  std::vector<std::string> names;
  if (full.empty() || full[0] != '/') return names;
  for (std::size_t start = 1; start < full.size();) {
    std::size_t end = full.find('/', start);
    if (end == std::string::npos) end = full.size();
    names.push_back(full.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

}  // namespace

TFolderModel::TFolderModel(QObject* parent)
    : QAbstractItemModel(parent), top_(std::make_unique<Node>()) {
  auto root = std::make_unique<Node>();
  root->parent = top_.get();
  root->path = "/";
  root->name = QStringLiteral("/");
  top_->children.push_back(std::move(root));
  top_->listed = true;
}

TFolderModel::~TFolderModel() = default;

TFolderModel::Node* TFolderModel::NodeOf(const QModelIndex& index) const {
  return index.isValid() ? static_cast<Node*>(index.internalPointer()) : top_.get();
}

QModelIndex TFolderModel::IndexOf(Node* node) const {
  return node == top_.get() ? QModelIndex() : createIndex(node->row, 0, node);
}

QModelIndex TFolderModel::index(int row, int column, const QModelIndex& parent) const {
  Node* node = NodeOf(parent);
  if (column != 0 || row < 0 || row >= static_cast<int>(node->children.size())) return {};
  return createIndex(row, 0, node->children[static_cast<std::size_t>(row)].get());
}

QModelIndex TFolderModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return {};
  return IndexOf(NodeOf(child)->parent);
}

int TFolderModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  return static_cast<int>(NodeOf(parent)->children.size());
}

int TFolderModel::columnCount(const QModelIndex& /*parent*/) const {
  return 1;
}

QVariant TFolderModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const Node* node = NodeOf(index);
  if (role == Qt::DisplayRole) return node->name;
  if (role == Qt::DecorationRole) {
    return QApplication::style()->standardIcon(node->folder ? QStyle::SP_DirIcon
                                                            : QStyle::SP_FileIcon);
  }
  return {};
}

Qt::ItemFlags TFolderModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

bool TFolderModel::hasChildren(const QModelIndex& parent) const {
  const Node* node = NodeOf(parent);
  return node->folder && (!node->listed || !node->children.empty());
}

bool TFolderModel::canFetchMore(const QModelIndex& parent) const {
  const Node* node = NodeOf(parent);
  return node->folder && !node->listed;
}

void TFolderModel::fetchMore(const QModelIndex& parent) {
  Node* node = NodeOf(parent);
  if (!node->folder || node->listed) return;
  node->listed = true;
  std::vector<std::unique_ptr<Node>> children;
  DirList list = DirList::OpenPath(node->path);
  DirEntry entry;
  while (list.Next(&entry)) {
    const bool folder = list.IsFolder(entry);
    if (!folder && !(filters_ & QDir::Files)) continue;
    auto child = std::make_unique<Node>();
    std::string name(entry.Name, entry.Length);
    child->path = ChildPath(node->path, name);
    child->name = FromLocalBytes(name);
    child->folder = folder;
    children.push_back(std::move(child));
  }
  Insert(node, std::move(children));
}

void TFolderModel::Insert(Node* parent, std::vector<std::unique_ptr<Node>> children) {
  // Folders first, then by name as a reader sorts them.
  QCollator collator;
  collator.setNumericMode(true);
  collator.setCaseSensitivity(Qt::CaseInsensitive);
  auto before = [&collator](const std::unique_ptr<Node>& a, const std::unique_ptr<Node>& b) {
    if (a->folder != b->folder) return a->folder;
    const int order = collator.compare(a->name, b->name);
    return order != 0 ? order < 0 : a->path < b->path;
  };
  std::sort(children.begin(), children.end(), before);
  std::vector<std::unique_ptr<Node>>& list = parent->children;
  const QModelIndex at = IndexOf(parent);
  if (list.empty() && !children.empty()) {
    beginInsertRows(at, 0, static_cast<int>(children.size()) - 1);
    list = std::move(children);
    for (std::size_t row = 0; row < list.size(); ++row) {
      list[row]->parent = parent;
      list[row]->row = static_cast<int>(row);
    }
    endInsertRows();
    return;
  }
  // Into a listed folder one by one, so the items already shown keep their place.
  for (auto& child : children) {
    auto place = std::upper_bound(list.begin(), list.end(), child, before);
    const int row = static_cast<int>(place - list.begin());
    beginInsertRows(at, row, row);
    child->parent = parent;
    list.insert(place, std::move(child));
    for (std::size_t r = static_cast<std::size_t>(row); r < list.size(); ++r) {
      list[r]->row = static_cast<int>(r);
    }
    endInsertRows();
  }
}

QModelIndex TFolderModel::index(const QString& path) {
  if (path.isEmpty()) return {};
  Node* node = top_->children.front().get();
  for (const std::string& name : Names(ToLocalBytes(path))) {
    if (!node->folder) return {};
    fetchMore(IndexOf(node));
    const std::string wanted = ChildPath(node->path, name);
    auto found =
        std::find_if(node->children.begin(), node->children.end(),
                     [&](const std::unique_ptr<Node>& child) { return child->path == wanted; });
    if (found != node->children.end()) {
      node = found->get();
      continue;
    }
    // A folder that may be entered but not listed still holds its sub-folders.
    if (!IsFolder(wanted)) return {};
    auto child = std::make_unique<Node>();
    child->path = wanted;
    child->name = FromLocalBytes(name);
    Node* made = child.get();
    std::vector<std::unique_ptr<Node>> one;
    one.push_back(std::move(child));
    Insert(node, std::move(one));
    node = made;
  }
  return IndexOf(node);
}

QString TFolderModel::filePath(const QModelIndex& index) const {
  return index.isValid() ? FromLocalBytes(NodeOf(index)->path) : QString();
}

QString TFolderModel::fileName(const QModelIndex& index) const {
  return index.isValid() ? NodeOf(index)->name : QString();
}

bool TFolderModel::isDir(const QModelIndex& index) const {
  return index.isValid() && NodeOf(index)->folder;
}

QModelIndex TFolderModel::mkdir(const QModelIndex& parent, const QString& name) {
  Node* node = NodeOf(parent);
  if (read_only_ || !parent.isValid() || !node->folder) return {};
  const std::string path = ChildPath(node->path, ToLocalBytes(name));
  if (::mkdir(path.c_str(), 0777) != 0) return {};
  return index(FromLocalBytes(path));
}
