// pei-ffs: packages a PE32 PEI module as a firmware file system file of type
// PEIM, ready to be placed in a firmware volume.
#include "ffs.h"
#include "file_descriptor.h"
#include "number.h"
#include "usage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view kUsage =
    R"(usage: pei-ffs [options] IMAGE.efi -o FILE.ffs

Packages a PE32 PEI module as an FFS file of type PEIM (0x06): a PEI
dependency section, a PE32 (or, with --te, TE) section placed so that the
image base lies on the image's section alignment, and a user-interface name
section.

options:
  -o, --output FILE         the FFS file to write (required)
  --guid GUID               file name GUID (default: 6B102C40-43C0-4B44-B347-CB97B70880ED)
  --name TEXT               user-interface name (default: TpmTransportPei)
  --depex GUID              dispatch only once this PPI is installed; repeat
                            for several (all required). Default: TRUE
  --rebase ADDRESS          rebase the image to this ImageBase
  --xip-file-address ADDRESS
                            rebase so the image executes in place when the
                            file header lies at ADDRESS
  --te                      package the image as a TE image (EFI_SECTION_TE):
                            540 bytes of PE32 headers become a 40-byte header
  --erase-polarity 0|1      erase polarity of the target volume (default 1)
  --volume FILE             also write a firmware volume holding only this
                            file, for inspection with volume-based tools
  -h, --help                this text

The image must be a PE32 file of at most 16 MiB whose SectionAlignment and
FileAlignment are one power of two up to 64 KiB; the rebased image and the
file must end within 4 GiB.

exit status: 0 when the file (and volume) were written; 2 for a bad command
line or a bad input (an image that is refused, an address the file cannot
be placed at); 1 when an output cannot be written (nothing is left of it).
)";

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

std::uint32_t parseAddress(const std::string &option, const std::string &text) {
  // Hexadecimal with 0x, otherwise decimal: a leading zero does not make an
  // address octal, and no sign or blank is accepted. At most 16 digits.
  const common::NumberReading reading =
      common::readNumber(text, common::Radix::DecimalOrHex);
  if (reading.fault != common::NumberReading::Fault::None ||
      reading.digits > 16 || reading.value > 0xFFFFFFFFull) {
    throw UsageError(option +
                     ": expected a 32-bit address (0x... or "
                     "decimal), found \"" +
                     text + "\"");
  }
  return static_cast<std::uint32_t>(reading.value);
}

// Writes the whole file. When that fails (a full disk), a regular file is
// removed again rather than left behind short, and the cause is named.
void writeFile(const std::string &path,
               const std::vector<std::uint8_t> &bytes) {
  common::FileDescriptor out(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.get() < 0) {
    throw std::runtime_error(path + ": cannot create it (" +
                             std::strerror(errno) + ")");
  }
  std::size_t done = 0;
  const int cause =
      out.writeAll(std::as_bytes(std::span(bytes)), done) ? 0 : errno;
  if (cause != 0 || !out.close()) {
    const int error = cause != 0 ? cause : errno;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      ::unlink(path.c_str());
    }
    throw std::runtime_error(path + ": expected to write " +
                             std::to_string(bytes.size()) + " bytes, found " +
                             std::to_string(done) + " written (" +
                             std::strerror(error) + "); nothing was left");
  }
}

// What the command line asks for; `help` when it asks for --help, which
// ends the reading of it.
struct CommandLine {
  ffs_format::PeimOptions options;
  std::string input, output, volumePath;
  bool help = false;
};

CommandLine parseCommandLine(const std::vector<std::string> &args) {
  CommandLine line;
  ffs_format::PeimOptions &options = line.options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    auto value = [&]() -> const std::string & {
      if (i + 1 >= args.size()) {
        throw UsageError(arg + ": expected a value, found the end of the "
                               "command line");
      }
      return args[++i];
    };
    if (arg == "-h" || arg == "--help") {
      line.help = true;
      return line;
    } else if (arg == "-o" || arg == "--output") {
      line.output = value();
    } else if (arg == "--guid") {
      options.name = ffs_format::parseGuid(value());
    } else if (arg == "--name") {
      options.uiName = value();
    } else if (arg == "--depex") {
      options.depex.push_back(ffs_format::parseGuid(value()));
    } else if (arg == "--rebase") {
      options.imageBase = parseAddress(arg, value());
    } else if (arg == "--xip-file-address") {
      options.fileAddress = parseAddress(arg, value());
    } else if (arg == "--te") {
      options.te = true;
    } else if (arg == "--erase-polarity") {
      const std::string &p = value();
      if (p != "0" && p != "1") {
        throw UsageError(arg + ": expected 0 or 1, found \"" + p + "\"");
      }
      options.erasePolarity = p == "1";
    } else if (arg == "--volume") {
      line.volumePath = value();
    } else if (!arg.empty() && arg[0] == '-') {
      throw UsageError("expected an option from --help, found \"" + arg + "\"");
    } else if (line.input.empty()) {
      line.input = arg;
    } else {
      throw UsageError("expected one input image, found a second: \"" + arg +
                       "\"");
    }
  }
  if (line.input.empty() || line.output.empty()) {
    throw UsageError(
        "expected an input image and -o FILE, found " +
        std::string(line.input.empty() ? "no input" : "no output"));
  }
  return line;
}

int run(const std::vector<std::string> &args) {
  const CommandLine line = parseCommandLine(args);
  if (line.help) {
    std::cout << kUsage;
    return 0;
  }
  const ffs_format::PeimOptions &options = line.options;
  const pei::PeImage image = pei::PeImage::load(line.input);
  const ffs_format::PeimFile file = ffs_format::buildPeim(image, options);
  writeFile(line.output, file.bytes);
  if (!line.volumePath.empty()) {
    const std::vector<std::vector<std::uint8_t>> files{file.bytes};
    // Room for the header, alignment padding and the file, in 4 KiB blocks.
    const auto length = static_cast<std::uint32_t>(
        (file.bytes.size() + file.dataAlignment + 0x1000 + 0xFFF) & ~0xFFFu);
    writeFile(line.volumePath,
              ffs_format::makeVolume(files, length, options.erasePolarity));
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
