// GDB and coverage for every module of a bench run: each image a library at
// its address, with the symbols of a debug companion the user names for it
// (`--symbols NAME=FILE`) or a symbol file that names the module; line
// coverage for the modules with a companion, block addresses for the rest.
#pragma once

#include "bench.h"
#include "gdb_stub.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace bench {

struct DebugSettings {
  std::optional<std::uint16_t> gdbPort;
  std::optional<std::filesystem::path> coverage;
  // Debug companions by module: UI name or file GUID.
  std::map<std::string, std::filesystem::path> symbols;
};

// Every block the guest ran, by address: its size and how often it ran.
class BlockRecorder : public machine::DebugAgent {
public:
  using Blocks =
      std::map<std::uint32_t, std::pair<std::uint32_t, std::uint64_t>>;
  void block(std::uint32_t address, std::uint32_t size) override {
    auto &entry = blocks_[address];
    entry.first = size;
    ++entry.second;
  }
  const Blocks &blocks() const { return blocks_; }

private:
  Blocks blocks_;
};

class BenchDebug {
public:
  // Throws common::net::SocketError when the GDB port cannot be had.
  BenchDebug(DebugSettings settings, std::ostream &log);
  // Gives the bench's options the hook that hands GDB each image's symbols.
  void prepare(BenchOptions &options);
  void attach(machine::Machine &machine);
  // After the run: tells GDB how it ended and writes the coverage (lcov
  // lines for the modules with a companion, "FILE.blocks" for the rest).
  // False when the coverage could not be written.
  bool finish(const RunReport &report, int status);

private:
  void imagePlaced(const std::string &name, const efi::Guid &guid,
                   const pei::PeImage &image);
  std::optional<std::filesystem::path>
  companionFor(const std::string &name, const efi::Guid *guid) const;

  DebugSettings settings_;
  std::ostream &log_;
  std::unique_ptr<debug::GdbStub> gdb_;
  std::unique_ptr<BlockRecorder> blocks_;
};

} // namespace bench
