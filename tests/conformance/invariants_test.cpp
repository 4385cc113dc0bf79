// The machine invariants themselves: each check fails a guest call that
// breaks it, with the guest address, the instruction and what was broken,
// and lets a well-behaved call through. Small hand-assembled routines stand
// in for a misbehaving module; the last tests show the checks are attached
// to every call of a booted platform.
#include "rig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

namespace conformance {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

constexpr std::uint32_t kCode = 0x00070000;
constexpr std::uint32_t kData = Routines::kBuffers;

class InvariantChecks : public ::testing::Test {
protected:
  InvariantChecks() {
    rig.machine().space().mapMemory(kCode, 0x1000, "test code",
                            machine::kReadWrite | machine::kExecute);
  }
  // Runs the bytes as an EFIAPI routine; returns the fault's message, or ""
  // when the call passed every check.
  std::string run(const std::vector<std::uint8_t> &code,
                  std::vector<checks::WritableRange> writable = {}) {
    // Each snippet at an address of its own: the emulator keeps code it
    // has translated.
    const std::uint32_t at = kCode + 0x40 * runs++;
    rig.write(at, code);
    rig.machine().trapInstructions(at, code);
    rig.invariants().allowNextCall(std::move(writable));
    try {
      rig.machine().call("snippet", at, {0x11111111, 0x22222222});
    } catch (const machine::GuestFault &fault) {
      return fault.what();
    }
    return {};
  }
  Routines rig;
  unsigned runs = 0;
};

TEST_F(InvariantChecks, AWellBehavedRoutinePasses) {
  // push ebx; mov ebx, 5; push eax; pop eax; pop ebx; mov eax, 42; ret
  EXPECT_EQ(
      run({0x53, 0xBB, 5, 0, 0, 0, 0x50, 0x58, 0x5B, 0xB8, 42, 0, 0, 0, 0xC3}),
      "");
  EXPECT_EQ(rig.machine().lastCall().result, 42u);
  EXPECT_EQ(rig.invariants().callsChecked(), 1u);
}

TEST_F(InvariantChecks, CalleeSavedRegistersMustComeBack) {
  EXPECT_THAT(run({0xBB, 1, 0, 0, 0, 0xC3}), HasSubstr("EBX was")); // mov ebx
  EXPECT_THAT(run({0xBE, 1, 0, 0, 0, 0xC3}), HasSubstr("ESI was")); // mov esi
  EXPECT_THAT(run({0xBF, 1, 0, 0, 0, 0xC3}), HasSubstr("EDI was")); // mov edi
  EXPECT_THAT(run({0xBD, 1, 0, 0, 0, 0xC3}), HasSubstr("EBP was")); // mov ebp
  EXPECT_THAT(run({0xC2, 4, 0}), HasSubstr("ESP was"));             // ret 4
}

TEST_F(InvariantChecks, DirectionFlagMustBeClearOnReturn) {
  const std::string fault = run({0xFD, 0xC3}); // std; ret
  EXPECT_THAT(fault, HasSubstr("direction flag"));
  EXPECT_THAT(fault, HasSubstr("snippet"));
}

TEST_F(InvariantChecks, StoresOutsideTheGrantedRangesFailWithBothAddresses) {
  // mov [kData + 0x1000], eax; ret
  const std::vector<std::uint8_t> store = {0xA3, 0x00, 0x10, 0x08, 0x00, 0xC3};
  const std::string fault = run(store);
  EXPECT_THAT(fault, HasSubstr("guest at 0x00070000")); // the instruction
  EXPECT_THAT(fault, HasSubstr("at guest address 0x00081000"));
  EXPECT_THAT(fault, HasSubstr("outside what the call may write"));
  EXPECT_EQ(run(store, {{kData + 0x1000, 4, "a test buffer"}}), "");
  // One byte short of the store is not enough.
  EXPECT_NE(run(store, {{kData + 0x1000, 3, "a test buffer"}}), "");
}

// The machine leaves stores inside whole pages of a grant unreported; the
// last bytes of a grant that ends mid-page, and stores that run past the end
// of any grant, are still caught.
TEST_F(InvariantChecks, OneBytePastAGrantIsCaughtWhereverTheGrantEnds) {
  auto store = [](std::uint8_t opcode, std::uint32_t at) {
    return std::vector<std::uint8_t>{opcode,
                                     static_cast<std::uint8_t>(at),
                                     static_cast<std::uint8_t>(at >> 8),
                                     static_cast<std::uint8_t>(at >> 16),
                                     static_cast<std::uint8_t>(at >> 24),
                                     0xC3};
  };
  constexpr std::uint8_t kStoreAl = 0xA2, kStoreEax = 0xA3;
  const checks::WritableRange midPage{kData, 0x1800, "a test buffer"};
  EXPECT_EQ(run(store(kStoreAl, kData + 0x17FF), {midPage}), "");
  EXPECT_THAT(run(store(kStoreAl, kData + 0x1800), {midPage}),
              HasSubstr("at guest address 0x00081800"));
  EXPECT_THAT(run(store(kStoreEax, kData + 0x17FE), {midPage}),
              HasSubstr("outside what the call may write"));
  // A grant of whole pages: a store that starts inside it and runs past its
  // end is caught too.
  const checks::WritableRange pages{kData, 0x2000, "a test buffer"};
  EXPECT_EQ(run(store(kStoreEax, kData + 0x1FFC), {pages}), "");
  EXPECT_THAT(run(store(kStoreEax, kData + 0x1FFE), {pages}),
              HasSubstr("at guest address 0x00081FFE"));
  // mov edi, kData; mov ecx, 0x1801; rep stosb; ret: a fill one byte too
  // long is one store of the whole range, named by its instruction.
  std::vector<std::uint8_t> fill = {0x57, 0xBF};
  for (int i = 0; i < 4; ++i) {
    fill.push_back(static_cast<std::uint8_t>(kData >> (8 * i)));
  }
  fill.insert(fill.end(), {0xB9, 0x01, 0x18, 0, 0, 0xF3, 0xAA, 0x5F, 0xC3});
  const std::string fault = run(fill, {midPage});
  EXPECT_THAT(fault, HasSubstr("store of 6145 bytes"));
  EXPECT_THAT(fault, HasSubstr("guest at 0x00070")); // the snippet's rep stosb
  fill[7] = 0x00; // 0x1800 bytes: exactly the grant
  EXPECT_EQ(run(fill, {midPage}), "");
}

TEST_F(InvariantChecks, OwnFrameBelowTheCallersStackPointerOnly) {
  // sub esp, 0x100; mov [esp], eax; add esp, 0x100; ret
  EXPECT_EQ(run({0x81, 0xEC, 0, 1, 0, 0, 0x89, 0x04, 0x24, 0x81, 0xC4, 0, 1, 0,
                 0, 0xC3}),
            "");
  // mov [esp + 4], eax: over the caller's first argument.
  EXPECT_THAT(run({0x89, 0x44, 0x24, 0x04, 0xC3}),
              HasSubstr("outside what the call may write"));
}

TEST_F(InvariantChecks, TheModulesImageIsNeverWritten) {
  rig.invariants().protect(kData + 0x2000, 0x100, "an image");
  // mov [kData + 0x20FC], eax; ret
  const std::string fault =
      run({0xA3, 0xFC, 0x20, 0x08, 0x00, 0xC3},
          {{kData, Routines::kBuffersSize, "everything"}});
  EXPECT_THAT(fault, HasSubstr("never writes its own image"));
}

TEST_F(InvariantChecks, MsrsAndFsMustBePutBack) {
  // mov ecx, msr; mov eax, low; mov edx, high; wrmsr; ret
  auto wrmsr = [](std::uint32_t msr, std::uint32_t low, std::uint32_t high) {
    std::vector<std::uint8_t> code;
    for (const auto &[opcode, value] :
         {std::pair{0xB9, msr}, std::pair{0xB8, low}, std::pair{0xBA, high}}) {
      code.push_back(static_cast<std::uint8_t>(opcode));
      for (int i = 0; i < 4; ++i) {
        code.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
      }
    }
    code.insert(code.end(), {0x0F, 0x30, 0xC3});
    return code;
  };
  EXPECT_THAT(run(wrmsr(0xC0010015, 1u << 17, 0)), HasSubstr("MSR 0xC0010015"));
  EXPECT_THAT(run(wrmsr(0xC001001F, 0, 1u << 14)), HasSubstr("MSR 0xC001001F"));
  EXPECT_THAT(run(wrmsr(0xC0000100, 0x1000, 0)), HasSubstr("FS was"));
  // mov ax, 0x08; mov fs, ax; ret: another selector in FS.
  EXPECT_THAT(run({0x66, 0xB8, 0x08, 0x00, 0x8E, 0xE0, 0xC3}),
              HasSubstr("FS was"));
}

TEST_F(InvariantChecks, CoprocessorCommandRegisterMustBePutBack) {
  // out 0xCF8 <- 0x80004004; out 0xCFC <- 6; ret
  const std::string fault =
      run({0xB8, 0x04, 0x40, 0x00, 0x80, 0xBA, 0xF8, 0x0C, 0, 0,    0xEF, 0xB8,
           0x06, 0,    0,    0,    0xBA, 0xFC, 0x0C, 0,    0, 0xEF, 0xC3});
  EXPECT_THAT(fault, HasSubstr("command/status register"));
  EXPECT_THAT(fault, HasSubstr("not put back"));
}

TEST(BootedInvariants, EveryCallOfABootAndAnExchangeIsChecked) {
  Booted rig;
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  // Two dispatches, the trigger and the device-selected callbacks.
  EXPECT_EQ(rig.invariants().callsChecked(), 4u);
  rig.stage(getRandom(8), 0x4000);
  ASSERT_EQ(rig.execute(12), efi::kSuccess);
  EXPECT_EQ(rig.invariants().callsChecked(), 5u);
  // The control area's stores are seen like any other: Start and
  // ResponseSize are among the checked stores of the exchange. The response
  // area and the caller's buffer, granted whole, are what the machine need
  // not report; the command area, granted up to CommandSize only, is not.
  const std::uint32_t control = rig.coprocessor().config().base;
  std::set<std::uint64_t> stored;
  for (const auto &write : rig.machine().lastCall().writes) {
    stored.insert(write.address);
  }
  EXPECT_TRUE(stored.contains(control + 0x1C));
  EXPECT_TRUE(stored.contains(control + 0x34));
  EXPECT_TRUE(stored.contains(rig.coprocessor().commandAddress()));
  const auto &quiet = rig.machine().quietStores();
  const machine::AddressRange response{rig.coprocessor().responseAddress(),
                                       kAreaSize};
  const machine::AddressRange buffer{Booted::kResponse, kAreaSize};
  EXPECT_NE(std::find(quiet.begin(), quiet.end(), response), quiet.end());
  EXPECT_NE(std::find(quiet.begin(), quiet.end(), buffer), quiet.end());
  for (const auto &range : quiet) {
    EXPECT_FALSE(range.base <= rig.coprocessor().commandAddress() &&
                 rig.coprocessor().commandAddress() < range.base + range.size);
  }
}

TEST(BootedInvariants, TheResponseBufferIsGrantedUpToTheLengthAskedFor) {
  Booted rig;
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  auto &platform = rig.invariants();
  machine::CallRecord receive;
  receive.address =
      rig.report().slots[common::index(common::TransportSlot::kReceive)];
  receive.arguments = {0, 0, Booted::kResponse, Booted::kLength};
  auto grantOfBuffer = [&](std::uint32_t length) -> std::uint64_t {
    rig.machine().write32(Booted::kLength, length);
    for (const auto &grant : platform.grantsFor(receive)) {
      if (grant.base == Booted::kResponse) {
        return grant.size;
      }
    }
    return ~0ull;
  };
  EXPECT_EQ(grantOfBuffer(10), 10u);
  EXPECT_EQ(grantOfBuffer(0x4000), 0x4000u);
  EXPECT_EQ(grantOfBuffer(0x10000), 0x4000u); // never past the response area
}

TEST(BootedInvariants, EachSlotIsGrantedOnlyWhatItMayWrite) {
  Booted rig;
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  rig.machine().write32(Booted::kLength, 10);
  using Range = std::pair<std::uint64_t, std::uint64_t>;
  using enum common::TransportSlot;
  auto grants = [&](common::TransportSlot slot,
                    std::vector<std::uint32_t> arguments) {
    machine::CallRecord call;
    call.address = rig.report().slots[common::index(slot)];
    call.arguments = std::move(arguments);
    std::vector<Range> ranges;
    for (const auto &grant : rig.invariants().grantsFor(call)) {
      ranges.emplace_back(grant.base, grant.size);
    }
    return ranges;
  };
  const auto &coprocessor = rig.coprocessor();
  const std::uint32_t control = coprocessor.config().base;
  const Range command{coprocessor.commandAddress(), 12};
  const Range response{coprocessor.responseAddress(), 0x4000};
  const Range start{control + 0x1C, 4};
  const Range responseSize{control + 0x34, 4};
  const Range buffer{Booted::kResponse, 10};
  EXPECT_THAT(
      grants(kExecute,
             {0, 0, Booted::kCommand, 12, Booted::kResponse, Booted::kLength}),
      UnorderedElementsAre(command, response, start, responseSize, buffer));
  EXPECT_THAT(grants(kProbe, {0, 0}), IsEmpty());
  EXPECT_THAT(grants(kSend, {0, 0, Booted::kCommand, 12}),
              UnorderedElementsAre(command, response, start, responseSize));
  EXPECT_THAT(grants(kReceive, {0, 0, Booted::kResponse, Booted::kLength}),
              UnorderedElementsAre(responseSize, buffer));
}

} // namespace
} // namespace conformance
