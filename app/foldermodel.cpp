#include "app/foldermodel.h"

#include <QFileIconProvider>
#include <QFileInfo>

#include <algorithm>

struct TFolderModel::Node {
  QString name;
  Node* parent = nullptr;
  int row = 0;
  bool dir = true;
  bool listed = false;
  std::vector<std::unique_ptr<Node>> children;

  Node* Add(const QString& childName, bool isDir, int at) {
    auto child = std::make_unique<Node>();
    child->name = childName;
    child->parent = this;
    child->dir = isDir;
    child->listed = !isDir;
    Node* raw = child.get();
    children.insert(children.begin() + at, std::move(child));
    for (int i = at; i < static_cast<int>(children.size()); ++i) children[i]->row = i;
    return raw;
  }
};

TFolderModel::TFolderModel(QObject* parent)
    : QAbstractItemModel(parent), top_(std::make_unique<Node>()) {
  top_->listed = true;
  top_->Add(QStringLiteral("/"), true, 0);
  QFileIconProvider icons;
  folderIcon_ = icons.icon(QAbstractFileIconProvider::Folder);
  fileIcon_ = icons.icon(QAbstractFileIconProvider::File);
}

TFolderModel::~TFolderModel() = default;

void TFolderModel::setFilter(QDir::Filters filters) {
  filters_ = filters;
}

TFolderModel::Node* TFolderModel::NodeOf(const QModelIndex& index) const {
  return index.isValid() ? static_cast<Node*>(index.internalPointer()) : top_.get();
}

QModelIndex TFolderModel::IndexOf(Node* node) const {
  if (node == nullptr || node == top_.get()) return {};
  return createIndex(node->row, 0, node);
}

void TFolderModel::List(Node* node) {
  if (node->listed) return;
  node->listed = true;
  const QFileInfoList entries =
      QDir(filePath(IndexOf(node)))
          .entryInfoList(filters_,
                         QDir::Name | QDir::IgnoreCase | QDir::LocaleAware | QDir::DirsFirst);
  if (entries.isEmpty()) return;
  beginInsertRows(IndexOf(node), 0, static_cast<int>(entries.size()) - 1);
  node->children.reserve(static_cast<std::size_t>(entries.size()));
  for (const QFileInfo& entry : entries) {
    auto child = std::make_unique<Node>();
    child->name = entry.fileName();
    child->parent = node;
    child->row = static_cast<int>(node->children.size());
    child->dir = entry.isDir();
    child->listed = !child->dir;
    node->children.push_back(std::move(child));
  }
  endInsertRows();
}

QModelIndex TFolderModel::index(const QString& path) {
  if (!path.startsWith(QLatin1Char('/'))) return {};
  Node* node = top_->children.front().get();
  for (const QString& part : QDir::cleanPath(path).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    List(node);
    auto found = std::find_if(node->children.begin(), node->children.end(),
                              [&part](const auto& child) { return child->name == part; });
    if (found == node->children.end()) return {};
    node = found->get();
  }
  return IndexOf(node);
}

QString TFolderModel::filePath(const QModelIndex& index) const {
  QStringList parts;
  for (Node* node = NodeOf(index); node != nullptr && node != top_.get(); node = node->parent) {
    parts.prepend(node->name);
  }
  if (parts.isEmpty()) return {};
  parts.removeFirst();  // the root, "/"
  return QLatin1Char('/') + parts.join(QLatin1Char('/'));
}

QString TFolderModel::fileName(const QModelIndex& index) const {
  return index.isValid() ? NodeOf(index)->name : QString();
}

bool TFolderModel::isDir(const QModelIndex& index) const {
  return index.isValid() && NodeOf(index)->dir;
}

QModelIndex TFolderModel::mkdir(const QModelIndex& parent, const QString& name) {
  Node* node = NodeOf(parent);
  if (readOnly_ || !parent.isValid() || !node->dir) return {};
  if (!QDir(filePath(parent)).mkdir(name)) return {};
  if (!node->listed) return index(filePath(parent) + QLatin1Char('/') + name);
  auto at = std::find_if(node->children.begin(), node->children.end(), [&name](const auto& c) {
    return !c->dir || QString::localeAwareCompare(c->name.toLower(), name.toLower()) > 0;
  });
  const int row = static_cast<int>(at - node->children.begin());
  beginInsertRows(parent, row, row);
  Node* made = node->Add(name, true, row);
  endInsertRows();
  return IndexOf(made);
}

QModelIndex TFolderModel::index(int row, int column, const QModelIndex& parent) const {
  const Node* node = NodeOf(parent);
  if (column != 0 || row < 0 || row >= static_cast<int>(node->children.size())) return {};
  return createIndex(row, 0, node->children[static_cast<std::size_t>(row)].get());
}

QModelIndex TFolderModel::parent(const QModelIndex& child) const {
  return child.isValid() ? IndexOf(NodeOf(child)->parent) : QModelIndex();
}

int TFolderModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  return static_cast<int>(NodeOf(parent)->children.size());
}

int TFolderModel::columnCount(const QModelIndex& /*parent*/) const {
  return 1;
}

bool TFolderModel::hasChildren(const QModelIndex& parent) const {
  const Node* node = NodeOf(parent);
  return node->listed ? !node->children.empty() : node->dir;
}

bool TFolderModel::canFetchMore(const QModelIndex& parent) const {
  return !NodeOf(parent)->listed;
}

void TFolderModel::fetchMore(const QModelIndex& parent) {
  List(NodeOf(parent));
}

QVariant TFolderModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const Node* node = NodeOf(index);
  if (role == Qt::DisplayRole) return node->name;
  if (role == Qt::DecorationRole) return node->dir ? folderIcon_ : fileIcon_;
  return {};
}

Qt::ItemFlags TFolderModel::flags(const QModelIndex& index) const {
  return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}
