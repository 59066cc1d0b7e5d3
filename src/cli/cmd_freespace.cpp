// `orvaldi freespace`: the clusters a FAT or NTFS partition marks as free,
// copied into one file.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/console_progress.h"
#include "cli/exit_codes.h"
#include "cli/result_options.h"
#include "ops/source.h"
#include "platform/file_target.h"
#include "raw/free_space.h"

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
  if (const int code = RefuseWriteOntoSource(o.source, o.to); code != kExitOk) return code;
  auto opened = platform::FileSource::open(o.source);
  if (!opened.source) {
    std::fprintf(stderr, "orvaldi: %s\n", opened.message.c_str());
    return kExitSource;
  }
  auto target = platform::FileTarget::open(o.to, platform::TargetOpen::kReplace);
  if (!target.target) {
    std::fprintf(stderr, "orvaldi: %s\n", target.message.c_str());
    return kExitSource;
  }
  platform::ProgressBlock progress;
  ConsoleProgress bar(progress);
  progress.setSink(&bar);
  const raw::FreeSpaceResult r =
      raw::ExtractFreeSpace(*opened.source, part.startSector, part.sectorCount, *target.target,
                            o.layout ? raw::FreeSpaceLayout::kLayout : raw::FreeSpaceLayout::kCompact, progress);
  bar.finish();
  switch (r.status) {
    case raw::FreeSpaceStatus::kDone:
      break;
    case raw::FreeSpaceStatus::kCancelled:
      return kExitCancelled;
    case raw::FreeSpaceStatus::kNotSupported:
      std::fprintf(stderr, "orvaldi: partition %s: %s\n", o.partition.c_str(), r.problem.c_str());
      return kExitCorrupt;
    case raw::FreeSpaceStatus::kUnreadableMap:
      std::fprintf(stderr, "orvaldi: partition %s: %s; nothing was extracted\n", o.partition.c_str(),
                   r.problem.c_str());
      return kExitSource;
    case raw::FreeSpaceStatus::kTargetFailed:
      std::fprintf(stderr, "orvaldi: %s: %s\n", o.to.c_str(), std::strerror(r.targetError));
      return kExitSource;
  }
  for (const uint64_t cluster : r.unreadableClusters) {
    std::fprintf(stderr, "orvaldi: free cluster %llu cannot be read; its place in %s holds zero bytes\n",
                 static_cast<unsigned long long>(cluster), o.to.c_str());
  }
  std::printf("%llu free clusters of %llu bytes\n", static_cast<unsigned long long>(r.freeClusters),
              static_cast<unsigned long long>(r.clusterBytes));
  if (r.fs == raw::FreeSpaceFs::kNtfs) std::printf("提取完成！\n");
  return r.unreadableClusters.empty() ? kExitOk : kExitIncomplete;
}

}  // namespace

void AddFreeSpaceCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("freespace", "Copy the free clusters of a FAT or NTFS partition into one file");
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
