// The emulated IA-32 processor: Unicorn 2.0.1 in 32-bit protected mode at
// CPL 0 with flat segments, the hooks that hand ports, MSRs and device
// registers to the address space (bus::AddressSpace, which holds the memory
// map and the devices), EFIAPI calls from the host into the guest under
// instruction and time bounds, thunks from the guest back to the host, the
// instructions it carries out itself, and the debugger's agents.
//
// Everything that the guest does wrong stops the run with a GuestFault whose
// message names the guest address and what happened: a runaway loop, an
// unmapped access, a write into read-only memory (flash, the module image),
// an unexpected instruction or exception, a port or MSR nobody models.
#pragma once

#include "address_space.h"
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

using bus::AddressRange;
using bus::allows;
using bus::format;
using bus::GuestFault;
using bus::MachineError;
using bus::Rights;
using bus::Trace;
using bus::TraceDecoder;
using bus::TraceEvent;
using enum bus::Rights;

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
  // Memory whose stores the agent must see as they happen (a debugger's
  // watchpoints). A rep string instruction that the machine carries out at
  // once stops after the first element that stores into one of these, with
  // ECX, EDI and ESI as the processor leaves them there, and resumes when
  // the guest runs on; other agents see its stores as one range.
  virtual std::vector<AddressRange> watchedStores() const { return {}; }
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

// What a thunk sees of the guest call that reached it.
class ThunkCall {
public:
  // What answers the thunk's caller once a guest function the thunk called
  // returned `result`: the value for EAX, unless it calls another guest
  // function (callGuest again) and so on.
  using Continuation =
      std::function<std::uint32_t(ThunkCall &, std::uint32_t result)>;

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

  // Calls the EFIAPI guest function at `address` before the thunk returns,
  // as a service that calls back into the guest does (a notification that
  // InstallPpi fires, a status-code listener): once the handler is back, the
  // function runs on the caller's stack below its frame, in the same guest
  // run (the emulator is not entered again), and `then` answers the caller
  // with what it returned. The handler's own return value is then unused.
  void callGuest(std::string name, std::uint32_t address,
                 std::vector<std::uint32_t> arguments, Continuation then) {
    pending_ = Pending{std::move(name), address, std::move(arguments),
                       std::move(then)};
  }
  // The upper half of a 64-bit result, for EDX (EFIAPI returns a UINT64 in
  // EDX:EAX); untouched when never set.
  void setResultHigh(std::uint32_t edx) { resultHigh_ = edx; }

private:
  friend class Machine;
  friend struct HookEntry;
  struct Pending {
    std::string name;
    std::uint32_t address = 0;
    std::vector<std::uint32_t> arguments;
    Continuation then;
  };

  Machine &machine_;
  std::uint32_t stack_;
  std::uint32_t returnAddress_;
  std::uint64_t started_;
  std::optional<Pending> pending_;
  std::optional<std::uint32_t> resultHigh_;
};
// Returns the value for EAX.
using ThunkHandler = std::function<std::uint32_t(ThunkCall &)>;

class Machine : private bus::Backing {
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
  // Where a guest function that a thunk called returns to.
  static constexpr std::uint32_t kResume = kThunkBase + 8;
  static constexpr std::uint32_t kFirstThunk = kThunkBase + 16;
  static constexpr std::size_t kMaxNestedCalls = 64;
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

  // --- memory and devices ---------------------------------------------------
  // The memory map, ports and MSRs the processor reaches.
  bus::AddressSpace &space() { return space_; }
  const bus::AddressSpace &space() const { return space_; }
  // Host access to mapped guest memory, whatever the guest's rights.
  std::vector<std::uint8_t> read(std::uint32_t address,
                                 std::size_t size) const {
    return space_.read(address, size);
  }
  void write(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    space_.write(address, bytes);
  }
  std::uint32_t read32(std::uint32_t address) const {
    return space_.read32(address);
  }
  void write32(std::uint32_t address, std::uint32_t value) {
    space_.write32(address, value);
  }
  // Access on the guest's behalf (a service reading its arguments, writing
  // its out-parameters): refused with GuestFault, naming `what`, when the
  // guest itself could not do it.
  std::vector<std::uint8_t> guestRead(std::uint32_t address, std::size_t size,
                                      const std::string &what) const {
    return space_.guestRead(address, size, what);
  }
  std::uint32_t guestRead32(std::uint32_t address,
                            const std::string &what) const;
  void guestWrite(std::uint32_t address, std::span<const std::uint8_t> bytes,
                  const std::string &what) {
    space_.guestWrite(address, bytes, what);
  }
  void guestWrite32(std::uint32_t address, std::uint32_t value,
                    const std::string &what);

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

  // --- trapped instructions ------------------------------------------------
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

  // --- probes -------------------------------------------------------------
  // Runs `probe` each time the guest is about to carry out the instruction
  // at `address`, inside the run; it may read registers and memory. It
  // observes code the platform does not own (a function another module's
  // PPI exports) without changing a byte of it.
  using Probe = std::function<void(Machine &)>;
  void addProbe(std::uint32_t address, Probe probe);

  // --- calls ----------------------------------------------------------------
  // A guest address that, when called (EFIAPI), runs handler on the host.
  std::uint32_t addThunk(std::string name, ThunkHandler handler);
  // Room each thunk takes in the thunk page.
  static constexpr std::uint32_t kThunkSpacing = 4;
  // The thunks added so far, by address, with their names.
  std::vector<std::pair<std::uint32_t, std::string>> thunks() const;

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

  // Stops the current run with a fault; the message gets the guest address.
  [[noreturn]] void fault(const std::string &what) const { space_.fault(what); }
  // "guest at 0x00401234 (shadow (module image) +0x1234)": how messages name
  // a guest address.
  std::string where(std::uint32_t address) const {
    return space_.where(address);
  }

  Trace &trace() { return space_.trace(); }
  const Trace &trace() const { return space_.trace(); }

private:
  // A register region mirrored into Unicorn: its callbacks' user data.
  struct MmioBinding {
    Machine *machine;
    const bus::Region *region;
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
  // The parts of a guest call.
  std::uint32_t pushFrame(std::span<const std::uint32_t> arguments);
  void beginRecord(const std::string &name, std::uint32_t address,
                   std::span<const std::uint32_t> arguments,
                   std::uint32_t argumentsAt);
  int runGuest(std::uint32_t address); // the emulator's uc_err
  void endCall(const std::string &name, std::uint32_t address, int error);
  void mapProcessorRegisters();
  // bus::Backing: the emulator holds RAM and mirrors the map.
  void mapRam(const bus::Region &region) override;
  void mapRegisters(const bus::Region &region) override;
  void unmapRegion(const bus::Region &region) override;
  void protectRegion(const bus::Region &region) override;
  bool readRam(std::uint64_t address,
               std::span<std::uint8_t> bytes) const override;
  bool writeRam(std::uint64_t address,
                std::span<const std::uint8_t> bytes) override;
  std::uint32_t instruction() const override;
  // Adds a Unicorn hook of type on [begin, end] (begin > end: everywhere);
  // instruction >= 0 names the instruction an instruction hook is for.
  std::unique_ptr<Hook> hook(int type, void *callback, std::uint64_t begin,
                             std::uint64_t end, int instruction = -1);
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
  struct StringRun {
    bool move = false;
    unsigned width = 1;
    bool backward = false;
    std::uint32_t count = 0;
    std::uint64_t bytes = 0;
    std::uint64_t to = 0, from = 0; // lowest byte of each range
    std::uint32_t edi = 0, esi = 0;
  };
  std::optional<StringRun> planString(std::uint32_t at) const;
  std::uint64_t stringBytes(const StringRun &run);
  // Shortens the run to end with the first element that stores into memory
  // an agent watches; true when it did.
  bool stopAtWatchedStore(StringRun &run) const;
  bool isStringSite(std::uint32_t at) const;
  // Whether [address, address + size) lies in one region of plain RAM that
  // the guest may access with `right` and never executes.
  bool plainRam(std::uint64_t address, std::uint64_t size, Rights right) const;
  void rdmsr();
  void wrmsr();
  std::uint64_t fsBase() const;
  void setFsBase(std::uint64_t value);
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
  bus::AddressSpace space_{*this};
  Trace &trace_ = space_.trace();
  std::vector<std::unique_ptr<Hook>> hooks_;
  std::vector<std::unique_ptr<MmioBinding>> bindings_;
  std::map<std::uint32_t, Thunk> thunks_;
  // Thunk calls waiting for a guest function they called, innermost last.
  struct Resumption {
    std::uint32_t stack;
    std::uint32_t returnAddress;
    std::uint64_t started;
    ThunkCall::Continuation then;
  };
  std::vector<Resumption> resumptions_;
  // Answers a thunk's caller with `eax`, or starts the guest function the
  // thunk asked for.
  void finishThunk(ThunkCall &call, std::uint32_t eax);
  void resumeThunk();
  std::uint32_t nextThunk_ = kFirstThunk;
  std::map<std::uint32_t, Hook *> sites_; // trapped instruction addresses
  std::map<std::uint32_t, std::vector<Probe>> probes_;
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
};

} // namespace machine
