// A partition window's left tree: the folders a scan found, as a lazy view
// over the scan tree. Items refer to the engine's nodes and are made only
// when their parent is expanded, so a volume of a hundred thousand entries
// costs nothing until it is browsed; files never become items.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QAbstractItemModel>
#include <QString>

#include "fs/node_view.h"

namespace orvaldi::app {

class FolderTreeModel final : public QAbstractItemModel {
  Q_OBJECT

 public:
  enum Column { kNameColumn, kIdColumn, kCreatedColumn, kColumnCount };
  // Rows made per fetch, so that opening a folder of many thousand
  // sub-folders returns at once and the rest come as the view scrolls.
  static constexpr size_t kFetchBatch = 1000;

  explicit FolderTreeModel(QObject* parent = nullptr);
  ~FolderTreeModel() override;

  // Drops every item. Call before the nodes behind them go away.
  void clear();
  // A top-level item named after the partition; results are attached below it.
  QModelIndex addTop(const QString& name);
  // An item for `node` at the end of `parent`'s children when it is a folder
  // (existing or deleted); its sub-folders follow on demand. Returns the new
  // item, or an invalid index for a file-like node.
  QModelIndex attach(const QModelIndex& parent, const fs::NodeRef& node);
  // The carved-files folder below a top item: shown by name, with no
  // sub-folders.
  QModelIndex addExtraFiles(const QModelIndex& top, const fs::NodeRef& folder);
  // Points the extra-files item at `folder` again (its carved files changed).
  void relinkExtraFiles(const fs::NodeRef& folder);
  // From now until clear(), a folder's sub-folders become items only when
  // `shows` takes them (the file filter's tree); null takes every one.
  void setFolderFilter(std::function<bool(const fs::NodeRef&)> shows) { shows_ = std::move(shows); }

  fs::NodeRef nodeOf(const QModelIndex& index) const;  // none for a top item
  bool isTop(const QModelIndex& index) const;
  QModelIndex topIndex(int row) const;
  // The child of `parent` showing the text `name` in column 0, fetching the
  // rows as needed; invalid when there is none.
  QModelIndex childNamed(const QModelIndex& parent, const QString& name);
  // The child of `parent` made for `node`, fetching the rows as needed.
  QModelIndex childFor(const QModelIndex& parent, const fs::NodeRef& node);

  // Tick marks. A folder's tick is its node's; a top item keeps its own.
  // Setting one writes it into every node below the item; the folders
  // above it (not the top item) then follow their children.
  uint8_t tickOf(const QModelIndex& index) const;
  void setTick(const QModelIndex& index, uint8_t tick);
  // Ticks below `index` changed in place (from the file list): its folder
  // and the folders above it follow their children, and every item repaints.
  void ticksChangedBelow(const QModelIndex& index);
  // Every item repaints its tick.
  void refreshTicks();

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  bool hasChildren(const QModelIndex& parent = {}) const override;
  bool canFetchMore(const QModelIndex& parent) const override;
  void fetchMore(const QModelIndex& parent) override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

  static int defaultWidth(int column);

 signals:
  // The operator ticked or cleared `index` in the tree.
  void ticked(const QModelIndex& index);

 private:
  struct Item;
  Item* itemOf(const QModelIndex& index) const;
  // Lists `item`'s sub-folders (not yet rows) once.
  void list(Item& item) const;
  QModelIndex append(const QModelIndex& parent, std::unique_ptr<Item> item);
  QModelIndex indexOf(const Item* item) const;
  // The folders from `item` up to (not including) its top item follow their children.
  void foldUp(Item* item);

  std::unique_ptr<Item> root_;
  bool fetching_ = false;
  std::function<bool(const fs::NodeRef&)> shows_;
};

}  // namespace orvaldi::app
