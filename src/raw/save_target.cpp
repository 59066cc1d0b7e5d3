// Names, filter, target files and free space for the save operation.
#include "raw/save_target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "platform/file_target.h"

namespace orvaldi::raw {
namespace {

bool IsInvalidChar(unsigned char c) {
  return c < 0x20 || c == 0x7F || c == '?' || c == '/' || c == ':' || c == '*' || c == '\\' || c == '"' || c == '<' ||
         c == '>' || c == '|';
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string WithoutStars(std::string_view s) {
  std::string out;
  for (char c : s)
    if (c != '*') out.push_back(c);
  return out;
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

bool IsInvalidName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return true;
  return std::any_of(name.begin(), name.end(), [](char c) { return IsInvalidChar(static_cast<unsigned char>(c)); });
}

std::string ReplaceInvalid(std::string_view name, std::string_view replacement) {
  if (name.empty() || name == "." || name == "..") {
    std::string out;
    for (size_t i = 0; i < std::max<size_t>(1, name.size()); ++i) out += replacement;
    return out;
  }
  std::string out;
  for (char c : name) {
    if (IsInvalidChar(static_cast<unsigned char>(c))) {
      out += replacement;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::optional<std::string> CheckName(const std::string& name, NameCheckState& state, const NameAsker& ask) {
  if (state.stop) return std::nullopt;
  if (state.replaceAll) {
    std::string replaced = ReplaceInvalid(name, state.replacement);
    if (IsInvalidName(replaced)) return std::nullopt;  // the replacement text itself is unusable
    return replaced;
  }
  if (!IsInvalidName(name)) return name;
  if (!ask) return std::nullopt;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const NameAnswer answer = ask(name, ReplaceInvalid(name, "$"));
    switch (answer.action) {
      case NameAnswer::kSkipAll:
        state.stop = true;
        return std::nullopt;
      case NameAnswer::kSkip:
        return std::nullopt;
      case NameAnswer::kRename:
        state.replaceAll = answer.replaceAll;
        state.replacement = answer.replacement;
        if (!IsInvalidName(answer.newName)) return answer.newName;
        if (state.replaceAll) return CheckName(name, state, ask);
        break;
    }
  }
  return std::nullopt;
}

bool FilterMatches(std::string_view filter, std::string_view name) {
  if (filter.empty()) return true;
  const std::string lower = Lower(name);
  const std::string pattern = Lower(filter);
  const size_t dot = pattern.find('.');
  if (dot == std::string::npos || dot == 0) return lower.find(WithoutStars(pattern)) != std::string::npos;
  const std::string left = WithoutStars(pattern.substr(0, dot));
  const std::string right = WithoutStars(pattern.substr(dot + 1));
  const size_t nameDot = lower.find('.');
  const std::string before = nameDot == std::string::npos ? lower : lower.substr(0, nameDot);
  const std::string after = nameDot == std::string::npos ? lower : lower.substr(nameDot + 1);
  return before.find(left) != std::string::npos && after.find(right) != std::string::npos;
}

std::string CandidateName(const std::string& path, uint32_t counter) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  std::string out = path + std::to_string(counter);
  if (hasExtension) out += path.substr(dot);
  return out;
}

bool MakeFolders(const std::string& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (std::filesystem::is_directory(folder)) return true;
  // The caller says why; a file in the way reports no error of its own.
  errno = ec ? ec.value() : ENOTDIR;
  return false;
}

int CreateTargetFile(const std::string& path, std::string* usedPath) {
  constexpr uint32_t kMaxCounter = 100000;
  bool foldersMade = false;
  std::string candidate = path;
  for (uint32_t counter = 0; counter <= kMaxCounter;) {
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) {
      if (usedPath) *usedPath = candidate;
      return fd;
    }
    if (errno == EINTR) continue;
    if (errno == ENOENT && !foldersMade) {
      foldersMade = true;
      const size_t slash = path.rfind('/');
      if (slash != std::string::npos && slash > 0 && MakeFolders(path.substr(0, slash))) continue;
      errno = ENOENT;
      return -1;
    }
    if (errno != EEXIST) return -1;
    candidate = CandidateName(path, counter++);
  }
  errno = EEXIST;
  return -1;
}

std::optional<uint64_t> FreeBytes(const std::string& folder) {
  std::filesystem::path p(folder.empty() ? "." : folder);
  std::error_code ec;
  p = std::filesystem::absolute(p, ec);
  while (true) {
    struct statvfs vfs;
    if (::statvfs(p.c_str(), &vfs) == 0) return uint64_t{vfs.f_bavail} * vfs.f_frsize;
    if (!p.has_parent_path() || p.parent_path() == p) return std::nullopt;
    p = p.parent_path();
  }
}

std::string NotEnoughSpaceText(uint64_t size) {
  const double g = static_cast<double>(size) / (1ull << 30);
  std::string amount;
  if (g >= 0.1) {
    amount = Format("%.1f GB", g);
  } else if (g > 0.0001) {
    amount = Format("%.1f MB", static_cast<double>(size) / (1ull << 20));
  } else {
    amount = Format("%.1f KB", static_cast<double>(size) / 1024);
  }
  return "即将保存 " + amount + ",磁盘空间不够！";
}

std::string SavedTotalText(uint64_t total) {
  if (total < 1024) return std::to_string(total) + " BYTE被保存";
  if (total < (1ull << 20)) return Format("%.2f KB被保存", static_cast<double>(total) / 1024);
  if (total <= 0x3FFFFFFF) return Format("%.2f MB被保存", static_cast<double>(total) / (1ull << 20));
  return Format("%.2f GB被保存", static_cast<double>(total) / (1ull << 30));
}

std::string SavedBytesText(uint64_t total) { return std::to_string(total) + " BYTE被保存"; }

bool TargetOnSourceDevice(const disk::DiskInfo& disk, const std::string& folder) {
  return platform::ClashWithSource(disk.devicePath, folder.empty() ? "." : folder) != platform::SourceClash::kNone;
}

}  // namespace orvaldi::raw
