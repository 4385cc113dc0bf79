// Machine invariants, checked around every guest call: the IA-32 EFIAPI
// convention (callee-saved registers, stack pointer, direction flag), state
// the callee has to put back (FS, MSRs, device registers), and the bounds of
// every store the guest made during the call.
//
// An Invariants object attaches itself to a machine as a CallObserver; a
// broken invariant fails the call with a machine::GuestFault naming the guest
// address, the instruction and what was broken.
#pragma once

#include "machine.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace checks {

// A range of the physical address space a call may store into, and what it
// is (for messages).
struct WritableRange {
  std::uint64_t base = 0;
  std::uint64_t size = 0;
  std::string what;
  bool contains(std::uint64_t address, unsigned length) const {
    return address >= base && address - base <= size &&
           length <= size - (address - base);
  }
};

// What one call may store into besides its own stack frame, decided from the
// call as it starts (its address and arguments, the guest memory they point
// at).
using WritePolicy =
    std::function<std::vector<WritableRange>(const machine::CallRecord &)>;

class Invariants : public machine::CallObserver {
public:
  // How far below the caller's stack pointer the callee's frame may reach.
  // The deepest frame of the module (the activation callback with its two
  // "Setup" buffers) needs under 2 KiB.
  static constexpr std::uint32_t kMaxStackFrame = 0x2000;
  // The unit in which granted ranges are left out of the stores the machine
  // reports (see quietRanges).
  static constexpr std::uint64_t kQuietGranule = 0x1000;

  explicit Invariants(machine::Machine &machine);
  ~Invariants() override;
  Invariants(const Invariants &) = delete;
  Invariants &operator=(const Invariants &) = delete;

  // Replaces the policy that grants ranges to each call.
  void setPolicy(WritePolicy policy) { policy_ = std::move(policy); }
  // Grants ranges to the next guest call only (tests that call a routine
  // with buffers of their own).
  void allowNextCall(std::vector<WritableRange> ranges);
  // A range the guest must never store into (the module's own image); named
  // in the message when it does.
  void protect(std::uint64_t base, std::uint64_t size, std::string what);
  // A value every call must leave as it found it (an MSR, a device
  // register). read() is called before and after each call.
  void watch(std::string what, std::function<std::uint64_t()> read);

  // Guest calls checked so far.
  std::size_t callsChecked() const { return callsChecked_; }

  void beforeCall(const machine::CallRecord &call) override;
  void afterCall(const machine::CallRecord &call) override;

private:
  struct Watched {
    std::string what;
    std::function<std::uint64_t()> read;
    std::uint64_t before = 0;
  };
  void checkConvention(const machine::CallRecord &call) const;
  void checkState(const machine::CallRecord &call) const;
  void checkWrites(const machine::CallRecord &call);
  std::vector<machine::AddressRange>
  quietRanges(const machine::CallRecord &call) const;
  [[noreturn]] void fail(const machine::CallRecord &call, std::uint32_t at,
                         const std::string &what) const;

  machine::Machine &machine_;
  WritePolicy policy_;
  std::vector<WritableRange> nextCall_;
  std::vector<WritableRange> granted_; // for the call that runs
  std::vector<WritableRange> protected_;
  std::vector<Watched> watched_;
  std::size_t callsChecked_ = 0;
};

} // namespace checks
