// pei-ffs: packages a PEI module (PE32 or TE, or the FFS file that holds
// one) as a firmware file system file of type PEIM, ready to be placed in a
// firmware volume; places it into a volume of a flash image; writes it as an
// EDK II binary module.
#include "command_line.h"
#include "ffs.h"
#include "file_descriptor.h"
#include "files.h"
#include "usage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
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

// The kit's files, under the directory given.
std::vector<ffs_format::KitFile> kitFiles(const ffs_format::CommandLine &line,
                                          const pei::PeImage &image) {
  if (line.kitPath.empty()) {
    return {};
  }
  if (!std::filesystem::is_directory(line.kitPath)) {
    throw common::badValue("--edk2-kit", "an existing directory",
                           common::inQuotes(line.kitPath));
  }
  std::vector<ffs_format::KitFile> files =
      ffs_format::makeEdk2Kit(image, line.options);
  for (ffs_format::KitFile &file : files) {
    file.name = (std::filesystem::path(line.kitPath) / file.name).string();
  }
  return files;
}

// Refuses, before anything is written, outputs that cannot be written or
// that are an input or each other.
void checkOutputs(const ffs_format::CommandLine &line,
                  const std::vector<ffs_format::KitFile> &kit) {
  std::vector<common::RunFile> outputs;
  if (!line.output.empty()) {
    outputs.push_back({"--output", line.output});
  }
  if (!line.volumePath.empty()) {
    outputs.push_back({"--volume", line.volumePath});
  }
  for (const ffs_format::KitFile &file : kit) {
    outputs.push_back({"--edk2-kit", file.name});
  }
  for (const common::RunFile &output : outputs) {
    common::checkWritable(output.role, output.path);
  }
  std::vector<common::RunFile> inputs{{"the image", line.input}};
  if (line.inserting()) {
    inputs.push_back({"the flash image", line.flashPath});
  }
  common::checkDistinct(inputs, outputs);
}

// The flash image to insert into: a regular file of at most 1 GiB.
std::vector<std::uint8_t> readFlash(const std::string &path) {
  constexpr std::size_t kMostFlash = std::size_t{1} << 30;
  const common::FileDescriptor file = common::openRegularFile(path);
  std::vector<std::uint8_t> bytes =
      common::readUpTo(file, kMostFlash + 1, path);
  if (bytes.size() > kMostFlash) {
    throw UsageError(path + ": expected a flash image of at most 1 GiB, "
                            "found a larger file");
  }
  return bytes;
}

// printf-style formatting into a string of whatever length it takes.
[[gnu::format(printf, 1, 2)]] std::string formatted(const char *format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  text.pop_back();
  return text;
}

std::string rebaseNote(const pei::PeImage &image, std::size_t relocations) {
  return formatted(" (rebased from 0x%08X, %zu relocations applied)",
                   image.imageBase(), relocations);
}

// Commits every output, or none: one that fails takes those committed
// before it away again.
void commitAll(std::vector<std::unique_ptr<Output>> &outputs) {
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    try {
      outputs[i]->commit();
    } catch (const std::exception &) {
      for (std::size_t j = 0; j < i; ++j) {
        outputs[j]->withdraw();
      }
      throw;
    }
  }
}

int run(const std::vector<std::string> &args) {
  const ffs_format::CommandLine line = ffs_format::parseCommandLine(args);
  if (line.help) {
    std::cout << ffs_format::kUsage;
    return 0;
  }
  const ffs_format::PeimOptions &options = line.options;
  const pei::PeImage image = pei::PeImage::load(line.input);
  const std::vector<std::uint8_t> flash = line.inserting()
                                              ? readFlash(line.flashPath)
                                              : std::vector<std::uint8_t>{};
  const std::vector<ffs_format::KitFile> kit = kitFiles(line, image);
  checkOutputs(line, kit);

  std::vector<std::unique_ptr<Output>> outputs;
  std::vector<std::string> report;
  const char *form = options.te ? "TE" : "PE32";
  if (line.inserting()) {
    ffs_format::InsertedPeim peim{&image, options, line.apriori};
    ffs_format::InsertOptions where;
    where.volume = *line.targetVolume;
    where.flashBase = line.flashBase;
    where.volumeAddress = line.volumeAddress;
    const ffs_format::InsertResult inserted =
        ffs_format::insertPeims(flash, std::span(&peim, 1), where);
    outputs.push_back(std::make_unique<Output>(line.output, inserted.flash));
    const ffs_format::PlacedPeim &placed = inserted.placed.front();
    const std::string text = formatted(
        "%s: PEIM %s \"%s\" inserted into volume %s at offset 0x%X "
        "(%u bytes; the volume runs at 0x%08X, from %s%s), %s image, "
        "ImageBase 0x%08X",
        line.output.c_str(), options.name.text().c_str(),
        options.uiName.c_str(), line.targetVolume->text().c_str(),
        placed.fileOffset, placed.fileSize, inserted.volumeAddress,
        inserted.addressFrom == "given" ? "--fv-address"
                                        : inserted.addressFrom.c_str(),
        inserted.compressed ? ", inside a compressed section" : "", form,
        placed.imageBase);
    report.push_back(text + rebaseNote(image, placed.relocationsApplied) +
                     (line.apriori ? inserted.aprioriCreated
                                         ? ", listed in a new apriori file"
                                         : ", listed in the apriori file"
                                   : ""));
  } else if (!line.output.empty()) {
    const ffs_format::PeimFile file = ffs_format::buildPeim(image, options);
    outputs.push_back(std::make_unique<Output>(line.output, file.bytes));
    if (!line.volumePath.empty()) {
      const std::vector<std::vector<std::uint8_t>> files{file.bytes};
      // Room for the header, alignment padding and the file, in 4 KiB
      // blocks.
      const auto length = static_cast<std::uint32_t>(
          (file.bytes.size() + file.dataAlignment + 0x1000 + 0xFFF) & ~0xFFFu);
      outputs.push_back(std::make_unique<Output>(
          line.volumePath,
          ffs_format::makeVolume(files, length, options.erasePolarity)));
    }
    const std::string text =
        formatted("%s: PEIM %s \"%s\", %zu bytes, data alignment 0x%X, %s "
                  "image at file offset 0x%X, ImageBase 0x%08X",
                  line.output.c_str(), options.name.text().c_str(),
                  options.uiName.c_str(), file.bytes.size(), file.dataAlignment,
                  form, file.imageOffset, file.imageBase);
    report.push_back(text + (options.imageBase || options.fileAddress
                                 ? rebaseNote(image, file.relocationsApplied)
                                 : std::string()));
  }
  for (const ffs_format::KitFile &file : kit) {
    outputs.push_back(std::make_unique<Output>(file.name, file.bytes));
  }
  if (!kit.empty()) {
    report.push_back(kit.front().name + ": EDK II binary PEIM " +
                     options.name.text() + " (" + form + "), with " +
                     std::filesystem::path(kit[1].name).filename().string() +
                     ", " +
                     std::filesystem::path(kit[2].name).filename().string() +
                     " and the FDF lines in " +
                     std::filesystem::path(kit[3].name).filename().string());
  }
  commitAll(outputs);
  for (const std::string &text : report) {
    std::printf("%s\n", text.c_str());
  }
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
