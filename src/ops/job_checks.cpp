// Refusing targets that would overwrite the source.
#include "ops/job_checks.h"

#include "ops/source.h"
#include "platform/file_target.h"

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
  for (const std::string& path : SourcePaths(source)) {
    if (const auto clash = platform::ClashWithSource(path, target); clash != platform::SourceClash::kNone)
      return target + ": refused, " + ClashText(clash);
  }
  return std::nullopt;
}

}  // namespace orvaldi::ops
