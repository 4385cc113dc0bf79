// Finding and opening the co-processor, and PCI configuration as it appears
// on the wire, on the shipped image: the presence bit, the base from the MSR
// or the base address register, unusable bases, Probe, the port addresses
// and the memory-mapped window below and above 4 GiB.
#include "rig.h"

#include "hex.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

namespace conformance {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

using BaseSource = devices::CoprocessorConfig::BaseSource;

constexpr std::uint32_t kMsrBase = 0xC00110A2;

// "W 0x000B8" / "R 0x40020" for each configuration access.
std::vector<std::string> config(const std::vector<TraceEvent> &events) {
  std::vector<std::string> list;
  for (const auto &e : events) {
    if (e.from(devices::kPciConfigTrace)) {
      list.push_back((e.write ? "W " : "R ") + common::hex(e.address, 5));
    }
  }
  return list;
}

std::vector<std::uint64_t> msrReads(const std::vector<TraceEvent> &events) {
  std::vector<std::uint64_t> list;
  for (const auto &e : events) {
    if (e.kind == TraceEvent::Kind::Msr && !e.write) {
      list.push_back(e.address);
    }
  }
  return list;
}

std::vector<std::uint64_t> controlAddresses(const std::vector<TraceEvent> &ev) {
  std::vector<std::uint64_t> list;
  for (const auto &e : ev) {
    if (e.from(devices::kControlAreaTrace)) {
      list.push_back(e.address);
    }
  }
  return list;
}

// --- locating the co-processor -----------------------------------------------

TEST(Location, AbsentProbeIsOneIndexWriteAndOneDataRead) {
  platform::Scenario scenario;
  scenario.chipset.coprocessor.present = false;
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  // The probe of the activation, and Probe through the table.
  EXPECT_THAT(config(rig.during("notification TriggerPpi")),
              ElementsAre("W 0x000B8", "R 0x000BC"));
  const std::size_t mark = rig.mark();
  EXPECT_EQ(rig.slot(1, 0, 0, {}), efi::kSuccess);
  EXPECT_THAT(config(rig.events(mark)), ElementsAre("W 0x000B8", "R 0x000BC"));
  EXPECT_THAT(msrReads(rig.events(mark)), Not(Contains(kMsrBase)));
  EXPECT_EQ(rig.chipset().rootComplex().index(), 0xC0018000u);
}

TEST(Location, PresentProbeReadsTheBaseAndNothingElse) {
  Booted rig;
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  const std::size_t mark = rig.mark();
  EXPECT_EQ(rig.slot(1, 0, 0, {}), efi::kSuccess);
  EXPECT_THAT(config(rig.events(mark)),
              ElementsAre("W 0x000B8", "R 0x000BC", "R 0x40048", "R 0x40020"));
  EXPECT_THAT(controlAddresses(rig.events(mark)), IsEmpty());
}

TEST(Location, BaseFromTheMsrIsTakenUnmasked) {
  platform::Scenario scenario;
  scenario.chipset.coprocessor.baseSource = BaseSource::Msr;
  scenario.chipset.coprocessor.base = 0xFEB01000; // not 1 MiB aligned
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  rig.stage(getRandom(8), 0x4000);
  const std::size_t mark = rig.mark();
  EXPECT_EQ(rig.execute(12), efi::kSuccess);
  const auto events = rig.events(mark);
  EXPECT_THAT(msrReads(events), Contains(kMsrBase));
  EXPECT_THAT(config(events), Not(Contains("R 0x40020")));
  for (std::uint64_t at : controlAddresses(events)) {
    EXPECT_EQ(at & ~0xFFull, 0xFEB01000u);
  }
}

TEST(Location, BaseFromTheBaseAddressRegisterIsMasked) {
  platform::Scenario scenario;
  scenario.chipset.coprocessor.barLowBits = 0x000FFFFC;
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  rig.stage(getRandom(8), 0x4000);
  const std::size_t mark = rig.mark();
  EXPECT_EQ(rig.execute(12), efi::kSuccess);
  const auto events = rig.events(mark);
  EXPECT_THAT(msrReads(events), Not(Contains(kMsrBase)));
  for (std::uint64_t at : controlAddresses(events)) {
    EXPECT_EQ(at & ~0xFFull, 0xFEB00000u);
  }
}

TEST(Location, UnusableBasesMeanNoCoprocessor) {
  for (std::uint32_t base : {0xFFFFFFFFu, 0u}) {
    SCOPED_TRACE(common::hex(base, 8));
    platform::Scenario scenario;
    scenario.chipset.coprocessor.baseSource = BaseSource::Msr;
    scenario.chipset.coprocessor.msrBase = base;
    Booted rig(scenario);
    ASSERT_TRUE(rig.report().ok) << rig.report().fault;
    rig.stage(getRandom(8), 0x4000);
    const std::size_t mark = rig.mark();
    EXPECT_EQ(rig.send(12), efi::kUnsupported);
    EXPECT_EQ(rig.receive(), efi::kUnsupported);
    EXPECT_EQ(rig.execute(12), efi::kUnsupported);
    EXPECT_THAT(controlAddresses(rig.events(mark)), IsEmpty());
    EXPECT_EQ(rig.coprocessor().commandRegister(), 0u);
  }
}

// LocateCoprocessor's out-parameter, seen in the test image.
TEST(Location, WhatLocateCoprocessorWritesToBase) {
  const std::string name = "?LocateCoprocessor@@YAEPAI@Z";
  auto msr = [](std::uint32_t value) {
    devices::CoprocessorConfig c;
    c.baseSource = BaseSource::Msr;
    c.msrBase = value;
    return c;
  };
  devices::CoprocessorConfig bar;
  bar.barLowBits = 0x000FFFFF;
  devices::CoprocessorConfig absent;
  absent.present = false;
  const struct {
    const char *what;
    devices::CoprocessorConfig coprocessor;
    bool found;
    std::uint32_t base;
  } cases[] = {
      {"base address register", bar, true, 0xFEB00000},
      {"MSR, unmasked", msr(0xFEB01234), true, 0xFEB01234},
      {"MSR all ones", msr(0xFFFFFFFF), false, 0xFFFFFFFF},
      {"MSR zero", msr(0), false, 0},
      {"absent", absent, false, 0xEEEEEEEE},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    devices::ChipsetConfig config;
    config.coprocessor = c.coprocessor;
    Routines rig(config);
    rig.machine().write32(Routines::kBuffers, 0xEEEEEEEE);
    const std::uint32_t found = rig.call(
        name, {Routines::kBuffers},
        {{Routines::kBuffers, c.coprocessor.present ? 4u : 0u, "*base"}});
    EXPECT_EQ(found & 0xFF, c.found ? 1u : 0u);
    EXPECT_EQ(rig.machine().read32(Routines::kBuffers), c.base);
    if (!c.coprocessor.present) {
      EXPECT_THAT(msrReads(rig.machine().trace().events()),
                  Not(Contains(kMsrBase)));
    }
  }
}

// --- PCI configuration on the wire -------------------------------------------

TEST(Wire, ThroughThePortsWithTheWindowOff) {
  Booted rig;
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  rig.stage(getRandom(8), 0x4000);
  const std::size_t mark = rig.mark();
  ASSERT_EQ(rig.send(12), efi::kSuccess);
  std::vector<std::string> wire;
  for (const auto &e : rig.events(mark)) {
    if (e.kind == TraceEvent::Kind::Port && e.address != 0x808) {
      wire.push_back(e.address == 0xCF8
                         ? common::hex(e.value, 8)
                         : std::string(e.write ? "out " : "in ") +
                               common::hex(e.address, 4));
    }
  }
  EXPECT_THAT(wire, ElementsAre(
                        // open: command register read, then written
                        "0x80004004", "in 0x0CFC", "0x80004004", "out 0x0CFC",
                        // locate: index, data, base select, base register
                        "0x800000B8", "out 0x0CFC", "0x800000BC", "in 0x0CFC",
                        "0x80004048", "in 0x0CFC", "0x80004020", "in 0x0CFC",
                        // close
                        "0x80004004", "out 0x0CFC"));
  for (const auto &e : rig.events(mark)) {
    EXPECT_FALSE(e.kind == TraceEvent::Kind::Msr && e.write)
        << "MSR write " << common::hex(e.address, 8);
  }
  // 0xCF8 is left as last written.
  EXPECT_EQ(rig.chipset().configPorts().address(), 0x80004004u);
}

TEST(Wire, WindowBelowFourGiBIsPlainMemoryMappedAccess) {
  platform::Scenario scenario;
  scenario.chipset.mmioConfigMsr = platform::Scenario::kWindowBelow;
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  rig.stage(getRandom(8), 0x4000);
  const std::size_t mark = rig.mark();
  ASSERT_EQ(rig.execute(12), efi::kSuccess);
  const auto events = rig.events(mark);
  EXPECT_EQ(config(events).size(), 14u);
  for (const auto &e : events) {
    if (e.from(devices::kPciConfigTrace)) {
      EXPECT_NE(e.detail().find("via window"), std::string::npos) << e.detail();
    }
    EXPECT_FALSE(e.kind == TraceEvent::Kind::Port &&
                 (e.address & 0xFFF8) == 0xCF8);
    EXPECT_FALSE(e.kind == TraceEvent::Kind::Msr && e.write)
        << "MSR write " << common::hex(e.address, 8);
  }
  // The two configuration writes are stores into the window itself.
  std::set<std::uint64_t> stored;
  for (const auto &write : rig.machine().lastCall().writes) {
    if (write.address >= 0xE0000000 && write.address < 0xF0000000) {
      stored.insert(write.address);
    }
  }
  EXPECT_THAT(stored, ElementsAre(0xE00000B8u, 0xE0040004u));
}

TEST(Wire, WindowAboveFourGiBGoesThroughFsWithWrapControl) {
  platform::Scenario scenario;
  scenario.chipset.mmioConfigMsr = platform::Scenario::kWindowAbove;
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  rig.machine().setWrapControl(0x0000000000000400); // a bit of its own to keep
  rig.stage(getRandom(8), 0x4000);
  const std::size_t mark = rig.mark();
  ASSERT_EQ(rig.send(12), efi::kSuccess);
  // Per access: read the window MSR, save the wrap control, set bit 17,
  // point FS at the register, access, put the wrap control back.
  std::vector<std::string> steps;
  std::vector<std::uint64_t> targets;
  for (const auto &e : rig.events(mark)) {
    if (e.kind == TraceEvent::Kind::Msr) {
      steps.push_back(
          (e.write ? "wrmsr " : "rdmsr ") + common::hex(e.address, 8) +
          (e.write && e.address != 0xC0000100 ? "=" + common::hex(e.value)
                                              : ""));
      if (e.write && e.address == 0xC0000100) {
        targets.push_back(e.value);
      }
    } else if (e.from(devices::kPciConfigTrace)) {
      steps.push_back(e.write ? "config write" : "config read");
    }
  }
  std::vector<std::string> read = {
      "rdmsr 0xC0010058", "rdmsr 0xC0010015", "wrmsr 0xC0010015=0x20400",
      "wrmsr 0xC0000100", "config read",      "wrmsr 0xC0010015=0x400"};
  auto write = read;
  write[4] = "config write";
  std::vector<std::string> expected;
  for (const auto *access :
       {&read, &write, &write, &read, &read, &read, &write}) {
    expected.insert(expected.end(), access->begin(), access->end());
  }
  EXPECT_EQ(steps, expected);
  EXPECT_THAT(targets, ElementsAre(0x10E0040004u, 0x10E0040004u, 0x10E00000B8u,
                                   0x10E00000BCu, 0x10E0040048u, 0x10E0040020u,
                                   0x10E0040004u));
  EXPECT_EQ(rig.machine().wrapControl(), 0x400u);
}

} // namespace
} // namespace conformance
