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
      for (const auto &entry :
           std::filesystem::directory_iterator(path_, error)) {
        before_.insert(entry.path().filename());
      }
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
  } else if (undo_) {
    undo();
  }
}

void StateDirectory::undo() const {
  std::error_code ignored;
  if (!created_.empty()) {
    std::filesystem::remove_all(created_, ignored);
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
