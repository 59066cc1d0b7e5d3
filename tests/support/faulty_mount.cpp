// Starting and stopping the FUSE server behind FaultyMount.
#include "support/faulty_mount.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

namespace orvaldi::test {

namespace fsys = std::filesystem;

bool FaultyMount::Available() { return ::access("/dev/fuse", R_OK | W_OK) == 0; }

FaultyMount::FaultyMount(const fsys::path& image, const std::string& badSectors) {
  char pattern[] = "/tmp/orvaldi-faulty-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    error_ = "mkdtemp failed";
    return;
  }
  dir_ = pattern;
  file_ = dir_ / image.filename();
  const std::string server = ORVALDI_TEST_FAULTYFS;
  const std::string imageText = image.string();
  const std::string dirText = dir_.string();
  pid_ = ::fork();
  if (pid_ == 0) {
    // Foreground and single-threaded: the test owns the process and stops it.
    ::execl(server.c_str(), server.c_str(), imageText.c_str(), dirText.c_str(), badSectors.c_str(), "-f", "-s",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid_ < 0) {
    error_ = "fork failed";
    return;
  }
  // The mount is up once the served file shows with its size.
  for (int i = 0; i < 200; ++i) {
    std::error_code ec;
    if (fsys::is_regular_file(file_, ec) && fsys::file_size(file_, ec) == fsys::file_size(image, ec)) {
      ok_ = true;
      return;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "orvaldi-faultyfs exited with status " + std::to_string(status);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  error_ = "the FUSE mount did not come up within 5 s";
}

FaultyMount::~FaultyMount() {
  if (pid_ > 0) {
    const std::string unmount = "fusermount3 -u " + dir_.string() + " 2>/dev/null";
    if (std::system(unmount.c_str()) != 0) ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (!dir_.empty()) ::rmdir(dir_.c_str());
}

}  // namespace orvaldi::test
