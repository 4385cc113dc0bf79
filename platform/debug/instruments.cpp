#include "instruments.h"

#include "companion.h"
#include "number.h"

namespace debug {

bool parseDebugOption(std::span<const std::string> args, std::size_t &i,
                      DebugOptions &options) {
  const std::string &name = args[i];
  if (name != "--gdb" && name != "--coverage" && name != "--symbols") {
    return false;
  }
  if (i + 1 >= args.size()) {
    throw DebugOptionError(name + " expects a value");
  }
  const std::string &value = args[i + 1];
  if (name == "--gdb") {
    const auto port =
        common::numberAtMost(value, 65535, common::Radix::Decimal);
    if (!port) {
      throw DebugOptionError("--gdb expects a TCP port (0 to 65535), found \"" +
                             value + "\"");
    }
    options.gdbPort = static_cast<std::uint16_t>(*port);
  } else if (value.empty()) {
    throw DebugOptionError(name + " expects a file name, found \"\"");
  } else if (name == "--coverage") {
    options.coverage = value;
  } else {
    options.symbols = value;
  }
  i += 2;
  return true;
}

std::string debugOptionsHelp() {
  return "  --gdb PORT\n      Wait for GDB (gdb-multiarch) on 127.0.0.1:PORT "
         "before the first guest\n      instruction and let it debug the "
         "module at source level (0: any free\n      port, printed).\n"
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
  const std::filesystem::path companion =
      options.symbols.value_or(companionBeside(imagePath));
  if (const std::string why = companionMismatch(image, companion);
      !why.empty()) {
    throw DebugOptionError(why);
  }
  if (options.coverage) {
    coverage_ = std::make_unique<CoverageRecorder>(*options.coverage, companion,
                                                   sourceRoot());
  }
  if (options.gdbPort) {
    gdb_ = std::make_unique<GdbStub>(
        *options.gdbPort, companion,
        loadedSections(pei::PeImage::load(companion)).size(), log);
  }
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
