// The routines of guest_stubs.s, assembled at build time into a flat binary
// (GUEST_STUBS_PATH), loaded into a machine and called as guest code.
#pragma once

#include "machine.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace test {

enum class Stub : std::uint32_t {
  CallFunction = 0,
  In8,
  In16,
  In32,
  Out32,
  Out8,
  RdmsrLow,
  RdmsrHigh,
  Wrmsr,
  Read32,
  Read16,
  Write32,
  FsRead32,
  FsWrite32,
  ReloadFs,
  Spin,
  CountingCallback,
  InstallingCallback,
  ServicesBelowIdt,
  Undefined,
  Halt,
  Clobber,
  CallFunction8,
};

// Where the stubs go, and the scratch memory the callbacks use.
inline constexpr std::uint32_t kStubBase = 0x00500000;
inline constexpr std::uint32_t kScratch = 0x00200000; // count, then records
inline constexpr std::uint32_t kInstallList = 0x00200100;
inline constexpr std::uint32_t kStack = 0x00300000;

inline std::vector<std::uint8_t> stubBytes() {
  std::ifstream in(GUEST_STUBS_PATH, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + std::string(GUEST_STUBS_PATH));
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Maps the stubs (read/execute), scratch RAM and a stack into machine.
inline void loadStubs(machine::Machine &machine) {
  const auto bytes = stubBytes();
  machine.space().mapMemory(kStubBase, 0x1000, "test code",
                            machine::kReadExecute);
  machine.write(kStubBase, bytes);
  machine.trapInstructions(kStubBase, bytes);
  machine.space().mapMemory(kScratch, 0x1000, "test scratch",
                            machine::kReadWrite);
  machine.space().mapMemory(kStack - 0x10000, 0x10000, "test stack",
                            machine::kReadWrite);
  machine.setStack(kStack);
}

inline std::uint32_t address(Stub stub) {
  return kStubBase + 64 * static_cast<std::uint32_t>(stub);
}

inline std::uint32_t run(machine::Machine &machine, Stub stub,
                         std::initializer_list<std::uint32_t> arguments = {}) {
  return machine.call("stub " + std::to_string(static_cast<int>(stub)),
                      address(stub), arguments);
}

} // namespace test
