// Refusing targets that would overwrite the source.
#include "ops/job_checks.h"

#include "ops/source.h"
#include "platform/file_target.h"
#include "platform/update_file.h"

namespace orvaldi::ops {
namespace {

const char* ClashText(platform::SourceClash clash) {
  switch (clash) {
    case platform::SourceClash::kNone:
      break;
    case platform::SourceClash::kSameFile:
      return "目标就是源盘本身（或它的硬链接），写入会覆盖要恢复的数据，请选择其他文件";
    case platform::SourceClash::kOnSourceDisk:
      return "目标在正被恢复的磁盘上，写入会覆盖要恢复的数据，请选择其他磁盘";
    case platform::SourceClash::kSourceOnTarget:
      return "源盘就在目标磁盘上，写入会覆盖要恢复的数据，请选择其他磁盘";
  }
  return "";
}

}  // namespace

std::optional<std::string> WriteOntoSourceRefusal(const std::string& source, const std::string& target) {
  if (target.empty()) return std::nullopt;
  // A file replaced whole is written beside its path first, and a temporary
  // file a killed run left there is removed: that name must not be the
  // source either ("disk.img.new" as SOURCE, "disk.img" as the target).
  for (const std::string& written : {target, platform::ReplacementTemporary(target)}) {
    for (const std::string& path : SourcePaths(source)) {
      if (const auto clash = platform::ClashWithSource(path, written); clash != platform::SourceClash::kNone)
        return written + ": refused, " + ClashText(clash);
    }
  }
  return std::nullopt;
}

}  // namespace orvaldi::ops
