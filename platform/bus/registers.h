// What a device declares of itself: its registers, each with the widths and
// alignment it takes and what reading and writing it does, gathered in a
// block that the address space places at ports, at memory-mapped addresses
// or at MSR indices. The address space checks every access against the
// table, so a device's handlers see only accesses its hardware would take.
#pragma once

#include "trace.h"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace bus {

// The guest did something the platform stops on. The message is one line
// and names the guest address.
class GuestFault : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The host asked for something impossible (overlapping regions, a call while
// a call runs, ...). A fault in the platform's own use of the machine.
class MachineError : public std::logic_error {
public:
  using std::logic_error::logic_error;
};

// A device refuses an access its hardware would not take. The message says
// why ("memory decoding is off"); the address space puts the access and the
// guest address in front of it.
class Refusal : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Access widths a register takes: a set of byte counts.
inline constexpr std::uint8_t kByte = 1;
inline constexpr std::uint8_t kWord = 2;
inline constexpr std::uint8_t kDword = 4;
inline constexpr std::uint8_t kQword = 8;
inline constexpr std::uint8_t kAnyWidth = kByte | kWord | kDword;

// Handlers see the access's offset from the start of the block, its width in
// bytes and, for a write, the value.
using ReadHandler = std::function<std::uint64_t(std::uint64_t, unsigned)>;
using WriteHandler =
    std::function<void(std::uint64_t, unsigned, std::uint64_t)>;

struct Register {
  const char *name;         // for the trace and refusals ("Start")
  std::uint64_t offset = 0; // its first byte, from the start of the block
  std::uint64_t length = 4; // bytes it spans; an access must lie inside
  std::uint8_t widths = kDword;
  bool aligned = true;          // an access must be aligned to its own width
  ReadHandler read = nullptr;   // none: the register cannot be read
  WriteHandler write = nullptr; // none: the register cannot be written
};

struct RegisterBlock {
  // The block's name in the trace, in refusals and in the memory map.
  const char *name = "";
  std::vector<Register> registers = {};
  // How its accesses read in the trace: through the device's decoder (a
  // Register event) or, without one, as plain port, MSR or memory events.
  const bus::TraceDecoder *decoder = nullptr;
  // False when the device records its accesses itself, decoded further (a
  // configuration window records the configuration access it makes).
  bool recorded = true;
  // What an access that no register covers is, in refusals.
  const char *elsewhere = "which the platform does not model";
};

// A block of one register spanning `length` bytes from offset 0.
inline RegisterBlock wholeBlock(const char *name, std::uint64_t length,
                                std::uint8_t widths, ReadHandler read,
                                WriteHandler write) {
  RegisterBlock block;
  block.name = name;
  block.registers.push_back({.name = name,
                             .offset = 0,
                             .length = length,
                             .widths = widths,
                             .aligned = false,
                             .read = std::move(read),
                             .write = std::move(write)});
  return block;
}

} // namespace bus
