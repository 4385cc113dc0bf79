#include "files.h"

#include "usage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace common {

namespace {

const char *kindOf(mode_t mode) {
  if (S_ISDIR(mode)) {
    return "a directory";
  }
  if (S_ISFIFO(mode)) {
    return "a FIFO";
  }
  if (S_ISSOCK(mode)) {
    return "a socket";
  }
  if (S_ISCHR(mode) || S_ISBLK(mode)) {
    return "a device";
  }
  return "not a file";
}

std::string reason(int error) { return std::strerror(error); }

} // namespace

FileDescriptor openRegularFile(const std::filesystem::path &path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    throw UsageError(path.string() + ": not a regular file (" +
                     kindOf(info.st_mode) + ")");
  }
  FileDescriptor file(
      ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file.valid()) {
    throw UsageError(path.string() + ": cannot open it (" + reason(errno) +
                     ")");
  }
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    throw UsageError(path.string() + ": not a regular file (" +
                     kindOf(info.st_mode) + ")");
  }
  return file;
}

std::vector<std::uint8_t> readUpTo(const FileDescriptor &file, std::size_t most,
                                   const std::filesystem::path &path) {
  constexpr std::size_t kChunk = 64 * 1024;
  std::vector<std::uint8_t> bytes;
  while (bytes.size() < most) {
    const std::size_t had = bytes.size();
    bytes.resize(had + std::min(kChunk, most - had));
    const ssize_t got =
        ::read(file.get(), bytes.data() + had, bytes.size() - had);
    if (got < 0 && errno == EINTR) {
      bytes.resize(had);
      continue;
    }
    if (got < 0) {
      throw UsageError(path.string() + ": cannot read it (" + reason(errno) +
                       ")");
    }
    bytes.resize(had + static_cast<std::size_t>(got));
    if (got == 0) {
      break;
    }
  }
  return bytes;
}

void checkWritable(const std::string &option,
                   const std::filesystem::path &path) {
  const auto refuse = [&](const std::string &why) {
    return badValue(option, "a writable file",
                    inQuotes(path.string()) + " " + why);
  };
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode) && !S_ISCHR(info.st_mode)) {
      throw refuse(std::string("(") + kindOf(info.st_mode) + ")");
    }
    const FileDescriptor file(
        ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file.valid()) {
      throw refuse("(" + reason(errno) + ")");
    }
    return;
  }
  if (errno != ENOENT) {
    throw refuse("(" + reason(errno) + ")");
  }
  const FileDescriptor file(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!file.valid()) {
    throw refuse("(" + reason(errno) + ")");
  }
  ::unlink(path.c_str());
}

bool sameFile(const std::filesystem::path &a, const std::filesystem::path &b) {
  struct stat infoA {};
  struct stat infoB {};
  const bool hasA = ::stat(a.c_str(), &infoA) == 0;
  const bool hasB = ::stat(b.c_str(), &infoB) == 0;
  if (hasA && hasB) {
    const bool device = S_ISCHR(infoA.st_mode) || S_ISBLK(infoA.st_mode);
    return !device && infoA.st_dev == infoB.st_dev &&
           infoA.st_ino == infoB.st_ino;
  }
  if (hasA != hasB) {
    return false;
  }
  std::error_code ignored;
  return std::filesystem::weakly_canonical(std::filesystem::absolute(a),
                                           ignored) ==
         std::filesystem::weakly_canonical(std::filesystem::absolute(b),
                                           ignored);
}

void checkDistinct(std::span<const RunFile> inputs,
                   std::span<const RunFile> outputs) {
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const RunFile &output = outputs[i];
    const auto clash = [&](const RunFile &other) {
      if (sameFile(output.path, other.path)) {
        throw badValue(output.role, "a file other than " + other.role,
                       inQuotes(output.path.string()));
      }
    };
    for (const RunFile &input : inputs) {
      clash(input);
    }
    for (std::size_t j = 0; j < i; ++j) {
      clash(outputs[j]);
    }
  }
}

} // namespace common
