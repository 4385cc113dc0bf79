#include "machine.h"

#include "hex.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace machine {

using common::hex;

namespace {

constexpr std::uint64_t k4GiB = 1ull << 32;
constexpr std::uint32_t kPage = 0x1000;

// Values the callee-saved registers hold when a call starts, so that a guest
// that does not put them back shows it.
constexpr std::uint32_t kEbxCanary = 0xB0B0B0B0;
constexpr std::uint32_t kEsiCanary = 0x51515151;
constexpr std::uint32_t kEdiCanary = 0xD1D1D1D1;
constexpr std::uint32_t kEbpCanary = 0xE0E0E0E0;
constexpr std::uint32_t kEflagsReset = 0x2; // reserved bit 1; IF and DF clear

void check(uc_err error, const std::string &what) {
  if (error != UC_ERR_OK) {
    throw MachineError(what + ": " + uc_strerror(error));
  }
}

std::string rightsText(std::uint32_t rights) {
  std::string text;
  text += (rights & kRead) ? 'r' : '-';
  text += (rights & kWrite) ? 'w' : '-';
  text += (rights & kExecute) ? 'x' : '-';
  return text;
}

std::uint32_t ucRights(std::uint32_t rights) {
  std::uint32_t prot = UC_PROT_NONE;
  if (rights & kRead) {
    prot |= UC_PROT_READ;
  }
  if (rights & kWrite) {
    prot |= UC_PROT_WRITE;
  }
  if (rights & kExecute) {
    prot |= UC_PROT_EXEC;
  }
  return prot;
}

bool isAligned(std::uint64_t value) { return value % kPage == 0; }

// The rep string instructions the machine may carry out at once: the REP
// prefix and the opcodes that follow it.
constexpr std::uint8_t kRep = 0xF3;
constexpr std::uint8_t kMovsb = 0xA4, kMovsl = 0xA5;
constexpr std::uint8_t kStosb = 0xAA, kStosl = 0xAB;
constexpr bool isString(std::uint8_t opcode) {
  return opcode == kMovsb || opcode == kMovsl || opcode == kStosb ||
         opcode == kStosl;
}
// The widest store an IA-32 instruction the module could use makes.
constexpr std::uint64_t kWidestStore = 16;

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

// An added Unicorn hook, deleted with its owner.
struct Machine::Hook {
  uc_engine *engine = nullptr;
  uc_hook handle = 0;
  ~Hook() { uc_hook_del(engine, handle); }
};

void Machine::EngineDeleter::operator()(uc_struct *engine) const {
  uc_close(engine);
}

// Forgets the port instruction's address once its hook is done.
struct PortInstruction {
  explicit PortInstruction(Machine &machine) : machine_(machine) {}
  ~PortInstruction() { machine_.portInstruction_ = 0; }
  Machine &machine_;
};

// The C callbacks Unicorn calls; each forwards to the machine and never lets
// an exception through.
struct HookEntry {
  static void code(uc_engine *, std::uint64_t address, std::uint32_t,
                   void *user) {
    auto *m = static_cast<Machine *>(user);
    m->guarded([&] {
      const auto found = m->thunks_.find(static_cast<std::uint32_t>(address));
      if (found == m->thunks_.end()) {
        m->fault("jump into the thunk page at " + hex(address, 8) +
                 ", which is no thunk");
      }
      const std::uint32_t esp = m->readReg(UC_X86_REG_ESP);
      const std::uint32_t ret = m->read32(esp);
      ThunkCall call(*m, esp, ret, m->trace_.now());
      const std::uint32_t eax = found->second.handler(call);
      m->writeReg(UC_X86_REG_EAX, eax);
      m->writeReg(UC_X86_REG_ESP, esp + 4);
      m->writeReg(UC_X86_REG_EIP, ret);
      return 0;
    });
  }
  // Before every instruction, once an agent asked for it (a debugger).
  static void everyInstruction(uc_engine *, std::uint64_t address,
                               std::uint32_t, void *user) {
    auto *m = static_cast<Machine *>(user);
    if (!m->running_) {
      return;
    }
    m->guarded([&] {
      m->toAgents([&](DebugAgent &agent) {
        if (agent.wantsInstructions()) {
          agent.instruction(static_cast<std::uint32_t>(address));
        }
      });
      return 0;
    });
  }
  // Keeps a call's instruction and time bounds, once per translated block.
  static void block(uc_engine *engine, std::uint64_t address,
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
    budget.executed += found->second.second;
    ++budget.blocks;
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
  static void msr(uc_engine *, std::uint64_t address, std::uint32_t,
                  void *user) {
    auto *m = static_cast<Machine *>(user);
    m->guarded([&] {
      const auto at = static_cast<std::uint32_t>(address);
      if (m->read(at, 1)[0] == 0xF4) {
        m->fault("unexpected instruction HLT: nothing would wake the "
                 "processor");
      }
      if (m->read(at, 2)[1] == 0x32) {
        m->rdmsr(at);
      } else {
        m->wrmsr(at);
      }
      m->writeReg(UC_X86_REG_EIP, at + 2);
      return 0;
    });
  }
  // Fires where an IN or OUT instruction starts: Unicorn does not bring EIP
  // up to date before its port hooks, so the address is kept for them.
  static void portSite(uc_engine *, std::uint64_t address, std::uint32_t,
                       void *user) {
    static_cast<Machine *>(user)->portInstruction_ =
        static_cast<std::uint32_t>(address);
  }
  static std::uint32_t portIn(uc_engine *, std::uint32_t port, int size,
                              void *user) {
    auto *m = static_cast<Machine *>(user);
    const PortInstruction done(*m);
    return m->guarded([&]() -> std::uint32_t {
      const auto p = static_cast<std::uint16_t>(port);
      for (const Machine::Port &range : m->ports_) {
        if (p >= range.first && p < range.first + range.count) {
          if (!range.read) {
            m->fault("read of port " + hex(p, 4) + " (" + *range.name +
                     "), which is write-only");
          }
          const std::uint32_t value =
              range.read(p, static_cast<unsigned>(size));
          m->trace_.add({.kind = TraceEvent::Kind::Port,
                         .size = static_cast<std::uint8_t>(size),
                         .instruction = m->instruction(),
                         .address = p,
                         .value = value,
                         .text = range.name});
          return value;
        }
      }
      m->fault("read of port " + hex(p, 4) + " (" + std::to_string(size * 8) +
               " bits), which the platform does not model");
    });
  }
  static void portOut(uc_engine *, std::uint32_t port, int size,
                      std::uint32_t value, void *user) {
    auto *m = static_cast<Machine *>(user);
    const PortInstruction done(*m);
    m->guarded([&] {
      const auto p = static_cast<std::uint16_t>(port);
      for (const Machine::Port &range : m->ports_) {
        if (p >= range.first && p < range.first + range.count) {
          if (!range.write) {
            m->fault("write of " + hex(value) + " to port " + hex(p, 4) + " (" +
                     *range.name + "), which is read-only");
          }
          m->trace_.add({.kind = TraceEvent::Kind::Port,
                         .write = true,
                         .size = static_cast<std::uint8_t>(size),
                         .instruction = m->instruction(),
                         .address = p,
                         .value = value,
                         .text = range.name});
          range.write(p, static_cast<unsigned>(size), value);
          return 0;
        }
      }
      m->fault("write of " + hex(value) + " to port " + hex(p, 4) + " (" +
               std::to_string(size * 8) +
               " bits), which the platform does not model");
    });
  }
  static void write(uc_engine *, uc_mem_type, std::uint64_t address, int size,
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
  // Every store while an agent watches them (a debugger's watchpoints).
  static void agentWrite(uc_engine *, uc_mem_type, std::uint64_t address,
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
  static void string(uc_engine *, std::uint64_t address, std::uint32_t,
                     void *user) {
    auto *m = static_cast<Machine *>(user);
    if (!m->running_ || !m->stringFastPath_) {
      return;
    }
    m->guarded(
        [&] { return m->runString(static_cast<std::uint32_t>(address)); });
  }
  static bool invalid(uc_engine *, uc_mem_type type, std::uint64_t address,
                      int size, std::int64_t value, void *user) {
    auto *m = static_cast<Machine *>(user);
    m->guarded([&] {
      std::string what;
      switch (type) {
      case UC_MEM_READ_UNMAPPED:
        what = "read of " + std::to_string(size) + " bytes at " +
               hex(address, 8) + ", where nothing is mapped";
        break;
      case UC_MEM_WRITE_UNMAPPED:
        what = "write of " + std::to_string(size) + " bytes (" +
               hex(static_cast<std::uint64_t>(value)) + ") at " +
               hex(address, 8) + ", where nothing is mapped";
        break;
      case UC_MEM_FETCH_UNMAPPED:
        what = "execution at " + hex(address, 8) + ", where nothing is mapped";
        break;
      default: {
        const Machine::Region *region = m->findRegion(address);
        const std::string name = region ? region->name : "?";
        const std::string rights =
            region ? " (" + rightsText(region->rights) + ")" : "";
        const std::string why = region && !region->protection.empty()
                                    ? ": " + region->protection
                                    : "";
        if (type == UC_MEM_WRITE_PROT) {
          what = "write of " + std::to_string(size) + " bytes (" +
                 hex(static_cast<std::uint64_t>(value)) + ") at " +
                 hex(address, 8) + " into " + name + rights +
                 ", which the guest may not write" + why;
        } else if (type == UC_MEM_READ_PROT) {
          what = "read of " + std::to_string(size) + " bytes at " +
                 hex(address, 8) + " in " + name + rights +
                 ", which the guest may not read" + why;
        } else {
          what = "execution at " + hex(address, 8) + " in " + name + rights +
                 ", which the guest may not execute" + why;
        }
      }
      }
      m->fault(what);
      return 0;
    });
    return false;
  }
  static void interrupt(uc_engine *, std::uint32_t vector, void *user) {
    auto *m = static_cast<Machine *>(user);
    m->guarded([&] {
      m->fault("unexpected processor exception or interrupt " +
               std::to_string(vector) + " (" + exceptionName(vector) + ")");
      return 0;
    });
  }
  static bool invalidInstruction(uc_engine *, void *user) {
    auto *m = static_cast<Machine *>(user);
    m->guarded([&] {
      m->fault("unexpected instruction (not valid for this processor)");
      return 0;
    });
    return false;
  }
  static std::uint64_t mmioRead(uc_engine *, std::uint64_t offset,
                                unsigned size, void *user) {
    auto *region = static_cast<Machine::Region *>(user);
    return region->owner->guarded(
        [&]() -> std::uint64_t { return region->read(offset, size); });
  }
  static void mmioWrite(uc_engine *, std::uint64_t offset, unsigned size,
                        std::uint64_t value, void *user) {
    auto *region = static_cast<Machine::Region *>(user);
    region->owner->guarded([&] {
      region->write(offset, size, value);
      return 0;
    });
  }
};

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

Machine::Machine() {
  uc_engine *engine = nullptr;
  check(uc_open(UC_ARCH_X86, UC_MODE_32, &engine), "cannot open Unicorn");
  engine_.reset(engine);
  setUpProcessor();
}

Machine::~Machine() = default;

void Machine::setUpProcessor() {
  mapMemory(kSystemBase, kPage, "system tables", kRead);
  mapMemory(kThunkBase, kThunkSize, "thunks", kReadExecute);
  // Anything in the thunk page that is no thunk is an invalid instruction.
  std::vector<std::uint8_t> fill(kThunkSize);
  for (std::size_t i = 0; i < fill.size(); i += 2) {
    fill[i] = 0x0F;
    fill[i + 1] = 0x0B; // UD2
  }
  write(kThunkBase, fill);

  // Flat 4 GiB code and data segments, CPL 0. The accessed bits are set
  // already: the processor would otherwise write them into the GDT, which
  // lies in memory the guest may only read.
  const std::uint8_t gdt[] = {0,    0,    0, 0, 0, 0,    0,    0,
                              0xFF, 0xFF, 0, 0, 0, 0x9B, 0xCF, 0,
                              0xFF, 0xFF, 0, 0, 0, 0x93, 0xCF, 0};
  write(kGdtAddress, gdt);
  uc_x86_mmr gdtr{0, kGdtAddress, sizeof(gdt) - 1, 0};
  check(uc_reg_write(engine_.get(), UC_X86_REG_GDTR, &gdtr), "GDTR");
  setIdtBase(idtBase_);
  std::uint32_t cr0 = 0;
  check(uc_reg_read(engine_.get(), UC_X86_REG_CR0, &cr0), "CR0");
  cr0 |= 1; // protected mode
  check(uc_reg_write(engine_.get(), UC_X86_REG_CR0, &cr0), "CR0");
  writeReg(UC_X86_REG_CS, kCodeSelector);
  for (int segment : {UC_X86_REG_SS, UC_X86_REG_DS, UC_X86_REG_ES,
                      UC_X86_REG_FS, UC_X86_REG_GS}) {
    writeReg(segment, kDataSelector);
  }

  auto add = [&](int type, void *callback, std::uint64_t begin,
                 std::uint64_t end, int extra = -1) {
    auto hook = std::make_unique<Hook>();
    hook->engine = engine_.get();
    const uc_err error = extra < 0
                             ? uc_hook_add(engine_.get(), &hook->handle, type,
                                           callback, this, begin, end)
                             : uc_hook_add(engine_.get(), &hook->handle, type,
                                           callback, this, begin, end, extra);
    check(error, "cannot add hook");
    hooks_.push_back(std::move(hook));
  };
  add(UC_HOOK_CODE, reinterpret_cast<void *>(&HookEntry::code), kThunkBase,
      kThunkBase + kThunkSize - 1);
  add(UC_HOOK_BLOCK, reinterpret_cast<void *>(&HookEntry::block), 1, 0);
  add(UC_HOOK_INSN, reinterpret_cast<void *>(&HookEntry::portIn), 1, 0,
      UC_X86_INS_IN);
  add(UC_HOOK_INSN, reinterpret_cast<void *>(&HookEntry::portOut), 1, 0,
      UC_X86_INS_OUT);
  add(UC_HOOK_MEM_INVALID, reinterpret_cast<void *>(&HookEntry::invalid), 1, 0);
  add(UC_HOOK_INTR, reinterpret_cast<void *>(&HookEntry::interrupt), 1, 0);
  add(UC_HOOK_INSN_INVALID,
      reinterpret_cast<void *>(&HookEntry::invalidInstruction), 1, 0);

  setQuietStores({});

  // The FS window's trap page: FS points here while the guest reaches a
  // physical address the processor cannot form in 32-bit mode.
  mapMmio(
      kFsWindowTrap, kFsWindowTrapSize, "FS window",
      [this](std::uint64_t offset, unsigned size) {
        return fsTrapRead(offset, size);
      },
      [this](std::uint64_t offset, unsigned size, std::uint64_t value) {
        fsTrapWrite(offset, size, value);
      });
}

void Machine::writeReg(int reg, std::uint32_t value) {
  check(uc_reg_write(engine_.get(), reg, &value), "register write");
}

std::uint32_t Machine::readReg(int reg) const {
  std::uint32_t value = 0;
  check(uc_reg_read(engine_.get(), reg, &value), "register read");
  return value;
}

// --- memory ---------------------------------------------------------------

Machine::Region &Machine::addRegion(Region region) {
  for (const auto &other : regions_) {
    if (region.base < other->base + other->size &&
        other->base < region.base + region.size) {
      throw MachineError("region " + region.name + " at " +
                         hex(region.base, 8) + " overlaps " + other->name +
                         " at " + hex(other->base, 8));
    }
  }
  region.owner = this;
  regions_.push_back(std::make_unique<Region>(std::move(region)));
  return *regions_.back();
}

void Machine::mapMemory(std::uint32_t base, std::uint32_t size,
                        std::string name, std::uint32_t rights) {
  if (!isAligned(base) || !isAligned(size) || size == 0) {
    throw MachineError(name + ": memory must be whole pages, got " +
                       hex(base, 8) + " + " + hex(size));
  }
  addRegion({base, size, name, rights, {}, false, {}, {}, nullptr});
  check(uc_mem_map(engine_.get(), base, size, ucRights(rights)),
        "cannot map " + name);
}

void Machine::mapMmio(std::uint32_t base, std::uint32_t size, std::string name,
                      MmioRead read, MmioWrite write) {
  if (!isAligned(base) || !isAligned(size) || size == 0) {
    throw MachineError(name + ": registers must span whole pages, got " +
                       hex(base, 8) + " + " + hex(size));
  }
  Region &region = addRegion({base,
                              size,
                              name,
                              kReadWrite,
                              {},
                              true,
                              std::move(read),
                              std::move(write),
                              nullptr});
  check(uc_mmio_map(engine_.get(), base, size, &HookEntry::mmioRead, &region,
                    &HookEntry::mmioWrite, &region),
        "cannot map " + name);
}

void Machine::mapHighMmio(std::uint64_t base, std::uint64_t size,
                          std::string name, MmioRead read, MmioWrite write) {
  if (base < k4GiB) {
    throw MachineError(name + ": high registers must lie above 4 GiB, got " +
                       hex(base, 8));
  }
  addRegion({base,
             size,
             std::move(name),
             kReadWrite,
             {},
             true,
             std::move(read),
             std::move(write),
             nullptr});
}

void Machine::unmap(std::uint32_t base) {
  const auto found =
      std::find_if(regions_.begin(), regions_.end(),
                   [&](const auto &region) { return region->base == base; });
  if (found == regions_.end()) {
    throw MachineError("nothing mapped at " + hex(base, 8));
  }
  if ((*found)->base < k4GiB) {
    check(uc_mem_unmap(engine_.get(), (*found)->base, (*found)->size),
          "cannot unmap " + (*found)->name);
  }
  regions_.erase(found);
}

void Machine::protect(std::uint32_t base, std::uint32_t rights,
                      std::string reason) {
  Region *region = findRegion(base);
  if (region == nullptr || region->base != base || region->mmio) {
    throw MachineError("no memory region starts at " + hex(base, 8));
  }
  check(uc_mem_protect(engine_.get(), base, region->size, ucRights(rights)),
        "cannot protect " + region->name);
  region->rights = rights;
  region->protection = std::move(reason);
}

const Machine::Region *Machine::findRegion(std::uint64_t address) const {
  for (const auto &region : regions_) {
    if (address >= region->base && address - region->base < region->size) {
      return region.get();
    }
  }
  return nullptr;
}

Machine::Region *Machine::findRegion(std::uint64_t address) {
  return const_cast<Region *>(std::as_const(*this).findRegion(address));
}

std::string Machine::regionName(std::uint64_t address) const {
  const Region *region = findRegion(address);
  return region ? region->name : std::string();
}

std::vector<std::uint8_t> Machine::read(std::uint32_t address,
                                        std::size_t size) const {
  std::vector<std::uint8_t> bytes(size);
  check(uc_mem_read(engine_.get(), address, bytes.data(), size),
        "host read of " + std::to_string(size) + " bytes at " +
            hex(address, 8));
  return bytes;
}

void Machine::write(std::uint32_t address,
                    std::span<const std::uint8_t> bytes) {
  check(uc_mem_write(engine_.get(), address, bytes.data(), bytes.size()),
        "host write of " + std::to_string(bytes.size()) + " bytes at " +
            hex(address, 8));
}

std::uint32_t Machine::read32(std::uint32_t address) const {
  const auto bytes = read(address, 4);
  return static_cast<std::uint32_t>(bytes[0]) | bytes[1] << 8 | bytes[2] << 16 |
         static_cast<std::uint32_t>(bytes[3]) << 24;
}

void Machine::write32(std::uint32_t address, std::uint32_t value) {
  const std::uint8_t bytes[] = {static_cast<std::uint8_t>(value),
                                static_cast<std::uint8_t>(value >> 8),
                                static_cast<std::uint8_t>(value >> 16),
                                static_cast<std::uint8_t>(value >> 24)};
  write(address, bytes);
}

void Machine::checkGuestAccess(std::uint32_t address, std::size_t size,
                               std::uint32_t right,
                               const std::string &what) const {
  const char *verb = right == kWrite ? "write" : "read";
  std::uint64_t at = address;
  const std::uint64_t end = static_cast<std::uint64_t>(address) + size;
  while (at < end) {
    const Region *region = findRegion(at);
    if (region == nullptr) {
      fault(std::string(verb) + " of " + what + " at " + hex(address, 8) +
            " (" + std::to_string(size) + " bytes): nothing is mapped at " +
            hex(at, 8));
    }
    if (region->mmio || (region->rights & right) == 0) {
      fault(std::string(verb) + " of " + what + " at " + hex(address, 8) +
            " (" + std::to_string(size) + " bytes) in " + region->name +
            ", which the guest may not " + verb +
            (region->protection.empty() ? "" : ": " + region->protection));
    }
    at = region->base + region->size;
  }
}

std::vector<std::uint8_t> Machine::guestRead(std::uint32_t address,
                                             std::size_t size,
                                             const std::string &what) const {
  checkGuestAccess(address, size, kRead, what);
  return read(address, size);
}

std::uint32_t Machine::guestRead32(std::uint32_t address,
                                   const std::string &what) const {
  checkGuestAccess(address, 4, kRead, what);
  return read32(address);
}

void Machine::guestWrite(std::uint32_t address,
                         std::span<const std::uint8_t> bytes,
                         const std::string &what) {
  checkGuestAccess(address, bytes.size(), kWrite, what);
  write(address, bytes);
}

void Machine::guestWrite32(std::uint32_t address, std::uint32_t value,
                           const std::string &what) {
  checkGuestAccess(address, 4, kWrite, what);
  write32(address, value);
}

std::uint64_t Machine::physicalRead(std::uint64_t address, unsigned size) {
  const Region *region = findRegion(address);
  if (region == nullptr) {
    fault("read of " + std::to_string(size) + " bytes at physical address " +
          hex(address, 8) + ", where nothing is mapped");
  }
  if (region->mmio) {
    return region->read(address - region->base, size);
  }
  const auto bytes =
      guestRead(static_cast<std::uint32_t>(address), size, "memory");
  std::uint64_t value = 0;
  for (unsigned i = size; i-- > 0;) {
    value = value << 8 | bytes[i];
  }
  return value;
}

void Machine::physicalWrite(std::uint64_t address, unsigned size,
                            std::uint64_t value) {
  Region *region = findRegion(address);
  if (region == nullptr) {
    fault("write of " + std::to_string(size) + " bytes (" + hex(value) +
          ") at physical address " + hex(address, 8) +
          ", where nothing is mapped");
  }
  if (region->mmio) {
    region->write(address - region->base, size, value);
    return;
  }
  std::vector<std::uint8_t> bytes(size);
  for (unsigned i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  guestWrite(static_cast<std::uint32_t>(address), bytes, "memory");
}

// --- FS window --------------------------------------------------------------

// The physical address an access at offset of the FS segment reaches. The
// processor wraps linear addresses at 4 GiB unless the hardware configuration
// register says otherwise.
std::uint64_t Machine::storeTarget(std::uint64_t address) const {
  const bool trapped = fsWindowActive_ && address >= kFsWindowTrap &&
                       address < kFsWindowTrap + kFsWindowTrapSize;
  return trapped ? fsTarget(address - kFsWindowTrap) : address;
}

std::uint64_t Machine::fsTarget(std::uint64_t offset) const {
  const std::uint64_t target = fsBaseMsr_ + offset;
  return (wrapControl_ & kNoWrapAt4G) ? target : target % k4GiB;
}

std::uint64_t Machine::fsTrapRead(std::uint64_t offset, unsigned size) {
  if (!fsWindowActive_ || registers().fsBase != kFsWindowTrap) {
    fault("read of " + hex(kFsWindowTrap + offset, 8) +
          ", the FS window page, other than through FS");
  }
  const std::uint64_t target = fsTarget(offset);
  const std::uint64_t value = physicalRead(target, size);
  trace_.add({.kind = TraceEvent::Kind::Memory,
              .size = static_cast<std::uint8_t>(size),
              .instruction = instruction(),
              .address = target,
              .value = value,
              .name = "through FS"});
  return value;
}

void Machine::fsTrapWrite(std::uint64_t offset, unsigned size,
                          std::uint64_t value) {
  if (!fsWindowActive_ || registers().fsBase != kFsWindowTrap) {
    fault("write of " + hex(kFsWindowTrap + offset, 8) +
          ", the FS window page, other than through FS");
  }
  const std::uint64_t target = fsTarget(offset);
  trace_.add({.kind = TraceEvent::Kind::Memory,
              .write = true,
              .size = static_cast<std::uint8_t>(size),
              .instruction = instruction(),
              .address = target,
              .value = value,
              .name = "through FS"});
  physicalWrite(target, size, value);
}

// --- observing stores -------------------------------------------------------

void Machine::setQuietStores(std::vector<AddressRange> ranges) {
  std::sort(ranges.begin(), ranges.end());
  if (ranges == quiet_ && !writeHooks_.empty()) {
    return;
  }
  quiet_ = std::move(ranges);
  writeHooks_.clear();
  // Unicorn tests a write hook's range against the address of a store only:
  // a store that starts in the last bytes of a quiet range and runs past it
  // must still reach a hook, so the hooks reach that far into the range.
  std::uint64_t from = 0;
  auto watch = [&](std::uint64_t begin, std::uint64_t end) { // [begin, end]
    auto hook = std::make_unique<Hook>();
    hook->engine = engine_.get();
    check(uc_hook_add(engine_.get(), &hook->handle, UC_HOOK_MEM_WRITE,
                      reinterpret_cast<void *>(&HookEntry::write), this, begin,
                      end),
          "cannot add a write hook");
    writeHooks_.push_back(std::move(hook));
  };
  for (const AddressRange &range : quiet_) {
    if (range.size < kWidestStore || range.base < from) {
      continue; // too small to leave anything out, or overlapping
    }
    const std::uint64_t quietEnd = range.base + range.size - kWidestStore + 1;
    if (range.base > from) {
      watch(from, range.base - 1);
    }
    from = quietEnd;
  }
  if (from == 0) {
    watch(1, 0); // every address: Unicorn's notation for no bounds
  } else if (from < k4GiB) {
    watch(from, k4GiB - 1);
  }
}

void Machine::recordStore(const MemoryWrite &store) {
  for (const AddressRange &range : quiet_) {
    if (store.address >= range.base &&
        store.address + store.size <= range.base + range.size) {
      return;
    }
  }
  // A store identical to one of the last few kept (same instruction, place,
  // size and value) tells a check nothing new; without this a polling loop
  // would keep millions of copies of its call's return address.
  auto &writes = lastCall_.writes;
  const std::size_t recent = std::min<std::size_t>(writes.size(), 8);
  for (std::size_t i = writes.size() - recent; i < writes.size(); ++i) {
    const MemoryWrite &kept = writes[i];
    if (kept.instruction == store.instruction &&
        kept.address == store.address && kept.size == store.size &&
        kept.value == store.value && kept.element == store.element) {
      return;
    }
  }
  writes.push_back(store);
}

// --- string instructions ----------------------------------------------------

bool Machine::plainRam(std::uint64_t address, std::uint64_t size,
                       std::uint32_t right) const {
  const Region *region = findRegion(address);
  return region != nullptr && !region->mmio && (region->rights & right) &&
         !(region->rights & kExecute) &&
         address + size <= region->base + region->size;
}

bool Machine::runString(std::uint32_t at) {
  std::uint8_t opcode = 0;
  check(uc_mem_read(engine_.get(), at + 1, &opcode, 1), "string opcode");
  const std::uint32_t count = readReg(UC_X86_REG_ECX);
  // Segments other than the flat data segment, or nothing to do: the
  // emulator's own way is as fast and exact.
  if (count == 0 || readReg(UC_X86_REG_ES) != kDataSelector ||
      readReg(UC_X86_REG_DS) != kDataSelector) {
    return false;
  }
  const bool move = opcode == kMovsb || opcode == kMovsl;
  const unsigned width = (opcode == kMovsl || opcode == kStosl) ? 4 : 1;
  const bool backward = (readReg(UC_X86_REG_EFLAGS) & 0x400) != 0;
  const std::uint64_t bytes = std::uint64_t{count} * width;
  // The lowest byte each range covers; a range that wraps around 4 GiB is
  // left to the emulator.
  auto lowest = [&](std::uint32_t start) -> std::optional<std::uint64_t> {
    const std::uint64_t low =
        backward ? std::uint64_t{start} + width - bytes : start;
    if (backward ? std::uint64_t{start} + width < bytes : low + bytes > k4GiB) {
      return std::nullopt;
    }
    return low;
  };
  const std::uint32_t edi = readReg(UC_X86_REG_EDI);
  const std::uint32_t esi = readReg(UC_X86_REG_ESI);
  const auto to = lowest(edi);
  const auto from = move ? lowest(esi) : std::optional<std::uint64_t>(0);
  if (!to || !from || !plainRam(*to, bytes, kWrite) ||
      (move && !plainRam(*from, bytes, kRead))) {
    return false;
  }

  // The destination's new bytes, in a buffer kept from one string to the
  // next.
  std::vector<std::uint8_t> &destination = stringBuffer_;
  destination.resize(bytes);
  std::uint64_t value = 0;
  if (move && std::max(*to, *from) - std::min(*to, *from) >= bytes) {
    check(uc_mem_read(engine_.get(), *from, destination.data(), bytes),
          "string source");
  } else if (move) {
    // Overlapping ranges: element by element, in the instruction's order,
    // over a host copy of both, so that they end exactly as the processor
    // leaves them.
    const std::uint64_t low = std::min(*to, *from);
    const std::uint64_t high = std::max(*to, *from) + bytes;
    std::vector<std::uint8_t> span(high - low);
    check(uc_mem_read(engine_.get(), low, span.data(), span.size()),
          "string source");
    std::uint8_t *dst = span.data() + (*to - low);
    const std::uint8_t *src = span.data() + (*from - low);
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t offset = (backward ? count - 1 - i : i) * width;
      std::memmove(dst + offset, src + offset, width);
    }
    std::memcpy(destination.data(), dst, bytes);
  } else {
    const std::uint32_t eax = readReg(UC_X86_REG_EAX);
    value = width == 4 ? eax : eax & 0xFF;
    if (width == 1) {
      std::memset(destination.data(), static_cast<int>(value), bytes);
    } else {
      const std::uint8_t element[] = {static_cast<std::uint8_t>(eax),
                                      static_cast<std::uint8_t>(eax >> 8),
                                      static_cast<std::uint8_t>(eax >> 16),
                                      static_cast<std::uint8_t>(eax >> 24)};
      for (std::uint64_t i = 0; i < bytes; i += width) {
        std::memcpy(destination.data() + i, element, width);
      }
    }
  }
  check(uc_mem_write(engine_.get(), *to, destination.data(), bytes),
        "string destination");

  recordStore({.instruction = at,
               .address = *to,
               .size = static_cast<unsigned>(bytes),
               .value = value,
               .element = width,
               .backward = backward});
  trace_.add({.kind = TraceEvent::Kind::String,
              .write = true,
              .size = static_cast<std::uint8_t>(width),
              .flags = static_cast<std::uint8_t>(
                  (move ? TraceEvent::kMove : 0) |
                  (backward ? TraceEvent::kBackward : 0)),
              .instruction = at,
              .address = *to,
              .value = count,
              .source = move ? *from : 0});
  const auto step = static_cast<std::uint32_t>(bytes);
  writeReg(UC_X86_REG_ECX, 0);
  writeReg(UC_X86_REG_EDI, backward ? edi - step : edi + step);
  if (move) {
    writeReg(UC_X86_REG_ESI, backward ? esi - step : esi + step);
  }
  writeReg(UC_X86_REG_EIP, at + 2);
  return true;
}

// --- ports and MSRs ---------------------------------------------------------

void Machine::mapPorts(std::uint16_t first, std::uint16_t count,
                       std::string name, PortRead read, PortWrite write) {
  for (const Port &other : ports_) {
    if (first < other.first + other.count && other.first < first + count) {
      throw MachineError("ports of " + name + " overlap those of " +
                         *other.name);
    }
  }
  ports_.push_back({first, count,
                    std::make_shared<const std::string>(std::move(name)),
                    std::move(read), std::move(write)});
}

void Machine::mapMsr(std::uint32_t index, std::string name, MsrRead read,
                     MsrWrite write) {
  if (index == kMsrFsBase || index == kMsrWrapControl) {
    throw MachineError("MSR " + hex(index, 8) + " belongs to the processor");
  }
  msrs_[index] = {std::make_shared<const std::string>(std::move(name)),
                  std::move(read), std::move(write)};
}

void Machine::trapInstructions(std::uint32_t base,
                               std::span<const std::uint8_t> code) {
  auto isPort = [](std::uint8_t byte) {
    return (byte >= 0xE4 && byte <= 0xE7) || (byte >= 0xEC && byte <= 0xEF);
  };
  for (std::size_t i = 0; i < code.size(); ++i) {
    const bool next = i + 1 < code.size();
    const bool msr =
        next && code[i] == 0x0F && (code[i + 1] == 0x32 || code[i + 1] == 0x30);
    const bool port =
        isPort(code[i]) || (next && code[i] == 0x66 && isPort(code[i + 1]));
    const bool string = next && code[i] == kRep && isString(code[i + 1]);
    if (!msr && !port && !string && code[i] != 0xF4) {
      continue;
    }
    const auto at = static_cast<std::uint32_t>(base + i);
    if (sites_.contains(at)) {
      continue;
    }
    // A hook whose range is one address fires only when an instruction
    // starts exactly there: a byte pair inside another instruction never
    // triggers it.
    auto hook = std::make_unique<Hook>();
    hook->engine = engine_.get();
    void *callback = port     ? reinterpret_cast<void *>(&HookEntry::portSite)
                     : string ? reinterpret_cast<void *>(&HookEntry::string)
                              : reinterpret_cast<void *>(&HookEntry::msr);
    check(uc_hook_add(engine_.get(), &hook->handle, UC_HOOK_CODE, callback,
                      this, at, at),
          "cannot hook an instruction");
    sites_[at] = hook.get();
    hooks_.push_back(std::move(hook));
  }
}

void Machine::untrapInstructions(std::uint32_t base, std::uint32_t size) {
  auto site = sites_.lower_bound(base);
  while (site != sites_.end() && site->first - base < size) {
    Hook *hook = site->second;
    std::erase_if(hooks_,
                  [hook](const auto &owned) { return owned.get() == hook; });
    site = sites_.erase(site);
  }
}

namespace {
// The names of the MSRs the processor itself owns, as the trace gives them.
constexpr const char *kFsBaseName = "FS base";
constexpr const char *kWrapControlName = "hardware configuration";
} // namespace

void Machine::traceMsr(std::uint32_t at, bool write, std::uint32_t index,
                       std::uint64_t value, const char *name,
                       std::shared_ptr<const std::string> text) {
  trace_.add({.kind = TraceEvent::Kind::Msr,
              .write = write,
              .size = 8,
              .instruction = at,
              .address = index,
              .value = value,
              .name = name,
              .text = std::move(text)});
}

void Machine::rdmsr(std::uint32_t at) {
  const std::uint32_t index = readReg(UC_X86_REG_ECX);
  std::uint64_t value = 0;
  if (index == kMsrFsBase) {
    value = fsWindowActive_ && registers().fsBase == kFsWindowTrap
                ? fsBaseMsr_
                : registers().fsBase;
    traceMsr(at, false, index, value, kFsBaseName);
  } else if (index == kMsrWrapControl) {
    value = wrapControl_;
    traceMsr(at, false, index, value, kWrapControlName);
  } else {
    const auto found = msrs_.find(index);
    if (found == msrs_.end()) {
      fault("rdmsr of MSR " + hex(index, 8) +
            ", which the platform does not model");
    }
    value = found->second.read();
    traceMsr(at, false, index, value, nullptr, found->second.name);
  }
  writeReg(UC_X86_REG_EAX, static_cast<std::uint32_t>(value));
  writeReg(UC_X86_REG_EDX, static_cast<std::uint32_t>(value >> 32));
}

void Machine::wrmsr(std::uint32_t at) {
  const std::uint32_t index = readReg(UC_X86_REG_ECX);
  const std::uint64_t value =
      static_cast<std::uint64_t>(readReg(UC_X86_REG_EDX)) << 32 |
      readReg(UC_X86_REG_EAX);
  if (index == kMsrFsBase) {
    traceMsr(at, true, index, value, kFsBaseName);
    // Below 4 GiB the processor uses the base as it is. Above, the machine
    // keeps the 64-bit base and points FS at the trap page, whose accesses
    // it forwards to the physical address (wrapped or not, by the wrap-control
    // MSR).
    fsBaseMsr_ = value;
    fsWindowActive_ = value >= k4GiB;
    uc_x86_msr msr{kMsrFsBase, fsWindowActive_ ? kFsWindowTrap : value};
    check(uc_reg_write(engine_.get(), UC_X86_REG_MSR, &msr), "FS base");
    return;
  }
  if (index == kMsrWrapControl) {
    traceMsr(at, true, index, value, kWrapControlName);
    wrapControl_ = value;
    return;
  }
  const auto found = msrs_.find(index);
  if (found == msrs_.end()) {
    fault("wrmsr of " + hex(value, 16) + " to MSR " + hex(index, 8) +
          ", which the platform does not model");
  }
  if (!found->second.write) {
    fault("wrmsr of " + hex(value, 16) + " to MSR " + hex(index, 8) + " (" +
          *found->second.name + "), which is read-only");
  }
  traceMsr(at, true, index, value, nullptr, found->second.name);
  found->second.write(value);
}

// --- calls ------------------------------------------------------------------

std::uint32_t ThunkCall::argument(unsigned n) const {
  return machine_.guestRead32(stack_ + 4 + 4 * n,
                              "argument " + std::to_string(n + 1));
}

std::uint32_t Machine::addThunk(std::string name, ThunkHandler handler) {
  if (nextThunk_ + 4 > kThunkBase + kThunkSize) {
    throw MachineError("no room for another thunk");
  }
  const std::uint32_t address = nextThunk_;
  nextThunk_ += 4;
  thunks_[address] = {std::move(name), std::move(handler)};
  return address;
}

void Machine::setIdtBase(std::uint32_t base) {
  idtBase_ = base;
  uc_x86_mmr idtr{0, base, kIdtLimit, 0};
  check(uc_reg_write(engine_.get(), UC_X86_REG_IDTR, &idtr), "IDTR");
}

Registers Machine::registers() const {
  Registers r;
  r.eax = readReg(UC_X86_REG_EAX);
  r.ebx = readReg(UC_X86_REG_EBX);
  r.ecx = readReg(UC_X86_REG_ECX);
  r.edx = readReg(UC_X86_REG_EDX);
  r.esi = readReg(UC_X86_REG_ESI);
  r.edi = readReg(UC_X86_REG_EDI);
  r.ebp = readReg(UC_X86_REG_EBP);
  r.esp = readReg(UC_X86_REG_ESP);
  r.eip = readReg(UC_X86_REG_EIP);
  r.eflags = readReg(UC_X86_REG_EFLAGS);
  r.fs = static_cast<std::uint16_t>(readReg(UC_X86_REG_FS));
  uc_x86_msr msr{kMsrFsBase, 0};
  check(uc_reg_read(engine_.get(), UC_X86_REG_MSR, &msr), "FS base");
  r.fsBase = msr.value;
  return r;
}

std::uint32_t Machine::instruction() const {
  return portInstruction_ != 0 ? portInstruction_ : readReg(UC_X86_REG_EIP);
}

void Machine::fault(const std::string &what) const {
  throw GuestFault(where(instruction()) + ": " + what);
}

std::string Machine::where(std::uint32_t address) const {
  std::string text = "guest at " + hex(address, 8);
  if (const Region *region = findRegion(address)) {
    text += " (" + region->name + " +" + hex(address - region->base) + ")";
  }
  return text;
}

template <typename F> void Machine::toAgents(F &&each) {
  const auto started = std::chrono::steady_clock::now();
  for (DebugAgent *agent : agents_) {
    each(*agent);
  }
  budget_.started += std::chrono::steady_clock::now() - started;
}

void Machine::addAgent(DebugAgent *agent) {
  agents_.push_back(agent);
  if (agent->wantsInstructions() && !everyInstruction_) {
    // A debugger sees every instruction and every store; string
    // instructions then run an element at a time, as on the processor, so
    // that a watchpoint or a single step inside one stops where it should.
    for (auto [type, callback] :
         {std::pair{UC_HOOK_CODE,
                    reinterpret_cast<void *>(&HookEntry::everyInstruction)},
          std::pair{UC_HOOK_MEM_WRITE,
                    reinterpret_cast<void *>(&HookEntry::agentWrite)}}) {
      auto hook = std::make_unique<Hook>();
      hook->engine = engine_.get();
      check(
          uc_hook_add(engine_.get(), &hook->handle, type, callback, this, 1, 0),
          "cannot add a debugger's hook");
      hooks_.push_back(std::move(hook));
    }
    stringFastPath_ = false;
    everyInstruction_ = true;
  }
}

void Machine::removeAgent(DebugAgent *agent) { std::erase(agents_, agent); }

void Machine::announceImage(const std::string &name, std::uint32_t linkBase,
                            std::uint32_t base, std::uint32_t size) {
  toAgents([&](DebugAgent &agent) {
    agent.imageMapped(name, linkBase, base, size);
  });
}

void Machine::announceRetired(std::uint32_t base) {
  toAgents([&](DebugAgent &agent) { agent.imageRetired(base); });
}

namespace {
constexpr int kDebugRegisterIds[Machine::kDebugRegisters] = {
    UC_X86_REG_EAX, UC_X86_REG_ECX,    UC_X86_REG_EDX, UC_X86_REG_EBX,
    UC_X86_REG_ESP, UC_X86_REG_EBP,    UC_X86_REG_ESI, UC_X86_REG_EDI,
    UC_X86_REG_EIP, UC_X86_REG_EFLAGS, UC_X86_REG_CS,  UC_X86_REG_SS,
    UC_X86_REG_DS,  UC_X86_REG_ES,     UC_X86_REG_FS,  UC_X86_REG_GS};
} // namespace

std::uint32_t Machine::debugRegister(unsigned n) const {
  return n < kDebugRegisters ? readReg(kDebugRegisterIds[n]) : 0;
}

void Machine::setDebugRegister(unsigned n, std::uint32_t value) {
  // Segment registers stay as the platform set them: the flat segments are
  // part of the machine, not of what a debugger may change.
  if (n <= kDebugEflags) {
    writeReg(kDebugRegisterIds[n], value);
  }
}

std::optional<std::vector<std::uint8_t>>
Machine::debugRead(std::uint32_t address, std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size;) {
    const std::uint64_t at = std::uint64_t{address} + i;
    const Region *region = findRegion(at);
    if (region == nullptr) {
      return std::nullopt;
    }
    const std::size_t chunk = static_cast<std::size_t>(
        std::min<std::uint64_t>(size - i, region->base + region->size - at));
    if (region->mmio) {
      // One byte at a time would be refused by models with 32-bit
      // registers; whole aligned words are what the guest reads.
      for (std::size_t j = 0; j < chunk; ++j) {
        const std::uint64_t word = (at + j) & ~std::uint64_t{3};
        std::uint64_t value = 0;
        try {
          value = region->read(word - region->base, 4);
        } catch (const std::exception &) {
          return std::nullopt; // the model refuses the access
        }
        bytes[i + j] = static_cast<std::uint8_t>(value >> (8 * ((at + j) & 3)));
      }
    } else if (uc_mem_read(engine_.get(), at, bytes.data() + i, chunk) !=
               UC_ERR_OK) {
      return std::nullopt;
    }
    i += chunk;
  }
  return bytes;
}

bool Machine::debugWrite(std::uint32_t address,
                         std::span<const std::uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const Region *region = findRegion(std::uint64_t{address} + i);
    if (region == nullptr || region->mmio) {
      return false;
    }
  }
  return uc_mem_write(engine_.get(), address, bytes.data(), bytes.size()) ==
         UC_ERR_OK;
}

void Machine::addObserver(CallObserver *observer) {
  observers_.push_back(observer);
}

void Machine::removeObserver(CallObserver *observer) {
  std::erase(observers_, observer);
}

std::string Machine::describeStop(int error, std::uint32_t eip) const {
  const std::string at = where(eip);
  std::string bytes;
  if (findRegion(eip) != nullptr && !findRegion(eip)->mmio) {
    std::uint8_t code[8] = {};
    if (uc_mem_read(engine_.get(), eip, code, sizeof(code)) == UC_ERR_OK) {
      for (std::uint8_t byte : code) {
        bytes += " " + hex(byte, 2).substr(2);
      }
    }
  }
  switch (error) {
  case UC_ERR_INSN_INVALID:
    return at + ": unexpected instruction (bytes" + bytes + ")";
  case UC_ERR_EXCEPTION:
    return at + ": unhandled processor exception (bytes" + bytes + ")";
  default:
    return at +
           ": the emulator stopped: " + uc_strerror(static_cast<uc_err>(error));
  }
}

std::uint32_t Machine::call(const std::string &name, std::uint32_t address,
                            std::span<const std::uint32_t> arguments) {
  if (running_) {
    throw MachineError("guest call to " + name + " while " + lastCall_.name +
                       " runs: guest calls cannot nest");
  }
  if (stackTop_ == 0) {
    throw MachineError("guest call to " + name + " before a stack was set");
  }
  std::uint32_t esp = stackTop_;
  for (std::size_t i = arguments.size(); i-- > 0;) {
    esp -= 4;
    write32(esp, arguments[i]);
  }
  const std::uint32_t argumentsAt = esp;
  esp -= 4;
  write32(esp, kSentinel);
  writeReg(UC_X86_REG_ESP, esp);
  writeReg(UC_X86_REG_EBX, kEbxCanary);
  writeReg(UC_X86_REG_ESI, kEsiCanary);
  writeReg(UC_X86_REG_EDI, kEdiCanary);
  writeReg(UC_X86_REG_EBP, kEbpCanary);
  writeReg(UC_X86_REG_EFLAGS, kEflagsReset);
  writeReg(UC_X86_REG_EIP, address);

  // The record's buffers are kept from call to call.
  std::vector<MemoryWrite> writes = std::move(lastCall_.writes);
  writes.clear();
  lastCall_ = CallRecord{};
  lastCall_.writes = std::move(writes);
  lastCall_.name = name;
  lastCall_.address = address;
  lastCall_.arguments.assign(arguments.begin(), arguments.end());
  lastCall_.argumentsAt = argumentsAt;
  lastCall_.before = registers();
  for (CallObserver *observer : observers_) {
    observer->beforeCall(lastCall_);
  }

  // The call's text is made only when the trace keeps it.
  if (trace_.keeping()) {
    std::string text = name + " at " + hex(address, 8) + "(";
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      text += (i == 0 ? "" : ", ") + hex(arguments[i], 8);
    }
    trace_.add({.kind = TraceEvent::Kind::Call,
                .address = address,
                .text = std::make_shared<const std::string>(text + ")")});
  } else {
    trace_.drop();
  }
  pendingFault_.reset();
  running_ = true;
  // The bounds are kept by a hook on every translated block: it counts the
  // instructions of each block and looks at the clock now and then.
  // (Unicorn's own count and timeout are not used: counting makes every
  // instruction call into the hooks, and in 2.0.1 the timeout is late by
  // seconds and leaves the next run's count unenforced.)
  portInstruction_ = 0;
  budget_.started = std::chrono::steady_clock::now();
  budget_.executed = 0;
  budget_.blocks = 0;
  const uc_err error = uc_emu_start(engine_.get(), address, kSentinel, 0, 0);
  const std::uint32_t eip = instruction();
  running_ = false;
  // A fault shows to the agents (a debugger stops there) before the call
  // fails with it.
  auto fail = [&](const std::string &message) {
    toAgents([&](DebugAgent &agent) { agent.faulted(message); });
    throw GuestFault(message);
  };
  if (pendingFault_) {
    writeReg(UC_X86_REG_EIP, faultAt_);
    fail(*pendingFault_);
  }
  if (error != UC_ERR_OK) {
    fail(describeStop(error, eip));
  }
  if (eip != kSentinel) {
    fail(where(eip) + ": " + name +
         " stopped before returning (an instruction the platform "
         "does not trap, such as HLT outside the module)");
  }
  lastCall_.after = registers();
  lastCall_.result = lastCall_.after.eax;
  if (trace_.keeping()) {
    trace_.add({.kind = TraceEvent::Kind::Call,
                .flags = TraceEvent::kReturned,
                .address = address,
                .value = lastCall_.result,
                .text = std::make_shared<const std::string>(name)});
  } else {
    trace_.drop();
  }
  toAgents([](DebugAgent &agent) { agent.returned(); });
  try {
    for (CallObserver *observer : observers_) {
      observer->afterCall(lastCall_);
    }
  } catch (const GuestFault &violation) {
    fail(violation.what());
  }
  return lastCall_.result;
}

} // namespace machine
