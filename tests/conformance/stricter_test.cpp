// Where the module is stricter than a literal reading of its interface, one
// group each. Every test here fails against the literal behaviour: a call
// through an unset pointer, stack garbage deciding the activation, a copy past
// the command or response area, writes at a truncated or null address, a
// control area at physical 0, error bits of the status register cleared
// behind the platform's back.
#include "rig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace conformance {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

using Completion = devices::CoprocessorConfig::Completion;

// Without the PCD PPI nothing is called through the pointer the failed
// lookup left behind, nor through a PCD PPI found with a null interface.
TEST(AnnouncementWithoutPcd, NoPcdPpiNoCallThroughAnUnsetPointer) {
  platform::Scenario scenario;
  scenario.pcdPpi = false;
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  EXPECT_THAT(serviceTexts(rig.during("notification TpmDeviceSelectedPpi")),
              ElementsAre(HasSubstr("PcdPpi, instance 0) = EFI_NOT_FOUND")));
  EXPECT_EQ(rig.foundation().fired().back().status,
            pei::EfiStatus{efi::kSuccess});

  scenario.deviceSelectedInstalls = 0;
  Booted nullPcd(scenario);
  ASSERT_TRUE(nullPcd.report().ok) << nullPcd.report().fault;
  auto &foundation = nullPcd.foundation();
  foundation.installPpi(efi::guids::kPcdPpi, pei::GuestAddress{0});
  foundation.installPpi(
      efi::guids::kTpmDeviceSelectedPpi,
      pei::GuestAddress{foundation.allocate(std::vector<std::uint8_t>(4, 0))});
  EXPECT_THAT(serviceTexts(nullPcd.during("notification TpmDeviceSelectedPpi")),
              ElementsAre(HasSubstr("PcdPpi, instance 0) = EFI_SUCCESS")));
  EXPECT_EQ(foundation.fired().back().status, pei::EfiStatus{efi::kSuccess});
}

// Stack garbage never decides the activation. The stack below the
// callbacks is filled with a pattern of period 404 bytes, two bytes 202
// apart always differing (2 and 0); of its two phases, one puts 2 at
// DeviceSelect and 0 at SelectOverride wherever the module's buffers lie, so
// an uncleared buffer would publish (or decline) in that phase.
class SetupReadIntoClearedBuffer : public ::testing::TestWithParam<unsigned> {
protected:
  static constexpr std::uint32_t kStackTop =
      platform::Platform::kPermanentMemory +
      platform::Platform::kPermanentMemorySize;

  // Boots without the trigger, fills the stack and then installs it.
  static unsigned publishes(platform::Scenario scenario, unsigned phase,
                            const std::function<void(Booted &)> &before = {}) {
    scenario.triggerInstalls = 0;
    Booted rig(scenario);
    EXPECT_TRUE(rig.report().ok) << rig.report().fault;
    if (before) {
      before(rig);
    }
    std::vector<std::uint8_t> garbage(0x3000);
    const std::uint32_t from = kStackTop - 0x3000;
    for (std::uint32_t i = 0; i < garbage.size(); ++i) {
      garbage[i] = (from + i + phase * 202) % 404 < 202 ? 2 : 0;
    }
    rig.machine().write(from, garbage);
    rig.foundation().installPpi(efi::guids::kTriggerPpi,
                                pei::GuestAddress{rig.foundation().allocate(
                                    std::vector<std::uint8_t>(4, 0))});
    return rig.transportInstalls();
  }
};

TEST_P(SetupReadIntoClearedBuffer, AShortVariableReadsZeroesBeyondItsEnd) {
  // 300 bytes with DeviceSelect 2: SelectOverride lies beyond the variable
  // and reads 0, so the transport is published.
  EXPECT_EQ(publishes(scenarioWithSetup(setupBytes(300, 2, 0)), GetParam()),
            1u);
  // 200 zero bytes: DeviceSelect lies beyond it and reads 0: declined.
  EXPECT_EQ(publishes(scenarioWithSetup(setupBytes(200, 2, 0)), GetParam()),
            0u);
}

// A variable service whose GetVariable answers EFI_WARN_UNKNOWN_GLYPH,
// after checking how the module asks.
struct WarningVariables {
  static const std::array<pei::ServiceEntry<WarningVariables>, 2> kFunctions;

  pei::Answer getVariable(const pei::ServiceCall &call) {
    ++calls;
    // "Setup" by name, no attributes wanted, 1024 bytes offered.
    EXPECT_TRUE(call.isNull(3));
    EXPECT_EQ(call.size(4), 1024u);
    EXPECT_EQ(call.machine().read(call.pointer(1).value, 12),
              (std::vector<std::uint8_t>{'S', 0, 'e', 0, 't', 0, 'u', 0, 'p',
                                         0, 0, 0}));
    call.machine().write(call.pointer(5).value, setupBytes(633, 2, 0));
    return {1};
  }
  unsigned calls = 0;
};

// The variable PPI's functions as the platform's own declares them.
const std::array<pei::ServiceEntry<WarningVariables>, 2>
    WarningVariables::kFunctions = {{
        {pei::VariableService::kFunctions[0].signature,
         [](WarningVariables &variables, const pei::ServiceCall &call) {
           return variables.getVariable(call);
         }},
        {pei::VariableService::kFunctions[1].signature},
    }};

TEST_P(SetupReadIntoClearedBuffer, AWarningFromTheVariableServiceDeclines) {
  // A variable service answering a warning (EFI_WARN_UNKNOWN_GLYPH): not an
  // error, so "Setup" counts as read, but only EFI_SUCCESS fills the copy,
  // even with a DeviceSelect of 2 in the buffer, and the cleared copy says
  // DeviceSelect 0.
  platform::Scenario scenario;
  scenario.variablePpi = false;
  WarningVariables variables;
  const unsigned installs = publishes(scenario, GetParam(), [&](Booted &rig) {
    const pei::GuestAddress ppi = rig.foundation().allocateFunctionTable(
        "WarningVariables", WarningVariables::kFunctions, variables);
    rig.foundation().installPpi(efi::guids::kReadOnlyVariable2Ppi, ppi);
  });
  EXPECT_EQ(variables.calls, 1u);
  EXPECT_EQ(installs, 0u);
}

INSTANTIATE_TEST_SUITE_P(BothPhases, SetupReadIntoClearedBuffer,
                         ::testing::Values(0u, 1u));

// A command longer than the command area is refused before anything is
// touched.
TEST(OversizedCommand, ACommandAbove16KiBIsRefusedUntouched) {
  Booted rig;
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  const std::uint32_t area = rig.coprocessor().commandAddress();
  rig.machine().write(area, std::vector<std::uint8_t>(kAreaSize, 0xEE));
  rig.stage(std::vector<std::uint8_t>(0x4001, 0x11), 0x4000);
  const std::size_t mark = rig.mark();
  EXPECT_EQ(rig.send(0x4001), efi::kInvalidParameter);
  EXPECT_EQ(rig.execute(0x4001), efi::kInvalidParameter);
  EXPECT_THAT(hardware(rig.events(mark)), IsEmpty());
  EXPECT_EQ(rig.machine().read(area, kAreaSize),
            std::vector<std::uint8_t>(kAreaSize, 0xEE));
  // Exactly the area's size is still a command.
  EXPECT_EQ(rig.send(0x4000), efi::kSuccess);
  EXPECT_EQ(rig.machine().read(area, kAreaSize),
            std::vector<std::uint8_t>(kAreaSize, 0x11));
}

// Receive never reads past the response area, whatever it is asked for.
TEST(ReceiveBound, ReceiveCopiesAtMost16KiB) {
  for (std::uint32_t asked : {0x4001u, 0x6000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(asked);
    Booted rig;
    ASSERT_TRUE(rig.report().ok) << rig.report().fault;
    rig.stage(getRandom(8), 0x4000);
    ASSERT_EQ(rig.send(12), efi::kSuccess);
    // A 32 KiB buffer of the caller's.
    constexpr std::uint32_t kBuffer = Booted::kCommand;
    rig.machine().write(kBuffer, std::vector<std::uint8_t>(0x8000, 0x77));
    rig.machine().write32(Booted::kLength, asked);
    EXPECT_EQ(rig.slot(3, 0, 0, {kBuffer, Booted::kLength}), efi::kSuccess);
    const auto buffer = rig.machine().read(kBuffer, 0x8000);
    EXPECT_EQ(
        std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + kAreaSize),
        rig.machine().read(rig.coprocessor().responseAddress(), kAreaSize));
    EXPECT_TRUE(std::all_of(buffer.begin() + kAreaSize, buffer.end(),
                            [](std::uint8_t b) { return b == 0x77; }));
    EXPECT_EQ(rig.machine().read32(Booted::kLength), asked);
  }
}

// A response area above 4 GiB, or no command area, is "not set up":
// nothing is copied, cleared or started, and the command register is back.
TEST(ControlAreaNotSetUp, AnAreaThatIsNotSetUpIsUnsupported) {
  platform::Scenario high;
  high.chipset.coprocessor.responseAddressHigh = 0x00000001;
  platform::Scenario noCommandArea;
  noCommandArea.chipset.coprocessor.commandAddressZero = true;
  for (const auto *scenario : {&high, &noCommandArea}) {
    SCOPED_TRACE(scenario == &high ? "response address above 4 GiB"
                                   : "command address 0");
    Booted rig(*scenario);
    ASSERT_TRUE(rig.report().ok) << rig.report().fault;
    auto &m = rig.machine();
    m.write(rig.coprocessor().commandAddress(),
            std::vector<std::uint8_t>(kAreaSize, 0xEE));
    m.write(rig.coprocessor().responseAddress(),
            std::vector<std::uint8_t>(kAreaSize, 0xCC));
    rig.stage(getRandom(8), 0x4000);
    const std::size_t mark = rig.mark();
    EXPECT_EQ(rig.send(12), efi::kUnsupported);
    EXPECT_EQ(rig.receive(), efi::kUnsupported);
    EXPECT_EQ(rig.execute(12), efi::kUnsupported);
    for (const auto &e : rig.events(mark)) {
      EXPECT_FALSE(e.from(devices::kControlAreaTrace) && e.write) << e.detail();
    }
    EXPECT_EQ(m.read(rig.coprocessor().commandAddress(), kAreaSize),
              std::vector<std::uint8_t>(kAreaSize, 0xEE));
    EXPECT_EQ(m.read(rig.coprocessor().responseAddress(), kAreaSize),
              std::vector<std::uint8_t>(kAreaSize, 0xCC));
    EXPECT_EQ(m.read(Booted::kResponse, 4), std::vector<std::uint8_t>(4, 0xA5));
    EXPECT_THAT(commandWrites(rig.events(mark)),
                ElementsAre(6u, 0u, 6u, 0u, 6u, 0u));
    EXPECT_TRUE(rig.coprocessor().commands().empty());
  }
}

// A base of 0 (an MSR reading 0, or an unassigned base address register)
// is no co-processor: the control area is never looked for at physical 0.
class CoprocessorBaseOfZero : public ::testing::TestWithParam<bool> {};

TEST_P(CoprocessorBaseOfZero, ABaseOfZeroIsNotFound) {
  platform::Scenario scenario;
  if (GetParam()) {
    scenario.chipset.coprocessor.baseSource =
        devices::CoprocessorConfig::BaseSource::Msr;
    scenario.chipset.coprocessor.msrBase = 0;
  } else {
    scenario.chipset.coprocessor.barUnassigned = true;
    scenario.chipset.coprocessor.barLowBits = 0x0000000C; // 32-bit, prefetch
  }
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  rig.stage(getRandom(8), 0x4000);
  const std::size_t mark = rig.mark();
  EXPECT_EQ(rig.execute(12), efi::kUnsupported);
  EXPECT_EQ(rig.receive(), efi::kUnsupported);
  for (const auto &e : rig.events(mark)) {
    EXPECT_FALSE(e.from(devices::kControlAreaTrace)) << e.detail();
  }
  // Receive found nothing and left the command register alone.
  EXPECT_THAT(commandWrites(rig.events(mark)), ElementsAre(6u, 0u));
}

INSTANTIATE_TEST_SUITE_P(BaseSources, CoprocessorBaseOfZero, ::testing::Bool(),
                         [](const auto &info) {
                           return info.param ? "FromMsr" : "FromBar";
                         });

// The status half of the command register keeps its error bits across
// every exchange: both writes carry 0 there.
TEST(CommandRegisterStatusBits, StatusErrorBitsSurviveEveryExchange) {
  for (auto completion : {Completion::Immediately, Completion::Fail}) {
    platform::Scenario scenario;
    scenario.chipset.coprocessor.completion = completion;
    scenario.chipset.coprocessor.status = 0xF910; // bits 8, 11-15 and caps
    scenario.chipset.coprocessor.command = 0x0002;
    Booted rig(scenario);
    ASSERT_TRUE(rig.report().ok) << rig.report().fault;
    rig.stage(getRandom(8), 0x4000);
    const std::size_t mark = rig.mark();
    rig.send(12);
    rig.receive();
    rig.execute(12);
    EXPECT_EQ(rig.coprocessor().statusRegister(), 0xF910);
    EXPECT_EQ(rig.coprocessor().commandRegister(), 0x0002);
    const auto writes = commandWrites(rig.events(mark));
    ASSERT_FALSE(writes.empty());
    for (std::uint32_t value : writes) {
      EXPECT_EQ(value >> 16, 0u);
      EXPECT_TRUE(value == 0x0006 || value == 0x0002) << value;
    }
  }
}

} // namespace
} // namespace conformance
