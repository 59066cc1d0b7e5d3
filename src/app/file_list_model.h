// The right pane of a partition window: the sub-folders and files of one
// folder, as a lazy view over the scan tree. A row is one node reference;
// rows are made in batches as the view scrolls, so that a folder of half a
// million entries costs only the rows shown. Ticks live in the nodes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <QAbstractTableModel>
#include <QHash>
#include <QIcon>

#include "fs/node_view.h"

namespace orvaldi::app {

class FileListModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column {
    kNameColumn,
    kStateColumn,
    kSizeColumn,
    kCreatedColumn,
    kModifiedColumn,
    kAccessedColumn,
    kNumberColumn,
    kParentColumn,
    kColumnCount
  };
  // Rows made when a folder is shown: FAT folders list few entries each,
  // NTFS folders and the carved files can hold very many.
  static constexpr int kFirstFatRows = 100;
  static constexpr int kFirstRows = 500;
  // Rows made per fetch as the view scrolls.
  static constexpr int kFetchBatch = 100;

  explicit FileListModel(QObject* parent = nullptr);
  ~FileListModel() override;

  // Lists the children of `folder` in their stored order. Under tick mode 0
  // or 1 (the folder's own tick) every row made takes that tick; under 2
  // each row shows its node's. `pattern` (the window's filter) narrows the
  // carved files of the carved-files folder.
  void show(const fs::NodeRef& folder, uint8_t tickMode, const std::string& pattern = {});
  // Drops every row. Call before the nodes behind them go away.
  void clear() { show({}, 0); }

  fs::NodeRef folder() const { return folder_; }
  uint8_t tickMode() const { return mode_; }
  fs::NodeRef nodeAt(int row) const;
  // While held, the model offers no further rows (its view lays out rows it
  // has already and should not make more for that).
  void holdFetches(bool held) { held_ = held; }
  // The rows' ticks were changed from elsewhere (the left tree, select all).
  void ticksChanged();
  // Tells which rows lie in part in areas a rescue map marks unread (node,
  // and the folder it is listed in); their state reads "(坏区)" after it.
  // Asked once per row as it is shown. None: no row is marked.
  using DamageCheck = std::function<bool(const fs::NodeRef& node, const fs::NodeRef& folder)>;
  void setDamageCheck(DamageCheck check);
  bool damaged(int row) const;

  // The text of `column` for `node` as a row of `listedFolder` (its parent
  // as reached; none for a top node) shows it; other lists of nodes (the
  // find-file results) show the same texts.
  static QString rowText(const fs::NodeRef& node, const fs::NodeRef& listedFolder, int column);
  // The tooltip of a row: for a carved file a volume's record names, that
  // name and folder; nothing for any other row.
  static QVariant foundNameTip(const fs::NodeRef& node);

  // Column widths when the list is made, and after it was resized to a
  // client width of `clientWidth` pixels.
  static int defaultWidth(int column);
  static int resizedWidth(int column, int clientWidth);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  bool canFetchMore(const QModelIndex& parent) const override;
  void fetchMore(const QModelIndex& parent) override;

 signals:
  // The operator ticked or cleared the row of `node`; the tick was written
  // into it and into everything below it.
  void ticked(const fs::NodeRef& node);

 private:
  // Moves `next_` to the next child the list shows (the pattern applies to
  // carved files), or to none.
  void advance();
  // Makes up to `count` rows; the caller brackets it with the insertion.
  int take(int count, std::vector<fs::NodeRef>& out);
  QIcon icon(const fs::NodeRef& node) const;

  fs::NodeRef folder_;
  uint8_t mode_ = 0;
  std::string pattern_;
  fs::ChildCursor cursor_;
  fs::NodeRef next_;  // the next child to become a row
  std::vector<fs::NodeRef> rows_;
  bool fetching_ = false;
  bool held_ = false;
  // By lower-cased extension; icons never come from the files themselves.
  mutable QHash<QString, QIcon> icons_;
  mutable QIcon folderIcon_;
  DamageCheck damageCheck_;
  mutable std::vector<int8_t> damage_;  // per row: -1 not asked yet, 0 or 1
};

}  // namespace orvaldi::app
