// The completion wait on the shipped image: the exact bound of the ACPI
// power-management timer, its wrap arithmetic, Error ending the wait, and
// the counted fallback with one read of port 0xEB per pass when there is no
// timer.
#include "rig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace conformance {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

using Completion = devices::CoprocessorConfig::Completion;

platform::Scenario waiting(Completion completion, std::uint32_t start,
                           std::uint32_t ticksPerRead) {
  platform::Scenario scenario;
  scenario.chipset.coprocessor.completion = completion;
  scenario.chipset.pmTimerStart = start;
  scenario.chipset.ticksPerRead = ticksPerRead;
  return scenario;
}

// Reads of the timer a Send made (the boot never reads it).
std::uint64_t timerReadsOfSend(Booted &rig, std::uint32_t expectedStatus) {
  rig.stage(getRandom(8), 0x4000);
  EXPECT_EQ(rig.send(12), expectedStatus);
  return rig.chipset().timerReads();
}

TEST(CompletionWait, TheBoundIsExactly120000000Microseconds) {
  // 428,571,432 ticks are 120,000,000 us: the wait goes on for one more
  // reading. 428,571,433 ticks are 120,000,001 us: it ends.
  {
    Booted rig(waiting(Completion::Never, 1000, 428571432));
    ASSERT_TRUE(rig.report().ok) << rig.report().fault;
    EXPECT_EQ(timerReadsOfSend(rig, efi::kTimeout), 3u);
  }
  {
    Booted rig(waiting(Completion::Never, 1000, 428571433));
    ASSERT_TRUE(rig.report().ok) << rig.report().fault;
    EXPECT_EQ(timerReadsOfSend(rig, efi::kTimeout), 2u);
  }
}

TEST(CompletionWait, EachPassReadsTheTimerThenChecksThenCompares) {
  Booted rig(waiting(Completion::Never, 1000, 428571432));
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  rig.stage(getRandom(8), 0x4000);
  const std::size_t mark = rig.mark();
  ASSERT_EQ(rig.send(12), efi::kTimeout);
  std::vector<std::string> wait;
  bool started = false;
  for (const auto &e : rig.events(mark)) {
    if (e.from(devices::kControlAreaTrace) && e.detail() == "Start" &&
        e.write) {
      started = true;
      continue;
    }
    if (!started) {
      continue;
    }
    if (e.from(devices::kControlAreaTrace)) {
      wait.push_back(e.detail());
    } else if (e.kind == TraceEvent::Kind::Memory) {
      wait.push_back("timer port register");
    } else if (e.kind == TraceEvent::Kind::Port && e.address == 0x808) {
      wait.push_back("timer");
    }
  }
  EXPECT_THAT(wait, ElementsAre("Start", "Error", "timer port register",
                                "timer",                     // start
                                "timer", "Start", "Error",   // 428,571,432
                                "timer", "Start", "Error")); // past the bound
}

TEST(CompletionWait, AReadingEqualToStartIsAFullWrap) {
  // A timer that does not move ends the wait at the first comparison...
  {
    Booted rig(waiting(Completion::Never, 0x5000, 0));
    ASSERT_TRUE(rig.report().ok) << rig.report().fault;
    EXPECT_EQ(timerReadsOfSend(rig, efi::kTimeout), 2u);
  }
  // ...unless the command is done by then: the check comes first.
  {
    platform::Scenario scenario = waiting(Completion::AfterPolls, 0x5000, 0);
    scenario.chipset.coprocessor.polls = 1;
    Booted rig(scenario);
    ASSERT_TRUE(rig.report().ok) << rig.report().fault;
    EXPECT_EQ(timerReadsOfSend(rig, efi::kSuccess), 2u);
  }
}

TEST(CompletionWait, AWrappedReadingCountsOneTickLess) {
  // From 0xFFFFFF9B, 428,571,433 ticks on wraps past zero and counts as
  // 428,571,432: the wait goes on where an unwrapped count would end.
  Booted rig(waiting(Completion::Never, 0xFFFFFF9B, 428571433));
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  EXPECT_EQ(timerReadsOfSend(rig, efi::kTimeout), 3u);
}

TEST(CompletionWait, ErrorWhileStartIsStillOneEndsTheWait) {
  Booted rig(waiting(Completion::Fail, 0, 3580));
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  EXPECT_EQ(timerReadsOfSend(rig, efi::kDeviceError), 0u);
  EXPECT_EQ(rig.coprocessor().start(), 1u); // nothing cancelled
  EXPECT_EQ(rig.receive(), efi::kDeviceError);
  EXPECT_EQ(rig.execute(12), efi::kDeviceError);
}

TEST(CompletionWait, ATimeoutLeavesStartAsItWas) {
  Booted rig(waiting(Completion::Never, 0, 0x10000000));
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  rig.stage(getRandom(8), 0x4000);
  EXPECT_EQ(rig.send(12), efi::kTimeout);
  EXPECT_EQ(rig.coprocessor().start(), 1u);
  EXPECT_EQ(rig.receive(), efi::kTimeout);
  EXPECT_EQ(rig.coprocessor().commandRegister(), 0u);
}

platform::Scenario withoutTimer(Completion completion) {
  platform::Scenario scenario;
  scenario.chipset.coprocessor.completion = completion;
  scenario.chipset.pmTimerPort.reset();
  return scenario;
}

TEST(CompletionWait, WithoutATimerEachPassChecksThenReadsPort0xEB) {
  platform::Scenario scenario = withoutTimer(Completion::AfterPolls);
  scenario.chipset.coprocessor.polls = 5;
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  rig.stage(getRandom(8), 0x4000);
  const std::size_t mark = rig.mark();
  ASSERT_EQ(rig.send(12), efi::kSuccess);
  std::vector<std::string> wait;
  for (const auto &e : rig.events(mark)) {
    if (e.from(devices::kControlAreaTrace) && !e.write &&
        (e.detail() == "Start" || e.detail() == "Error")) {
      wait.push_back(e.detail());
    } else if (e.kind == TraceEvent::Kind::Port && e.address == 0xEB) {
      wait.push_back(e.size == 1 ? "0xEB" : "0xEB, not 8 bits");
    } else if (e.kind == TraceEvent::Kind::Memory) {
      wait.push_back("timer port register");
    }
  }
  // The first check, the register reading 0, then passes: a check and one
  // read of 0xEB each, until the fifth pass finds the command done; Send
  // then reads Error once more.
  EXPECT_THAT(wait,
              ElementsAreArray<std::string>(
                  {"Start", "Error", "timer port register", "Start", "Error",
                   "0xEB", "Start", "Error", "0xEB", "Start", "Error", "0xEB",
                   "Start", "Error", "0xEB", "Start", "Error"}));
  EXPECT_EQ(rig.chipset().delayReads(), 4u);
}

} // namespace
} // namespace conformance
