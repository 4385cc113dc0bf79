#include "bench_debug.h"

#include "companion.h"
#include "coverage.h"
#include "hex.h"
#include "symbol_files.h"

#include <fstream>

namespace bench {

BenchDebug::BenchDebug(DebugSettings settings, std::ostream &log)
    : settings_(std::move(settings)), log_(log) {
  if (settings_.gdbPort) {
    gdb_ = std::make_unique<debug::GdbStub>(*settings_.gdbPort, std::nullopt,
                                            log_);
  }
  if (settings_.coverage) {
    blocks_ = std::make_unique<BlockRecorder>();
  }
}

void BenchDebug::prepare(BenchOptions &options) {
  if (gdb_) {
    options.imagePlaced = [this](const std::string &name, const efi::Guid &guid,
                                 const pei::PeImage &image) {
      imagePlaced(name, guid, image);
    };
  }
}

void BenchDebug::attach(machine::Machine &machine) {
  if (blocks_) {
    machine.addAgent(blocks_.get());
  }
  if (gdb_) {
    gdb_->attach(machine);
  }
}

std::optional<std::filesystem::path>
BenchDebug::companionFor(const std::string &name, const efi::Guid *guid) const {
  auto found = settings_.symbols.find(name);
  if (found == settings_.symbols.end() && guid != nullptr) {
    found = settings_.symbols.find(guid->text());
  }
  if (found == settings_.symbols.end()) {
    return std::nullopt;
  }
  return found->second;
}

// The module's companion when one was named and fits the image; else a
// symbol file that names the module over its whole image, so that GDB's
// backtraces and `info sharedlibrary` show which module an address is in.
void BenchDebug::imagePlaced(const std::string &name, const efi::Guid &guid,
                             const pei::PeImage &image) {
  std::optional<debug::ModuleSymbols> symbols;
  if (const auto companion = companionFor(name, &guid)) {
    const std::string why = debug::companionMismatch(image, *companion);
    if (why.empty()) {
      symbols = debug::ModuleSymbols{
          companion->stem().string(),
          debug::moduleSymbolFile(pei::PeImage::load(*companion),
                                  image.imageBase())};
    } else {
      log_ << "gdb: " << name << ": " << why << "; GDB gets only its name"
           << std::endl;
    }
  }
  if (!symbols) {
    const debug::NamedAddress whole{image.imageBase(), image.sizeOfImage(),
                                    debug::symbolName(name)};
    symbols = debug::ModuleSymbols{
        debug::symbolName(name),
        debug::platformSymbolFile(image.imageBase(), image.sizeOfImage(),
                                  {&whole, 1}, {})};
  }
  gdb_->setImageSymbols(name + ".shadow", *symbols);
  gdb_->setImageSymbols(name, std::move(*symbols));
}

bool BenchDebug::finish(const RunReport &report, int status) {
  if (gdb_) {
    gdb_->finished(status);
  }
  if (!blocks_) {
    return true;
  }
  debug::LineCounts lines;
  debug::RoutineCounts routines;
  std::ofstream list(settings_.coverage->string() + ".blocks");
  list << "# module  offset  size  runs (blocks of modules without a "
          "companion)\n";
  for (const PeimReport &peim : report.peims) {
    if (peim.size == 0) {
      continue;
    }
    const std::string name = displayName(peim);
    // Both copies' blocks, at the addresses the image is linked at.
    BlockRecorder::Blocks linked;
    for (const auto &[address, entry] : blocks_->blocks()) {
      for (const auto &[base, size] :
           {std::pair{peim.address, peim.size},
            std::pair{peim.shadowAddress.value_or(0),
                      peim.shadowAddress ? peim.size : 0u}}) {
        if (size != 0 && address >= base && address - base < size) {
          auto &into = linked[address - base + peim.linkBase];
          into.first = entry.first;
          into.second += entry.second;
        }
      }
    }
    const auto companion = companionFor(name, &peim.name);
    if (companion) {
      try {
        const auto table = debug::readLineTable(*companion);
        for (const auto &[file, counts] : debug::linesRun(table, linked)) {
          for (const auto &[line, runs] : counts) {
            lines[file][line] += runs;
          }
        }
        for (const auto &[file, counts] : debug::routinesRun(
                 debug::readRoutines(*companion), table, linked)) {
          for (const auto &[routine, count] : counts) {
            routines[file][routine] = count;
          }
        }
        continue;
      } catch (const debug::CoverageError &error) {
        log_ << "coverage: " << name << ": " << error.what()
             << "; its blocks are listed instead\n";
      }
    }
    for (const auto &[address, entry] : linked) {
      list << name << " " << common::hex(address - peim.linkBase, 8) << " "
           << entry.first << " " << entry.second << "\n";
    }
  }
  std::ofstream out(*settings_.coverage, std::ios::trunc);
  out << debug::writeTracefile(lines, routines);
  if (!out.flush() || !list.flush()) {
    log_ << "coverage: " << settings_.coverage->string()
         << ": cannot be written\n";
    return false;
  }
  return true;
}

} // namespace bench
