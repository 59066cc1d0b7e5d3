// Test helpers: fixture locations, gzip loading, temporary files, crafted sectors.
#include "support/test_images.h"

#include <sys/wait.h>
#include <unistd.h>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <zlib.h>

namespace orvaldi::test {

std::filesystem::path FixturesDir() { return ORVALDI_TEST_FIXTURES_DIR; }
std::filesystem::path CorpusDir() { return ORVALDI_TEST_CORPUS_DIR; }
std::filesystem::path DemoImageGz() { return ORVALDI_TEST_DEMO_IMAGE; }
std::filesystem::path CliPath() { return ORVALDI_TEST_CLI; }

std::optional<std::vector<uint8_t>> LoadImage(const std::filesystem::path& path) {
  if (!std::filesystem::exists(path)) return std::nullopt;
  gzFile gz = gzopen(path.c_str(), "rb");  // also reads files that are not compressed
  if (!gz) return std::nullopt;
  gzbuffer(gz, 1 << 20);
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> chunk(1 << 20);
  int n;
  while ((n = gzread(gz, chunk.data(), static_cast<unsigned>(chunk.size()))) > 0)
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + n);
  const bool failed = n < 0;
  gzclose(gz);
  if (failed) return std::nullopt;
  return bytes;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvaldi-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) std::abort();
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::unpack(const std::string& fixture, const std::string& name) const {
  const auto bytes = LoadImage(FixturesDir() / fixture);
  return bytes ? write(name, *bytes) : std::filesystem::path();
}

std::filesystem::path TempDir::write(const std::string& name, const std::vector<uint8_t>& bytes) const {
  const auto file = path_ / name;
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return file;
}

bool MemoryTarget::writeAt(uint64_t offset, std::span<const uint8_t> bytes) {
  if (offset + bytes.size() > failFrom) {
    error_ = EIO;
    return false;
  }
  if (data.size() < offset + bytes.size()) data.resize(offset + bytes.size());
  std::memcpy(data.data() + offset, bytes.data(), bytes.size());
  return true;
}

namespace {
void PutLe(std::vector<uint8_t>& b, size_t off, uint64_t v, size_t width) {
  for (size_t i = 0; i < width; ++i) b.at(off + i) = static_cast<uint8_t>(v >> (8 * i));
}
}  // namespace

void Put16(std::vector<uint8_t>& b, size_t off, uint16_t v) { PutLe(b, off, v, 2); }
void Put32(std::vector<uint8_t>& b, size_t off, uint32_t v) { PutLe(b, off, v, 4); }
void Put64(std::vector<uint8_t>& b, size_t off, uint64_t v) { PutLe(b, off, v, 8); }
void PutText(std::vector<uint8_t>& b, size_t off, const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) b.at(off + i) = static_cast<uint8_t>(text[i]);
}

std::vector<uint8_t> Fat16BootSector() {
  std::vector<uint8_t> s(512);
  s[0] = 0xEB, s[1] = 0x3C, s[2] = 0x90;
  PutText(s, 3, "MSDOS5.0");
  Put16(s, 0x0B, 512);
  s[0x0D] = 4;          // sectors per cluster
  Put16(s, 0x0E, 4);    // reserved
  s[0x10] = 2;          // FATs
  Put16(s, 0x11, 512);  // root entries
  Put16(s, 0x16, 32);   // FAT size
  PutText(s, 0x36, "FAT16   ");
  Put16(s, 0x1FE, 0xAA55);
  return s;
}

std::vector<uint8_t> Fat32BootSector() {
  std::vector<uint8_t> s(512);
  s[0] = 0xEB, s[1] = 0x58, s[2] = 0x90;
  PutText(s, 3, "MSWIN4.1");
  Put16(s, 0x0B, 512);
  s[0x0D] = 8;
  Put16(s, 0x0E, 32);
  s[0x10] = 2;
  Put32(s, 0x20, 1 << 20);  // total sectors
  Put32(s, 0x24, 1024);     // FAT size
  Put32(s, 0x2C, 2);        // root cluster
  Put16(s, 0x32, 6);        // backup boot sector
  PutText(s, 0x52, "FAT32   ");
  Put16(s, 0x1FE, 0xAA55);
  return s;
}

std::vector<uint8_t> NtfsBootSector() {
  std::vector<uint8_t> s(512);
  s[0] = 0xEB, s[1] = 0x52, s[2] = 0x90;
  PutText(s, 3, "NTFS    ");
  Put16(s, 0x0B, 512);
  s[0x0D] = 8;
  Put32(s, 0x1C, 2048);     // hidden sectors
  Put64(s, 0x28, 1 << 20);  // total sectors
  Put64(s, 0x30, 4);        // MFT cluster
  Put64(s, 0x38, 2);        // MFT mirror cluster
  s[0x40] = 0xF6;           // 1,024-byte records
  Put16(s, 0x1FE, 0xAA55);
  return s;
}

std::vector<uint8_t> ExfatBootSector() {
  std::vector<uint8_t> s(512);
  s[0] = 0xEB, s[1] = 0x76, s[2] = 0x90;
  PutText(s, 3, "EXFAT   ");
  Put32(s, 0x50, 2048);  // FAT offset
  Put32(s, 0x54, 64);    // FAT length
  Put32(s, 0x58, 4096);  // cluster heap offset
  Put32(s, 0x60, 4);     // root cluster
  s[0x6C] = 9;
  s[0x6D] = 3;
  Put16(s, 0x1FE, 0xAA55);
  return s;
}

std::vector<uint8_t> ExtSuperblock() {
  std::vector<uint8_t> s(1024);
  Put32(s, 0x00, 2048);        // inodes
  Put32(s, 0x04, 8192);        // blocks
  Put32(s, 0x0C, 1000);        // free blocks
  Put32(s, 0x10, 2000);        // free inodes
  Put32(s, 0x14, 1);           // first data block
  Put32(s, 0x18, 0);           // 1 KiB blocks
  Put32(s, 0x20, 8192 - 1);    // blocks per group (must stay below the count)
  Put32(s, 0x28, 2048);        // inodes per group
  Put32(s, 0x2C, 1700000000);  // last mount
  Put32(s, 0x30, 1700000000);  // last write
  Put16(s, 0x38, 0xEF53);
  Put16(s, 0x58, 256);   // inode size
  Put32(s, 0x5C, 0x4);   // has_journal
  Put32(s, 0x60, 0x40);  // extents
  PutText(s, 0x78, "crafted");
  return s;
}

std::string TestNameFromPath(const std::string& path) {
  std::string n = path.substr(path.find_last_of('/') + 1);
  n = n.substr(0, n.find('.'));
  for (char& ch : n)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return n;
}

CommandResult RunCommand(const std::string& commandLine) {
  CommandResult result;
  TempDir dir;
  const auto errFile = dir.path() / "stderr";
  const std::string full = commandLine + " 2>" + errFile.string();
  FILE* pipe = popen(full.c_str(), "r");
  if (!pipe) return result;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) result.out.append(buf.data(), n);
  const int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream err(errFile);
  result.err.assign(std::istreambuf_iterator<char>(err), {});
  return result;
}

std::string FoldFatPath(const std::string& path) {
  std::string out;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path.compare(i, 2, "\xC3\xA5") == 0 && (i == 0 || path[i - 1] == '/')) {
      out.push_back('_');
      ++i;
      continue;
    }
    const char c = path[i];
    out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return out;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out.push_back(c);
    }
  }
  return out + "'";
}

std::map<std::string, std::string> Sha256Tree(const std::filesystem::path& dir) {
  std::map<std::string, std::string> out;
  const auto r = RunCommand("cd " + ShellQuote(dir.string()) + " && find . -type f -print0 | xargs -0 -r sha256sum");
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() < 67) continue;
    // The save's own manifest at the top is not a recovered file.
    if (line.substr(68) == "manifest.jsonl") continue;
    out[line.substr(68)] = line.substr(0, 64);  // "<hash>  ./<path>"
  }
  return out;
}

std::vector<ManifestRow> ReadManifest(const std::filesystem::path& tsv) {
  auto split = [](const std::string& line) {
    std::vector<std::string> cells;
    std::istringstream fields(line);
    for (std::string cell; std::getline(fields, cell, '\t');) cells.push_back(cell);
    return cells;
  };
  std::vector<ManifestRow> rows;
  std::ifstream in(tsv);
  std::string line;
  if (!std::getline(in, line)) return rows;
  const auto header = split(line);
  while (std::getline(in, line)) {
    const auto cells = split(line);
    ManifestRow& row = rows.emplace_back();
    for (size_t i = 0; i < header.size(); ++i) row[header[i]] = i < cells.size() ? cells[i] : "";
  }
  return rows;
}

}  // namespace orvaldi::test
