// The chipset and co-processor models, driven by guest instructions the way
// the module drives them.
#include "chipset.h"
#include "guest_stubs.h"
#include "hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

using devices::Chipset;
using devices::ChipsetConfig;
using devices::Coprocessor;
using devices::CoprocessorConfig;
using machine::GuestFault;
using test::run;
using test::Stub;

constexpr std::uint32_t kCf8 = 0xCF8;
constexpr std::uint32_t kCfc = 0xCFC;
constexpr std::uint32_t kNbConfig = 0xC001001F;
constexpr std::uint32_t kBase = 0xFEB00000;

// A TPM stand-in: answers every command with a 12-byte response that
// carries the command's length, so tests can see what reached it.
std::vector<std::uint8_t> echo(std::span<const std::uint8_t> command) {
  const auto n = static_cast<std::uint8_t>(command.size());
  return {0x80, 0x01, 0, 0, 0, 12, 0, 0, 0, 0, 0xEE, n};
}

class DevicesTest : public ::testing::Test {
protected:
  void build(ChipsetConfig config = {}) {
    test::loadStubs(m);
    chipset = std::make_unique<Chipset>(m.space(), config, echo);
  }
  std::uint32_t configRead(std::uint32_t address, std::uint32_t dataPort = 0) {
    run(m, Stub::Out32, {kCf8, address});
    return run(m, Stub::In32, {kCfc + dataPort});
  }
  void configWrite(std::uint32_t address, std::uint32_t value) {
    run(m, Stub::Out32, {kCf8, address});
    run(m, Stub::Out32, {kCfc, value});
  }
  std::string faultOf(Stub stub, std::initializer_list<std::uint32_t> args) {
    try {
      run(m, stub, args);
    } catch (const GuestFault &fault) {
      return fault.what();
    }
    ADD_FAILURE() << "the guest did not stop";
    return {};
  }
  // Opens memory decoding, as the module does before touching the area.
  void openCoprocessor() { configWrite(0x80004004, 0x6); }
  std::uint32_t area(std::uint32_t field) {
    return run(m, Stub::Read32, {kBase + field});
  }

  machine::Machine m;
  std::unique_ptr<Chipset> chipset;
};

TEST_F(DevicesTest, PortMechanismReachesRegistersOfPresentFunctionsOnly) {
  build();
  EXPECT_EQ(configRead(0x80004020), kBase); // 0:8.0 base address register
  EXPECT_EQ(configRead(0x80004048), 0u);    // base from the BAR
  EXPECT_EQ(configRead(0x80010000), 0xFFFFFFFFu) << "1:0.0 does not exist";
  // The bus's own decoder names the access in the trace: where the register
  // lies in the window, how it came, and that no function answered.
  const auto config = m.trace().of(devices::kPciConfigTrace);
  const auto empty = std::find_if(config.begin(), config.end(), [](auto &e) {
    return e.address == devices::PciLocation{1, 0, 0}.windowOffset(0);
  });
  ASSERT_NE(empty, config.end());
  EXPECT_TRUE(bus::format(*empty).starts_with(
      "pci  read  0x00100000 /32 -> 0xFFFFFFFF  1:0.0 reg 0x000 via ports "
      "(no device)  [at "))
      << bus::format(*empty);
  EXPECT_EQ(configRead(0x00004020), 0xFFFFFFFFu) << "enable bit clear";
  // A 32-bit access at 0xCFD takes the register's bytes from offset 1 on.
  configWrite(0x80004060, 0x44332211);
  configWrite(0x80004064, 0x88776655);
  EXPECT_EQ(configRead(0x80004060, 1), 0x55443322u);
}

TEST_F(DevicesTest, ExtendedRegistersThroughPortsNeedTheMsrBit) {
  build();
  configWrite(0x80004048 | 0x01000000, 0xABCD0000); // reg 0x148, bit clear
  EXPECT_EQ(configRead(0x80004048), 0u) << "0x48 is fixed: write ignored";
  run(m, Stub::Wrmsr, {kNbConfig, 0, 1u << 14});
  configWrite(0x81004048, 0x12345678); // reg 0x148
  EXPECT_EQ(configRead(0x81004048), 0x12345678u);
  run(m, Stub::Wrmsr, {kNbConfig, 0, 0});
  EXPECT_EQ(configRead(0x81004048), 0u) << "bits 27:24 ignored: reg 0x48";
}

TEST_F(DevicesTest, StatusHalfClearsOnlyItsErrorBitsWhenWrittenOne) {
  ChipsetConfig config;
  config.coprocessor.status = 0xF910; // errors 8, 11-15 and capabilities
  build(config);
  configWrite(0x80004004, 0x00000006);
  EXPECT_EQ(configRead(0x80004004), 0xF9100006u) << "0 in the status half";
  configWrite(0x80004004, 0x08000002); // clear bit 11 (27 of the dword)
  EXPECT_EQ(configRead(0x80004004), 0xF1100002u);
  configWrite(0x80004004, 0xFFFF0000);
  EXPECT_EQ(configRead(0x80004004), 0x00100000u) << "bit 4 is read-only";
}

TEST_F(DevicesTest, RootComplexAnswersPresenceThroughItsIndexWindow) {
  build();
  configWrite(0x800000B8, 0xC0018000);
  EXPECT_EQ(configRead(0x800000BC), 4u);
  configWrite(0x800000B8, 0xC0018004);
  EXPECT_EQ(configRead(0x800000BC), 0u);

  machine::Machine other;
  test::loadStubs(other);
  ChipsetConfig absent;
  absent.coprocessor.present = false;
  Chipset chipsetWithout(other.space(), absent, echo);
  run(other, Stub::Out32, {kCf8, 0x800000B8});
  run(other, Stub::Out32, {kCfc, 0xC0018000});
  run(other, Stub::Out32, {kCf8, 0x800000BC});
  EXPECT_EQ(run(other, Stub::In32, {kCfc}), 0u);
  run(other, Stub::Out32, {kCf8, 0x80004020});
  EXPECT_EQ(run(other, Stub::In32, {kCfc}), 0xFFFFFFFFu);
}

TEST_F(DevicesTest, BaseFromMsrSelectsRegister48Bit12) {
  ChipsetConfig config;
  config.coprocessor.baseSource = CoprocessorConfig::BaseSource::Msr;
  config.coprocessor.msrBase = 0xFEB00003;
  build(config);
  EXPECT_EQ(configRead(0x80004048), 0x1000u);
  EXPECT_EQ(configRead(0x80004020), 0u);
  EXPECT_EQ(run(m, Stub::RdmsrLow, {Coprocessor::kMsrBase}), 0xFEB00003u);
  EXPECT_NE(
      faultOf(Stub::Wrmsr, {Coprocessor::kMsrBase, 0, 0}).find("read-only"),
      std::string::npos);
}

TEST_F(DevicesTest, ConfigurationWindowBelowAndAbove4GiB) {
  ChipsetConfig below;
  below.mmioConfigMsr = 0xE0000001; // 1 MiB: bus 0
  build(below);
  EXPECT_EQ(run(m, Stub::Read32, {0xE0040020}), kBase);
  EXPECT_EQ(run(m, Stub::RdmsrLow, {0xC0010058}), 0xE0000001u);

  machine::Machine high;
  test::loadStubs(high);
  ChipsetConfig above;
  above.mmioConfigMsr = 0x00000010E0000001;
  Chipset aboveChipset(high.space(), above, echo);
  run(high, Stub::Wrmsr, {0xC0010015, 1u << 17, 0});
  run(high, Stub::Wrmsr, {0xC0000100, 0xE0040020, 0x10});
  EXPECT_EQ(run(high, Stub::FsRead32, {0}), kBase);
  run(high, Stub::FsWrite32, {0x60 - 0x20, 0x600DF00D}); // register 0x60
  run(high, Stub::ReloadFs);
  run(high, Stub::Out32, {kCf8, 0x80004060});
  EXPECT_EQ(run(high, Stub::In32, {kCfc}), 0x600DF00Du);

  // A window that would run past the top of the address space is a
  // platform that cannot be built, not one that silently lacks it.
  machine::Machine top;
  ChipsetConfig wrapping;
  wrapping.mmioConfigMsr = 0xFFFFFFFFFFF00021; // 256 MiB from 2^64 - 1 MiB
  EXPECT_THROW(Chipset(top.space(), wrapping, echo), machine::MachineError);
}

TEST_F(DevicesTest, TimerRegisterPmTimerAndDelayPort) {
  ChipsetConfig config;
  config.pmTimerPort = 0x1808;
  config.pmTimerStart = 0xFFFFFFF0;
  config.ticksPerRead = 0x10;
  build(config);
  EXPECT_EQ(run(m, Stub::Read16, {Chipset::kTimerPortRegister}), 0x1808u);
  EXPECT_EQ(run(m, Stub::In32, {0x1808}), 0xFFFFFFF0u);
  EXPECT_EQ(run(m, Stub::In32, {0x1808}), 0u) << "32-bit counter wraps";
  EXPECT_EQ(run(m, Stub::In32, {0x1808}), 0x10u);
  EXPECT_EQ(chipset->timerReads(), 3u);
  run(m, Stub::In8, {Chipset::kDelayPort});
  run(m, Stub::In8, {Chipset::kDelayPort});
  EXPECT_EQ(chipset->delayReads(), 2u);
  EXPECT_NE(faultOf(Stub::Out8, {Chipset::kDelayPort, 0}).find("read-only"),
            std::string::npos);
  EXPECT_NE(faultOf(Stub::Read32, {0xFED80360}).find("does not model"),
            std::string::npos);
}

TEST_F(DevicesTest, AbsentTimerPublishesPortZero) {
  ChipsetConfig config;
  config.pmTimerPort.reset();
  build(config);
  EXPECT_EQ(run(m, Stub::Read16, {Chipset::kTimerPortRegister}), 0u);
  EXPECT_NE(faultOf(Stub::In32, {0x808}).find("does not model"),
            std::string::npos);
}

TEST_F(DevicesTest, StartRunsTheCommandAndLeavesTheResponse) {
  build();
  openCoprocessor();
  const std::uint32_t command = area(Coprocessor::kCommandAddress);
  const std::uint32_t response = area(Coprocessor::kResponseAddress);
  EXPECT_EQ(area(Coprocessor::kResponseAddress + 4), 0u);
  // A command whose header says 14 bytes.
  m.write(command, std::vector<std::uint8_t>{0x80, 1, 0, 0, 0, 14, 0, 0, 1,
                                             0x44, 0, 0, 0, 0});
  run(m, Stub::Write32, {kBase + Coprocessor::kStart, 1});
  EXPECT_EQ(area(Coprocessor::kStart), 0u);
  EXPECT_EQ(area(Coprocessor::kError), 0u);
  EXPECT_EQ(area(Coprocessor::kResponseSize), 12u);
  EXPECT_EQ(m.read(response + 10, 2), (std::vector<std::uint8_t>{0xEE, 14}));
  ASSERT_EQ(chipset->coprocessor().commands().size(), 1u);
  EXPECT_EQ(chipset->coprocessor().commands()[0].size(), 14u);
  const auto trace = m.trace().of(devices::kControlAreaTrace);
  EXPECT_EQ(trace.front().detail(), "CommandAddress");
}

TEST_F(DevicesTest, CommandLengthIsBoundedByTheArea) {
  build();
  openCoprocessor();
  m.write(area(Coprocessor::kCommandAddress),
          std::vector<std::uint8_t>{0x80, 1, 0x7F, 0, 0, 0});
  run(m, Stub::Write32, {kBase + Coprocessor::kStart, 1});
  EXPECT_EQ(chipset->coprocessor().commands().at(0).size(),
            Coprocessor::kCommandSize);
}

TEST_F(DevicesTest, CompletionAfterPollsNeverAndWithError) {
  ChipsetConfig polls;
  polls.coprocessor.completion = CoprocessorConfig::Completion::AfterPolls;
  polls.coprocessor.polls = 2;
  build(polls);
  openCoprocessor();
  run(m, Stub::Write32, {kBase + Coprocessor::kStart, 1});
  EXPECT_EQ(area(Coprocessor::kStart), 1u);
  EXPECT_EQ(area(Coprocessor::kStart), 1u);
  EXPECT_EQ(area(Coprocessor::kStart), 0u);
  EXPECT_EQ(chipset->coprocessor().commands().size(), 1u);

  for (auto completion : {CoprocessorConfig::Completion::Never,
                          CoprocessorConfig::Completion::Fail}) {
    machine::Machine other;
    test::loadStubs(other);
    ChipsetConfig config;
    config.coprocessor.completion = completion;
    config.coprocessor.error = 0x55;
    Chipset device(other.space(), config, echo);
    run(other, Stub::Out32, {kCf8, 0x80004004});
    run(other, Stub::Out32, {kCfc, 6});
    run(other, Stub::Write32, {kBase + Coprocessor::kStart, 1});
    EXPECT_EQ(run(other, Stub::Read32, {kBase + Coprocessor::kStart}), 1u);
    EXPECT_EQ(run(other, Stub::Read32, {kBase + Coprocessor::kError}),
              completion == CoprocessorConfig::Completion::Fail ? 0x55u : 0u);
    EXPECT_TRUE(device.coprocessor().commands().empty());
  }
}

TEST_F(DevicesTest, ResponseAddressHighHalfAndResponseSizeZero) {
  ChipsetConfig config;
  config.coprocessor.responseAddressHigh = 1;
  config.coprocessor.responseSizeZero = true;
  build(config);
  openCoprocessor();
  EXPECT_EQ(area(Coprocessor::kResponseAddress + 4), 1u);
  run(m, Stub::Write32, {kBase + Coprocessor::kResponseSize, 0x4000});
  run(m, Stub::Write32, {kBase + Coprocessor::kStart, 1});
  EXPECT_EQ(area(Coprocessor::kResponseSize), 0u);
}

TEST_F(DevicesTest, ControlAreaRefusesWhatTheTransportMustNotDo) {
  build();
  const std::string closed = faultOf(Stub::Read32, {kBase + 0x1C});
  EXPECT_NE(closed.find("memory decoding is off"), std::string::npos) << closed;
  openCoprocessor();
  EXPECT_NE(faultOf(Stub::Read32, {kBase + 0x18}).find("no business"),
            std::string::npos);
  EXPECT_NE(faultOf(Stub::Write32, {kBase + Coprocessor::kError, 0})
                .find("read-only"),
            std::string::npos);
  EXPECT_NE(faultOf(Stub::Read16, {kBase + 0x1C}).find("32-bit"),
            std::string::npos);
  // Guard pages on both sides of the command and response areas.
  const std::uint32_t command = area(Coprocessor::kCommandAddress);
  const std::uint32_t response = area(Coprocessor::kResponseAddress);
  for (std::uint32_t outside :
       {command - 4, command + Coprocessor::kCommandSize, response - 4,
        response + Coprocessor::kResponseSizeMax}) {
    EXPECT_NE(faultOf(Stub::Write32, {outside, 0}).find("nothing is mapped"),
              std::string::npos)
        << common::hex(outside, 8);
  }
}

} // namespace
