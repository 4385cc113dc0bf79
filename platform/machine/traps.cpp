// What the machine carries out itself instead of the emulator: the
// instructions it traps (RDMSR and WRMSR against the MSR models, HLT, the
// sites of IN / OUT, rep string instructions on plain RAM) and the FS window
// that reaches physical addresses a 32-bit processor cannot form.
#include "engine.h"

#include "hex.h"

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
