#include "app/file_list_model.h"

#include <algorithm>

#include <QColor>
#include <QFileIconProvider>
#include <QMimeDatabase>

#include "ops/ticks.h"
#include "raw/save_target.h"

namespace orvaldi::app {
namespace {

Qt::CheckState CheckStateOf(uint8_t tick) {
  return tick == 1 ? Qt::Checked : tick == 2 ? Qt::PartiallyChecked : Qt::Unchecked;
}

QString Text(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

FileListModel::FileListModel(QObject* parent) : QAbstractTableModel(parent) {}

FileListModel::~FileListModel() = default;

void FileListModel::show(const fs::NodeRef& folder, uint8_t tickMode, const std::string& pattern) {
  beginResetModel();
  folder_ = folder;
  mode_ = std::min<uint8_t>(tickMode, 2);
  pattern_ = folder.carvedKind() == fs::CarvedKind::kFolder ? pattern : std::string();
  rows_.clear();
  rows_.shrink_to_fit();
  damage_.clear();
  cursor_ = fs::ChildCursor(folder);
  next_ = {};
  advance();
  const int first = folder.family() == fs::NodeFamily::kFat ? kFirstFatRows : kFirstRows;
  std::vector<fs::NodeRef> made;
  take(first, made);
  rows_ = std::move(made);
  // Listeners of the reset (views, model checkers) may fetch from inside it;
  // rows come after the reset is over.
  fetching_ = true;
  endResetModel();
  fetching_ = false;
}

void FileListModel::advance() {
  next_ = {};
  while (!cursor_.atEnd()) {
    fs::NodeRef child = cursor_.next();
    if (pattern_.empty() || raw::FilterMatches(pattern_, child.name())) {
      next_ = child;
      return;
    }
  }
}

int FileListModel::take(int count, std::vector<fs::NodeRef>& out) {
  int made = 0;
  for (; made < count && next_; ++made) {
    const fs::NodeRef node = next_;
    // Under a whole tick the rows take the folder's; the nodes below a folder
    // already hold it, unless they were changed behind the views.
    if (mode_ != 2 && node.tick() != mode_) ops::SetTickBelow(node, mode_);
    out.push_back(node);
    advance();
  }
  return made;
}

fs::NodeRef FileListModel::nodeAt(int row) const {
  return row >= 0 && static_cast<size_t>(row) < rows_.size() ? rows_[static_cast<size_t>(row)] : fs::NodeRef();
}

void FileListModel::ticksChanged() {
  // Once a tick changed, the rows still to come show what their nodes hold.
  mode_ = 2;
  if (rows_.empty()) return;
  emit dataChanged(index(0, kNameColumn), index(static_cast<int>(rows_.size()) - 1, kNameColumn), {Qt::CheckStateRole});
}

int FileListModel::defaultWidth(int column) {
  static const int kWidths[kColumnCount] = {200, 100, 50, 150, 150, 150, 50, 50};
  return column >= 0 && column < kColumnCount ? kWidths[column] : 0;
}

int FileListModel::resizedWidth(int column, int clientWidth) {
  // Eighteenths of the width, rounded to the nearest pixel.
  static const int kEighteenths[kColumnCount] = {4, 2, 1, 3, 3, 3, 1, 1};
  if (column < 0 || column >= kColumnCount) return 0;
  return static_cast<int>(static_cast<double>(clientWidth) * kEighteenths[column] / 18.0 + 0.5);
}

int FileListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FileListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QString FileListModel::rowText(const fs::NodeRef& node, const fs::NodeRef& listedFolder, int column) {
  const bool carved = node.carvedKind() == fs::CarvedKind::kFile;
  switch (column) {
    case kNameColumn:
      return Text(node.name());
    case kStateColumn:
      // A carved file is what is left of a deleted one.
      return carved ? QStringLiteral("已删除文件") : QString(fs::StateWord(node.flags()));
    case kSizeColumn:
      return QString::number(node.size());
    case kCreatedColumn:
      return Text(node.created());
    case kModifiedColumn:
      return Text(node.modified());
    case kAccessedColumn:
      // A FAT entry keeps no access time; the column repeats the modification.
      return Text(node.family() == fs::NodeFamily::kFat ? node.modified() : node.accessed());
    case kNumberColumn:
      // Cluster and record numbers are shown as their low 32 bits; a carved
      // file's start sector in full.
      return carved ? QString::number(node.id()) : QString::number(static_cast<uint32_t>(node.id()));
    case kParentColumn: {
      if (carved) return Text(listedFolder.name());
      // A FAT entry the scan found without a folder has no parent number.
      if (node.family() == fs::NodeFamily::kFat && !node.fat()->parent) return {};
      const auto parent = node.parentId(listedFolder);
      return parent ? QString::number(static_cast<uint32_t>(*parent)) : QString();
    }
    default:
      return {};
  }
}

QIcon FileListModel::icon(const fs::NodeRef& node) const {
  // The provider is not kept, so that none of its icons outlives the
  // application object; it is asked once per extension.
  if (node.isFolderLike()) {
    if (folderIcon_.isNull()) folderIcon_ = QFileIconProvider().icon(QAbstractFileIconProvider::Folder);
    return folderIcon_;
  }
  const QString name = Text(node.name());
  const qsizetype dot = name.lastIndexOf('.');
  const QString extension = dot < 0 ? QString() : name.mid(dot + 1).toLower();
  auto it = icons_.find(extension);
  if (it != icons_.end()) return *it;
  // By the name alone: the mime database matches extensions without opening
  // anything, and the theme gives the icon of that type.
  QIcon found;
  if (!extension.isEmpty()) {
    static const QMimeDatabase mimes;
    const QMimeType type = mimes.mimeTypeForFile("x." + extension, QMimeDatabase::MatchExtension);
    if (type.isValid() && !type.isDefault())
      found = QIcon::fromTheme(type.iconName(), QIcon::fromTheme(type.genericIconName()));
  }
  if (found.isNull()) found = QFileIconProvider().icon(QAbstractFileIconProvider::File);
  icons_.insert(extension, found);
  return found;
}

// A carved file that a volume's record names: that name and folder.
QVariant FileListModel::foundNameTip(const fs::NodeRef& node) {
  if (node.carvedKind() != fs::CarvedKind::kFile || node.carved()->foundName.empty()) return {};
  const disk::CarvedNode& file = *node.carved();
  const QString folder = file.foundPath.empty() ? QStringLiteral("未知") : Text(file.foundPath);
  return QStringLiteral("原文件名: %1\n原文件夹: %2").arg(Text(file.foundName), folder);
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.model() != this || static_cast<size_t>(index.row()) >= rows_.size()) return {};
  const fs::NodeRef& node = rows_[static_cast<size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
      if (index.column() == kStateColumn && damaged(index.row()))
        return rowText(node, folder_, index.column()) + QStringLiteral("(坏区)");
      return rowText(node, folder_, index.column());
    case Qt::ForegroundRole:
      if (damaged(index.row())) return QColor(0xC0, 0x60, 0x00);
      if (node.isDeleted() || node.carvedKind() == fs::CarvedKind::kFile) return QColor(255, 0, 0);
      return {};
    case Qt::ToolTipRole:
      if (damaged(index.row())) return QStringLiteral("文件的数据或目录项位于映射文件中未读出的区域");
      return foundNameTip(node);
    case Qt::DecorationRole:
      if (index.column() == kNameColumn) return icon(node);
      return {};
    case Qt::CheckStateRole:
      if (index.column() == kNameColumn) return CheckStateOf(node.tick());
      return {};
    default:
      return {};
  }
}

void FileListModel::setDamageCheck(DamageCheck check) {
  damageCheck_ = std::move(check);
  damage_.clear();
  if (!rows_.empty()) emit dataChanged(index(0, 0), index(static_cast<int>(rows_.size()) - 1, kColumnCount - 1));
}

bool FileListModel::damaged(int row) const {
  if (!damageCheck_ || row < 0 || static_cast<size_t>(row) >= rows_.size()) return false;
  if (damage_.size() < rows_.size()) damage_.resize(rows_.size(), -1);
  int8_t& known = damage_[static_cast<size_t>(row)];
  if (known < 0) known = damageCheck_(rows_[static_cast<size_t>(row)], folder_) ? 1 : 0;
  return known == 1;
}

bool FileListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole || !index.isValid() || index.column() != kNameColumn) return false;
  const fs::NodeRef node = nodeAt(index.row());
  if (!node) return false;
  const auto state = static_cast<Qt::CheckState>(value.toInt());
  if (state == Qt::PartiallyChecked) return false;  // a mixed state is only ever computed
  ops::SetTickBelow(node, state == Qt::Checked ? 1 : 0);
  mode_ = 2;
  emit dataChanged(index, index, {Qt::CheckStateRole});
  emit ticked(node);
  return true;
}

Qt::ItemFlags FileListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  if (index.column() == kNameColumn) f |= Qt::ItemIsUserCheckable;
  return f;
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const kHeaders[kColumnCount] = {"名称",     "状态",         "大小",   "创建时间",
                                                     "修改时间", "文件读取时间", "文件号", "文件父号"};
  return section >= 0 && section < kColumnCount ? QString(kHeaders[section]) : QVariant();
}

bool FileListModel::canFetchMore(const QModelIndex& parent) const { return !parent.isValid() && !held_ && bool(next_); }

void FileListModel::fetchMore(const QModelIndex& parent) {
  // Views and model checkers may ask again from inside the insertion's
  // signals; the batch is taken before they run.
  if (parent.isValid() || fetching_ || held_ || !next_) return;
  std::vector<fs::NodeRef> batch;
  take(kFetchBatch, batch);
  if (batch.empty()) return;
  fetching_ = true;
  const int first = static_cast<int>(rows_.size());
  beginInsertRows({}, first, first + static_cast<int>(batch.size()) - 1);
  rows_.insert(rows_.end(), batch.begin(), batch.end());
  endInsertRows();
  fetching_ = false;
}

}  // namespace orvaldi::app
