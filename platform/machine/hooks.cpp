// The callbacks Unicorn calls while the guest runs, and how the faults they
// raise are worded. Each callback forwards to the machine inside guarded(),
// which turns a thrown fault into a stop of the run.
#include "engine.h"

#include "hex.h"

#include <array>
#include <atomic>

namespace machine {

using common::hex;

namespace {

const char *exceptionName(std::uint32_t vector) {
  static const char *const names[] = {"#DE divide error",
                                      "#DB debug",
                                      "NMI",
                                      "#BP breakpoint",
                                      "#OF overflow",
                                      "#BR bound range",
                                      "#UD invalid opcode",
                                      "#NM no math unit",
                                      "#DF double fault",
                                      "coprocessor overrun",
                                      "#TS invalid TSS",
                                      "#NP segment not present",
                                      "#SS stack fault",
                                      "#GP general protection",
                                      "#PF page fault",
                                      "reserved",
                                      "#MF x87 error",
                                      "#AC alignment check",
                                      "#MC machine check",
                                      "#XM SIMD exception"};
  return vector < std::size(names) ? names[vector] : "software interrupt";
}

} // namespace

// Forgets the port instruction's address once its hook is done.
struct PortInstruction {
  explicit PortInstruction(Machine &machine) : machine_(machine) {}
  ~PortInstruction() { machine_.portInstruction_ = 0; }
  Machine &machine_;
};

void check(uc_err error, const std::string &what) {
  if (error != UC_ERR_OK) {
    throw MachineError(what + ": " + uc_strerror(error));
  }
}

// --- fault messages ---------------------------------------------------------

std::string accessText(Rights right, std::uint64_t size, std::uint64_t value) {
  if (right == kExecute) {
    return "execution";
  }
  const std::string bytes = std::to_string(size) + " bytes";
  return right == kWrite ? "write of " + bytes + " (" + hex(value) + ")"
                         : "read of " + bytes;
}

// --- running model code inside a hook ---------------------------------------

template <typename F> auto Machine::guarded(F &&body) -> decltype(body()) {
  try {
    return body();
  } catch (const GuestFault &fault) {
    stopWith(fault.what());
  } catch (const std::exception &error) {
    stopWith(std::string("platform failure at ") + hex(instruction(), 8) +
             ": " + error.what());
  }
  return decltype(body())();
}

void Machine::stopWith(const std::string &message) {
  if (!pendingFault_) {
    pendingFault_ = message;
    faultAt_ = instruction();
  }
  uc_emu_stop(engine_.get());
}

// --- the callbacks ----------------------------------------------------------

void HookEntry::code(uc_engine *, std::uint64_t address, std::uint32_t,
                     void *user) {
  auto *m = static_cast<Machine *>(user);
  m->guarded([&] {
    // The platform's code at this address runs at once, moving EIP on, so
    // the engine calls no later hook for the instruction: the agents that
    // watch every instruction see it here (a debugger's breakpoint on a
    // thunk, or a step into one, stops before the platform's code runs).
    const auto at = static_cast<std::uint32_t>(address);
    if (m->everyInstruction_) {
      m->toAgents([&](DebugAgent &agent) {
        if (agent.wantsInstructions()) {
          agent.instruction(at);
        }
      });
    }
    if (address == Machine::kResume && !m->resumptions_.empty()) {
      m->resumeThunk();
      return 0;
    }
    const auto found = m->thunks_.find(static_cast<std::uint32_t>(address));
    if (found == m->thunks_.end()) {
      m->fault("jump into the thunk page at " + hex(address, 8) +
               ", which is no thunk");
    }
    const std::uint32_t esp = m->readReg(UC_X86_REG_ESP);
    const std::uint32_t ret = m->read32(esp);
    ThunkCall call(*m, esp, ret, m->trace_.now());
    m->finishThunk(call, found->second.handler(call));
    return 0;
  });
}

void Machine::finishThunk(ThunkCall &call, std::uint32_t eax) {
  if (!call.pending_) {
    writeReg(UC_X86_REG_EAX, eax);
    if (call.resultHigh_) {
      writeReg(UC_X86_REG_EDX, *call.resultHigh_);
    }
    writeReg(UC_X86_REG_ESP, call.stack_ + 4);
    writeReg(UC_X86_REG_EIP, call.returnAddress_);
    return;
  }
  if (resumptions_.size() >= kMaxNestedCalls) {
    fault("guest functions called from services nest more than " +
          std::to_string(kMaxNestedCalls) + " deep");
  }
  // The callee's frame goes below the caller's return address, which stays
  // where the thunk found it.
  ThunkCall::Pending next = std::move(*call.pending_);
  std::vector<std::uint32_t> frame = {kResume};
  frame.insert(frame.end(), next.arguments.begin(), next.arguments.end());
  const std::uint32_t esp =
      call.stack_ - 4 * static_cast<std::uint32_t>(frame.size());
  for (std::size_t i = 0; i < frame.size(); ++i) {
    guestWrite32(esp + 4 * static_cast<std::uint32_t>(i), frame[i],
                 "the stack of " + next.name);
  }
  resumptions_.push_back(
      {call.stack_, call.returnAddress_, call.started_, std::move(next.then)});
  writeReg(UC_X86_REG_ESP, esp);
  writeReg(UC_X86_REG_EIP, next.address);
}

void Machine::resumeThunk() {
  Resumption resumption = std::move(resumptions_.back());
  resumptions_.pop_back();
  ThunkCall call(*this, resumption.stack, resumption.returnAddress,
                 resumption.started);
  const std::uint32_t result = readReg(UC_X86_REG_EAX);
  finishThunk(call, resumption.then(call, result));
}

void HookEntry::everyInstruction(uc_engine *, std::uint64_t address,
                                 std::uint32_t, void *user) {
  auto *m = static_cast<Machine *>(user);
  if (!m->running_) {
    return;
  }
  const auto at = static_cast<std::uint32_t>(address);
  m->guarded([&] {
    m->toAgents([&](DebugAgent &agent) {
      if (agent.wantsInstructions()) {
        agent.instruction(at);
      }
    });
    // The string fast path runs here, after the agents had their stop at
    // the instruction (a breakpoint on it stops before any element), and
    // only if the debugger left EIP where it was.
    if (m->stringFastPath_ && m->isStringSite(at) &&
        m->readReg(UC_X86_REG_EIP) == at) {
      m->runString(at);
    }
    return 0;
  });
}

void HookEntry::block(uc_engine *engine, std::uint64_t address,
                      std::uint32_t size, void *user) {
  auto *m = static_cast<Machine *>(user);
  if (!m->running_) {
    return;
  }
  if (!m->agents_.empty()) {
    m->guarded([&] {
      m->toAgents([&](DebugAgent &agent) {
        agent.block(static_cast<std::uint32_t>(address), size);
      });
      return 0;
    });
  }
  Machine::Budget &budget = m->budget_;
  budget.executed += instructionsIn(*m, engine, address, size);
  ++budget.blocks;
  keepBounds(*m);
}

// How many instructions the translated block of `size` bytes at address
// holds.
std::uint16_t HookEntry::instructionsIn(Machine &machine, uc_engine *engine,
                                        std::uint64_t address,
                                        std::uint32_t size) {
  // The instruction counts of the blocks a thread ran lately, in front of
  // each machine's own table (Budget::instructionsAt). The guest runs some
  // 300 blocks per TPM command, and searching the table for each (a hash with
  // a division, and a walk of its bucket) took some 7 % of the time a command
  // spends in the platform (4 % with these slots). A slot names its machine by
  // an epoch that no other machine ever gets, so that a machine made where a
  // destroyed one was never takes the other's counts; the epoch is kept in the
  // machine's own table, under a key at which no block starts (guest addresses
  // lie below 4 GiB), and looked up once per call.
  struct CachedBlock {   // trivial, so that the thread's slots need no guard
    std::uint32_t epoch; // 0: empty
    std::uint32_t size;
    std::uint64_t address;
    std::uint16_t count;
  };
  constexpr std::size_t kCachedBlocks = 1024;
  constexpr std::uint64_t kEpochKey = ~std::uint64_t{0};
  static thread_local std::array<CachedBlock, kCachedBlocks> cachedBlocks;
  static thread_local std::uint32_t runningEpoch = 0; // the calling machine's
  static std::atomic<std::uint32_t> nextEpoch{1};

  Machine::Budget &budget = machine.budget_;
  if (budget.blocks == 0) {
    // The call's first block: which machine runs on this thread now.
    const auto [epoch, added] = budget.instructionsAt.try_emplace(kEpochKey);
    if (added) {
      epoch->second.first = nextEpoch++;
    }
    runningEpoch = epoch->second.first;
  }
  CachedBlock &slot = cachedBlocks[(address ^ (address >> 10)) % kCachedBlocks];
  if (slot.epoch != runningEpoch || slot.address != address ||
      slot.size != size) {
    auto found = budget.instructionsAt.find(address);
    if (found == budget.instructionsAt.end() || found->second.first != size) {
      // The block being run is in the translation cache: asking for it
      // translates nothing.
      uc_tb tb{};
      std::uint16_t count = 1;
      if (uc_ctl_request_cache(engine, address, &tb) == UC_ERR_OK &&
          tb.icount != 0) {
        count = tb.icount;
      }
      found = budget.instructionsAt
                  .insert_or_assign(address, std::pair{size, count})
                  .first;
    }
    slot = {runningEpoch, size, address, found->second.second};
  }
  return slot.count;
}

// Stops a call that ran past its instruction bound, or (looked at every
// 1024 blocks) past its time bound.
void HookEntry::keepBounds(Machine &machine) {
  Machine *m = &machine;
  const Machine::Budget &budget = m->budget_;
  const CallLimits &limits = m->limits_;
  const bool outOfInstructions =
      limits.instructions != 0 && budget.executed > limits.instructions;
  if (!outOfInstructions && (budget.blocks & 0x3FF) != 0) {
    return;
  }
  const bool outOfTime =
      std::chrono::steady_clock::now() - budget.started > limits.time;
  if (outOfInstructions || outOfTime) {
    m->guarded([&] {
      m->fault("runaway: " + m->lastCall_.name + " did not return within " +
               (outOfInstructions
                    ? std::to_string(limits.instructions) + " instructions"
                    : std::to_string(limits.time.count()) + " ms"));
      return 0;
    });
  }
}

void HookEntry::msr(uc_engine *engine, std::uint64_t address, std::uint32_t,
                    void *user) {
  auto *m = static_cast<Machine *>(user);
  m->guarded([&] {
    const auto at = static_cast<std::uint32_t>(address);
    std::uint8_t code[2] = {};
    check(uc_mem_read(engine, at, code, 1), "trapped instruction");
    if (code[0] == 0xF4) {
      m->fault("unexpected instruction HLT: nothing would wake the "
               "processor");
    }
    check(uc_mem_read(engine, at + 1, code + 1, 1), "trapped instruction");
    if (code[1] == 0x32) {
      m->rdmsr();
    } else {
      m->wrmsr();
    }
    m->writeReg(UC_X86_REG_EIP, at + 2);
    return 0;
  });
}

// Fires where an IN or OUT instruction starts: Unicorn does not bring EIP
// up to date before its port hooks, so the address is kept for them.
void HookEntry::portSite(uc_engine *, std::uint64_t address, std::uint32_t,
                         void *user) {
  static_cast<Machine *>(user)->portInstruction_ =
      static_cast<std::uint32_t>(address);
}

std::uint32_t HookEntry::portIn(uc_engine *, std::uint32_t port, int size,
                                void *user) {
  auto *m = static_cast<Machine *>(user);
  const PortInstruction done(*m);
  return m->guarded([&] {
    return m->space_.portRead(static_cast<std::uint16_t>(port),
                              static_cast<unsigned>(size));
  });
}

void HookEntry::portOut(uc_engine *, std::uint32_t port, int size,
                        std::uint32_t value, void *user) {
  auto *m = static_cast<Machine *>(user);
  const PortInstruction done(*m);
  m->guarded([&] {
    m->space_.portWrite(static_cast<std::uint16_t>(port),
                        static_cast<unsigned>(size), value);
    return 0;
  });
}

void HookEntry::write(uc_engine *, uc_mem_type, std::uint64_t address, int size,
                      std::int64_t value, void *user) {
  auto *m = static_cast<Machine *>(user);
  if (!m->running_) {
    return;
  }
  const std::uint64_t target = m->storeTarget(address);
  const std::uint64_t mask =
      size >= 8 ? ~0ull : (1ull << (8 * static_cast<unsigned>(size))) - 1;
  m->recordStore({.instruction = m->instruction(),
                  .address = target,
                  .size = static_cast<unsigned>(size),
                  .value = static_cast<std::uint64_t>(value) & mask});
}

void HookEntry::agentWrite(uc_engine *, uc_mem_type, std::uint64_t address,
                           int size, std::int64_t, void *user) {
  auto *m = static_cast<Machine *>(user);
  if (!m->running_) {
    return;
  }
  const std::uint64_t target = m->storeTarget(address);
  m->guarded([&] {
    m->toAgents([&](DebugAgent &agent) {
      agent.wrote(target, static_cast<unsigned>(size));
    });
    return 0;
  });
}

// Fires where a rep string instruction starts (at its F3 prefix), before
// each of its iterations that the emulator runs.
void HookEntry::probe(uc_engine *, std::uint64_t address, std::uint32_t,
                      void *user) {
  auto *m = static_cast<Machine *>(user);
  const auto found = m->probes_.find(static_cast<std::uint32_t>(address));
  if (!m->running_ || found == m->probes_.end()) {
    return;
  }
  m->guarded([&] {
    // Probes may add probes: take the list as it is now.
    const std::vector<Machine::Probe> probes = found->second;
    for (const Machine::Probe &probe : probes) {
      probe(*m);
    }
    return 0;
  });
}

void HookEntry::string(uc_engine *, std::uint64_t address, std::uint32_t,
                       void *user) {
  auto *m = static_cast<Machine *>(user);
  // With the hook on every instruction, that hook takes the fast path.
  if (!m->running_ || !m->stringFastPath_ || m->everyInstruction_) {
    return;
  }
  m->guarded([&] { return m->runString(static_cast<std::uint32_t>(address)); });
}

bool HookEntry::invalid(uc_engine *, uc_mem_type type, std::uint64_t address,
                        int size, std::int64_t value, void *user) {
  auto *m = static_cast<Machine *>(user);
  const bool data =
      type == UC_MEM_READ_UNMAPPED || type == UC_MEM_WRITE_UNMAPPED;
  if (data && m->guarded([&] { return m->space_.answerUnmapped(address); })) {
    return true; // mapped as unmodelled: the access is tried again
  }
  m->guarded([&] {
    const Rights right =
        type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT   ? kWrite
        : type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT ? kExecute
                                                                     : kRead;
    const std::string access =
        accessText(right, static_cast<std::uint64_t>(size),
                   static_cast<std::uint64_t>(value)) +
        " at " + hex(address, 8);
    const bus::Region *region = m->space_.find(address);
    const bool unmapped = type == UC_MEM_READ_UNMAPPED ||
                          type == UC_MEM_WRITE_UNMAPPED ||
                          type == UC_MEM_FETCH_UNMAPPED || region == nullptr;
    m->fault(access + (unmapped ? kNothingMapped
                                : bus::AddressSpace::refusal(*region, right)));
    return 0;
  });
  return false;
}

void HookEntry::interrupt(uc_engine *, std::uint32_t vector, void *user) {
  auto *m = static_cast<Machine *>(user);
  m->guarded([&] {
    m->fault("unexpected processor exception or interrupt " +
             std::to_string(vector) + " (" + exceptionName(vector) + ")");
    return 0;
  });
}

bool HookEntry::invalidInstruction(uc_engine *, void *user) {
  auto *m = static_cast<Machine *>(user);
  m->guarded([&] {
    m->fault("unexpected instruction (not valid for this processor)");
    return 0;
  });
  return false;
}

std::uint64_t HookEntry::mmioRead(uc_engine *, std::uint64_t offset,
                                  unsigned size, void *user) {
  const auto *binding = static_cast<Machine::MmioBinding *>(user);
  return binding->machine->guarded([&]() -> std::uint64_t {
    return binding->machine->space_.registerRead(*binding->region, offset,
                                                 size);
  });
}

void HookEntry::mmioWrite(uc_engine *, std::uint64_t offset, unsigned size,
                          std::uint64_t value, void *user) {
  const auto *binding = static_cast<Machine::MmioBinding *>(user);
  binding->machine->guarded([&] {
    binding->machine->space_.registerWrite(*binding->region, offset, size,
                                           value);
    return 0;
  });
}

} // namespace machine
