// Helpers for tests: loading gzipped images, temporary files, a write target in memory, crafted sectors.
#pragma once

#include <map>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/file_target.h"

namespace orvaldi::test {

// Directory of the project's own fixtures, and of the shared third-party corpus.
std::filesystem::path FixturesDir();
std::filesystem::path CorpusDir();
std::filesystem::path DemoImageGz();
std::filesystem::path CliPath();

// Inflates a .gz file (or reads a plain file) into memory; nothing when it is absent.
std::optional<std::vector<uint8_t>> LoadImage(const std::filesystem::path& path);

// A file in a fresh temporary directory, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path write(const std::string& name, const std::vector<uint8_t>& bytes) const;
  // A fixture (gzipped or not, relative to FixturesDir) written out as `name`;
  // an empty path when the fixture is missing.
  std::filesystem::path unpack(const std::string& fixture, const std::string& name) const;

 private:
  std::filesystem::path path_;
};

// A write target in memory. A write that reaches past `failFrom` fails with
// EIO, as on a disk that is full or failing.
class MemoryTarget final : public platform::WriteTarget {
 public:
  bool writeAt(uint64_t offset, std::span<const uint8_t> bytes) override;
  bool flush() override { return true; }
  int error() const override { return error_; }
  std::vector<uint8_t> data;
  uint64_t failFrom = UINT64_MAX;

 private:
  int error_ = 0;
};

// Little-endian stores into a byte buffer, for crafting sectors in tests.
void Put16(std::vector<uint8_t>& b, size_t off, uint16_t v);
void Put32(std::vector<uint8_t>& b, size_t off, uint32_t v);
void Put64(std::vector<uint8_t>& b, size_t off, uint64_t v);
void PutText(std::vector<uint8_t>& b, size_t off, const std::string& text);

// Minimal valid boot sectors and superblocks the recognisers accept; tests
// break one field at a time.
std::vector<uint8_t> Fat16BootSector();
std::vector<uint8_t> Fat32BootSector();
std::vector<uint8_t> NtfsBootSector();
std::vector<uint8_t> ExfatBootSector();
std::vector<uint8_t> ExtSuperblock();  // 1,024 bytes

// "fat/dftt-6-fat-undel.dd.gz" -> "dftt_6_fat_undel": a test name from a file name.
std::string TestNameFromPath(const std::string& path);

// Result of running a command: exit status and captured standard output.
struct CommandResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};
CommandResult RunCommand(const std::string& commandLine);

// A FAT path as The Sleuth Kit writes it, for comparisons: lower case, and
// the lost first letter of a deleted short name ("å" here) written as "_".
std::string FoldFatPath(const std::string& path);

// Quotes `text` for a POSIX shell.
std::string ShellQuote(const std::string& text);

// The whole content of the file at `path` (empty when it cannot be read).
std::string ReadAll(const std::filesystem::path& path);

// sha256 of every regular file below `dir`, by path relative to it; a save's
// manifest.jsonl at its top is left out.
std::map<std::string, std::string> Sha256Tree(const std::filesystem::path& dir);

// One row of a fixture manifest (.files.tsv): its columns by header name.
using ManifestRow = std::map<std::string, std::string>;
std::vector<ManifestRow> ReadManifest(const std::filesystem::path& tsv);

}  // namespace orvaldi::test
