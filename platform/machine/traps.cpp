// What the machine carries out itself instead of the emulator: the
// instructions it traps (RDMSR and WRMSR against the MSR models, HLT, the
// sites of IN / OUT, rep string instructions on plain RAM) and the FS window
// that reaches physical addresses a 32-bit processor cannot form.
#include "engine.h"

#include "hex.h"
#include "little_endian.h"

#include <array>
#include <cstring>

namespace machine {

using common::hex;

namespace {

// The rep string instructions the machine may carry out at once: the REP
// prefix and the opcodes that follow it.
constexpr std::uint8_t kRep = 0xF3;
constexpr std::uint8_t kMovsb = 0xA4, kMovsl = 0xA5;
constexpr std::uint8_t kStosb = 0xAA, kStosl = 0xAB;
constexpr bool isString(std::uint8_t opcode) {
  return opcode == kMovsb || opcode == kMovsl || opcode == kStosb ||
         opcode == kStosl;
}

} // namespace

// --- trapped instructions ---------------------------------------------------

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
    void *callback = port     ? reinterpret_cast<void *>(&HookEntry::portSite)
                     : string ? reinterpret_cast<void *>(&HookEntry::string)
                              : reinterpret_cast<void *>(&HookEntry::msr);
    hooks_.push_back(hook(UC_HOOK_CODE, callback, at, at));
    sites_[at] = hooks_.back().get();
  }
}

void Machine::addProbe(std::uint32_t address, Probe probe) {
  auto &probes = probes_[address];
  if (probes.empty()) {
    hooks_.push_back(hook(UC_HOOK_CODE,
                          reinterpret_cast<void *>(&HookEntry::probe), address,
                          address));
  }
  probes.push_back(std::move(probe));
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

// RDMSR and WRMSR move the MSR named by ECX through EDX:EAX; the address
// space finds its model, the processor's own among them.
void Machine::rdmsr() {
  const MsrValue value = MsrValue::of(space_.msrRead(readReg(UC_X86_REG_ECX)));
  writeReg(UC_X86_REG_EAX, value.Low);
  writeReg(UC_X86_REG_EDX, value.High);
}

void Machine::wrmsr() {
  space_.msrWrite(
      readReg(UC_X86_REG_ECX),
      MsrValue{readReg(UC_X86_REG_EAX), readReg(UC_X86_REG_EDX)}.whole());
}

std::uint64_t Machine::fsBase() const {
  const std::uint64_t base = registers().fsBase;
  return fsWindowActive_ && base == kFsWindowTrap ? fsBaseMsr_ : base;
}

// Below 4 GiB the processor uses the base as it is. Above, the machine keeps
// the 64-bit base and points FS at the trap page, whose accesses it forwards
// to the physical address (wrapped or not, by the wrap-control MSR).
void Machine::setFsBase(std::uint64_t value) {
  fsBaseMsr_ = value;
  fsWindowActive_ = value >= k4GiB;
  uc_x86_msr msr{kMsrFsBase, fsWindowActive_ ? kFsWindowTrap : value};
  check(uc_reg_write(engine_.get(), UC_X86_REG_MSR, &msr), "FS base");
}

// --- string instructions ----------------------------------------------------

bool Machine::plainRam(std::uint64_t address, std::uint64_t size,
                       Rights right) const {
  const bus::Region *region = space_.find(address);
  return region != nullptr && !region->mmio() &&
         allows(region->rights, right) && !allows(region->rights, kExecute) &&
         address + size <= region->base + region->size;
}

// What a rep string instruction about to run at `at` does, when the machine
// may carry it out at once: none when it touches anything but plain RAM the
// guest may use, wraps around 4 GiB, or runs with other than the flat data
// segments (the emulator's own way is then as fast and exact).
std::optional<Machine::StringRun> Machine::planString(std::uint32_t at) const {
  std::uint8_t opcode = 0;
  check(uc_mem_read(engine_.get(), at + 1, &opcode, 1), "string opcode");
  StringRun run{.count = readReg(UC_X86_REG_ECX),
                .edi = readReg(UC_X86_REG_EDI),
                .esi = readReg(UC_X86_REG_ESI)};
  if (run.count == 0 || readReg(UC_X86_REG_ES) != kDataSelector ||
      readReg(UC_X86_REG_DS) != kDataSelector) {
    return std::nullopt;
  }
  run.move = opcode == kMovsb || opcode == kMovsl;
  run.width = (opcode == kMovsl || opcode == kStosl) ? 4 : 1;
  run.backward = (readReg(UC_X86_REG_EFLAGS) & 0x400) != 0;
  run.bytes = std::uint64_t{run.count} * run.width;
  // The lowest byte each range covers.
  auto lowest = [&](std::uint32_t start) -> std::optional<std::uint64_t> {
    const std::uint64_t low =
        run.backward ? std::uint64_t{start} + run.width - run.bytes : start;
    if (run.backward ? std::uint64_t{start} + run.width < run.bytes
                     : low + run.bytes > k4GiB) {
      return std::nullopt;
    }
    return low;
  };
  const auto to = lowest(run.edi);
  const auto from =
      run.move ? lowest(run.esi) : std::optional<std::uint64_t>(0);
  if (!to || !from || !plainRam(*to, run.bytes, kWrite) ||
      (run.move && !plainRam(*from, run.bytes, kRead))) {
    return std::nullopt;
  }
  run.to = *to;
  run.from = *from;
  return run;
}

// The destination's new bytes, in a buffer kept from one string to the
// next. Returns the value a store writes (0 for a move).
std::uint64_t Machine::stringBytes(const StringRun &run) {
  std::vector<std::uint8_t> &destination = stringBuffer_;
  destination.resize(run.bytes);
  if (run.move &&
      std::max(run.to, run.from) - std::min(run.to, run.from) >= run.bytes) {
    check(uc_mem_read(engine_.get(), run.from, destination.data(), run.bytes),
          "string source");
    return 0;
  }
  if (run.move) {
    // Overlapping ranges: element by element, in the instruction's order,
    // over a host copy of both, so that they end exactly as the processor
    // leaves them.
    const std::uint64_t low = std::min(run.to, run.from);
    const std::uint64_t high = std::max(run.to, run.from) + run.bytes;
    std::vector<std::uint8_t> span(high - low);
    check(uc_mem_read(engine_.get(), low, span.data(), span.size()),
          "string source");
    std::uint8_t *dst = span.data() + (run.to - low);
    const std::uint8_t *src = span.data() + (run.from - low);
    for (std::uint64_t i = 0; i < run.count; ++i) {
      const std::uint64_t offset =
          (run.backward ? run.count - 1 - i : i) * run.width;
      std::memmove(dst + offset, src + offset, run.width);
    }
    std::memcpy(destination.data(), dst, run.bytes);
    return 0;
  }
  const std::uint32_t eax = readReg(UC_X86_REG_EAX);
  if (run.width == 1) {
    // A 16 KiB rep stosb clears the response area on every command: one
    // memset, not an element at a time.
    std::memset(destination.data(), static_cast<int>(eax & 0xFF), run.bytes);
    return eax & 0xFF;
  }
  for (std::uint64_t i = 0; i < run.bytes; i += run.width) {
    common::le::store(destination.data() + i, run.width, eax);
  }
  return eax;
}

bool Machine::isStringSite(std::uint32_t at) const {
  if (!sites_.contains(at)) {
    return false;
  }
  std::array<std::uint8_t, 2> code{};
  return uc_mem_read(engine_.get(), at, code.data(), code.size()) ==
             UC_ERR_OK &&
         code[0] == kRep && isString(code[1]);
}

bool Machine::stopAtWatchedStore(StringRun &run) const {
  const std::uint64_t top = run.to + run.bytes;
  std::optional<std::uint64_t> first; // elements before the first watched
  for (const DebugAgent *agent : agents_) {
    for (const AddressRange &watch : agent->watchedStores()) {
      const std::uint64_t low = std::max(watch.base, run.to);
      const std::uint64_t high = std::min(watch.base + watch.size, top);
      if (low >= high) {
        continue;
      }
      // Forward, elements count up from the lowest byte; backward, down
      // from the top.
      const std::uint64_t element =
          run.backward ? (top - high) / run.width : (low - run.to) / run.width;
      first = std::min(first.value_or(element), element);
    }
  }
  if (!first || *first + 1 == run.count) {
    return false;
  }
  const std::uint64_t elements = *first + 1;
  const std::uint64_t bytes = elements * run.width;
  if (run.backward) {
    run.to = top - bytes;
    run.from = run.from + run.bytes - bytes;
  }
  run.count = static_cast<std::uint32_t>(elements);
  run.bytes = bytes;
  return true;
}

bool Machine::runString(std::uint32_t at) {
  auto run = planString(at);
  if (!run) {
    return false;
  }
  const std::uint32_t count = run->count;
  const bool paused = !agents_.empty() && stopAtWatchedStore(*run);
  const std::uint64_t value = stringBytes(*run);
  check(uc_mem_write(engine_.get(), run->to, stringBuffer_.data(), run->bytes),
        "string destination");
  recordStore({.instruction = at,
               .address = run->to,
               .size = static_cast<unsigned>(run->bytes),
               .value = value,
               .element = run->width,
               .backward = run->backward});
  trace_.add({.kind = TraceEvent::Kind::String,
              .write = true,
              .size = static_cast<std::uint8_t>(run->width),
              .flags = static_cast<std::uint8_t>(
                  (run->move ? TraceEvent::kMove : 0) |
                  (run->backward ? TraceEvent::kBackward : 0)),
              .instruction = at,
              .address = run->to,
              .value = run->count,
              .source = run->move ? run->from : 0});
  const auto step = static_cast<std::uint32_t>(run->bytes);
  writeReg(UC_X86_REG_ECX, count - run->count);
  writeReg(UC_X86_REG_EDI, run->backward ? run->edi - step : run->edi + step);
  if (run->move) {
    writeReg(UC_X86_REG_ESI, run->backward ? run->esi - step : run->esi + step);
  }
  // Paused, the instruction starts again with the elements left, and the
  // agents have their stop there first.
  writeReg(UC_X86_REG_EIP, paused ? at : at + 2);
  toAgents([&](DebugAgent &agent) { agent.wrote(run->to, step); });
  return true;
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

// The trap page answers only accesses made through FS.
std::uint64_t Machine::fsTrapRead(std::uint64_t offset, unsigned size) {
  if (!fsWindowActive_ || registers().fsBase != kFsWindowTrap) {
    throw bus::Refusal("the FS window page, other than through FS");
  }
  const std::uint64_t target = fsTarget(offset);
  const std::uint64_t value = space_.physicalRead(target, size);
  space_.recordAccess({.kind = TraceEvent::Kind::Memory,
                       .size = static_cast<std::uint8_t>(size),
                       .address = target,
                       .value = value,
                       .name = "through FS"});
  return value;
}

void Machine::fsTrapWrite(std::uint64_t offset, unsigned size,
                          std::uint64_t value) {
  if (!fsWindowActive_ || registers().fsBase != kFsWindowTrap) {
    throw bus::Refusal("the FS window page, other than through FS");
  }
  const std::uint64_t target = fsTarget(offset);
  space_.recordAccess({.kind = TraceEvent::Kind::Memory,
                       .write = true,
                       .size = static_cast<std::uint8_t>(size),
                       .address = target,
                       .value = value,
                       .name = "through FS"});
  space_.physicalWrite(target, size, value);
}

} // namespace machine
