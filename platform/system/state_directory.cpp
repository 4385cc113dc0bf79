#include "state_directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

namespace platform {

StateDirectory::StateDirectory(const std::filesystem::path &requested) {
  if (!requested.empty()) {
    path_ = requested;
    std::error_code error;
    const auto status = std::filesystem::status(path_, error);
    if (std::filesystem::exists(status) &&
        !std::filesystem::is_directory(status)) {
      throw StateDirectoryError("--state-dir: expected a directory, found \"" +
                                    path_.string() + "\", which is not one",
                                true);
    }
    std::filesystem::create_directories(path_, error);
    if (error) {
      throw StateDirectoryError("cannot create the TPM state directory " +
                                    path_.string() + ": " + error.message(),
                                false);
    }
  } else {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "pei-platform-tpm-XXXXXX")
            .string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
      throw StateDirectoryError("cannot create a temporary TPM state "
                                "directory from " +
                                    pattern + ": " + std::strerror(errno),
                                false);
    }
    path_ = buffer.data();
    temporary_ = true;
  }
  lock();
}

void StateDirectory::lock() {
  const std::filesystem::path file = path_ / kLockName;
  lockFd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ < 0) {
    throw StateDirectoryError(
        "cannot open " + file.string() + ": " + std::strerror(errno), false);
  }
  if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(lockFd_);
    lockFd_ = -1;
    throw StateDirectoryError("the TPM state directory " + path_.string() +
                                  (error == EWOULDBLOCK
                                       ? std::string(" is in use by another "
                                                     "pei-platform process")
                                       : ": cannot lock " + file.string() +
                                             ": " + std::strerror(error)),
                              false);
  }
}

StateDirectory::~StateDirectory() {
  if (lockFd_ >= 0) {
    ::close(lockFd_);
  }
  if (temporary_) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

} // namespace platform
