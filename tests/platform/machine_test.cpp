// The emulated processor: calls and thunks, trapped MSRs, the FS window, and
// the faults that must stop a run with a message naming the guest address.
#include "boot_log.h"
#include "guest_stubs.h"
#include "hex.h"
#include "machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

namespace {

using machine::GuestFault;
using machine::Machine;
using test::run;
using test::Stub;

class MachineTest : public ::testing::Test {
protected:
  void SetUp() override { test::loadStubs(m); }

  // Runs the stub and returns the fault message, failing if none came.
  std::string faultOf(Stub stub, std::initializer_list<std::uint32_t> args) {
    try {
      run(m, stub, args);
    } catch (const GuestFault &fault) {
      return fault.what();
    }
    ADD_FAILURE() << "the guest did not stop";
    return {};
  }

  Machine m;
};

TEST_F(MachineTest, ThunksReceiveArgumentsAndReturnToTheCaller) {
  const std::uint32_t thunk =
      m.addThunk("subtract", [](machine::ThunkCall &call) {
        return call.argument(0) - call.argument(1) + call.argument(4);
      });
  EXPECT_EQ(run(m, Stub::CallFunction, {thunk, 50, 8, 0, 0, 100, 0}), 142u);
  // The stack is back where the call left it and the canaries are intact.
  EXPECT_EQ(m.lastCall().after.esp, m.lastCall().argumentsAt);
  EXPECT_EQ(m.lastCall().after.ebx, m.lastCall().before.ebx);
  EXPECT_FALSE(m.lastCall().after.directionFlag());
}

TEST_F(MachineTest, CallRecordShowsClobberedRegistersForLaterChecks) {
  run(m, Stub::Clobber);
  EXPECT_NE(m.lastCall().after.ebx, m.lastCall().before.ebx);
  EXPECT_TRUE(m.lastCall().after.directionFlag());
}

TEST_F(MachineTest, GuestWritesAreRecordedWithTheStoringInstruction) {
  run(m, Stub::Write32, {test::kScratch + 8, 0xCAFEF00D});
  const auto &writes = m.lastCall().writes;
  auto found = std::find_if(writes.begin(), writes.end(), [](const auto &w) {
    return w.address == test::kScratch + 8;
  });
  ASSERT_NE(found, writes.end());
  EXPECT_EQ(found->value, 0xCAFEF00Du);
  EXPECT_EQ(found->size, 4u);
  // mov %eax, (%ecx) is the third instruction of the routine.
  EXPECT_EQ(found->instruction, test::address(Stub::Write32) + 8);
}

TEST_F(MachineTest, MsrInstructionsReachTheModelsAndTheTrace) {
  std::uint64_t stored = 0x1122334455667788;
  m.space().mapMsr(
      0xC0011234, "test register",
      [&](std::uint64_t, unsigned) { return stored; },
      [&](std::uint64_t, unsigned, std::uint64_t value) { stored = value; });
  EXPECT_EQ(run(m, Stub::RdmsrHigh, {0xC0011234}), 0x11223344u);
  run(m, Stub::Wrmsr, {0xC0011234, 0xAAAA5555, 0x0000FFFF});
  EXPECT_EQ(stored, 0x0000FFFFAAAA5555u);
  const auto msrs = m.trace().of(bus::TraceEvent::Kind::Msr);
  ASSERT_EQ(msrs.size(), 2u);
  EXPECT_TRUE(msrs[1].write);
  EXPECT_EQ(msrs[1].value, 0x0000FFFFAAAA5555u);
}

TEST_F(MachineTest, ReadOnlyMsrAndUnmodelledMsrOrPortStopTheRun) {
  m.space().mapMsr(
      0xC0011234, "fixed", [](std::uint64_t, unsigned) { return 1ull; },
      nullptr);
  EXPECT_NE(faultOf(Stub::Wrmsr, {0xC0011234, 0, 0}).find("read-only"),
            std::string::npos);
  const std::string msr = faultOf(Stub::RdmsrLow, {0xC0019999});
  EXPECT_NE(msr.find("0xC0019999"), std::string::npos) << msr;
  EXPECT_NE(msr.find("does not model"), std::string::npos) << msr;
  const std::string port = faultOf(Stub::In8, {0x80});
  EXPECT_NE(port.find("port 0x0080"), std::string::npos) << port;
  EXPECT_NE(port.find(common::hex(test::address(Stub::In8) + 6, 8)),
            std::string::npos)
      << "names the in instruction: " << port;
}

// Hardware nobody models: by default the run stops naming the access and
// the instruction; under the record policy each access is listed with its
// instruction and image and answered (all ones, MSRs 0, writes dropped),
// unless a value was declared for the register.
TEST_F(MachineTest, UnmodelledAccessesStopOrAreRecordedAndAnswered) {
  constexpr std::uint32_t kNowhere = 0x00A00010;
  EXPECT_NE(faultOf(Stub::Read32, {kNowhere}).find("nothing is mapped"),
            std::string::npos);
  m.space().setUnmodelled(bus::Unmodelled::Record);
  EXPECT_EQ(run(m, Stub::In8, {0x80}), 0xFFu);
  EXPECT_EQ(run(m, Stub::In16, {0x84}), 0xFFFFu);
  EXPECT_EQ(run(m, Stub::Read32, {kNowhere}), 0xFFFFFFFFu);
  run(m, Stub::Write32, {kNowhere, 0x1234});
  EXPECT_EQ(run(m, Stub::Read32, {kNowhere}), 0xFFFFFFFFu) << "write dropped";
  EXPECT_EQ(run(m, Stub::RdmsrLow, {0xC0019999}), 0u);
  run(m, Stub::Wrmsr, {0xC0019999, 5, 0});
  m.space().declare(bus::Space::Port, 0x80, {0x12, 0x34});
  m.space().declare(bus::Space::Msr, 0xC0019999, {0x5555AAAA});
  EXPECT_EQ(run(m, Stub::In8, {0x80}), 0x12u);
  EXPECT_EQ(run(m, Stub::In8, {0x80}), 0x34u);
  EXPECT_EQ(run(m, Stub::In8, {0x80}), 0x34u) << "the last value stays";
  EXPECT_EQ(run(m, Stub::RdmsrLow, {0xC0019999}), 0x5555AAAAu);

  const auto &seen = m.space().unmodelledAccesses();
  ASSERT_EQ(seen.size(), 11u);
  EXPECT_EQ(m.space().unmodelledCount(), 11u);
  EXPECT_EQ(seen[0].space, bus::Space::Port);
  EXPECT_EQ(seen[0].address, 0x80u);
  EXPECT_EQ(seen[0].instruction, test::address(Stub::In8) + 6);
  EXPECT_EQ(seen[0].image, "test code");
  EXPECT_EQ(seen[1].size, 2u);
  EXPECT_EQ(seen[2].space, bus::Space::Memory);
  EXPECT_EQ(seen[2].address, kNowhere);
  EXPECT_TRUE(seen[3].write);
  EXPECT_EQ(seen[3].value, 0x1234u);
  EXPECT_EQ(seen[6].space, bus::Space::Msr);
  EXPECT_EQ(seen[6].value, 5u);
  // The boot log's line for each: what was accessed, how it was answered,
  // and by which instruction in which image.
  const auto lines = platform::describeUnmodelled(m.space());
  ASSERT_EQ(lines.size(), seen.size());
  EXPECT_EQ(lines[0], "unmodelled: read of port 0x0080 (8 bits) answered 0xFF, "
                      "by the instruction at " +
                          common::hex(test::address(Stub::In8) + 6, 8) +
                          " in test code");
  EXPECT_TRUE(lines[3].starts_with("unmodelled: write of 0x1234 (32 bits) to "
                                   "0x00A00010 dropped"))
      << lines[3];
  // A modelled register still refuses what its hardware would not take.
  m.space().mapMsr(
      0xC0011234, "fixed", [](std::uint64_t, unsigned) { return 1ull; },
      nullptr);
  EXPECT_NE(faultOf(Stub::Wrmsr, {0xC0011234, 0, 0}).find("read-only"),
            std::string::npos);
}

TEST_F(MachineTest, RunawayLoopsEndByInstructionAndByTimeBound) {
  m.limits().instructions = 100000;
  EXPECT_NE(faultOf(Stub::Spin, {}).find("100000 instructions"),
            std::string::npos);
  m.limits().instructions = 0;
  m.limits().time = std::chrono::milliseconds(100);
  const std::string message = faultOf(Stub::Spin, {});
  EXPECT_NE(message.find("runaway"), std::string::npos) << message;
  EXPECT_NE(message.find("100 ms"), std::string::npos) << message;
}

TEST_F(MachineTest, BadAccessesAndInstructionsNameTheGuestAddress) {
  const std::string unmapped = faultOf(Stub::Read32, {0x00A00000});
  EXPECT_NE(unmapped.find("0x00A00000"), std::string::npos) << unmapped;
  EXPECT_NE(unmapped.find("nothing is mapped"), std::string::npos);

  const std::string readOnly =
      faultOf(Stub::Write32, {test::kStubBase + 0x800, 1});
  EXPECT_NE(readOnly.find("test code"), std::string::npos) << readOnly;
  EXPECT_NE(readOnly.find("may not write"), std::string::npos) << readOnly;

  const std::string invalid = faultOf(Stub::Undefined, {});
  EXPECT_NE(invalid.find(common::hex(test::address(Stub::Undefined), 8)),
            std::string::npos)
      << invalid;
  EXPECT_NE(faultOf(Stub::Halt, {}).find("unexpected instruction HLT"),
            std::string::npos);
  EXPECT_NE(faultOf(Stub::CallFunction, {0x00A00000, 0, 0, 0, 0, 0, 0})
                .find("execution at 0x00A00000"),
            std::string::npos);
}

TEST_F(MachineTest, RetiredMemoryCannotBeExecutedOrRead) {
  EXPECT_EQ(run(m, Stub::Read32, {test::kScratch}), 0u);
  m.space().protect(test::kScratch, machine::kNone, "retired for the test");
  const std::string message = faultOf(Stub::Read32, {test::kScratch});
  const std::string refusal = " in test scratch (---), which the guest may "
                              "not read: retired for the test";
  EXPECT_TRUE(message.ends_with(refusal)) << message;
  // A service reading guest memory on the guest's behalf is refused too, in
  // the same words.
  try {
    m.guestRead32(test::kScratch, "argument");
    ADD_FAILURE() << "the service read was not refused";
  } catch (const GuestFault &fault) {
    EXPECT_TRUE(std::string(fault.what()).ends_with(refusal)) << fault.what();
  }
}

TEST_F(MachineTest, FsWindowReachesAbove4GiBOnlyWithWrapControlSet) {
  std::uint64_t seen = 0;
  m.space().mapRegisters(0x1200000000, 0x1000,
                         bus::wholeBlock(
                             "high test registers", 0x1000,
                             bus::kAnyWidth | bus::kQword,
                             [&](std::uint64_t offset, unsigned) {
                               seen = offset;
                               return std::uint64_t{0x5A5A0000} | offset;
                             },
                             nullptr));
  // Wrap control on: FS base 0x12_00000010 reaches the high registers.
  run(m, Stub::Wrmsr, {Machine::kMsrWrapControl, 1u << 17, 0});
  run(m, Stub::Wrmsr, {Machine::kMsrFsBase, 0x10, 0x12});
  EXPECT_EQ(run(m, Stub::FsRead32, {4}), 0x5A5A0014u);
  EXPECT_EQ(seen, 0x14u);
  EXPECT_EQ(run(m, Stub::RdmsrHigh, {Machine::kMsrFsBase}), 0x12u);

  // Wrap control off: the same access wraps to 0x00000014, where nothing is.
  run(m, Stub::Wrmsr, {Machine::kMsrWrapControl, 0, 0});
  const std::string wrapped = faultOf(Stub::FsRead32, {4});
  EXPECT_NE(wrapped.find("physical address 0x00000014"), std::string::npos)
      << wrapped;

  // Reloading the selector gives FS its flat base back.
  run(m, Stub::ReloadFs);
  EXPECT_EQ(m.registers().fsBase, 0u);
  m.write32(test::kScratch + 0x40, 0x77);
  EXPECT_EQ(run(m, Stub::FsRead32, {test::kScratch + 0x40}), 0x77u);
}

// A service may call back into the guest (callGuest), in the same run,
// as often as it needs; a host call from inside a hook cannot nest.
TEST_F(MachineTest, ThunksCallBackIntoTheGuestButHostCallsCannotNest) {
  const std::uint32_t twice = m.addThunk(
      "twice", [](machine::ThunkCall &c) { return c.argument(0) * 2; });
  const std::uint32_t callFunction = test::address(Stub::CallFunction);
  std::vector<std::uint32_t> seen;
  const std::uint32_t outer = m.addThunk("outer", [&](machine::ThunkCall &c) {
    c.callGuest("first", callFunction, {twice, c.argument(0), 0, 0, 0, 0, 0},
                [&](machine::ThunkCall &again, std::uint32_t first) {
                  seen.push_back(first);
                  again.callGuest(
                      "second", callFunction, {twice, first, 0, 0, 0, 0, 0},
                      [&](machine::ThunkCall &, std::uint32_t second) {
                        seen.push_back(second);
                        return second + 1;
                      });
                  return 0u;
                });
    return 0xDEADu;
  });
  EXPECT_EQ(run(m, Stub::CallFunction, {outer, 5, 0, 0, 0, 0, 0}), 21u);
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{10, 20}));
  // A fault in the function called back ends the whole call; the next call
  // starts clean.
  const std::uint32_t faulting =
      m.addThunk("faulting", [&](machine::ThunkCall &c) {
        c.callGuest("read", test::address(Stub::Read32), {0x00A00000},
                    [](machine::ThunkCall &, std::uint32_t) { return 0u; });
        return 0u;
      });
  EXPECT_NE(faultOf(Stub::CallFunction, {faulting, 0, 0, 0, 0, 0, 0})
                .find("0x00A00000"),
            std::string::npos);
  EXPECT_EQ(run(m, Stub::CallFunction, {outer, 1, 0, 0, 0, 0, 0}), 5u);

  std::string error;
  const std::uint32_t thunk = m.addThunk("nested", [&](machine::ThunkCall &) {
    try {
      run(m, Stub::In8, {0x80});
    } catch (const machine::MachineError &e) {
      error = e.what();
    }
    return 0u;
  });
  run(m, Stub::CallFunction, {thunk, 0, 0, 0, 0, 0, 0});
  EXPECT_NE(error.find("cannot nest"), std::string::npos) << error;
}

// rep stos / rep movs carried out at once by the machine leave memory and the
// processor exactly as the emulator's element-at-a-time run does: random
// lengths, alignments, overlaps and both directions, on two machines.
class StringPaths {
public:
  static constexpr std::uint32_t kCode = 0x10000000;
  static constexpr std::uint32_t kStack = 0x10010000;
  static constexpr std::uint32_t kOut = kStack; // EDI, ESI, ECX, EFLAGS
  static constexpr std::uint32_t kData = 0x10100000;
  static constexpr std::uint32_t kDataSize = 0x4000;

  // Sees every instruction, as a debugger does, with one watched range: the
  // ECX of each start of the rep instruction shows where a run paused.
  struct Watcher : machine::DebugAgent {
    explicit Watcher(Machine &m) : m(m) {}
    bool wantsInstructions() const override { return true; }
    void instruction(std::uint32_t address) override {
      if ((address - kCode) % 0x80 == kRepOffset) {
        starts.push_back(m.debugRegister(1)); // ECX
      }
    }
    std::vector<machine::AddressRange> watchedStores() const override {
      return {watch};
    }
    Machine &m;
    machine::AddressRange watch;
    std::vector<std::uint32_t> starts;
  };
  static constexpr std::uint32_t kRepOffset = 26;

  explicit StringPaths(bool fast, bool watched = false) {
    m.setStringFastPath(fast);
    if (watched) {
      watcher = std::make_unique<Watcher>(m);
      m.addAgent(watcher.get());
    }
    m.space().mapMemory(kCode, 0x1000, "code", machine::kReadExecute);
    m.space().mapMemory(kStack - 0x1000, 0x2000, "stack", machine::kReadWrite);
    m.space().mapMemory(kData, kDataSize, "data", machine::kReadWrite);
    m.setStack(kStack - 0x100);
    // Arguments: EDI, ESI, ECX, EAX, direction flag; then the string
    // instruction, and what it left in the registers stored at kOut.
    for (std::size_t op = 0; op < std::size(kOpcodes); ++op) {
      std::vector<std::uint8_t> code = {
          0x57, 0x56,                           // push edi; push esi
          0x8B, 0x7C,         0x24, 0x0C,       // mov edi, [esp + 12]
          0x8B, 0x74,         0x24, 0x10,       // mov esi, [esp + 16]
          0x8B, 0x4C,         0x24, 0x14,       // mov ecx, [esp + 20]
          0x8B, 0x44,         0x24, 0x18,       // mov eax, [esp + 24]
          0x83, 0x7C,         0x24, 0x1C, 0x00, // cmp dword [esp + 28], 0
          0x74, 0x01,         0xFD,             // je +1; std
          0xF3, kOpcodes[op],                   // rep <op>
          0x9C, 0x5A,         0xFC};            // pushfd; pop edx; cld
      for (const std::uint8_t reg : {0x3D, 0x35, 0x0D, 0x15}) { // edi .. edx
        const std::uint32_t at = kOut + 4 * slot(reg);
        code.insert(code.end(), {0x89, reg, static_cast<std::uint8_t>(at),
                                 static_cast<std::uint8_t>(at >> 8),
                                 static_cast<std::uint8_t>(at >> 16),
                                 static_cast<std::uint8_t>(at >> 24)});
      }
      code.insert(code.end(), {0x5E, 0x5F, 0xC3}); // pop esi; pop edi; ret
      const auto at = static_cast<std::uint32_t>(kCode + 0x80 * op);
      m.write(at, code);
      m.trapInstructions(at, code);
    }
  }
  static constexpr std::uint8_t kOpcodes[] = {0xAA, 0xAB, 0xA4, 0xA5};
  static unsigned slot(std::uint8_t reg) {
    return reg == 0x3D ? 0 : reg == 0x35 ? 1 : reg == 0x0D ? 2 : 3;
  }

  // Memory and registers after the op on the given bytes.
  std::vector<std::uint8_t>
  run(unsigned op, const std::vector<std::uint8_t> &data, std::uint32_t edi,
      std::uint32_t esi, std::uint32_t ecx, std::uint32_t eax, bool backward) {
    m.write(kData, data);
    m.call("string", kCode + 0x80 * op, {edi, esi, ecx, eax, backward});
    std::vector<std::uint8_t> state = m.read(kData, kDataSize);
    const auto out = m.read(kOut, 16);
    state.insert(state.end(), out.begin(), out.end());
    return state;
  }
  std::size_t strings() const {
    return m.trace().of(bus::TraceEvent::Kind::String).size();
  }

  Machine m;
  std::unique_ptr<Watcher> watcher;
};

// Where an element-at-a-time run stores into the watched range: the ECX the
// processor's debug trap leaves after each such element, while elements are
// left (the instruction then starts again).
std::vector<std::uint32_t> pausesAt(const machine::AddressRange &watch,
                                    std::uint32_t edi, std::uint32_t count,
                                    unsigned width, bool backward) {
  std::vector<std::uint32_t> left;
  for (std::uint32_t i = 0; i + 1 < count; ++i) {
    const std::uint64_t at = backward ? std::uint64_t{edi} - i * width
                                      : std::uint64_t{edi} + i * width;
    if (at < watch.base + watch.size && watch.base < at + width) {
      left.push_back(count - i - 1);
    }
  }
  return left;
}

TEST(StringPaths, FastAndEmulatedRunsLeaveTheSameMemoryAndRegisters) {
  // The third machine has a debugger's agent watching a random range: its
  // strings still run fast, pausing after the first watched element.
  StringPaths fast(true), emulated(false), watched(true, true);
  std::size_t paused = 0;
  std::mt19937 random(20240907);
  auto pick = [&](std::uint32_t below) {
    return std::uniform_int_distribution<std::uint32_t>(0, below - 1)(random);
  };
  std::vector<std::uint8_t> data(StringPaths::kDataSize);
  for (int i = 0; i < 300; ++i) {
    for (auto &byte : data) {
      byte = static_cast<std::uint8_t>(pick(256));
    }
    const unsigned op = pick(4);
    const unsigned width = (op % 2) ? 4 : 1;
    const std::uint32_t count = pick(8) == 0 ? pick(1500) : pick(70);
    const std::uint32_t bytes = count * width;
    const bool backward = pick(2) == 1;
    // The lowest byte of each range: the destination anywhere, the source
    // near it (overlapping either way) or anywhere.
    const std::uint32_t room = StringPaths::kDataSize - bytes;
    const std::uint32_t to = pick(room + 1);
    std::uint32_t from = pick(room + 1);
    if (pick(3) != 0) {
      from =
          std::clamp<std::int64_t>(std::int64_t{to} + pick(41) - 20, 0, room);
    }
    // The registers point at the first element the instruction touches.
    const std::uint32_t top = backward && count != 0 ? bytes - width : 0;
    const std::uint32_t edi = StringPaths::kData + to + top;
    const std::uint32_t esi = StringPaths::kData + from + top;
    const std::uint32_t eax = pick(0xFFFFFFFF);
    SCOPED_TRACE("op " + std::to_string(op) + " count " +
                 std::to_string(count) + " to +" + std::to_string(to) +
                 " from +" + std::to_string(from) +
                 (backward ? " backward" : " forward"));
    const auto expected =
        emulated.run(op, data, edi, esi, count, eax, backward);
    ASSERT_EQ(fast.run(op, data, edi, esi, count, eax, backward), expected);
    const std::uint32_t watchSize = 1 + pick(8);
    // Mostly on or near the destination.
    const std::int64_t near = std::int64_t{to} + pick(bytes + 17) - 8;
    const machine::AddressRange watch{
        StringPaths::kData +
            static_cast<std::uint64_t>(std::clamp<std::int64_t>(
                near, 0, StringPaths::kDataSize - watchSize)),
        watchSize};
    watched.watcher->watch = watch;
    watched.watcher->starts.clear();
    ASSERT_EQ(watched.run(op, data, edi, esi, count, eax, backward), expected);
    std::vector<std::uint32_t> starts = {count};
    for (std::uint32_t left : pausesAt(watch, edi, count, width, backward)) {
      starts.push_back(left);
      ++paused;
    }
    EXPECT_EQ(watched.watcher->starts, starts)
        << "watch " << common::hex(watch.base, 8) << " size " << watch.size;
  }
  // The fast machines did carry them out at once; the other never did.
  EXPECT_GT(fast.strings(), 250u);
  EXPECT_GT(watched.strings(), fast.strings());
  EXPECT_GT(paused, 5u);
  EXPECT_EQ(emulated.strings(), 0u);
}

} // namespace

namespace {

// Records what the machine tells a debugger, and stops like one: the first
// instruction takes longer than the call's whole time bound.
struct RecordingAgent : machine::DebugAgent {
  explicit RecordingAgent(Machine &m) : m(m) {}
  bool wantsInstructions() const override { return true; }
  void instruction(std::uint32_t address) override {
    if (instructions.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(600));
    }
    instructions.push_back(address);
  }
  void faulted(const std::string &message) override {
    fault = message;
    eipAtFault = m.debugRegister(Machine::kDebugEip);
  }
  Machine &m;
  std::vector<std::uint32_t> instructions;
  std::string fault;
  std::uint32_t eipAtFault = 0;
};

TEST_F(MachineTest,
       AgentsStopTheGuestOutsideTheTimeBoundAndSeeFaultsWhereTheyHappen) {
  RecordingAgent agent(m);
  m.addAgent(&agent);
  m.limits().time = std::chrono::milliseconds(500);
  m.limits().instructions = 20000;
  const std::string runaway = faultOf(Stub::Spin, {});
  EXPECT_NE(runaway.find("20000 instructions"), std::string::npos)
      << "time stopped in the agent counted as the guest's: " << runaway;
  ASSERT_FALSE(agent.instructions.empty());
  EXPECT_EQ(agent.instructions.front(), test::address(Stub::Spin));

  const std::string message = faultOf(Stub::Read32, {0x00A00000});
  EXPECT_EQ(agent.fault, message);
  // The message names the faulting instruction; the debugger sees it in EIP.
  EXPECT_NE(message.find("guest at " + common::hex(agent.eipAtFault, 8)),
            std::string::npos)
      << message;
  EXPECT_GT(agent.eipAtFault, test::address(Stub::Read32));
  m.removeAgent(&agent);
}

} // namespace
