// Saving the selected or the ticked items of a partition window.
#include "app/save_command.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <span>

#include <QMetaObject>
#include <QPointer>
#include <QTreeView>

#include "app/folder_tree_model.h"
#include "app/operation_starter.h"
#include "app/partition_window.h"
#include "app/prompter.h"
#include "app/save_dialogs.h"
#include "disk/fs_family.h"
#include "platform/update_file.h"
#include "raw/save_target.h"

namespace orvaldi::app {
namespace {

// Beyond this many troubled files the message lists the first ones and the
// whole list goes into a file in the target folder.
constexpr size_t kListedTroubles = 100;
constexpr const char* kTroubleListName = "orvaldi-save-problems.txt";

// The ticked items as pool jobs: one per item, or spread over as many jobs
// as there are workers when there are more items (each job opens the disk
// and prepares its walk once).
std::vector<raw::SaveJob> PoolJobs(disk::DiskInfo& disk, disk::PartitionInfo& partition,
                                   const std::vector<fs::NodeRef>& items) {
  const size_t count = std::min<size_t>(items.size(), raw::kMaxSaveWorkers);
  std::vector<raw::SaveJob> jobs(count);
  for (raw::SaveJob& job : jobs) {
    job.disk = &disk;
    job.partition = &partition;
  }
  for (size_t i = 0; i < items.size(); ++i) jobs[i % count].items.push_back({items[i], {}});
  return jobs;
}

}  // namespace

std::vector<fs::NodeRef> TopTicked(const std::vector<fs::NodeRef>& tops) {
  std::vector<fs::NodeRef> found;
  // An explicit stack: a tree found by a scan can be deep.
  std::vector<fs::NodeRef> stack(tops.rbegin(), tops.rend());
  std::vector<fs::NodeRef> children;
  while (!stack.empty()) {
    const fs::NodeRef node = stack.back();
    stack.pop_back();
    if (node.tick() == 1) {
      found.push_back(node);
      continue;
    }
    children.clear();
    node.forEachChild([&](const fs::NodeRef& child) { children.push_back(child); });
    stack.insert(stack.end(), children.rbegin(), children.rend());
  }
  return found;
}

QString SaveEndText(const raw::SaveSummary& s, const std::vector<std::string>& log, bool stoppedAtName) {
  QString text;
  if (stoppedAtName)
    text = "已按“跳过所有”停止保存。\n";
  else if (s.cancelled)
    text = "保存已取消，未保存完毕。\n";
  // A file written only in part is not a saved file.
  const uint64_t whole = s.files - std::min(s.files, s.damaged);
  text += QString("完整保存 %1 个文件，共写入 %2 Byte").arg(whole).arg(s.bytes);
  if (s.damaged > 0) text += QString("；%1 个文件不完整").arg(s.damaged);
  if (s.failed > 0) text += QString("；%1 个文件未能保存").arg(s.failed);
  if (s.skipped > 0) text += QString("；跳过 %1 个").arg(s.skipped);
  if (s.sourceFailures > 0) text += QString("；%1 组无法打开源磁盘，未保存").arg(s.sourceFailures);
  text += "。";
  if (!s.manifestPath.empty())
    text += QString("\n清单 %1：完整 %2，不完整 %3，未验证 %4；内容检查损坏 %5")
                .arg(QString::fromStdString(s.manifestPath))
                .arg(s.manifest.intact)
                .arg(s.manifest.partial)
                .arg(s.manifest.unverified)
                .arg(s.manifest.checkBad);
  if (log.empty()) return text;
  text += "\n";
  for (size_t i = 0; i < log.size() && i < kListedTroubles; ++i) text += "\n" + QString::fromStdString(log[i]);
  return text;
}

struct SaveCommand::Run {
  QPointer<PartitionWindow> owner;
  std::atomic<bool> ended{false};
  std::atomic<bool> skipAll{false};
  std::vector<std::string> log;  // the engine serialises its log calls
  raw::SaveSummary summary;
};

SaveCommand::SaveCommand(OperationStarter starter, std::function<bool(const QString&)> diskSearched, QObject* parent)
    : QObject(parent), starter_(std::move(starter)), diskSearched_(std::move(diskSearched)) {}

SaveCommand::~SaveCommand() = default;

bool SaveCommand::running() const { return current_ && !current_->ended; }

bool SaveCommand::refused(PartitionWindow& window) {
  if (running()) {
    CurrentPrompter().message(&window, "error", "等待当前保存操作完成");
    return true;
  }
  // A scan of the window, or a search of its disk, changes the nodes the
  // save would read.
  if (window.busy() || (diskSearched_ && diskSearched_(window.diskName()))) {
    CurrentPrompter().message(&window, "error", "等待当前操作完成");
    return true;
  }
  return false;
}

void SaveCommand::saveSelected(PartitionWindow* window, bool fromList) {
  if (!window || refused(*window)) return;
  if (fromList) {
    const fs::NodeRef file = window->selectedFile();
    if (!file) {
      CurrentPrompter().message(window, "error", "请选择文件");
      return;
    }
    start(*window, {file}, false, true);
    return;
  }
  if (fs::NodeRef folder = window->selectedFolder()) {
    start(*window, {folder}, false, false);
    return;
  }
  // A top item stands for the whole partition: everything attached below it.
  const QModelIndex current = window->tree()->currentIndex();
  std::vector<fs::NodeRef> items;
  if (current.isValid() && window->folders()->isTop(current)) {
    for (int row = 0; row < window->folders()->rowCount(current); ++row)
      if (fs::NodeRef node = window->folders()->nodeOf(window->folders()->index(row, 0, current)))
        items.push_back(node);
  }
  if (items.empty()) {
    CurrentPrompter().message(window, "error", "请选择文件");
    return;
  }
  start(*window, std::move(items), false, false);
}

void SaveCommand::saveTicked(PartitionWindow* window, bool fromList) {
  if (!window || refused(*window)) return;
  std::vector<fs::NodeRef> items;
  if (fromList) {
    window->listedFolder().forEachChild([&](const fs::NodeRef& child) {
      if (child.tick() == 1) items.push_back(child);
    });
  } else {
    const std::vector<fs::NodeRef> attached = window->attachedNodes();
    if (attached.empty()) {
      CurrentPrompter().message(window, "error", "没有信息");
      return;
    }
    items = TopTicked(attached);
  }
  // Nothing ticked: asking for a target would lead nowhere.
  if (items.empty()) {
    CurrentPrompter().message(window, "error", "请选择文件");
    return;
  }
  start(*window, std::move(items), true, true);
}

void SaveCommand::start(PartitionWindow& window, std::vector<fs::NodeRef> items, bool pool, bool clearTicks) {
  disk::DiskInfo* disk = nullptr;
  disk::PartitionInfo* partition = nullptr;
  if (!window.findRecords(disk, partition)) return;
  RecoverDefaults defaults;
  defaults.fatPartition = disk::IsFat(disk::FamilyOf(partition->typeByte));
  defaults.recoverDeleted = window.filter().includeDeleted;
  defaults.recoverExisting = window.filter().includeExisting;
  QPointer<PartitionWindow> guard(&window);
  std::optional<raw::SaveOptions> options = CurrentSaveAsker().recoverOptions(&window, defaults);
  if (!options) return;
  // While the dialog was open the window may have gone or started a scan,
  // which replaces the nodes picked before it.
  if (!guard || window.busy() || !window.findRecords(disk, partition)) return;
  options->filter = window.filter().pattern.toStdString();
  if (options->target.empty()) {
    CurrentPrompter().message(&window, "error", "选择保存路径");
    return;
  }
  if (const std::string refusal = raw::CheckTargetFolder(*disk, options->target); !refusal.empty()) {
    CurrentPrompter().message(&window, "error", QString::fromStdString(refusal));
    return;
  }
  if (!raw::PrepareTargetFolder(options->target)) {
    CurrentPrompter().message(&window, "error",
                              QString::fromStdString("无法创建: " + options->target + ": " + std::strerror(errno)));
    return;
  }

  std::vector<raw::SaveJob> jobs;
  if (pool) {
    jobs = PoolJobs(*disk, *partition, items);
    uint64_t total = 0;
    for (const raw::SaveJob& job : jobs) total += raw::JobSize(job, *options);
    emit statisticsText(QString("本次保存 %1 Byte").arg(total));
  } else {
    raw::SaveJob job{disk, partition, {}};
    for (const fs::NodeRef& node : items) job.items.push_back({node, {}});
    jobs.push_back(std::move(job));
  }

  auto run = std::make_shared<Run>();
  run->owner = &window;
  raw::SaveSettings base;
  base.options = *options;
  base.freeSpace = freeSpace_;
  base.manifest = true;
  // Several workers: "跳过所有" stops the others too, not only its own walk.
  const bool stopOthers = jobs.size() > 1;

  OperationRequest request;
  request.family = OperationFamily::kSave;
  request.title = "正在保存文件";
  request.owner = &window;
  request.count = window.countForWork();
  request.busy = window.readingFlagForWork();
  request.work = [run, jobs, base, pool, stopOthers](platform::ProgressBlock& block) {
    raw::SaveSettings settings = base;
    settings.progress = &block;
    settings.log = [run](const std::string& line) { run->log.push_back(line); };
    settings.ask = [run, &block, stopOthers](const std::string& old, const std::string& proposed) {
      raw::NameAnswer answer;
      answer.action = raw::NameAnswer::kSkipAll;
      // Once the operator chose "跳过所有", nothing more is asked. A
      // program that is ending cannot ask: it stops the save.
      if (!run->skipAll &&
          !CallOnUiThread([&] { answer = CurrentSaveAsker().badName(run->owner.data(), old, proposed); }))
        answer.action = raw::NameAnswer::kSkipAll;
      if (answer.action == raw::NameAnswer::kSkipAll) {
        run->skipAll = true;
        if (stopOthers) block.requestCancel();
      }
      return answer;
    };
    run->summary = pool ? raw::SaveChecked(jobs, settings, static_cast<unsigned>(jobs.size()))
                        : raw::SaveSelected(jobs.front(), settings);
    run->ended = true;
  };
  QPointer<SaveCommand> self(this);
  request.publish = [self, run, items = std::move(items), clearTicks, target = options->target] {
    const raw::SaveSummary& s = run->summary;
    PartitionWindow* shown = run->owner.data();
    if (!shown) return;
    // A save that was stopped keeps the ticks, so that it can be run again.
    if (clearTicks && s.refusal.empty() && !s.cancelled && !run->skipAll) shown->clearTicks(items);
    // Under a free name: a saved file of the same name is never overwritten.
    std::string listPath;
    if (run->log.size() > kListedTroubles) {
      std::string lines;
      for (const std::string& line : run->log) lines += line + '\n';
      const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(lines.data()), lines.size());
      const std::string first = target + "/" + kTroubleListName;
      int error = EEXIST;
      for (uint32_t n = 0; error == EEXIST && n < 1000; ++n) {
        listPath = n == 0 ? first : raw::CandidateName(first, n - 1);
        error = platform::WriteNewFile(listPath, bytes);
      }
      if (error != 0) listPath.clear();
    }
    // Told once the progress window has closed.
    QMetaObject::invokeMethod(
        shown,
        [self, run, shown, listPath] {
          const raw::SaveSummary& summary = run->summary;
          if (!summary.refusal.empty()) {
            CurrentPrompter().message(shown, "error", QString::fromStdString(summary.refusal));
          } else {
            QString text = SaveEndText(summary, run->log, run->skipAll);
            if (run->log.size() > kListedTroubles)
              text += listPath.empty()
                          ? QString("\n……其余 %1 个未能写入清单文件").arg(run->log.size() - kListedTroubles)
                          : QString("\n……其余 %1 个见 %2")
                                .arg(run->log.size() - kListedTroubles)
                                .arg(QString::fromStdString(listPath));
            CurrentPrompter().message(shown, "保存文件", text);
          }
          if (self) emit self->finished();
        },
        Qt::QueuedConnection);
  };
  current_ = run;
  if (!starter_(std::move(request))) current_.reset();
}

}  // namespace orvaldi::app
