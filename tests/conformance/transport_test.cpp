// The published transport on the shipped image: the table as other modules
// find it, and Send, Receive and Execute with every argument check, status,
// control-area access, copy length and the co-processor's command register
// put back on every way out.
#include "rig.h"

#include "hex.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace conformance {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using Completion = devices::CoprocessorConfig::Completion;

// "R Field" / "W Field=value" for each control-area access.
std::vector<std::string> control(const std::vector<TraceEvent> &events) {
  std::vector<std::string> list;
  for (const auto &e : events) {
    if (e.from(devices::kControlAreaTrace)) {
      list.push_back(e.write ? "W " + e.detail() + "=" + common::hex(e.value)
                             : "R " + e.detail());
    }
  }
  return list;
}

platform::Scenario coprocessor(Completion completion) {
  platform::Scenario scenario;
  scenario.chipset.coprocessor.completion = completion;
  return scenario;
}

// A co-processor that never completes, with a timer fast enough that the
// wait runs out after a few reads.
platform::Scenario never() {
  platform::Scenario scenario = coprocessor(Completion::Never);
  scenario.chipset.ticksPerRead = 0x10000000;
  return scenario;
}

std::uint32_t lengthOf(const std::vector<std::uint8_t> &response) {
  return static_cast<std::uint32_t>(response[2]) << 24 | response[3] << 16 |
         response[4] << 8 | response[5];
}

// --- the table ---------------------------------------------------------------

TEST(Table, DescriptorAndSlotsAsOtherModulesFindThem) {
  Booted rig;
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  const auto found = rig.foundation().locate(efi::guids::kTpmTransportPpi);
  ASSERT_TRUE(found);
  auto &m = rig.machine();
  EXPECT_EQ(m.read32(found->descriptor.value), 0x80000010u);
  EXPECT_EQ(
      m.read(m.read32(found->descriptor.value + 4), 16),
      std::vector<std::uint8_t>(efi::guids::kTpmTransportPpi.bytes.begin(),
                                efi::guids::kTpmTransportPpi.bytes.end()));
  EXPECT_EQ(m.read32(found->descriptor.value + 8), found->interface.value);
  // Slot order Execute, Probe, Send, Receive, told apart by what each does.
  rig.stage(getRandom(8), 0x20);
  const auto shadow = *rig.platform().shadow();
  for (unsigned slot = 0; slot < 4; ++slot) {
    const std::uint32_t at = m.read32(found->interface.value + 4 * slot);
    EXPECT_GE(at, shadow.base);
    EXPECT_LT(at, shadow.base + shippedImage().sizeOfImage());
  }
  std::size_t mark = rig.mark();
  EXPECT_EQ(rig.slot(1, 0, 0, {}), efi::kSuccess); // Probe: no exchange
  EXPECT_THAT(control(rig.events(mark)), IsEmpty());
  EXPECT_EQ(rig.send(12), efi::kSuccess); // Send: one command, no copy back
  EXPECT_EQ(rig.coprocessor().commands().size(), 1u);
  EXPECT_EQ(rig.machine().read(Booted::kResponse, 1)[0], 0xA5);
  EXPECT_EQ(rig.receive(), efi::kSuccess); // Receive: no command, a copy
  EXPECT_EQ(rig.coprocessor().commands().size(), 1u);
  EXPECT_EQ(rig.machine().read(Booted::kResponse, 2),
            (std::vector<std::uint8_t>{0x80, 0x01}));
  EXPECT_EQ(rig.execute(12), efi::kSuccess); // Execute: both
  EXPECT_EQ(rig.coprocessor().commands().size(), 2u);
}

TEST(Table, TheTwoLeadingParametersAreNeverRead) {
  // Null, all ones and an unmapped address behave alike.
  for (std::uint32_t leading : {0u, 0xFFFFFFFFu, 0xDEAD0000u}) {
    SCOPED_TRACE(common::hex(leading, 8));
    Booted rig;
    ASSERT_TRUE(rig.report().ok) << rig.report().fault;
    rig.stage(getRandom(8), 0x4000);
    EXPECT_EQ(rig.slot(1, leading, leading, {}), efi::kSuccess);
    EXPECT_EQ(rig.slot(2, leading, leading, {Booted::kCommand, 12}),
              efi::kSuccess);
    EXPECT_EQ(
        rig.slot(3, leading, leading, {Booted::kResponse, Booted::kLength}),
        efi::kSuccess);
    EXPECT_EQ(
        rig.slot(0, leading, leading,
                 {Booted::kCommand, 12, Booted::kResponse, Booted::kLength}),
        efi::kSuccess);
    EXPECT_EQ(rig.coprocessor().commands().size(), 2u);
    EXPECT_EQ(lengthOf(rig.machine().read(Booted::kResponse, 10)),
              rig.coprocessor().responses().back().size());
  }
}

// --- argument checks ---------------------------------------------------------

TEST(Arguments, RefusedBeforeAnythingIsTouched) {
  Booted rig;
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  rig.stage(getRandom(8), 0x4000);
  constexpr std::uint32_t kZero = Booted::kLength + 4; // holds 0
  rig.machine().write32(kZero, 0);
  const struct {
    const char *name;
    unsigned slot;
    std::vector<std::uint32_t> arguments;
  } cases[] = {
      {"Send, null command", 2, {0, 12}},
      {"Send, size 0", 2, {Booted::kCommand, 0}},
      {"Send, size 0x4001", 2, {Booted::kCommand, 0x4001}},
      {"Send, size 0xFFFFFFFF", 2, {Booted::kCommand, 0xFFFFFFFF}},
      {"Receive, null buffer", 3, {0, Booted::kLength}},
      {"Receive, null length", 3, {Booted::kResponse, 0}},
      {"Receive, length 0", 3, {Booted::kResponse, kZero}},
      {"Execute, null command", 0, {0, 12, Booted::kResponse, Booted::kLength}},
      {"Execute, size 0",
       0,
       {Booted::kCommand, 0, Booted::kResponse, Booted::kLength}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t mark = rig.mark();
    EXPECT_EQ(rig.slot(c.slot, 0, 0, c.arguments), efi::kInvalidParameter);
    EXPECT_THAT(hardware(rig.events(mark)), IsEmpty());
  }
  EXPECT_TRUE(rig.coprocessor().commands().empty());
}

TEST(Arguments, ExecuteRunsTheCommandBeforeCheckingTheResponseParameters) {
  constexpr std::uint32_t kZero = Booted::kLength + 4;
  const struct {
    const char *name;
    std::uint32_t buffer, length;
  } cases[] = {{"null buffer", 0, Booted::kLength},
               {"null length", Booted::kResponse, 0},
               {"length 0", Booted::kResponse, kZero}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Booted rig;
    ASSERT_TRUE(rig.report().ok) << rig.report().fault;
    rig.stage(getRandom(8), 0x4000);
    rig.machine().write32(kZero, 0);
    EXPECT_EQ(rig.slot(0, 0, 0, {Booted::kCommand, 12, c.buffer, c.length}),
              efi::kInvalidParameter);
    EXPECT_EQ(rig.coprocessor().commands().size(), 1u);
    EXPECT_EQ(rig.machine().read(Booted::kResponse, 1)[0], 0xA5);
  }
}

// --- statuses and the command register on every way out ----------------------

TEST(Statuses, EachOutcomeWithTheCommandRegisterPutBack) {
  platform::Scenario absent;
  absent.chipset.coprocessor.present = false;
  platform::Scenario high;
  high.chipset.coprocessor.responseAddressHigh = 1;
  const struct {
    const char *name;
    platform::Scenario scenario;
    std::uint32_t status;
  } cases[] = {
      {"completes", coprocessor(Completion::Immediately), efi::kSuccess},
      {"after polls", coprocessor(Completion::AfterPolls), efi::kSuccess},
      {"fails", coprocessor(Completion::Fail), efi::kDeviceError},
      {"never completes", never(), efi::kTimeout},
      {"response area above 4 GiB", high, efi::kUnsupported},
      {"absent", absent, efi::kUnsupported},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    platform::Scenario scenario = c.scenario;
    scenario.chipset.coprocessor.command = 0x0140; // SERR#, parity on
    Booted rig(scenario);
    ASSERT_TRUE(rig.report().ok) << rig.report().fault;
    rig.stage(getRandom(8), 0x4000);
    for (const char *call : {"Send", "Receive", "Execute"}) {
      SCOPED_TRACE(call);
      const std::size_t mark = rig.mark();
      const std::string which = call;
      const std::uint32_t status = which == "Send"      ? rig.send(12)
                                   : which == "Receive" ? rig.receive()
                                                        : rig.execute(12);
      EXPECT_EQ(status, c.status);
      const auto writes = commandWrites(rig.events(mark));
      if (!c.scenario.chipset.coprocessor.present) {
        // Receive looks for the co-processor before opening it; Send opens
        // first, and the empty slot reads all ones.
        const std::vector<std::uint32_t> expected =
            which == "Receive" ? std::vector<std::uint32_t>{}
                               : std::vector<std::uint32_t>{0xFFFF, 0xFFFF};
        EXPECT_EQ(writes, expected);
      } else if (which == "Execute" && c.status != efi::kSuccess) {
        EXPECT_THAT(writes, ElementsAre(0x0146u, 0x0140u)); // Send only
      } else if (which == "Execute") {
        EXPECT_THAT(writes, ElementsAre(0x0146u, 0x0140u, 0x0146u, 0x0140u));
      } else {
        EXPECT_THAT(writes, ElementsAre(0x0146u, 0x0140u));
      }
      EXPECT_EQ(rig.coprocessor().commandRegister(), 0x0140);
    }
  }
}

TEST(Statuses, NoResponseAreaIsUnsupportedAndNothingIsStarted) {
  // The base from the MSR is taken as it reads, so it can name plain memory
  // of the test's own as the control area: every field 0 but CommandAddress,
  // so that the ResponseAddress of 0 alone refuses the exchange.
  constexpr std::uint32_t kArea = platform::Platform::kCallerBuffers + 0xE000;
  platform::Scenario scenario;
  scenario.chipset.coprocessor.baseSource =
      devices::CoprocessorConfig::BaseSource::Msr;
  scenario.chipset.coprocessor.msrBase = kArea;
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  auto &m = rig.machine();
  m.write(kArea, std::vector<std::uint8_t>(0x40, 0));
  m.write32(kArea + devices::Coprocessor::kCommandAddress,
            rig.coprocessor().commandAddress());
  const auto area = m.read(kArea, 0x40);
  rig.stage(getRandom(8), 0x4000);
  const std::size_t mark = rig.mark();
  EXPECT_EQ(rig.send(12), efi::kUnsupported);
  EXPECT_EQ(rig.receive(), efi::kUnsupported);
  EXPECT_EQ(rig.execute(12), efi::kUnsupported);
  EXPECT_EQ(m.read(kArea, 0x40), area); // neither ResponseSize nor Start
  EXPECT_EQ(m.read(Booted::kResponse, 4), std::vector<std::uint8_t>(4, 0xA5));
  EXPECT_THAT(commandWrites(rig.events(mark)),
              ElementsAre(6u, 0u, 6u, 0u, 6u, 0u));
  EXPECT_TRUE(rig.coprocessor().commands().empty());
}

// --- the exchange, access by access ------------------------------------------

TEST(Exchange, SendAccessesTheControlAreaInOrder) {
  Booted rig;
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  rig.stage(getRandom(8), 0x4000);
  const std::size_t mark = rig.mark();
  ASSERT_EQ(rig.send(12), efi::kSuccess);
  EXPECT_THAT(control(rig.events(mark)),
              ElementsAre("R ResponseAddress (low)", "R ResponseAddress (high)",
                          "R CommandAddress", "R CommandAddress",
                          "W ResponseSize=0x4000", "R ResponseAddress (low)",
                          "W Start=0x1", "R Start", "R Error"));
}

TEST(Exchange, ReceiveAccessesTheControlAreaInOrder) {
  Booted rig;
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  rig.stage(getRandom(8), 0x4000);
  ASSERT_EQ(rig.send(12), efi::kSuccess);
  const std::size_t mark = rig.mark();
  ASSERT_EQ(rig.receive(), efi::kSuccess);
  EXPECT_THAT(control(rig.events(mark)),
              ElementsAre("R ResponseAddress (low)", "R ResponseAddress (high)",
                          "R CommandAddress", "R Start", "R Error",
                          "R ResponseSize", "R ResponseAddress (low)",
                          "W ResponseSize=0x4000"));
}

TEST(Exchange, SendCopiesExactlyTheCommandAndClearsTheWholeResponseArea) {
  for (std::uint32_t size : {1u, 12u, 0x4000u}) {
    SCOPED_TRACE("CommandSize " + std::to_string(size));
    Booted rig(
        coprocessor(Completion::Fail)); // the areas stay as Send left them
    ASSERT_TRUE(rig.report().ok) << rig.report().fault;
    auto &m = rig.machine();
    const std::uint32_t command = rig.coprocessor().commandAddress();
    const std::uint32_t response = rig.coprocessor().responseAddress();
    m.write(command, std::vector<std::uint8_t>(kAreaSize, 0xEE));
    m.write(response, std::vector<std::uint8_t>(kAreaSize, 0xCC));
    std::vector<std::uint8_t> bytes(size);
    for (std::uint32_t i = 0; i < size; ++i) {
      bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    rig.stage(bytes, 0x4000);
    EXPECT_EQ(rig.send(size), efi::kDeviceError);
    auto area = m.read(command, kAreaSize);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), area.begin()));
    EXPECT_TRUE(std::all_of(area.begin() + size, area.end(),
                            [](std::uint8_t b) { return b == 0xEE; }));
    EXPECT_EQ(m.read(response, kAreaSize),
              std::vector<std::uint8_t>(kAreaSize, 0));
    EXPECT_EQ(rig.coprocessor().responseSize(), kAreaSize);
  }
}

TEST(Exchange, ReceiveCopiesTheCallersCountAndNeverWritesIt) {
  for (std::uint32_t length : {1u, 10u, 19u, 20u, 100u, 0x4000u}) {
    SCOPED_TRACE("*ResponseLength " + std::to_string(length));
    Booted rig;
    ASSERT_TRUE(rig.report().ok) << rig.report().fault;
    rig.stage(getRandom(8), length);
    // Something of the caller's own already in the response area, beyond
    // the 20 bytes the TPM answers: the copy takes the caller's count.
    ASSERT_EQ(rig.send(12), efi::kSuccess);
    rig.machine().write(rig.coprocessor().responseAddress() + 20,
                        std::vector<std::uint8_t>(kAreaSize - 20, 0x5E));
    ASSERT_EQ(rig.receive(), efi::kSuccess);
    const auto buffer = rig.machine().read(Booted::kResponse, kAreaSize);
    const auto area =
        rig.machine().read(rig.coprocessor().responseAddress(), kAreaSize);
    EXPECT_TRUE(
        std::equal(area.begin(), area.begin() + length, buffer.begin()));
    EXPECT_TRUE(std::all_of(buffer.begin() + length, buffer.end(),
                            [](std::uint8_t b) { return b == 0xA5; }));
    EXPECT_EQ(rig.machine().read32(Booted::kLength), length);
    EXPECT_EQ(rig.coprocessor().responseSize(), kAreaSize);
  }
}

TEST(Exchange, ReceiveWithResponseSizeZeroCopiesNothingAndStillRearms) {
  platform::Scenario scenario;
  scenario.chipset.coprocessor.responseSizeZero = true;
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  rig.stage(getRandom(8), 0x4000);
  ASSERT_EQ(rig.send(12), efi::kSuccess);
  // The co-processor reported 0; only the module's write sets it again.
  ASSERT_EQ(rig.coprocessor().responseSize(), 0u);
  const std::size_t mark = rig.mark();
  EXPECT_EQ(rig.receive(), efi::kSuccess);
  EXPECT_EQ(rig.machine().read(Booted::kResponse, kAreaSize),
            std::vector<std::uint8_t>(kAreaSize, 0xA5));
  EXPECT_EQ(control(rig.events(mark)).back(), "W ResponseSize=0x4000");
  EXPECT_EQ(rig.coprocessor().responseSize(), kAreaSize);
}

TEST(Exchange, ReceiveWithoutSendCopiesWhatTheAreaHolds) {
  Booted rig;
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  rig.stage(getRandom(8), 16);
  ASSERT_EQ(rig.send(12), efi::kSuccess);
  ASSERT_EQ(rig.receive(), efi::kSuccess);
  // No new command: the co-processor is idle, Receive finds it done at once
  // and copies whatever the response area holds now.
  rig.machine().write(rig.coprocessor().responseAddress(),
                      std::vector<std::uint8_t>(16, 0x42));
  EXPECT_EQ(rig.receive(), efi::kSuccess);
  auto expected = std::vector<std::uint8_t>(16, 0x42);
  expected.push_back(0xA5);
  EXPECT_EQ(rig.machine().read(Booted::kResponse, 17), expected);
  EXPECT_EQ(rig.coprocessor().commands().size(), 1u);
}

TEST(Exchange, NothingIsCopiedOntoItself) {
  // A caller that builds its command in the command area and collects the
  // response from the response area: neither area is written by a copy.
  Booted rig;
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  const std::uint32_t command = rig.coprocessor().commandAddress();
  const std::uint32_t response = rig.coprocessor().responseAddress();
  auto storesInto = [&](std::uint32_t area) {
    unsigned count = 0;
    for (const auto &write : rig.machine().lastCall().writes) {
      count += write.address >= area && write.address < area + kAreaSize;
    }
    return count;
  };
  rig.machine().write(command, getRandom(8));
  ASSERT_EQ(rig.slot(2, 0, 0, {command, 12}), efi::kSuccess);
  EXPECT_EQ(storesInto(command), 0u);
  EXPECT_EQ(rig.coprocessor().commands().back(), getRandom(8));
  const auto answer = rig.machine().read(response, kAreaSize);
  rig.machine().write32(Booted::kLength, kAreaSize);
  ASSERT_EQ(rig.slot(3, 0, 0, {response, Booted::kLength}), efi::kSuccess);
  EXPECT_EQ(storesInto(response), 0u);
  EXPECT_EQ(rig.machine().read(response, kAreaSize), answer);
}

TEST(Exchange, ATpmSessionThroughExecuteAndThroughSendReceive) {
  Booted rig;
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  // TPM2_Startup(CLEAR) and GetRandom, answered by the TPM behind the
  // co-processor; the response is what the TPM produced, byte for byte.
  const std::vector<std::uint8_t> startup = {0x80, 0x01, 0, 0,    0, 12,
                                             0,    0,    1, 0x44, 0, 0};
  const platform::Exchange first = rig.platform().execute(startup);
  EXPECT_EQ(first.efiStatus, efi::kSuccess);
  EXPECT_EQ(first.response, rig.coprocessor().responses().back());
  const platform::Exchange second = rig.platform().sendReceive(getRandom(16));
  EXPECT_EQ(second.efiStatus, efi::kSuccess);
  ASSERT_EQ(second.response.size(), 28u);
  EXPECT_EQ(second.response, rig.coprocessor().responses().back());
  EXPECT_EQ(second.response[9], 0); // TPM_RC_SUCCESS
}

} // namespace
} // namespace conformance
