#include "instruments.h"

#include "companion.h"
#include "files.h"
#include "number.h"
#include "symbol_files.h"
#include "tcp_socket.h"
#include "usage.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <system_error>

namespace debug {

namespace {

constexpr const char *kOptionNames[] = {"--gdb", "--coverage", "--symbols"};

// What an lcov tracefile starts with: a test name or a source file record.
bool looksLikeTracefile(std::string_view start) {
  return start.empty() || start.starts_with("TN:") || start.starts_with("SF:");
}

} // namespace

bool parseDebugOption(std::span<const std::string> args, std::size_t &i,
                      DebugOptions &options) {
  const std::string &name = args[i];
  if (std::find(std::begin(kOptionNames), std::end(kOptionNames), name) ==
      std::end(kOptionNames)) {
    return false;
  }
  const char *expected =
      name == "--gdb" ? "a TCP port (0 to 65535)" : "a file name";
  if (i + 1 >= args.size()) {
    throw DebugOptionError(common::missingValue(name, expected).what());
  }
  const std::string &value = args[i + 1];
  if (name == "--gdb") {
    const auto port =
        common::numberAtMost(value, 65535, common::Radix::Decimal);
    if (!port) {
      throw DebugOptionError(
          common::badValue(name, expected, common::inQuotes(value)).what());
    }
    options.gdbPort = static_cast<std::uint16_t>(*port);
  } else if (value.empty()) {
    throw DebugOptionError(common::badValue(name, expected, "\"\"").what());
  } else if (name == "--coverage") {
    options.coverage = value;
  } else {
    options.symbols = value;
  }
  i += 2;
  return true;
}

std::vector<std::string> debugOptionNames() {
  return {std::begin(kOptionNames), std::end(kOptionNames)};
}

void checkDebugOptions(const DebugOptions &options) {
  if (options.symbols && !options.gdbPort && !options.coverage) {
    throw DebugOptionError("--symbols: has no effect without --gdb or "
                           "--coverage");
  }
  if (!options.coverage) {
    return;
  }
  const std::filesystem::path &file = *options.coverage;
  common::checkWritable("--coverage", file);
  // Runs add up in the tracefile, so an existing file is rewritten: one
  // that is not a tracefile (a mistyped name) is refused, not replaced.
  std::error_code error;
  if (std::filesystem::is_regular_file(file, error)) {
    const std::vector<std::uint8_t> start =
        common::readUpTo(common::openRegularFile(file), 3, file);
    if (!looksLikeTracefile(std::string_view(
            reinterpret_cast<const char *>(start.data()), start.size()))) {
      throw DebugOptionError(
          common::badValue("--coverage",
                           "an lcov tracefile (empty, or starting with TN: "
                           "or SF:)",
                           common::inQuotes(file.string()) +
                               " holding something else")
              .what());
    }
  }
}

std::filesystem::path companionPath(const DebugOptions &options,
                                    const std::filesystem::path &imagePath) {
  return options.symbols.value_or(companionBeside(imagePath));
}

std::string debugOptionsHelp() {
  return "  --gdb PORT\n      Wait for GDB (gdb-multiarch) on 127.0.0.1:PORT "
         "at the first guest\n      instruction and let it debug the "
         "module at source level (0: any free\n      port, printed); without "
         "a debug companion, at instruction level.\n"
         "  --coverage FILE\n      Add the module's source lines this run "
         "executes to the lcov tracefile\n      FILE (created when missing).\n"
         "  --symbols FILE\n      The image's debug companion (default: "
         "<image>.debug.efi beside the image).\n";
}

Instruments::Instruments(const DebugOptions &options,
                         const std::filesystem::path &imagePath,
                         const pei::PeImage &image, std::ostream &log)
    : log_(log) {
  if (!options.gdbPort && !options.coverage) {
    return;
  }
  const std::filesystem::path companion = companionPath(options, imagePath);
  std::error_code error;
  const bool missing =
      !options.symbols && !std::filesystem::exists(companion, error) && !error;
  if (missing && !options.coverage) {
    // GDB still debugs the machine's instructions; only names and lines
    // need the companion.
    log_ << "gdb: no debug companion " << companion.string()
         << " beside the image: no symbols are loaded, GDB debugs at "
            "instruction level (name the companion with --symbols FILE)"
         << std::endl;
  } else if (missing) {
    throw DebugOptionError("--coverage: expected the debug companion " +
                           companion.string() +
                           " beside the image, found none: name it with "
                           "--symbols FILE");
  } else if (const std::string why = companionMismatch(image, companion);
             !why.empty()) {
    throw DebugOptionError(why);
  }
  if (options.coverage) {
    coverage_ = std::make_unique<CoverageRecorder>(*options.coverage, companion,
                                                   sourceRoot());
  }
  if (options.gdbPort) {
    std::optional<ModuleSymbols> symbols;
    if (!missing) {
      try {
        symbols = ModuleSymbols{
            companion.stem().string(),
            moduleSymbolFile(pei::PeImage::load(companion), image.imageBase())};
      } catch (const SymbolFileError &wrong) {
        throw DebugOptionError("the debug companion " + companion.string() +
                               ": " + wrong.what());
      }
    }
    try {
      gdb_ =
          std::make_unique<GdbStub>(*options.gdbPort, std::move(symbols), log);
    } catch (const common::net::SocketError &error) {
      // A port in use is no fault of the command line: the run could not
      // start (status 1), for boot and serve alike.
      throw common::net::SocketError(std::string("--gdb: ") + error.what());
    }
    log_ << "gdb: the symbol files GDB reads are in "
         << gdb_->scratch().string() << std::endl;
  }
}

std::filesystem::path Instruments::scratch() const {
  return gdb_ ? gdb_->scratch() : std::filesystem::path();
}

void Instruments::attach(machine::Machine &machine) {
  if (coverage_) {
    machine.addAgent(coverage_.get());
  }
  if (gdb_) {
    gdb_->attach(machine);
  }
}

void Instruments::detach(machine::Machine &machine) {
  if (coverage_) {
    machine.removeAgent(coverage_.get());
  }
  if (gdb_) {
    gdb_->detach(machine);
  }
}

bool Instruments::finish(int status) {
  if (gdb_) {
    gdb_->finished(status);
  }
  if (coverage_) {
    try {
      coverage_->save();
    } catch (const CoverageError &error) {
      log_ << "coverage: " << error.what() << "\n";
      return false;
    }
  }
  return true;
}

} // namespace debug
