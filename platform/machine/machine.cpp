// The machine's public face: setting up the processor, mirroring the
// address space's map into the emulator, guest calls, registers, and what
// debuggers see. The callbacks Unicorn calls are in hooks.cpp, the
// instructions the machine carries out itself in traps.cpp.
#include "engine.h"

#include "hex.h"
#include "little_endian.h"

#include <algorithm>
#include <array>
#include <utility>

namespace machine {

using common::hex;

namespace {

constexpr std::uint32_t kPage = 0x1000;

// Values the callee-saved registers hold when a call starts, so that a guest
// that does not put them back shows it.
constexpr std::uint32_t kEbxCanary = 0xB0B0B0B0;
constexpr std::uint32_t kEsiCanary = 0x51515151;
constexpr std::uint32_t kEdiCanary = 0xD1D1D1D1;
constexpr std::uint32_t kEbpCanary = 0xE0E0E0E0;
constexpr std::uint32_t kEflagsReset = 0x2; // reserved bit 1; IF and DF clear

// The widest store an IA-32 instruction the module could use makes.
constexpr std::uint64_t kWidestStore = 16;

} // namespace

void Machine::EngineDeleter::operator()(uc_struct *engine) const {
  uc_close(engine);
}

Machine::Machine() {
  uc_engine *engine = nullptr;
  check(uc_open(UC_ARCH_X86, UC_MODE_32, &engine), "cannot open Unicorn");
  engine_.reset(engine);
  setUpProcessor();
}

Machine::~Machine() = default;

void Machine::setUpProcessor() {
  space_.mapMemory(kSystemBase, kPage, "system tables", kRead);
  space_.mapMemory(kThunkBase, kThunkSize, "thunks", kReadExecute);
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
                 std::uint64_t end, int instruction = -1) {
    hooks_.push_back(hook(type, callback, begin, end, instruction));
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

  mapProcessorRegisters();
}

// The MSRs the processor itself owns, and the FS window's trap page: FS
// points there while the guest reaches a physical address the processor
// cannot form in 32-bit mode.
void Machine::mapProcessorRegisters() {
  bus::RegisterBlock msrs;
  msrs.name = "processor";
  msrs.registers = {
      {.name = "FS base",
       .offset = kMsrFsBase,
       .length = 1,
       .widths = bus::kQword,
       .aligned = false,
       .read = [this](std::uint64_t, unsigned) { return fsBase(); },
       .write = [this](std::uint64_t, unsigned,
                       std::uint64_t value) { setFsBase(value); }},
      {.name = "hardware configuration",
       .offset = kMsrWrapControl,
       .length = 1,
       .widths = bus::kQword,
       .aligned = false,
       .read = [this](std::uint64_t, unsigned) { return wrapControl_; },
       .write = [this](std::uint64_t, unsigned,
                       std::uint64_t value) { wrapControl_ = value; }}};
  space_.mapMsrs(std::move(msrs));
  bus::RegisterBlock window = bus::wholeBlock(
      "FS window", kFsWindowTrapSize, bus::kAnyWidth | bus::kQword,
      [this](std::uint64_t offset, unsigned size) {
        return fsTrapRead(offset, size);
      },
      [this](std::uint64_t offset, unsigned size, std::uint64_t value) {
        fsTrapWrite(offset, size, value);
      });
  window.recorded = false; // the access it makes is recorded
  space_.mapRegisters(kFsWindowTrap, kFsWindowTrapSize, std::move(window));
}

std::unique_ptr<Machine::Hook> Machine::hook(int type, void *callback,
                                             std::uint64_t begin,
                                             std::uint64_t end,
                                             int instruction) {
  auto added = std::make_unique<Hook>();
  added->engine = engine_.get();
  const uc_err error =
      instruction < 0 ? uc_hook_add(engine_.get(), &added->handle, type,
                                    callback, this, begin, end)
                      : uc_hook_add(engine_.get(), &added->handle, type,
                                    callback, this, begin, end, instruction);
  check(error, "cannot add a hook");
  return added;
}

void Machine::writeReg(int reg, std::uint32_t value) {
  check(uc_reg_write(engine_.get(), reg, &value), "register write");
}

std::uint32_t Machine::readReg(int reg) const {
  std::uint32_t value = 0;
  check(uc_reg_read(engine_.get(), reg, &value), "register read");
  return value;
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
    writeHooks_.push_back(hook(UC_HOOK_MEM_WRITE,
                               reinterpret_cast<void *>(&HookEntry::write),
                               begin, end));
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

// --- calls ------------------------------------------------------------------

std::uint32_t ThunkCall::argument(unsigned n) const {
  return machine_.guestRead32(stack_ + 4 + 4 * n,
                              "argument " + std::to_string(n + 1));
}

std::uint32_t Machine::addThunk(std::string name, ThunkHandler handler) {
  if (nextThunk_ + kThunkSpacing > kThunkBase + kThunkSize) {
    throw MachineError("no room for another thunk");
  }
  const std::uint32_t address = nextThunk_;
  nextThunk_ += kThunkSpacing;
  thunks_[address] = {std::move(name), std::move(handler)};
  return address;
}

std::vector<std::pair<std::uint32_t, std::string>> Machine::thunks() const {
  std::vector<std::pair<std::uint32_t, std::string>> named;
  for (const auto &[address, thunk] : thunks_) {
    named.emplace_back(address, thunk.name);
  }
  return named;
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

void Machine::addObserver(CallObserver *observer) {
  observers_.push_back(observer);
}

void Machine::removeObserver(CallObserver *observer) {
  std::erase(observers_, observer);
}

std::string Machine::describeStop(int error, std::uint32_t eip) const {
  const std::string at = where(eip);
  std::string bytes;
  if (const bus::Region *region = space_.find(eip);
      region != nullptr && !region->mmio()) {
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
  const std::uint32_t argumentsAt = pushFrame(arguments);
  resumptions_.clear();
  writeReg(UC_X86_REG_ESP, argumentsAt - 4);
  writeReg(UC_X86_REG_EBX, kEbxCanary);
  writeReg(UC_X86_REG_ESI, kEsiCanary);
  writeReg(UC_X86_REG_EDI, kEdiCanary);
  writeReg(UC_X86_REG_EBP, kEbpCanary);
  writeReg(UC_X86_REG_EFLAGS, kEflagsReset);
  writeReg(UC_X86_REG_EIP, address);
  beginRecord(name, address, arguments, argumentsAt);
  const int error = runGuest(address);
  endCall(name, address, error);
  return lastCall_.result;
}

// The return sentinel and the arguments go onto the stack in one host
// write, little-endian words from the lowest address up (on failure the
// words are written one by one, so that the error names the word). Returns
// where the arguments start.
std::uint32_t Machine::pushFrame(std::span<const std::uint32_t> arguments) {
  const std::uint32_t argumentsAt =
      stackTop_ - 4 * static_cast<std::uint32_t>(arguments.size());
  const std::uint32_t esp = argumentsAt - 4;
  std::array<std::uint8_t, 4 * 16> few;
  std::vector<std::uint8_t> many;
  const std::size_t bytes = 4 * (arguments.size() + 1);
  std::uint8_t *frame = few.data();
  if (bytes > few.size()) {
    many.resize(bytes);
    frame = many.data();
  }
  for (std::size_t i = 0; i <= arguments.size(); ++i) {
    common::le::store(frame + 4 * i, 4, i == 0 ? kSentinel : arguments[i - 1]);
  }
  if (uc_mem_write(engine_.get(), esp, frame, bytes) != UC_ERR_OK) {
    for (std::size_t i = arguments.size(); i-- > 0;) {
      write32(argumentsAt + 4 * static_cast<std::uint32_t>(i), arguments[i]);
    }
    write32(esp, kSentinel);
  }
  return argumentsAt;
}

// The record is reset field by field, not replaced, so that its buffers
// (name, arguments, writes) keep their room from call to call and a call
// allocates nothing for them. The call's text is made only when the trace
// keeps it.
void Machine::beginRecord(const std::string &name, std::uint32_t address,
                          std::span<const std::uint32_t> arguments,
                          std::uint32_t argumentsAt) {
  lastCall_.name.assign(name);
  lastCall_.address = address;
  lastCall_.arguments.assign(arguments.begin(), arguments.end());
  lastCall_.argumentsAt = argumentsAt;
  lastCall_.after = Registers{};
  lastCall_.result = 0;
  lastCall_.writes.clear();
  lastCall_.before = registers();
  for (CallObserver *observer : observers_) {
    observer->beforeCall(lastCall_);
  }
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
}

// The bounds are kept by a hook on every translated block: it counts the
// instructions of each block and looks at the clock now and then.
// (Unicorn's own count and timeout are not used: counting makes every
// instruction call into the hooks, and in 2.0.1 the timeout is late by
// seconds and leaves the next run's count unenforced.)
int Machine::runGuest(std::uint32_t address) {
  pendingFault_.reset();
  running_ = true;
  portInstruction_ = 0;
  budget_.started = std::chrono::steady_clock::now();
  budget_.executed = 0;
  budget_.blocks = 0;
  const uc_err error = uc_emu_start(engine_.get(), address, kSentinel, 0, 0);
  running_ = false;
  return error;
}

// How the call ended: a fault shows to the agents (a debugger stops there)
// before the call fails with it; a return is recorded and checked.
void Machine::endCall(const std::string &name, std::uint32_t address,
                      int error) {
  const std::uint32_t eip = instruction();
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
}

} // namespace machine