// The emulated IA-32 processor and its physical address space: Unicorn 2.0.1
// in 32-bit protected mode at CPL 0 with flat segments, memory regions with
// the rights the guest has on them, port and MSR models reached through hooks,
// EFIAPI calls from the host into the guest and thunks from the guest back to
// the host.
//
// Everything that the guest does wrong stops the run with a GuestFault whose
// message names the guest address and what happened: a runaway loop, an
// unmapped access, a write into read-only memory (flash, the module image),
// an unexpected instruction or exception, a port or MSR nobody models.
#pragma once

#include "trace.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

struct uc_struct;

namespace machine {

// The guest did something the platform stops on. The message is one line.
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

// Rights of the guest on a region, a set of bits. The host reads and writes
// any mapped region regardless.
enum class Rights : std::uint32_t {
  kNone = 0,
  kRead = 1,
  kWrite = 2,
  kExecute = 4,
  kReadWrite = kRead | kWrite,
  kReadExecute = kRead | kExecute,
};
using enum Rights;
constexpr Rights operator|(Rights a, Rights b) {
  return static_cast<Rights>(static_cast<std::uint32_t>(a) |
                             static_cast<std::uint32_t>(b));
}
constexpr Rights operator&(Rights a, Rights b) {
  return static_cast<Rights>(static_cast<std::uint32_t>(a) &
                             static_cast<std::uint32_t>(b));
}
// Whether rights include every right in wanted.
constexpr bool allows(Rights rights, Rights wanted) {
  return (rights & wanted) == wanted;
}

// One guest store, as the processor performed it.
struct MemoryWrite {
  std::uint32_t instruction = 0; // address of the storing instruction
  std::uint64_t address = 0;     // its lowest byte
  unsigned size = 0;             // bytes
  std::uint64_t value = 0;
  // A whole rep stos / rep movs that the machine carried out at once: the
  // width of each of its stores (0 for an ordinary store) and whether they
  // went downwards (direction flag set), from the top of the range.
  unsigned element = 0;
  bool backward = false;
};

// A range of guest physical addresses.
struct AddressRange {
  std::uint64_t base = 0;
  std::uint64_t size = 0;
  auto operator<=>(const AddressRange &) const = default;
};

struct Registers {
  std::uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
  std::uint32_t esi = 0, edi = 0, ebp = 0, esp = 0;
  std::uint32_t eip = 0, eflags = 0;
  std::uint16_t fs = 0;
  std::uint64_t fsBase = 0; // as the processor uses it (below 4 GiB)
  bool directionFlag() const { return (eflags & 0x400) != 0; }
};

// One host-to-guest call: what was called and, once it returned, how.
struct CallRecord {
  std::string name;
  std::uint32_t address = 0;
  std::vector<std::uint32_t> arguments;
  std::uint32_t argumentsAt = 0; // ESP after the arguments were pushed
  Registers before;              // at the first guest instruction
  Registers after;               // back at the return sentinel
  std::uint32_t result = 0;
  // Every guest store during the call outside the machine's quiet ranges
  // (Machine::setQuietStores), except repeats of a store among the last
  // eight kept (same instruction, address, size and value).
  std::vector<MemoryWrite> writes;
};

// Sees every guest call made through Machine::call. beforeCall runs once the
// registers are set up, afterCall once the guest has returned; either may
// throw GuestFault to fail the call (the checks of machine invariants).
class CallObserver {
public:
  virtual ~CallObserver() = default;
  virtual void beforeCall(const CallRecord &) {}
  virtual void afterCall(const CallRecord &) {}
};

// Bounds of a single guest call; 0 instructions means no instruction bound.
// Instructions are counted a translated block at a time, so a call stops at
// the end of the block that crosses the bound; the time bound is checked
// every 1024 blocks.
struct CallLimits {
  std::uint64_t instructions = 200'000'000;
  std::chrono::milliseconds time{30'000};
};

// Watches the guest from outside, as a debugger or a coverage recorder does.
// The machine calls it on its own thread, inside the run (except the image
// notices), so an agent may read and change registers and memory and may
// block, for instance while a debugger looks around; time spent inside an
// agent does not count against the call's time bound.
class DebugAgent {
public:
  virtual ~DebugAgent() = default;
  // True to be called before every guest instruction (costly: the machine
  // then hooks every instruction).
  virtual bool wantsInstructions() const { return false; }
  virtual void instruction(std::uint32_t /*address*/) {}
  // A translated block of `size` bytes at address starts to run.
  virtual void block(std::uint32_t /*address*/, std::uint32_t /*size*/) {}
  // The guest stored `size` bytes at a physical address.
  virtual void wrote(std::uint64_t /*address*/, unsigned /*size*/) {}
  // A guest call ended in a fault (message as in GuestFault); the
  // registers are those at the faulting instruction.
  virtual void faulted(const std::string & /*message*/) {}
  // A guest call returned to the host: EIP is the return sentinel.
  virtual void returned() {}
  // The module's image was placed at base (linked at linkBase), or the copy
  // at base was taken away.
  virtual void imageMapped(const std::string & /*name*/,
                           std::uint32_t /*linkBase*/, std::uint32_t /*base*/,
                           std::uint32_t /*size*/) {}
  virtual void imageRetired(std::uint32_t /*base*/) {}
};

// A model-specific register's value as RDMSR and WRMSR move it: in two
// halves, EAX (Low) and EDX (High). The models see the whole 64 bits; this is
// the one place the two forms meet.
struct MsrValue {
  std::uint32_t Low = 0;
  std::uint32_t High = 0;
  static constexpr MsrValue of(std::uint64_t value) {
    return {static_cast<std::uint32_t>(value),
            static_cast<std::uint32_t>(value >> 32)};
  }
  constexpr std::uint64_t whole() const {
    return std::uint64_t{High} << 32 | Low;
  }
};

// Handlers of the platform models. Each may throw GuestFault to stop the run
// (for example an access to a register the model does not implement).
using PortRead =
    std::function<std::uint32_t(std::uint16_t port, unsigned size)>;
using PortWrite =
    std::function<void(std::uint16_t port, unsigned size, std::uint32_t value)>;
using MsrRead = std::function<std::uint64_t()>;
using MsrWrite = std::function<void(std::uint64_t value)>;
using MmioRead =
    std::function<std::uint64_t(std::uint64_t offset, unsigned size)>;
using MmioWrite =
    std::function<void(std::uint64_t offset, unsigned size, std::uint64_t)>;

// What a thunk sees of the guest call that reached it.
class ThunkCall {
public:
  ThunkCall(class Machine &machine, std::uint32_t stack,
            std::uint32_t returnAddress, std::uint64_t started)
      : machine_(machine), stack_(stack), returnAddress_(returnAddress),
        started_(started) {}
  // The n-th 32-bit argument (cdecl: n = 0 is the first).
  std::uint32_t argument(unsigned n) const;
  std::uint32_t returnAddress() const { return returnAddress_; }
  Machine &machine() const { return machine_; }
  // When the guest called, on the machine's trace clock.
  std::uint64_t started() const { return started_; }

private:
  Machine &machine_;
  std::uint32_t stack_;
  std::uint32_t returnAddress_;
  std::uint64_t started_;
};
// Returns the value for EAX.
using ThunkHandler = std::function<std::uint32_t(ThunkCall &)>;

class Machine {
public:
  // Model-specific registers the processor itself owns.
  static constexpr std::uint32_t kMsrFsBase = 0xC0000100;
  static constexpr std::uint32_t kMsrWrapControl = 0xC0010015;
  static constexpr std::uint64_t kNoWrapAt4G = 1ull << 17;

  // Fixed layout of the machine's own pages.
  static constexpr std::uint32_t kSystemBase = 0x00010000; // GDT, IDT
  static constexpr std::uint32_t kGdtAddress = kSystemBase;
  static constexpr std::uint32_t kIdtAddress = kSystemBase + 0x100;
  static constexpr std::uint32_t kIdtLimit = 0x7FF;
  static constexpr std::uint32_t kThunkBase = 0x00020000; // thunks, sentinel
  static constexpr std::uint32_t kThunkSize = 0x1000;
  static constexpr std::uint32_t kSentinel = kThunkBase;
  // Where FS points while the guest reaches a physical address through an FS
  // base that the processor cannot use directly.
  static constexpr std::uint32_t kFsWindowTrap = 0xFEF00000;
  static constexpr std::uint32_t kFsWindowTrapSize = 0x1000;

  static constexpr std::uint16_t kCodeSelector = 0x08;
  static constexpr std::uint16_t kDataSelector = 0x10;

  Machine();
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  // --- memory -------------------------------------------------------------
  // RAM (or ROM, by rights) below 4 GiB, page aligned, zero filled.
  void mapMemory(std::uint32_t base, std::uint32_t size, std::string name,
                 Rights rights);
  // A memory-mapped register block below 4 GiB, page aligned.
  void mapMmio(std::uint32_t base, std::uint32_t size, std::string name,
               MmioRead read, MmioWrite write);
  // A block of the physical address space above 4 GiB, reachable only
  // through the FS window.
  void mapHighMmio(std::uint64_t base, std::uint64_t size, std::string name,
                   MmioRead read, MmioWrite write);
  void unmap(std::uint32_t base);
  // Changes what the guest may do with the region that starts at base; the
  // reason is given in faults ("flash is no longer accessible ...").
  void protect(std::uint32_t base, Rights rights, std::string reason = {});
  // The name of the region holding address, or empty.
  std::string regionName(std::uint64_t address) const;

  // Host access to mapped guest memory, whatever the guest's rights.
  std::vector<std::uint8_t> read(std::uint32_t address, std::size_t size) const;
  void write(std::uint32_t address, std::span<const std::uint8_t> bytes);
  std::uint32_t read32(std::uint32_t address) const;
  void write32(std::uint32_t address, std::uint32_t value);

  // Access on the guest's behalf (a service reading its arguments, writing
  // its out-parameters): refused with GuestFault, naming `what`, when the
  // guest itself could not do it.
  std::vector<std::uint8_t> guestRead(std::uint32_t address, std::size_t size,
                                      const std::string &what) const;
  std::uint32_t guestRead32(std::uint32_t address,
                            const std::string &what) const;
  void guestWrite(std::uint32_t address, std::span<const std::uint8_t> bytes,
                  const std::string &what);
  void guestWrite32(std::uint32_t address, std::uint32_t value,
                    const std::string &what);

  // The 64-bit physical address space as a bus master sees it (used by the
  // FS window): RAM and MMIO below 4 GiB, high MMIO above.
  std::uint64_t physicalRead(std::uint64_t address, unsigned size);
  void physicalWrite(std::uint64_t address, unsigned size, std::uint64_t value);

  // --- observing stores ----------------------------------------------------
  // Guest stores that lie wholly inside one of these ranges are not put in
  // CallRecord::writes; all others are. The machine watches stores with
  // write hooks on the addresses outside the ranges, so a store inside them
  // costs nothing. Changing the ranges replaces those hooks, which makes
  // the emulator translate the guest's code afresh: keep them the same
  // from call to call where possible.
  void setQuietStores(std::vector<AddressRange> ranges);
  const std::vector<AddressRange> &quietStores() const { return quiet_; }

  // --- string instructions ------------------------------------------------
  // A rep stosb / stosl or rep movsb / movsl (either direction) in code
  // given to trapInstructions, about to run on guest RAM the guest may
  // write (and read, for a move), is carried out at once on the host: memory,
  // ECX, EDI, ESI and EIP end as the instruction leaves them, the whole
  // destination is one CallRecord store and one trace event. Elsewhere
  // (registers, unmapped or read-only pages, code, a range that wraps) the
  // emulator runs it an element at a time. On by default.
  void setStringFastPath(bool on) { stringFastPath_ = on; }
  bool stringFastPath() const { return stringFastPath_; }

  // --- ports and MSRs -----------------------------------------------------
  void mapPorts(std::uint16_t first, std::uint16_t count, std::string name,
                PortRead read, PortWrite write);
  // A null write handler makes the MSR read-only: a write stops the run.
  void mapMsr(std::uint32_t index, std::string name, MsrRead read,
              MsrWrite write);
  // Every RDMSR / WRMSR in [base, base + code.size()) becomes a trap into
  // the MSR models, every HLT a fault (nothing would wake the processor),
  // every IN / OUT is marked so that port accesses name their instruction,
  // and every rep string instruction gets the fast path. Call for each
  // region of guest code before running it.
  void trapInstructions(std::uint32_t base, std::span<const std::uint8_t> code);
  // Drops the traps set in [base, base + size) (code that can no longer run).
  void untrapInstructions(std::uint32_t base, std::uint32_t size);
  std::uint64_t wrapControl() const { return wrapControl_; }
  void setWrapControl(std::uint64_t value) { wrapControl_ = value; }

  // --- calls ----------------------------------------------------------------
  // A guest address that, when called (EFIAPI), runs handler on the host.
  std::uint32_t addThunk(std::string name, ThunkHandler handler);

  // Where the next call's stack starts (grows down from here).
  void setStack(std::uint32_t top) { stackTop_ = top; }
  // Sets the IDT base; the PEI services pointer lives 4 bytes below it.
  void setIdtBase(std::uint32_t base);
  std::uint32_t idtBase() const { return idtBase_; }

  // Calls the EFIAPI function at address with 32-bit arguments and returns
  // EAX. Throws GuestFault when the guest stops in any other way.
  std::uint32_t call(const std::string &name, std::uint32_t address,
                     std::span<const std::uint32_t> arguments);
  std::uint32_t call(const std::string &name, std::uint32_t address,
                     std::initializer_list<std::uint32_t> arguments) {
    return call(
        name, address,
        std::span<const std::uint32_t>(arguments.begin(), arguments.size()));
  }
  const CallRecord &lastCall() const { return lastCall_; }
  CallLimits &limits() { return limits_; }
  void addObserver(CallObserver *observer);
  void removeObserver(CallObserver *observer);

  Registers registers() const;
  // The registers as a debugger numbers them for IA-32: EAX, ECX, EDX, EBX,
  // ESP, EBP, ESI, EDI, EIP, EFLAGS, CS, SS, DS, ES, FS, GS.
  static constexpr unsigned kDebugRegisters = 16;
  static constexpr unsigned kDebugEip = 8;
  static constexpr unsigned kDebugEflags = 9; // the last one a debugger sets
  std::uint32_t debugRegister(unsigned n) const;
  void setDebugRegister(unsigned n, std::uint32_t value);
  // Memory as a debugger sees it: RAM and ROM whatever the guest's rights,
  // registers of memory-mapped devices through their models. Empty when
  // some byte is not mapped (reads), false when a write cannot be done.
  std::optional<std::vector<std::uint8_t>> debugRead(std::uint32_t address,
                                                     std::size_t size);
  bool debugWrite(std::uint32_t address, std::span<const std::uint8_t> bytes);

  // Agents see every guest call from now on. The first agent that wants
  // instructions makes the machine hook every instruction.
  void addAgent(DebugAgent *agent);
  void removeAgent(DebugAgent *agent);
  // Tells the agents where a copy of the module's image lies (the loader's
  // user calls these; the machine does not know images).
  void announceImage(const std::string &name, std::uint32_t linkBase,
                     std::uint32_t base, std::uint32_t size);
  void announceRetired(std::uint32_t base);
  // The address of the instruction being executed (meaningful in hooks).
  std::uint32_t instruction() const;

  // Stops the current run with a fault; the message gets the guest address.
  // For models that detect a fault inside a hook.
  [[noreturn]] void fault(const std::string &what) const;
  // "guest at 0x00401234 (shadow (module image) +0x1234)": how messages name
  // a guest address.
  std::string where(std::uint32_t address) const;

  Trace &trace() { return trace_; }
  const Trace &trace() const { return trace_; }

private:
  struct Region {
    std::uint64_t base = 0;
    std::uint64_t size = 0;
    std::string name;
    Rights rights = kNone;
    std::string protection; // why rights were taken away, if they were
    bool mmio = false;
    MmioRead read;
    MmioWrite write;
    Machine *owner = nullptr;
  };
  // The names are shared with the trace's events, which outlive a change
  // of the map.
  struct Port {
    std::uint16_t first, count;
    std::shared_ptr<const std::string> name;
    PortRead read;
    PortWrite write;
  };
  struct Msr {
    std::shared_ptr<const std::string> name;
    MsrRead read;
    MsrWrite write;
  };
  struct Thunk {
    std::string name;
    ThunkHandler handler;
  };
  struct Hook; // an added Unicorn hook, removed on destruction
  struct EngineDeleter {
    void operator()(uc_struct *engine) const;
  };

  friend struct HookEntry; // the Unicorn callbacks
  friend struct PortInstruction;

  void setUpProcessor();
  Region &addRegion(Region region);
  const Region *findRegion(std::uint64_t address) const;
  Region *findRegion(std::uint64_t address);
  void checkGuestAccess(std::uint32_t address, std::size_t size, Rights right,
                        const std::string &what) const;
  // How a fault message ends when region refuses the guest an access:
  // " into flash (r-x), which the guest may not write: <why>".
  static std::string refusal(const Region &region, Rights right);
  // Adds a Unicorn hook of type on [begin, end] (begin > end: everywhere);
  // instruction >= 0 names the instruction an instruction hook is for.
  std::unique_ptr<Hook> hook(int type, void *callback, std::uint64_t begin,
                             std::uint64_t end, int instruction = -1);
  // The port range holding port, or a fault that starts with access.
  const Port &portAt(std::uint16_t port, unsigned size,
                     const std::string &access) const;
  // An IN or OUT reaching the port models.
  std::uint32_t portIn(std::uint16_t port, unsigned size);
  void portOut(std::uint16_t port, unsigned size, std::uint32_t value);
  // Runs a model callback inside a hook: a thrown fault is recorded and the
  // run stopped, since exceptions must not cross Unicorn's C frames.
  template <typename F> auto guarded(F &&body) -> decltype(body());
  void stopWith(const std::string &message);
  // Puts a guest store in the call's record unless it lies wholly inside a
  // quiet range or repeats a recent one.
  void recordStore(const MemoryWrite &store);
  // The fast path of the rep string instruction at `at` (its F3 prefix):
  // true when it was carried out.
  bool runString(std::uint32_t at);
  // Whether [address, address + size) lies in one region of plain RAM that
  // the guest may access with `right` and never executes.
  bool plainRam(std::uint64_t address, std::uint64_t size, Rights right) const;
  void traceMsr(std::uint32_t at, bool write, std::uint32_t index,
                std::uint64_t value, const char *name,
                std::shared_ptr<const std::string> text = nullptr);
  void rdmsr(std::uint32_t at);
  void wrmsr(std::uint32_t at);
  std::uint64_t fsTrapRead(std::uint64_t offset, unsigned size);
  void fsTrapWrite(std::uint64_t offset, unsigned size, std::uint64_t value);
  std::uint64_t fsTarget(std::uint64_t offset) const;
  // The physical address a guest store at this linear address reaches
  // (through the FS window's trap page, or the address itself).
  std::uint64_t storeTarget(std::uint64_t address) const;
  void writeReg(int reg, std::uint32_t value);
  std::uint32_t readReg(int reg) const;
  std::string describeStop(int error, std::uint32_t eip) const;

  std::unique_ptr<uc_struct, EngineDeleter> engine_;
  std::vector<std::unique_ptr<Hook>> hooks_;
  std::vector<std::unique_ptr<Region>> regions_; // stable addresses
  std::vector<Port> ports_;
  std::map<std::uint32_t, Msr> msrs_;
  std::map<std::uint32_t, Thunk> thunks_;
  std::uint32_t nextThunk_ = kSentinel + 16;
  std::map<std::uint32_t, Hook *> sites_; // trapped instruction addresses
  std::vector<AddressRange> quiet_;
  std::vector<std::unique_ptr<Hook>> writeHooks_; // outside quiet_
  bool stringFastPath_ = true;
  std::vector<std::uint8_t> stringBuffer_;
  std::vector<CallObserver *> observers_;
  std::vector<DebugAgent *> agents_;
  bool everyInstruction_ = false; // the hook on every instruction is added
  // Runs an agent's callback, keeping its time out of the call's bound.
  template <typename F> void toAgents(F &&each);
  std::uint32_t faultAt_ = 0; // the instruction that raised pendingFault_

  std::uint32_t stackTop_ = 0;
  std::uint32_t idtBase_ = kIdtAddress;
  std::uint64_t wrapControl_ = 0;
  std::uint64_t fsBaseMsr_ = 0;
  bool fsWindowActive_ = false; // FS points at the trap page

  // The bounds of the call that runs.
  struct Budget {
    std::chrono::steady_clock::time_point started;
    std::uint64_t executed = 0; // instructions
    std::uint64_t blocks = 0;
    // Size and instruction count of each translated block, by address.
    std::unordered_map<std::uint64_t, std::pair<std::uint32_t, std::uint16_t>>
        instructionsAt;
  };
  Budget budget_;
  std::uint32_t portInstruction_ = 0; // the IN / OUT being handled
  bool running_ = false;
  std::optional<std::string> pendingFault_;
  CallRecord lastCall_;
  CallLimits limits_;
  Trace trace_;
};

} // namespace machine
