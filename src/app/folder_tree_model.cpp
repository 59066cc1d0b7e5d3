#include "app/folder_tree_model.h"

#include <algorithm>

#include <QColor>

#include "app/tree_icons.h"
#include "ops/ticks.h"

namespace orvaldi::app {

// One row. Top items and the extra-files item have their children given
// explicitly; a folder's children are its node's sub-folders, listed the
// first time anyone asks and made into rows batch by batch.
struct FolderTreeModel::Item {
  enum class Role : uint8_t { kRoot, kTop, kFolder, kExtraFiles };
  Role role = Role::kRoot;
  Item* parent = nullptr;
  int row = 0;
  QString text;  // top item: the partition's text; the extra-files item: the folder's name
  fs::NodeRef node;
  std::vector<std::unique_ptr<Item>> children;
  // Folder items: sub-folders not yet made rows, and whether they were listed.
  mutable std::vector<fs::NodeRef> pending;
  mutable bool listed = false;
  uint8_t tick = 0;  // top items only: what "全部选择" and the operator set
};

FolderTreeModel::FolderTreeModel(QObject* parent) : QAbstractItemModel(parent), root_(std::make_unique<Item>()) {}

FolderTreeModel::~FolderTreeModel() = default;

void FolderTreeModel::clear() {
  beginResetModel();
  root_ = std::make_unique<Item>();
  shows_ = nullptr;
  endResetModel();
}

FolderTreeModel::Item* FolderTreeModel::itemOf(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != this) return root_.get();
  return static_cast<Item*>(index.internalPointer());
}

QModelIndex FolderTreeModel::append(const QModelIndex& parent, std::unique_ptr<Item> item) {
  Item* p = itemOf(parent);
  // Rows listed lazily must all be in place before one is added after them.
  while (!fetching_ && canFetchMore(parent)) fetchMore(parent);
  const int row = static_cast<int>(p->children.size());
  item->parent = p;
  item->row = row;
  // As in fetchMore: listeners of the insertion may ask for more rows
  // before it is over.
  const bool wasFetching = fetching_;
  fetching_ = true;
  beginInsertRows(parent, row, row);
  p->children.push_back(std::move(item));
  endInsertRows();
  fetching_ = wasFetching;
  return createIndex(row, 0, p->children.back().get());
}

QModelIndex FolderTreeModel::addTop(const QString& name) {
  auto item = std::make_unique<Item>();
  item->role = Item::Role::kTop;
  item->text = name;
  item->listed = true;
  return append({}, std::move(item));
}

QModelIndex FolderTreeModel::attach(const QModelIndex& parent, const fs::NodeRef& node) {
  if (!node || !node.isFolderLike()) return {};
  auto item = std::make_unique<Item>();
  item->role = Item::Role::kFolder;
  item->node = node;
  return append(parent, std::move(item));
}

QModelIndex FolderTreeModel::addExtraFiles(const QModelIndex& top, const fs::NodeRef& folder) {
  auto item = std::make_unique<Item>();
  item->role = Item::Role::kExtraFiles;
  item->node = folder;
  item->text = QString::fromStdString(folder.name());
  item->listed = true;  // carved files are files: no sub-folders
  return append(top, std::move(item));
}

void FolderTreeModel::relinkExtraFiles(const fs::NodeRef& folder) {
  for (auto& top : root_->children)
    for (auto& child : top->children)
      if (child->role == Item::Role::kExtraFiles) child->node = folder;
}

fs::NodeRef FolderTreeModel::nodeOf(const QModelIndex& index) const {
  return index.isValid() ? itemOf(index)->node : fs::NodeRef();
}

bool FolderTreeModel::isTop(const QModelIndex& index) const {
  return index.isValid() && itemOf(index)->role == Item::Role::kTop;
}

QModelIndex FolderTreeModel::topIndex(int row) const { return index(row, 0); }

QModelIndex FolderTreeModel::childNamed(const QModelIndex& parent, const QString& name) {
  while (canFetchMore(parent)) fetchMore(parent);
  const int rows = rowCount(parent);
  for (int row = 0; row < rows; ++row) {
    const QModelIndex child = index(row, 0, parent);
    if (data(child).toString() == name) return child;
  }
  return {};
}

QModelIndex FolderTreeModel::childFor(const QModelIndex& parent, const fs::NodeRef& node) {
  while (canFetchMore(parent)) fetchMore(parent);
  const Item* p = itemOf(parent);
  for (const auto& child : p->children)
    if (child->node == node) return createIndex(child->row, 0, child.get());
  return {};
}

QModelIndex FolderTreeModel::indexOf(const Item* item) const {
  if (!item || item == root_.get()) return {};
  return createIndex(item->row, 0, const_cast<Item*>(item));
}

uint8_t FolderTreeModel::tickOf(const QModelIndex& index) const {
  if (!index.isValid()) return 0;
  const Item& item = *itemOf(index);
  return item.role == Item::Role::kTop ? item.tick : item.node.tick();
}

void FolderTreeModel::foldUp(Item* item) {
  for (; item && (item->role == Item::Role::kFolder || item->role == Item::Role::kExtraFiles); item = item->parent)
    if (const auto tick = ops::TickOfChildren(item->node)) item->node.setTick(*tick);
}

void FolderTreeModel::setTick(const QModelIndex& index, uint8_t tick) {
  if (!index.isValid()) return;
  Item& item = *itemOf(index);
  tick = tick ? 1 : 0;
  if (item.role == Item::Role::kTop) {
    item.tick = tick;
    for (const auto& child : item.children) ops::SetTickBelow(child->node, tick);
  } else if (item.node) {
    ops::SetTickBelow(item.node, tick);
    foldUp(item.parent);
  }
  refreshTicks();
}

void FolderTreeModel::ticksChangedBelow(const QModelIndex& index) {
  if (index.isValid()) foldUp(itemOf(index));
  refreshTicks();
}

void FolderTreeModel::refreshTicks() {
  std::vector<const Item*> stack{root_.get()};
  while (!stack.empty()) {
    const Item* item = stack.back();
    stack.pop_back();
    if (item->children.empty()) continue;
    const QModelIndex parent = indexOf(item);
    emit dataChanged(index(0, kNameColumn, parent),
                     index(static_cast<int>(item->children.size()) - 1, kNameColumn, parent), {Qt::CheckStateRole});
    for (const auto& child : item->children) stack.push_back(child.get());
  }
}

bool FolderTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole || !index.isValid() || index.column() != kNameColumn) return false;
  const auto state = static_cast<Qt::CheckState>(value.toInt());
  if (state == Qt::PartiallyChecked) return false;  // a mixed state is only ever computed
  setTick(index, state == Qt::Checked ? 1 : 0);
  emit ticked(index);
  return true;
}

Qt::ItemFlags FolderTreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == kNameColumn) f |= Qt::ItemIsUserCheckable;
  return f;
}

void FolderTreeModel::list(Item& item) const {
  if (item.listed) return;
  item.listed = true;
  if (item.role != Item::Role::kFolder) return;
  item.node.forEachChild([&](const fs::NodeRef& child) {
    if (child.isFolderLike() && (!shows_ || shows_(child))) item.pending.push_back(child);
  });
}

QModelIndex FolderTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column < 0 || column >= kColumnCount || (parent.isValid() && parent.column() != 0)) return {};
  const Item* p = itemOf(parent);
  if (static_cast<size_t>(row) >= p->children.size()) return {};
  return createIndex(row, column, p->children[static_cast<size_t>(row)].get());
}

QModelIndex FolderTreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return {};
  const Item* p = itemOf(child)->parent;
  if (!p || p == root_.get()) return {};
  return createIndex(p->row, 0, const_cast<Item*>(p));
}

int FolderTreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() && parent.column() != 0) return 0;
  return static_cast<int>(itemOf(parent)->children.size());
}

int FolderTreeModel::columnCount(const QModelIndex&) const { return kColumnCount; }

bool FolderTreeModel::hasChildren(const QModelIndex& parent) const {
  if (parent.isValid() && parent.column() != 0) return false;
  Item& item = *itemOf(parent);
  list(item);
  return !item.children.empty() || !item.pending.empty();
}

bool FolderTreeModel::canFetchMore(const QModelIndex& parent) const {
  if (parent.isValid() && parent.column() != 0) return false;
  Item& item = *itemOf(parent);
  list(item);
  return !item.pending.empty();
}

void FolderTreeModel::fetchMore(const QModelIndex& parent) {
  // Views and model checkers may ask again from inside the insertion's
  // signals; the batch is taken off the pending list before they run.
  if (fetching_) return;
  Item& item = *itemOf(parent);
  list(item);
  if (item.pending.empty()) return;
  const size_t take = std::min(item.pending.size(), kFetchBatch);
  std::vector<std::unique_ptr<Item>> batch;
  batch.reserve(take);
  for (size_t i = 0; i < take; ++i) {
    auto child = std::make_unique<Item>();
    child->role = Item::Role::kFolder;
    child->node = item.pending[i];
    child->parent = &item;
    child->row = static_cast<int>(item.children.size() + i);
    batch.push_back(std::move(child));
  }
  item.pending.erase(item.pending.begin(), item.pending.begin() + static_cast<std::ptrdiff_t>(take));
  if (item.pending.empty()) item.pending.shrink_to_fit();
  fetching_ = true;
  const int first = static_cast<int>(item.children.size());
  beginInsertRows(parent, first, first + static_cast<int>(take) - 1);
  for (auto& child : batch) item.children.push_back(std::move(child));
  endInsertRows();
  fetching_ = false;
}

QVariant FolderTreeModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const Item& item = *itemOf(index);
  const bool deleted = item.role == Item::Role::kFolder && item.node.isDeleted();
  switch (role) {
    case Qt::DisplayRole:
      switch (item.role) {
        case Item::Role::kTop:
          return index.column() == kNameColumn ? item.text : QString();
        case Item::Role::kExtraFiles:
          return index.column() == kIdColumn ? QString() : item.text;
        case Item::Role::kFolder:
          if (index.column() == kNameColumn) return QString::fromStdString(item.node.name());
          if (index.column() == kIdColumn) return QString::number(static_cast<uint32_t>(item.node.id()));
          return QString::fromStdString(item.node.created());
        case Item::Role::kRoot:
          return {};
      }
      return {};
    case Qt::DecorationRole:
      if (index.column() != kNameColumn) return {};
      if (item.role == Item::Role::kTop) return TreeIcons::device();
      return deleted ? TreeIcons::deletedFolder() : TreeIcons::folder();
    case Qt::ForegroundRole:
      if (deleted) return QColor(255, 0, 0);
      return {};
    case Qt::CheckStateRole: {
      if (index.column() != kNameColumn || item.role == Item::Role::kRoot) return {};
      const uint8_t tick = tickOf(index);
      return tick == 1 ? Qt::Checked : tick == 2 ? Qt::PartiallyChecked : Qt::Unchecked;
    }
    default:
      return {};
  }
}

QVariant FolderTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const kHeaders[kColumnCount] = {"磁盘分区", "File Id", "Create Time"};
  return section >= 0 && section < kColumnCount ? QString(kHeaders[section]) : QVariant();
}

int FolderTreeModel::defaultWidth(int column) { return column == kNameColumn ? 500 : 0; }

}  // namespace orvaldi::app
