#include "state_directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

namespace platform {

namespace {

// The outermost of `path` and its parents that does not exist, which
// creating `path` creates; empty when `path` exists.
std::filesystem::path outermostMissing(const std::filesystem::path &path) {
  std::filesystem::path missing;
  for (std::filesystem::path each = path; !each.empty();
       each = each.parent_path()) {
    std::error_code error;
    if (std::filesystem::exists(each, error) || error) {
      break;
    }
    missing = each;
    if (each == each.parent_path()) {
      break;
    }
  }
  return missing;
}

} // namespace

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
    created_ = outermostMissing(path_);
    if (created_.empty()) {
      std::error_code unlisted;
      for (const auto &entry :
           std::filesystem::directory_iterator(path_, unlisted)) {
        before_.insert(entry.path().filename());
      }
      listed_ = !unlisted;
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
  // A server that fails to start removes the lock file it made, while it
  // still holds the lock; whoever opened that file meanwhile ends up with a
  // lock on a file no longer there, which guards nothing. Such a lock is
  // dropped and taken again on the file the name now gives.
  for (int attempt = 0;; ++attempt) {
    lockFd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    createdLock_ = lockFd_ >= 0;
    if (lockFd_ < 0 && errno == EEXIST) {
      lockFd_ = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    }
    if (lockFd_ < 0) {
      throw StateDirectoryError(
          "cannot open " + file.string() + ": " + std::strerror(errno), false);
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(lockFd_);
      lockFd_ = -1;
      throw StateDirectoryError(
          "the TPM state directory " + path_.string() +
              (error == EWOULDBLOCK
                   ? std::string(" is in use by another pei-platform process")
                   : ": cannot lock " + file.string() + ": " +
                         std::strerror(error)),
          false);
    }
    struct stat held {};
    struct stat named {};
    if (::fstat(lockFd_, &held) == 0 && ::stat(file.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      return;
    }
    ::close(lockFd_);
    lockFd_ = -1;
    if (attempt == 3) {
      throw StateDirectoryError("the TPM state directory " + path_.string() +
                                    ": its lock file " + file.string() +
                                    " keeps being replaced",
                                false);
    }
  }
}

StateDirectory::~StateDirectory() {
  if (undo_ && !temporary_) {
    undo(); // while the lock is held: see lock()
  }
  if (lockFd_ >= 0) {
    ::close(lockFd_);
  }
  if (temporary_) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

void StateDirectory::undo() const {
  std::error_code ignored;
  if (!created_.empty()) {
    std::filesystem::remove_all(created_, ignored);
    return;
  }
  if (!listed_) {
    // What the directory held is not known: only the lock file is surely
    // this object's.
    if (createdLock_) {
      std::filesystem::remove(path_ / kLockName, ignored);
    }
    return;
  }
  std::vector<std::filesystem::path> added;
  for (const auto &entry :
       std::filesystem::directory_iterator(path_, ignored)) {
    if (!before_.contains(entry.path().filename())) {
      added.push_back(entry.path());
    }
  }
  for (const std::filesystem::path &each : added) {
    std::filesystem::remove(each, ignored);
  }
}

} // namespace platform
