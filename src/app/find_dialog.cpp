#include "app/find_dialog.h"

#include <QAbstractTableModel>
#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/file_list_model.h"
#include "app/folder_tree_model.h"
#include "app/partition_window.h"
#include "app/prompter.h"

namespace orvaldi::app {

// The matches of the last search: a view over the result, whose nodes the
// partition window's scan owns. Rows are the result's own entries, so even
// a million matches cost no copies.
class FindResultModel final : public QAbstractTableModel {
 public:
  using QAbstractTableModel::QAbstractTableModel;

  void show(std::shared_ptr<const fs::FindResult> result) {
    beginResetModel();
    result_ = std::move(result);
    endResetModel();
  }
  const fs::FindResult* result() const { return result_.get(); }

  // The folder a match was found in (none for a match directly below a top).
  fs::NodeRef parentOf(int row) const {
    const size_t folder = result_->found[static_cast<size_t>(row)].folder;
    return folder < result_->folders.size() ? result_->folders[folder].node : fs::NodeRef();
  }

  int rowCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() || !result_ ? 0 : static_cast<int>(result_->found.size());
  }
  int columnCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : FileListModel::kColumnCount;
  }
  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const fs::NodeRef& node = result_->found[static_cast<size_t>(index.row())].node;
    switch (role) {
      case Qt::DisplayRole:
        return FileListModel::rowText(node, parentOf(index.row()), index.column());
      case Qt::ToolTipRole:
        return QString::fromStdString(result_->path(static_cast<size_t>(index.row())));
      case Qt::ForegroundRole:
        // Deleted entries in red, as in the file list.
        if (node.isDeleted() || node.carvedKind() == fs::CarvedKind::kFile) return QColor(255, 0, 0);
        return {};
      default:
        return {};
    }
  }
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const kHeaders[FileListModel::kColumnCount] = {"名称",     "状态",         "大小", "创建时间",
                                                                      "修改时间", "文件读取时间", "簇",   "父簇"};
    return section >= 0 && section < FileListModel::kColumnCount ? QString(kHeaders[section]) : QVariant();
  }

 private:
  std::shared_ptr<const fs::FindResult> result_;
};

namespace {

const char kTitle[] = "查找文件";

QString FoundText(size_t found, bool stopped) {
  return QString("%1 项被找到").arg(found) + (stopped ? "（已停止）" : "");
}

}  // namespace

FindDialog::FindDialog(PartitionWindow& window, OperationStarter starter, QWidget* parent)
    : QDialog(parent), window_(&window), starter_(std::move(starter)) {
  setWindowTitle(kTitle);
  mode_ = new QComboBox(this);
  mode_->addItems({"文件名", "文件扩展名", "文件名匹配"});
  text_ = new QLineEdit(this);
  text_->setMinimumWidth(260);
  exact_ = new QCheckBox("全匹配", this);
  deleted_ = new QCheckBox("删除文件", this);
  existing_ = new QCheckBox("正常文件", this);
  auto* kinds = new QGroupBox("查找类型", this);
  files_ = new QCheckBox("文件", kinds);
  folders_ = new QCheckBox("文件夹", kinds);
  for (QCheckBox* ticked : {deleted_, existing_, files_, folders_}) ticked->setChecked(true);
  example_ = new QLabel(this);
  status_ = new QLabel(this);

  auto* kindsLayout = new QHBoxLayout(kinds);
  kindsLayout->addWidget(files_);
  kindsLayout->addWidget(folders_);
  kindsLayout->addStretch();

  auto* fields = new QHBoxLayout;
  fields->addWidget(mode_);
  fields->addWidget(text_, 1);
  auto* switches = new QHBoxLayout;
  switches->addWidget(exact_);
  switches->addWidget(deleted_);
  switches->addWidget(existing_);
  switches->addWidget(kinds);
  switches->addStretch();
  auto* exampleRow = new QHBoxLayout;
  exampleRow->addWidget(new QLabel("例子:", this));
  exampleRow->addWidget(example_, 1);

  model_ = new FindResultModel(this);
  results_ = new QTreeView(this);
  results_->setModel(model_);
  results_->setRootIsDecorated(false);
  results_->setUniformRowHeights(true);
  results_->setAllColumnsShowFocus(true);
  results_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  results_->header()->setStretchLastSection(false);
  int listWidth = 0;
  for (int c = 0; c < FileListModel::kColumnCount; ++c) {
    results_->header()->resizeSection(c, FileListModel::defaultWidth(c));
    listWidth += FileListModel::defaultWidth(c);
  }
  results_->setMinimumSize(listWidth / 2, 200);

  auto* buttons = new QDialogButtonBox(this);
  find_ = buttons->addButton("查找", QDialogButtonBox::AcceptRole);
  find_->setDefault(true);
  buttons->addButton("关闭", QDialogButtonBox::RejectRole);
  connect(buttons, &QDialogButtonBox::accepted, this, [this] { startSearch(); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addLayout(switches);
  layout->addLayout(exampleRow);
  layout->addWidget(results_, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(status_, 1);
  bottom->addWidget(buttons);
  layout->addLayout(bottom);
  resize(listWidth + 40, 420);

  connect(mode_, &QComboBox::currentIndexChanged, this, &FindDialog::modeChanged);
  connect(results_, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
    if (index.isValid()) revealResult(index.row());
  });
  // The window lets go of its tree before a scan frees the nodes (and a
  // filter rebuilds it): the matches point at those nodes, so they go too.
  connect(window.folders(), &QAbstractItemModel::modelAboutToBeReset, this, [this] {
    model_->show(nullptr);
    status_->clear();
  });
  modeChanged(kByName);
}

FindDialog::~FindDialog() = default;

FindDialog* FindDialog::showFor(PartitionWindow& window, OperationStarter starter) {
  auto* dialog = new FindDialog(window, std::move(starter), &window);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowModality(Qt::WindowModal);
  dialog->show();
  return dialog;
}

void FindDialog::modeChanged(int mode) {
  example_->setText(exampleText());
  // Only a name can be matched whole; lists are matched entry by entry.
  exact_->setEnabled(mode == kByName);
}

QString FindDialog::exampleText() const {
  switch (mode_->currentIndex()) {
    case kByExtension:
      return "  txt; doc; xls";
    case kByPattern:
      return "  *r*me.t?t;*jp*";
    default:
      return {};
  }
}

fs::FindQuery FindDialog::query() const {
  fs::FindQuery q;
  const int mode = mode_->currentIndex();
  q.by = mode == kByExtension ? fs::FindBy::kExtension : mode == kByPattern ? fs::FindBy::kPattern : fs::FindBy::kName;
  q.text = text_->text().toStdString();
  q.exact = mode == kByName && exact_->isChecked();
  q.includeDeleted = deleted_->isChecked();
  q.includeExisting = existing_->isChecked();
  q.files = files_->isChecked();
  q.folders = folders_->isChecked();
  return q;
}

bool FindDialog::startSearch() {
  PartitionWindow* window = window_;
  if (!window) return false;
  if (window->busy()) {
    CurrentPrompter().message(this, "error", "等待当前操作完成，请稍后！");
    return false;
  }
  const fs::FindQuery q = query();
  if (fs::NameMatcher(q).empty()) {
    CurrentPrompter().message(this, "error", "请输入要查找的内容");
    return false;
  }
  // The old matches go before the search: its worker must not race a view
  // that still paints them (the nodes stay, but the result is replaced).
  model_->show(nullptr);
  status_->clear();
  OperationRequest request;
  request.family = OperationFamily::kPartitionWindow;
  request.title = kTitle;
  request.owner = this;
  // The window's nodes stay where they are while its count is raised (its
  // scans refuse), and the disk's carved files while it says it reads them.
  request.count = window->countForWork();
  request.busy = window->readingFlagForWork();
  auto result = std::make_shared<fs::FindResult>();
  request.work = [tops = window->attachedNodes(), q, result](platform::ProgressBlock& block) {
    *result = fs::FindFiles(tops, q, block);
  };
  request.publish = [self = QPointer<FindDialog>(this), result] {
    if (!self) return;
    const bool stopped = result->status == fs::FindStatus::kCancelled;
    self->model_->show(result);
    self->status_->setText(FoundText(result->found.size(), stopped));
    emit self->searchFinished();
  };
  return starter_(std::move(request));
}

int FindDialog::resultCount() const { return model_->rowCount(); }

QString FindDialog::resultText(int row, int column) const {
  return model_->data(model_->index(row, column), Qt::DisplayRole).toString();
}

bool FindDialog::revealResult(int row) {
  if (!window_ || row < 0 || row >= model_->rowCount()) return false;
  const fs::FindResult& result = *model_->result();
  return window_->revealNode(result.folderChain(static_cast<size_t>(row)), result.found[static_cast<size_t>(row)].node);
}

}  // namespace orvaldi::app
