// `orvaldi recover` and `orvaldi cat`: getting files back from a partition.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/console_progress.h"
#include "cli/exit_codes.h"
#include "cli/partition_scan.h"
#include "cli/result_options.h"
#include "ops/file_ops.h"
#include "ops/format.h"
#include "ops/open_partition.h"
#include "platform/terminal.h"
#include "raw/save_engine.h"

namespace orvaldi::cli {
namespace {

struct RecoverOptions {
  std::string source;
  std::string partition;
  std::string target;
  std::vector<std::string> paths;
  bool deleted = true;
  bool existing = true;
  bool streams = true;
  std::string filter;
  bool noFatReference = false;
  std::string mode = "walk";
  unsigned jobs = raw::kMaxSaveWorkers;
  std::string invalidNames = "ask";
  bool manifest = true;
  MapOption map;
  ResultOptions result;
  TreeFileOptions tree;
  DeepCheckpointFlags deep;
};

// The command line's answer to an invalid name.
raw::NameAsker MakeAsker(const std::string& policy) {
  if (policy == "skip") return {};
  if (policy == "stop") {
    return [](const std::string&, const std::string&) {
      return raw::NameAnswer{raw::NameAnswer::kSkipAll, {}, false, {}};
    };
  }
  if (policy.rfind("replace:", 0) == 0) {
    const std::string with = policy.substr(8);
    return [with](const std::string& old, const std::string&) {
      return raw::NameAnswer{raw::NameAnswer::kRename, raw::ReplaceInvalid(old, with), true, with};
    };
  }
  // ask: on a terminal the operator answers; otherwise the proposed name is taken.
  return [](const std::string& old, const std::string& proposed) {
    raw::NameAnswer answer{raw::NameAnswer::kRename, proposed, false, "$"};
    if (!platform::IsTerminal(stdin) || !platform::IsTerminal(stderr)) return answer;
    std::fprintf(stderr,
                 "\n残缺的名字\n  原文件名: %s\n  新文件名: %s\n"
                 "[r] 重命名  [e] 输入新名字  [a] 所有无效符号改为...  [s] 跳过  [x] 跳过所有 > ",
                 old.c_str(), proposed.c_str());
    std::string line;
    if (!std::getline(std::cin, line)) return answer;
    switch (line.empty() ? 'r' : line[0]) {
      case 'e':
        std::fprintf(stderr, "新文件名: ");
        if (std::getline(std::cin, line) && !line.empty()) answer.newName = line;
        return answer;
      case 'a':
        std::fprintf(stderr, "所有无效符号改为: ");
        if (!std::getline(std::cin, line) || line.empty()) line = "$";
        answer.replaceAll = true;
        answer.replacement = line;
        answer.newName = raw::ReplaceInvalid(old, line);
        return answer;
      case 's':
        answer.action = raw::NameAnswer::kSkip;
        return answer;
      case 'x':
        answer.action = raw::NameAnswer::kSkipAll;
        return answer;
      default:
        return answer;
    }
  };
}

bool ValidPolicy(const std::string& p) {
  if (p == "ask" || p == "skip" || p == "stop") return true;
  return p.rfind("replace:", 0) == 0 && p.size() > 8 && !raw::IsInvalidName(p.substr(8));
}

void PrintSummary(const RecoverOptions& o, const raw::SaveSummary& s, double seconds) {
  std::printf("恢复到 %s: %llu 个文件, %s (%llu 字节), 跳过 %llu, 不完整 %llu, 失败 %llu, 用时 %.1f 秒%s\n",
              o.target.c_str(), static_cast<unsigned long long>(s.files), ops::SizeText(s.bytes).c_str(),
              static_cast<unsigned long long>(s.bytes), static_cast<unsigned long long>(s.skipped),
              static_cast<unsigned long long>(s.damaged), static_cast<unsigned long long>(s.failed), seconds,
              s.cancelled ? ", 已取消" : "");
}

int RunRecover(const RecoverOptions& o) {
  if (!ValidPolicy(o.invalidNames)) {
    std::fprintf(stderr, "orvaldi: --invalid-names takes ask, skip, stop or replace:TEXT (TEXT a valid name)\n");
    return kExitUsage;
  }
  if (const int code = RefuseWriteOntoSource(o.source, o.target); code != kExitOk) return code;
  OpenedForCommand open;
  if (const int code =
          OpenPartitionForCommand(o.source, o.partition, o.mode, o.result.source(), open, o.tree, &o.deep, &o.map);
      code != kExitOk)
    return code;
  disk::DiskInfo& disk = *open.source.disk;
  disk::PartitionInfo& part = open.source.partition();
  const ops::SaveJobPlan plan = ops::BuildSaveJobs(disk, part, open.opened.tops, o.paths);
  if (!plan.unresolvedPath.empty()) {
    std::fprintf(stderr, "orvaldi: no file or folder \"%s\" in partition %s (paths as 'orvaldi ls' prints them)\n",
                 plan.unresolvedPath.c_str(), part.name.c_str());
    return kExitUsage;
  }
  if (!raw::PrepareTargetFolder(o.target)) {
    std::fprintf(stderr, "orvaldi: 无法创建: %s: %s\n", o.target.c_str(), std::strerror(errno));
    return kExitSource;
  }
  platform::ProgressBlock progress;
  ConsoleProgress bar(progress);
  progress.setSink(&bar);
  InterruptCancels interrupt(progress);
  raw::SaveSettings settings;
  settings.options = {o.target, !o.noFatReference, o.deleted, o.existing, o.filter, o.streams};
  settings.ask = MakeAsker(o.invalidNames);
  settings.manifest = o.manifest;
  settings.progress = &progress;
  settings.log = [&bar](const std::string& line) {
    bar.finish();
    std::fprintf(stderr, "orvaldi: %s\n", line.c_str());
  };
  const auto started = std::chrono::steady_clock::now();
  const raw::SaveSummary s = ops::RunSaveJobs(plan.jobs, settings, o.jobs);
  bar.finish();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!s.refusal.empty()) {
    std::fprintf(stderr, "orvaldi: %s\n", s.refusal.c_str());
    return kExitTarget;
  }
  if (s.sourceFailures > 0) {
    std::fprintf(stderr, "orvaldi: cannot open %s for reading\n", disk.devicePath.c_str());
    return kExitSource;
  }
  PrintSummary(o, s, seconds);
  PrintManifestSummary(s);
  // What the scan could not read of the chosen folders was never offered to
  // the copy: the counts above cannot show it, the exit code must.
  const std::vector<ops::ReadProblem> unread = ops::ProblemsWithin(open.opened, o.paths);
  if (!unread.empty())
    std::fprintf(stderr,
                 "orvaldi: %zu folder(s) or structure(s) of what was chosen could not be read in full (%s); "
                 "what they held was not recovered\n",
                 unread.size(), unread.front().where.c_str());
  if (s.cancelled) return kExitCancelled;
  return s.failed > 0 || s.damaged > 0 || s.skipped > 0 || !unread.empty() ? kExitIncomplete : kExitOk;
}

// Standard output as a sink: holes are written as zeros.
class StdoutSink final : public fs::DataSink {
 public:
  bool write(const uint8_t* data, size_t length) override {
    while (length > 0) {
      const ssize_t n = ::write(STDOUT_FILENO, data, length);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }
};

struct CatOptions {
  std::string source;
  std::string partition;
  std::string path;
  std::string mode = "walk";
  ResultOptions result;
  TreeFileOptions tree;
};

int RunCat(const CatOptions& o) {
  OpenedForCommand open;
  fs::NodeRef file;
  if (const int code = OpenFileForCommand(o.source, o.partition, o.mode, o.result.source(), o.path, open, file, o.tree);
      code != kExitOk)
    return code;
  disk::PartitionInfo& part = open.source.partition();
  StdoutSink sink;
  const ops::FileCopy copy = ops::CopyFile(*open.source.disk, part, file, sink);
  if (!copy.sourceError.empty()) {
    std::fprintf(stderr, "orvaldi: %s\n", copy.sourceError.c_str());
    return kExitSource;
  }
  const fs::NodeCopy& r = copy.result;
  switch (r.status) {
    case platform::Status::kOk:
      break;
    case platform::Status::kFailed:
    case platform::Status::kRefused:
      if (r.failure == fs::CopyFailure::kSink) {
        std::fprintf(stderr, "orvaldi: writing to standard output failed\n");
        return kExitSource;
      }
      std::fprintf(stderr, "orvaldi: the data of \"%s\" could not be located\n", o.path.c_str());
      return kExitIncomplete;
    case platform::Status::kCancelled:
      return kExitCancelled;
    case platform::Status::kPartial:
      std::fprintf(stderr, "orvaldi: \"%s\" was read only in part (%s)\n", o.path.c_str(),
                   r.readErrors ? "unreadable sectors" : "its chain or data is not fully known");
      return kExitIncomplete;
  }
  return kExitOk;
}

}  // namespace

void AddRecoverCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("recover", "Copy files and folders of a partition, deleted ones too, to a folder");
  auto o = std::make_shared<RecoverOptions>();
  cmd->add_option("SOURCE", o->source, "Disk image file or block device (only read)")->required();
  cmd->add_option("PART", o->partition, "Partition: index or name as 'orvaldi parts' shows it, or mount point")
      ->required();
  cmd->add_option("PATH", o->paths, "Files or folders as 'orvaldi ls' prints them (none: the whole partition)");
  cmd->add_option("--to", o->target, "Target folder, on another disk than SOURCE")->required();
  cmd->add_flag("--deleted,!--no-deleted", o->deleted, "Recover deleted files (default on)");
  cmd->add_flag("--existing,!--no-existing", o->existing, "Recover existing files (default on)");
  cmd->add_flag("--streams,!--no-streams", o->streams,
                "Recover NTFS named data streams, each as a file \"file_stream\" beside its file (default on)");
  cmd->add_option("--filter", o->filter, "Only names matching a pattern such as *.doc or abc*");
  cmd->add_flag("--no-fat-reference", o->noFatReference,
                "FAT: copy every file as contiguous clusters instead of following its chain");
  AddOpenModeOption(cmd, o->mode);
  cmd->add_option("--jobs", o->jobs, "Copies running at once when several PATHs are given (1 to 10)")
      ->check(CLI::Range(1u, raw::kMaxSaveWorkers));
  cmd->add_option("--invalid-names", o->invalidNames,
                  "Names that cannot be created (? / : * \\ \" < > | or control characters): ask (default; takes the "
                  "proposed name when not on a terminal), replace:TEXT, skip, or stop (skip everything after)");
  AddManifestOption(cmd, o->manifest);
  AddMapfileOption(cmd, o->map);
  AddLoadResultOption(cmd, o->result);
  AddTreeFileOptions(cmd, o->tree);
  AddDeepCheckpointOptions(cmd, o->deep);
  cmd->callback([cmd, o, &exitCode] {
    o->tree.modeGiven = cmd->count("--mode") > 0;
    exitCode = RunRecover(*o);
  });
}

void AddCatCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("cat", "Write one file's bytes to standard output");
  auto o = std::make_shared<CatOptions>();
  cmd->add_option("SOURCE", o->source, "Disk image file or block device (only read)")->required();
  cmd->add_option("PART", o->partition, "Partition: index or name as 'orvaldi parts' shows it, or mount point")
      ->required();
  cmd->add_option("PATH", o->path, "The file as 'orvaldi ls' prints it (the existing one when a deleted one shares it)")
      ->required();
  AddOpenModeOption(cmd, o->mode);
  AddLoadResultOption(cmd, o->result);
  AddTreeFileOptions(cmd, o->tree);
  cmd->callback([cmd, o, &exitCode] {
    o->tree.modeGiven = cmd->count("--mode") > 0;
    exitCode = RunCat(*o);
  });
}

}  // namespace orvaldi::cli
