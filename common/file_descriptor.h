// One owner for a POSIX file descriptor: the file, socket, pipe end or lock
// is closed exactly once, when its owner goes, and never by a copy.
#pragma once

#include <cerrno>
#include <cstddef>
#include <span>

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

  // Writes all of `bytes`, retrying short and interrupted writes. False,
  // with errno saying why, when it stops short; a write that takes nothing
  // (a full device that does not say so) counts as ENOSPC, so a short file
  // is never taken for a whole one. `written` receives how far it got.
  [[nodiscard]] bool writeAll(std::span<const std::byte> bytes,
                              std::size_t &written) const noexcept {
    written = 0;
    while (written < bytes.size()) {
      const ssize_t put =
          ::write(fd_, bytes.data() + written, bytes.size() - written);
      if (put < 0 && errno == EINTR) {
        continue;
      }
      if (put == 0) {
        errno = ENOSPC;
      }
      if (put <= 0) {
        return false;
      }
      written += static_cast<std::size_t>(put);
    }
    return true;
  }

private:
  int fd_ = -1;
};

} // namespace common
