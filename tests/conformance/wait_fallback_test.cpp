// The completion wait without a timer, in full: 60,000,000 passes of the
// shipped image's IA-32 code, each one check of the control area and one
// read of port 0xEB. The one slow test of the suite (about three minutes in
// the emulator; the time is printed), kept apart so that it can be run or
// left out by its label.
#include "rig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

namespace conformance {
namespace {

using Completion = devices::CoprocessorConfig::Completion;

// The last pass ends with its read of port 0xEB, and the wait gives up
// without checking again.
TEST(CompletionWait, WithoutATimerTheWaitIsSixtyMillionPasses) {
  platform::Scenario scenario;
  scenario.chipset.coprocessor.completion = Completion::Never;
  scenario.chipset.pmTimerPort.reset();
  scenario.limits.instructions = 3'000'000'000;
  scenario.limits.time = std::chrono::minutes(10);
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  rig.stage(getRandom(8), 0x4000);
  const std::uint64_t pollsBefore = rig.coprocessor().startPolls();
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(rig.send(12), efi::kTimeout);
  const auto seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin)
          .count();
  std::printf("60,000,000-pass fallback wait: %.1f s in the emulator\n",
              seconds);
  EXPECT_EQ(rig.chipset().delayReads(), 60'000'000u);
  // The first check before the passes, then one per pass.
  EXPECT_EQ(rig.coprocessor().startPolls() - pollsBefore, 60'000'001u);
  EXPECT_EQ(rig.coprocessor().commandRegister(), 0u);
}

} // namespace
} // namespace conformance
