// One owner for a POSIX file descriptor: the file, socket, pipe end or lock
// is closed exactly once, when its owner goes, and never by a copy.
#pragma once

#include <unistd.h>

namespace common {

// Owns one file descriptor (-1 for none) and closes it when destroyed.
// Move-only: a moved-from owner holds none.
class FileDescriptor {
public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor &&other) noexcept : fd_(other.release()) {}
  FileDescriptor &operator=(FileDescriptor &&other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;
  ~FileDescriptor() { reset(); }

  [[nodiscard]] int get() const noexcept { return fd_; }
  [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }

  // Gives the descriptor up without closing it.
  [[nodiscard]] int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held, if any, and takes `fd` instead.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }
  // Closes now and says whether the close succeeded: on some file systems
  // the close is where a failed write back shows, so a file whose data
  // matters is closed with this rather than left to the destructor. Holding
  // nothing counts as success.
  [[nodiscard]] bool close() noexcept {
    const int fd = release();
    return fd < 0 || ::close(fd) == 0;
  }

private:
  int fd_ = -1;
};

} // namespace common
