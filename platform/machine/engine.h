// What the machine's own files share about the emulator underneath it: error
// checking of Unicorn calls, the callbacks Unicorn calls into, and how a fault
// describes a guest access that was refused. Not part of the machine's public
// face; only platform/machine includes it.
#pragma once

#include "machine.h"

#include <unicorn/unicorn.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace machine {

using bus::k4GiB;

// Turns a failed Unicorn call into a MachineError that says what was tried.
void check(uc_err error, const std::string &what);

// An added Unicorn hook, deleted with its owner.
struct Machine::Hook {
  uc_engine *engine = nullptr;
  uc_hook handle = 0;
  ~Hook() { uc_hook_del(engine, handle); }
};

template <typename F> void Machine::toAgents(F &&each) {
  const auto started = std::chrono::steady_clock::now();
  for (DebugAgent *agent : agents_) {
    each(*agent);
  }
  budget_.started += std::chrono::steady_clock::now() - started;
}

// The C callbacks Unicorn calls; each forwards to the machine and never lets
// an exception through (exceptions must not cross Unicorn's C frames).
struct HookEntry {
  // A guest call into the thunk page.
  static void code(uc_engine *, std::uint64_t address, std::uint32_t,
                   void *user);
  // Before every instruction, once an agent asked for it (a debugger).
  static void everyInstruction(uc_engine *, std::uint64_t address,
                               std::uint32_t, void *user);
  // Keeps a call's instruction and time bounds, once per translated block.
  static void block(uc_engine *engine, std::uint64_t address,
                    std::uint32_t size, void *user);
  static std::uint16_t instructionsIn(Machine &machine, uc_engine *engine,
                                      std::uint64_t address,
                                      std::uint32_t size);
  static void keepBounds(Machine &machine);
  // A trapped RDMSR, WRMSR or HLT.
  static void msr(uc_engine *, std::uint64_t address, std::uint32_t,
                  void *user);
  // Where an IN or OUT instruction starts.
  static void portSite(uc_engine *, std::uint64_t address, std::uint32_t,
                       void *user);
  static std::uint32_t portIn(uc_engine *, std::uint32_t port, int size,
                              void *user);
  static void portOut(uc_engine *, std::uint32_t port, int size,
                      std::uint32_t value, void *user);
  // A guest store outside the quiet ranges.
  static void write(uc_engine *, uc_mem_type, std::uint64_t address, int size,
                    std::int64_t value, void *user);
  // Every store while an agent watches them (a debugger's watchpoints).
  static void agentWrite(uc_engine *, uc_mem_type, std::uint64_t address,
                         int size, std::int64_t, void *user);
  // Where a rep string instruction starts.
  // An instruction somebody probes (Machine::addProbe).
  static void probe(uc_engine *, std::uint64_t address, std::uint32_t,
                    void *user);
  static void string(uc_engine *, std::uint64_t address, std::uint32_t,
                     void *user);
  static bool invalid(uc_engine *, uc_mem_type type, std::uint64_t address,
                      int size, std::int64_t value, void *user);
  static void interrupt(uc_engine *, std::uint32_t vector, void *user);
  static bool invalidInstruction(uc_engine *, void *user);
  static std::uint64_t mmioRead(uc_engine *, std::uint64_t offset,
                                unsigned size, void *user);
  static void mmioWrite(uc_engine *, std::uint64_t offset, unsigned size,
                        std::uint64_t value, void *user);
};

// "read of 4 bytes", "write of 4 bytes (0x12)", "execution": how a fault
// message names a guest access (right: what it needed) of size bytes,
// storing value.
std::string accessText(Rights right, std::uint64_t size, std::uint64_t value);

// How a fault message ends when the access reached nothing.
inline constexpr const char *kNothingMapped = ", where nothing is mapped";

} // namespace machine
