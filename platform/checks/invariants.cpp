#include "invariants.h"

#include "hex.h"

#include <algorithm>

namespace checks {

using common::hex;

namespace {

std::string describe(const WritableRange &range) {
  if (range.size == 0) {
    return range.what + " at " + hex(range.base, 8) + " (no bytes)";
  }
  return range.what + " " + hex(range.base, 8) + "-" +
         hex(range.base + range.size - 1, 8);
}

} // namespace

Invariants::Invariants(machine::Machine &machine) : machine_(machine) {
  watch("MSR 0xC0010015 (hardware configuration)",
        [&machine] { return machine.wrapControl(); });
  machine_.addObserver(this);
}

Invariants::~Invariants() {
  machine_.removeObserver(this);
  machine_.setQuietStores({});
}

void Invariants::allowNextCall(std::vector<WritableRange> ranges) {
  nextCall_ = std::move(ranges);
}

void Invariants::protect(std::uint64_t base, std::uint64_t size,
                         std::string what) {
  protected_.push_back({base, size, std::move(what)});
}

void Invariants::watch(std::string what, std::function<std::uint64_t()> read) {
  watched_.push_back({std::move(what), std::move(read), 0});
}

void Invariants::beforeCall(const machine::CallRecord &call) {
  granted_ = std::move(nextCall_);
  nextCall_.clear();
  if (policy_) {
    std::vector<WritableRange> more = policy_(call);
    granted_.insert(granted_.end(), more.begin(), more.end());
  }
  for (Watched &watched : watched_) {
    watched.before = watched.read();
  }
  machine_.setQuietStores(quietRanges(call));
}

// The stores the machine need not report for this call: inside its frame and
// the ranges granted to it, never in a protected range. A granted range
// counts in whole multiples of kQuietGranule from its base, so that a grant
// whose size changes a little from call to call (the command area up to
// CommandSize) leaves the machine's write hooks as they are; stores in the
// rest of it are reported and checked one by one.
std::vector<machine::AddressRange>
Invariants::quietRanges(const machine::CallRecord &call) const {
  std::vector<machine::AddressRange> quiet;
  auto add = [&](std::uint64_t base, std::uint64_t size) {
    const std::uint64_t whole = size - size % kQuietGranule;
    if (whole == 0) {
      return;
    }
    for (const WritableRange &range : protected_) {
      if (base < range.base + range.size && range.base < base + whole) {
        return;
      }
    }
    quiet.push_back({base, whole});
  };
  add(call.before.esp - kMaxStackFrame, kMaxStackFrame);
  for (const WritableRange &range : granted_) {
    add(range.base, range.size);
  }
  return quiet;
}

void Invariants::afterCall(const machine::CallRecord &call) {
  ++callsChecked_;
  checkConvention(call);
  checkState(call);
  checkWrites(call);
}

void Invariants::fail(const machine::CallRecord &call, std::uint32_t at,
                      const std::string &what) const {
  throw machine::GuestFault(machine_.where(at) + ": " + call.name +
                            " broke a machine invariant: " + what);
}

// EFIAPI on IA-32: EBX, ESI, EDI and EBP are callee-saved, the callee returns
// with a plain RET (the caller pops the arguments), and the direction flag is
// clear on return.
void Invariants::checkConvention(const machine::CallRecord &call) const {
  const machine::Registers &b = call.before;
  const machine::Registers &a = call.after;
  const struct {
    const char *name;
    std::uint32_t before, after;
  } saved[] = {{"EBX", b.ebx, a.ebx},
               {"ESI", b.esi, a.esi},
               {"EDI", b.edi, a.edi},
               {"EBP", b.ebp, a.ebp},
               {"ESP", b.esp + 4, a.esp}};
  for (const auto &reg : saved) {
    if (reg.before != reg.after) {
      fail(call, call.address,
           std::string(reg.name) + " was " + hex(reg.before, 8) +
               " for the caller and is " + hex(reg.after, 8) +
               " after the return (EFIAPI keeps it)");
    }
  }
  if (a.directionFlag()) {
    fail(call, call.address,
         "returned with the direction flag set (EFIAPI returns with it "
         "clear)");
  }
}

void Invariants::checkState(const machine::CallRecord &call) const {
  const machine::Registers &b = call.before;
  const machine::Registers &a = call.after;
  if (a.fs != b.fs || a.fsBase != b.fsBase) {
    fail(call, call.address,
         "FS was selector " + hex(b.fs, 4) + " base " + hex(b.fsBase, 8) +
             " and is selector " + hex(a.fs, 4) + " base " + hex(a.fsBase, 8) +
             " after the return (not put back)");
  }
  for (const Watched &watched : watched_) {
    const std::uint64_t now = watched.read();
    if (now != watched.before) {
      fail(call, call.address,
           watched.what + " was " + hex(watched.before, 8) + " and is " +
               hex(now, 8) + " after the return (not put back)");
    }
  }
}

void Invariants::checkWrites(const machine::CallRecord &call) {
  // The callee's own frame: below the stack pointer it was called with (the
  // return address is the caller's), no deeper than kMaxStackFrame.
  const std::uint32_t top = call.before.esp;
  const WritableRange frame{top - kMaxStackFrame, kMaxStackFrame,
                            "its own stack frame"};
  for (const machine::MemoryWrite &write : call.writes) {
    const std::string store = "store of " + std::to_string(write.size) +
                              " bytes (" + hex(write.value) +
                              ") at guest address " + hex(write.address, 8);
    for (const WritableRange &range : protected_) {
      if (write.address < range.base + range.size &&
          range.base < write.address + write.size) {
        fail(call, write.instruction,
             store + ", inside " + describe(range) +
                 ": the module never writes its own image");
      }
    }
    if (frame.contains(write.address, write.size)) {
      continue;
    }
    if (std::any_of(granted_.begin(), granted_.end(),
                    [&](const WritableRange &range) {
                      return range.contains(write.address, write.size);
                    })) {
      continue;
    }
    std::string allowed = describe(frame);
    for (const WritableRange &range : granted_) {
      allowed += "; " + describe(range);
    }
    fail(call, write.instruction,
         store + ", outside what the call may write (" + allowed + ")");
  }
}

} // namespace checks
