// `orvaldi freespace`: the clusters a FAT or NTFS partition marks as free,
// copied into one file.
#include <cstdio>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/console_progress.h"
#include "cli/exit_codes.h"
#include "cli/result_options.h"
#include "ops/free_space_job.h"
#include "ops/source.h"

namespace orvaldi::cli {
namespace {

struct FreeSpaceOptions {
  std::string source;
  std::string partition;
  std::string to;
  bool layout = false;
  ResultOptions result;
};

int RunFreeSpace(const FreeSpaceOptions& o) {
  ops::LoadedSource loaded;
  if (const int code = LoadPlainPartition(o.source, o.partition, o.result, "read here", loaded); code != kExitOk)
    return code;
  const disk::PartitionInfo& part = loaded.partition();
  ops::FreeSpaceRequest request;
  request.source = o.source;
  request.partitionName = o.partition;
  request.startSector = part.startSector;
  request.sectorCount = part.sectorCount;
  request.target = o.to;
  request.layout = o.layout ? raw::FreeSpaceLayout::kLayout : raw::FreeSpaceLayout::kCompact;
  platform::ProgressBlock progress;
  ConsoleProgress bar(progress);
  progress.setSink(&bar);
  const ops::FreeSpaceOutcome outcome = ops::ExtractPartitionFreeSpace(request, progress);
  bar.finish();
  if (!outcome.usable()) {
    if (!outcome.message.empty()) std::fprintf(stderr, "orvaldi: %s\n", outcome.message.c_str());
    return ExitCodeOf(outcome.status, outcome.refused);
  }
  const raw::FreeSpaceResult& r = outcome.result;
  for (const uint64_t cluster : r.unreadableClusters) {
    std::fprintf(stderr, "orvaldi: free cluster %llu cannot be read; its place in %s holds zero bytes\n",
                 static_cast<unsigned long long>(cluster), o.to.c_str());
  }
  std::printf("%llu free clusters of %llu bytes\n", static_cast<unsigned long long>(r.freeClusters),
              static_cast<unsigned long long>(r.clusterBytes));
  if (outcome.status == platform::Status::kOk) std::printf("提取完成！\n");
  return ExitCodeOf(outcome.status);
}

}  // namespace

void AddFreeSpaceCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("freespace", "Copy the free clusters of a FAT, NTFS or exFAT partition into one file");
  auto o = std::make_shared<FreeSpaceOptions>();
  cmd->add_option("SOURCE", o->source, "Disk image file or block device (only read)")->required();
  cmd->add_option("PART", o->partition, "Partition: index or name as 'orvaldi parts' shows it")->required();
  cmd->add_option("--to", o->to, "Output file (replaced when it exists)")->required();
  cmd->add_flag("--layout", o->layout,
                "Keep each free cluster at its offset within the partition, zeros elsewhere "
                "(default: free clusters one after the other)");
  AddLoadResultOption(cmd, o->result);
  cmd->callback([o, &exitCode] { exitCode = RunFreeSpace(*o); });
}

}  // namespace orvaldi::cli
