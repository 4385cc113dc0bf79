// End to end: the shipped image booted through every PEI stage, with a real
// TPM (libtpms) behind the co-processor and tpm2-tss driving it through the
// transport the module published.
#include "hex.h"
#include "platform.h"
#include "state_directory.h"
#include "suite_coverage.h"
#include "tpm_engine.h"
#include "tpm_header.h"
#include "tpm_names.h"
#include "tpm_session.h"
#include "trace_json.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

namespace {

using platform::Platform;
using platform::Scenario;

std::string joined(const std::vector<std::string> &lines) {
  std::string text;
  for (const auto &line : lines) {
    text += line + "\n";
  }
  return text;
}

class BootTest : public ::testing::Test {
protected:
  BootTest() : state({}), engine(state.path()) {}

  std::unique_ptr<Platform> make(const Scenario &scenario) {
    return std::make_unique<Platform>(scenario,
                                      pei::PeImage::load(FIRMWARE_IMAGE_PATH),
                                      engine, test::suiteCoverage());
  }
  // Boots, runs the session, and checks both did what the scenario says.
  platform::BootReport bootAndDrive(Platform &platform) {
    const platform::BootReport report = platform.boot();
    EXPECT_TRUE(report.ok) << joined(report.log);
    const platform::SessionOutcome session = platform::runTpmSession(platform);
    EXPECT_EQ(session.ran, report.transportPublished);
    if (session.ran) {
      EXPECT_TRUE(session.ok) << joined(session.log);
    }
    return report;
  }

  platform::StateDirectory state;
  tpm::TpmEngine engine;
};

std::vector<std::uint8_t> instance() {
  return {efi::guids::kTpmInstance.bytes.begin(),
          efi::guids::kTpmInstance.bytes.end()};
}

TEST_F(BootTest, DefaultScenarioPublishesAndCarriesATpmSession) {
  auto platform = make(Scenario{});
  const platform::BootReport report = bootAndDrive(*platform);
  EXPECT_TRUE(report.transportPublished);
  EXPECT_EQ(report.token11, instance());
  EXPECT_GT(report.relocations, 0u);
  EXPECT_EQ(report.shadowBase, 0x00400000u);
  // Every slot of the published table points into the shadow copy.
  for (std::uint32_t slot : report.slots) {
    EXPECT_GE(slot, report.shadowBase);
    EXPECT_LT(slot, report.shadowBase + platform->image().sizeOfImage());
  }
  EXPECT_GE(platform->chipset().coprocessor().commands().size(), 8u);
  // The co-processor's command register is put back after each exchange.
  EXPECT_EQ(platform->chipset().coprocessor().commandRegister(), 0u);
  // The log is in time order: inside the trigger's callback, "Setup" is
  // read and the co-processor probed before the transport is installed.
  auto line = [&](const std::string &start) {
    return std::find_if(
               report.log.begin(), report.log.end(),
               [&](const std::string &l) { return l.starts_with(start); }) -
           report.log.begin();
  };
  EXPECT_LT(line("notification on TriggerPpi fires"), line("  GetVariable"))
      << joined(report.log);
  EXPECT_LT(line("  GetVariable"), line("  probe: co-processor present"));
  EXPECT_LT(line("  probe: co-processor present"),
            line("module installed TpmTransportPpi"));
  EXPECT_LT(line("module installed TpmTransportPpi"),
            line("\"Setup\" decision: transport published"));
}

TEST_F(BootTest, ExecuteAndSendReceiveCarryRawCommands) {
  auto platform = make(Scenario{});
  ASSERT_TRUE(platform->boot().ok);
  const std::vector<std::uint8_t> startup = {0x80, 0x01, 0, 0,    0, 12,
                                             0,    0,    1, 0x44, 0, 0};
  const platform::Exchange started = platform->execute(startup);
  EXPECT_EQ(started.efiStatus, efi::kSuccess);
  ASSERT_EQ(started.response.size(), 10u);
  EXPECT_EQ(started.response[9], 0) << "TPM_RC_SUCCESS";
  const std::vector<std::uint8_t> getRandom = {0x80, 0x01, 0, 0,    0, 12,
                                               0,    0,    1, 0x7B, 0, 8};
  const platform::Exchange random = platform->sendReceive(getRandom);
  EXPECT_EQ(random.efiStatus, efi::kSuccess);
  EXPECT_EQ(random.response.size(), 10u + 2 + 8);
  // A command the module refuses before touching anything.
  const std::uint32_t args[] = {Platform::kCallerCommand, 0};
  EXPECT_EQ(platform->callTransport(common::TransportSlot::kSend, args),
            efi::kInvalidParameter);
}

struct Variation {
  const char *name;
  std::function<void(Scenario &)> apply;
  bool published;
};

TEST_F(BootTest, EachScenarioDoesWhatItShould) {
  using Completion = devices::CoprocessorConfig::Completion;
  const Variation variations[] = {
      {"no Setup", [](Scenario &s) { s.setup.reset(); }, true},
      {"Setup of 1025 bytes", [](Scenario &s) { s.setup->resize(1025); }, true},
      {"Setup of 400 bytes: SelectOverride beyond it reads 0",
       [](Scenario &s) { s.setup->resize(400); }, true},
      {"Setup of 200 bytes: DeviceSelect beyond it reads 0",
       [](Scenario &s) { s.setup->resize(200); }, false},
      {"SelectOverride", [](Scenario &s) { (*s.setup)[458] = 1; }, false},
      {"DeviceSelect 3", [](Scenario &s) { (*s.setup)[256] = 3; }, false},
      {"no variable PPI", [](Scenario &s) { s.variablePpi = false; }, true},
      {"no PCD PPI", [](Scenario &s) { s.pcdPpi = false; }, true},
      {"token 11 too small", [](Scenario &s) { s.pcd.token11MaxSize = 8; },
       true},
      {"no trigger", [](Scenario &s) { s.triggerInstalls = 0; }, false},
      {"two triggers and two selections",
       [](Scenario &s) {
         s.triggerInstalls = 2;
         s.deviceSelectedInstalls = 2;
       },
       true},
      {"co-processor absent",
       [](Scenario &s) { s.chipset.coprocessor.present = false; }, true},
      {"base from the MSR",
       [](Scenario &s) {
         s.chipset.coprocessor.baseSource =
             devices::CoprocessorConfig::BaseSource::Msr;
       },
       true},
      {"MSR base all ones",
       [](Scenario &s) {
         s.chipset.coprocessor.baseSource =
             devices::CoprocessorConfig::BaseSource::Msr;
         s.chipset.coprocessor.msrBase = 0xFFFFFFFF;
       },
       true},
      {"completion after polls",
       [](Scenario &s) {
         s.chipset.coprocessor.completion = Completion::AfterPolls;
       },
       true},
      {"never completes",
       [](Scenario &s) {
         s.chipset.coprocessor.completion = Completion::Never;
         s.chipset.ticksPerRead = 100'000'000;
       },
       true},
      {"fails with Error",
       [](Scenario &s) { s.chipset.coprocessor.completion = Completion::Fail; },
       true},
      {"base address register unassigned",
       [](Scenario &s) { s.chipset.coprocessor.barUnassigned = true; }, true},
      {"response above 4 GiB",
       [](Scenario &s) { s.chipset.coprocessor.responseAddressHigh = 1; },
       true},
      {"no command area",
       [](Scenario &s) { s.chipset.coprocessor.commandAddressZero = true; },
       true},
      {"ResponseSize left 0",
       [](Scenario &s) { s.chipset.coprocessor.responseSizeZero = true; },
       true},
      {"window below 4 GiB",
       [](Scenario &s) { s.chipset.mmioConfigMsr = Scenario::kWindowBelow; },
       true},
      {"window above 4 GiB",
       [](Scenario &s) { s.chipset.mmioConfigMsr = Scenario::kWindowAbove; },
       true},
      {"no timer", [](Scenario &s) { s.chipset.pmTimerPort.reset(); }, true},
      {"shadow high in memory",
       [](Scenario &s) { s.shadowAddress = 0x10000000; }, true},
  };
  for (const Variation &variation : variations) {
    SCOPED_TRACE(variation.name);
    Scenario scenario;
    variation.apply(scenario);
    engine.powerOff();
    auto platform = make(scenario);
    const platform::BootReport report = bootAndDrive(*platform);
    EXPECT_EQ(report.transportPublished, variation.published);
    const platform::Expectations expected = platform::expectationsFor(scenario);
    EXPECT_EQ(platform->pcd().token11Writes(), expected.token11Writes);
  }
  // A wait the instruction bound cuts short answered nothing: the session
  // says the call was stopped, not what status it "answered".
  Scenario bounded;
  bounded.chipset.coprocessor.completion = Completion::Never;
  bounded.limits.instructions = 20'000;
  engine.powerOff();
  auto platform = make(bounded);
  ASSERT_TRUE(platform->boot().transportPublished);
  const platform::SessionOutcome session = platform::runTpmSession(*platform);
  EXPECT_FALSE(session.ok);
  EXPECT_NE(joined(session.log)
                .find("the transport call was stopped before "
                      "it answered, expected EFI_TIMEOUT"),
            std::string::npos)
      << joined(session.log);
}

// --trace-json: the file is a JSON array in the Chrome trace event format
// whose slices nest (services and TPM commands inside the guest calls that
// made them), with the TPM commands in the order the TPM ran them.
TEST_F(BootTest, TheRecordAsChromeTraceEventsNestsAndKeepsTheCommandOrder) {
  auto platform = make(Scenario{});
  bootAndDrive(*platform);
  const std::filesystem::path file = state.path() / "trace.json";
  {
    platform::TraceJson json(file.string());
    json.append(platform->trace());
  }
  std::ifstream in(file);
  const nlohmann::json events = nlohmann::json::parse(in);
  ASSERT_TRUE(events.is_array());

  struct Slice {
    double begin, end;
    std::string name, category;
  };
  std::vector<Slice> slices;
  std::vector<std::string> commands;
  std::size_t instants = 0;
  for (const auto &event : events) {
    ASSERT_TRUE(event.contains("name") && event.contains("ts") &&
                event.contains("pid") && event.contains("tid"))
        << event.dump();
    if (event["ph"] == "X") {
      const double begin = event["ts"], duration = event["dur"];
      ASSERT_GE(duration, 0.0) << event.dump();
      slices.push_back({begin, begin + duration, event["name"], event["cat"]});
      if (event["cat"] == "tpm") {
        commands.push_back(event["name"]);
        EXPECT_EQ(event["args"]["response"], "0x00000000 (success)");
      }
    } else {
      ASSERT_EQ(event["ph"], "i") << event.dump();
      ++instants;
    }
  }
  // Each slice lies inside the one still open when it begins, or after it.
  std::stable_sort(
      slices.begin(), slices.end(), [](const Slice &a, const Slice &b) {
        return a.begin < b.begin || (a.begin == b.begin && a.end > b.end);
      });
  constexpr double kRounding = 0.002; // microseconds
  std::vector<const Slice *> open;
  std::size_t nested = 0;
  for (const Slice &slice : slices) {
    while (!open.empty() && open.back()->end <= slice.begin + kRounding) {
      open.pop_back();
    }
    if (!open.empty()) {
      EXPECT_LE(slice.end, open.back()->end + kRounding)
          << slice.name << " overlaps " << open.back()->name;
      EXPECT_EQ(open.back()->category, "guest call") << slice.name;
      ++nested;
    } else {
      EXPECT_EQ(slice.category, "guest call") << slice.name;
    }
    open.push_back(&slice);
  }
  EXPECT_GT(nested, 10u);
  EXPECT_GT(instants, 100u);

  std::vector<std::string> ran;
  for (const auto &command : platform->chipset().coprocessor().commands()) {
    ran.push_back(tpm::commandName(tpm::commandCodeOf(command).value_or(0)));
  }
  EXPECT_EQ(commands, ran);
  ASSERT_FALSE(commands.empty()) << "no TPM command slices";
  EXPECT_EQ(commands.front(), "TPM2_Startup");
}

TEST_F(BootTest, DeclinedActivationTouchesNoHardware) {
  Scenario scenario;
  (*scenario.setup)[256] = 0;
  auto platform = make(scenario);
  ASSERT_TRUE(platform->boot().ok);
  for (const auto &event : platform->trace().events()) {
    EXPECT_NE(event.kind, bus::TraceEvent::Kind::Port) << event.detail();
    EXPECT_NE(event.kind, bus::TraceEvent::Kind::Msr) << event.detail();
    EXPECT_NE(event.kind, bus::TraceEvent::Kind::Register) << event.detail();
    EXPECT_NE(event.kind, bus::TraceEvent::Kind::Memory) << event.detail();
  }
}

TEST_F(BootTest, EntryArmsTheTriggerThroughTheServicesPointerItIsGiven) {
  auto platform = make(Scenario{});
  const std::uint32_t given = platform->foundation().servicesPointer();
  const std::uint32_t belowIdt = platform->foundation().moveServices();
  platform->setEntryServicesPointer(given);
  ASSERT_TRUE(platform->boot().ok);
  std::vector<std::string> calls;
  for (const auto &event :
       platform->trace().of(bus::TraceEvent::Kind::Service)) {
    calls.push_back(event.detail());
  }
  const std::string text = joined(calls);
  // NotifyPpi from the shadow's entry uses the argument; every other call
  // reads the pointer below the IDT.
  EXPECT_NE(text.find("NotifyPpi(services=" + common::hex(given, 8)),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("LocatePpi(services=" + common::hex(belowIdt, 8)),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("InstallPpi(services=" + common::hex(belowIdt, 8)),
            std::string::npos)
      << text;
}

} // namespace
