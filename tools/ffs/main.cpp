// pei-ffs: packages a PEI module (PE32 or TE, or the FFS file that holds
// one) as a firmware file system file of type PEIM, ready to be placed in a
// firmware volume.
#include "command_line.h"
#include "ffs.h"
#include "file_descriptor.h"
#include "files.h"
#include "usage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using common::UsageError;

// Exit statuses: 2 for a bad command line or a bad input (an image the
// reader refuses, an option value the file cannot be built with), 1 for a
// failure while running (the output cannot be written).
using common::kExitFailed;
using common::kExitUsage;

int inputError(const std::exception &error) {
  std::cerr << "pei-ffs: " << error.what() << "\n";
  return kExitUsage;
}

bool isDevice(const std::string &path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

// An output written under a temporary name beside its destination and
// renamed over it only when every output was written whole, so that a
// failed run leaves none of them (and no short file) behind. A device
// (/dev/null) is written in place.
class Output {
public:
  Output(std::string path, const std::vector<std::uint8_t> &bytes)
      : path_(std::move(path)) {
    if (isDevice(path_)) {
      device_ = true;
      write(path_, bytes, O_WRONLY | O_CLOEXEC);
      return;
    }
    temporary_ = path_ + ".pei-ffs-XXXXXX";
    common::FileDescriptor out(::mkostemp(temporary_.data(), O_CLOEXEC));
    if (!out.valid()) {
      const int error = errno;
      temporary_.clear();
      throw std::runtime_error(path_ + ": cannot create it (" +
                               std::strerror(error) + ")");
    }
    ::fchmod(out.get(), 0644);
    out.reset();
    try {
      write(temporary_, bytes, O_WRONLY | O_TRUNC | O_CLOEXEC);
    } catch (...) {
      // A constructor that throws runs no destructor.
      ::unlink(temporary_.c_str());
      throw;
    }
  }
  Output(const Output &) = delete;
  Output &operator=(const Output &) = delete;
  ~Output() {
    if (!temporary_.empty()) {
      ::unlink(temporary_.c_str());
    }
  }

  void commit() {
    if (temporary_.empty()) {
      return;
    }
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
      throw std::runtime_error(path_ + ": cannot create it (" +
                               std::strerror(errno) + "); nothing was left");
    }
    temporary_.clear();
  }
  // Removes the committed file again (a device is left alone).
  void withdraw() {
    if (!device_) {
      ::unlink(path_.c_str());
    }
  }

private:
  // Writes the whole file; names the cause when that fails (a full disk).
  void write(const std::string &file, const std::vector<std::uint8_t> &bytes,
             int flags) {
    common::FileDescriptor out(::open(file.c_str(), flags));
    if (!out.valid()) {
      throw std::runtime_error(path_ + ": cannot create it (" +
                               std::strerror(errno) + ")");
    }
    std::size_t done = 0;
    const int cause =
        out.writeAll(std::as_bytes(std::span(bytes)), done) ? 0 : errno;
    if (cause != 0 || !out.close()) {
      throw std::runtime_error(
          path_ + ": expected to write " + std::to_string(bytes.size()) +
          " bytes, found " + std::to_string(done) + " written (" +
          std::strerror(cause != 0 ? cause : errno) + "); nothing was left");
    }
  }

  std::string path_;
  std::string temporary_; // empty: none (a device, or committed)
  bool device_ = false;
};

// Refuses, before anything is written, outputs that cannot be written or
// that are the image or each other.
void checkOutputs(const ffs_format::CommandLine &line) {
  std::vector<common::RunFile> outputs{{"--output", line.output}};
  if (!line.volumePath.empty()) {
    outputs.push_back({"--volume", line.volumePath});
  }
  for (const common::RunFile &output : outputs) {
    common::checkWritable(output.role, output.path);
  }
  const std::vector<common::RunFile> inputs{{"the image", line.input}};
  common::checkDistinct(inputs, outputs);
}

int run(const std::vector<std::string> &args) {
  const ffs_format::CommandLine line = ffs_format::parseCommandLine(args);
  if (line.help) {
    std::cout << ffs_format::kUsage;
    return 0;
  }
  const ffs_format::PeimOptions &options = line.options;
  const pei::PeImage image = pei::PeImage::load(line.input);
  checkOutputs(line);
  const ffs_format::PeimFile file = ffs_format::buildPeim(image, options);
  Output ffsFile(line.output, file.bytes);
  std::optional<Output> volume;
  if (!line.volumePath.empty()) {
    const std::vector<std::vector<std::uint8_t>> files{file.bytes};
    // Room for the header, alignment padding and the file, in 4 KiB blocks.
    const auto length = static_cast<std::uint32_t>(
        (file.bytes.size() + file.dataAlignment + 0x1000 + 0xFFF) & ~0xFFFu);
    volume.emplace(line.volumePath, ffs_format::makeVolume(
                                        files, length, options.erasePolarity));
  }
  ffsFile.commit();
  if (volume) {
    try {
      volume->commit();
    } catch (const std::exception &) {
      ffsFile.withdraw();
      throw;
    }
  }
  std::printf("%s: PEIM %s \"%s\", %zu bytes, data alignment 0x%X, %s "
              "image at file offset 0x%X, ImageBase 0x%08X",
              line.output.c_str(), options.name.text().c_str(),
              options.uiName.c_str(), file.bytes.size(), file.dataAlignment,
              options.te ? "TE" : "PE32", file.imageOffset, file.imageBase);
  if (options.imageBase || options.fileAddress) {
    std::printf(" (rebased from 0x%08X, %zu relocations applied)",
                image.imageBase(), file.relocationsApplied);
  }
  std::printf("\n");
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError &e) {
    std::cerr << "pei-ffs: " << e.what() << "\n(see pei-ffs --help)\n";
    return kExitUsage;
  } catch (const pei::PeError &e) {
    return inputError(e);
  } catch (const ffs_format::FfsError &e) {
    return inputError(e);
  } catch (const std::exception &e) {
    std::cerr << "pei-ffs: " << e.what() << "\n";
    return kExitFailed;
  }
}
