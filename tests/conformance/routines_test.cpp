// The hardware routines with arguments the shipped image never passes them,
// run as the IA-32 code of the test image (the module's objects linked
// without dead-stripping) on a bare machine with the device models. Each
// call also runs under the machine invariants, with exactly the bytes it may
// store granted to it.
#include "rig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace conformance {
namespace {

using ::testing::ElementsAre;

constexpr std::uint32_t kOut = Routines::kBuffers;
constexpr std::uint16_t kTimerPort = 0x808;
constexpr std::uint32_t kTimerValue = 0x12345678;
constexpr std::uint32_t kMsrWrap = 0xC0010015;
constexpr std::uint32_t kMsrFsBase = 0xC0000100;
constexpr std::uint32_t kMsrNbConfig = 0xC001001F;
constexpr std::uint32_t kMsrWindow = 0xC0010058;
constexpr std::uint64_t kExtendedConfig = 1ull << 46;

checks::WritableRange out(std::uint32_t size, std::uint32_t at = kOut) {
  return {at, size, "the out bytes"};
}

// A timer that stands still, so that every read of its port gives the same
// bytes.
devices::ChipsetConfig steadyTimer() {
  devices::ChipsetConfig config;
  config.pmTimerPort = kTimerPort;
  config.pmTimerStart = kTimerValue;
  config.ticksPerRead = 0;
  return config;
}

// The stores a call made outside its own stack frame, as (address, size),
// in order; a string instruction the machine carried out at once counts as
// the stores it stands for.
std::vector<std::pair<std::uint64_t, unsigned>> stores(Routines &rig) {
  std::vector<std::pair<std::uint64_t, unsigned>> list;
  const std::uint32_t stack = rig.machine().lastCall().before.esp;
  for (const auto &write : rig.machine().lastCall().writes) {
    if (write.address < stack &&
        write.address >= stack - checks::Invariants::kMaxStackFrame) {
      continue;
    }
    if (write.element == 0) {
      list.emplace_back(write.address, write.size);
      continue;
    }
    const unsigned count = write.size / write.element;
    for (unsigned i = 0; i < count; ++i) {
      const unsigned n = write.backward ? count - 1 - i : i;
      list.emplace_back(write.address + n * write.element, write.element);
    }
  }
  return list;
}

struct MsrAccess {
  bool write;
  std::uint64_t msr, value;
  bool operator==(const MsrAccess &) const = default;
};
std::vector<MsrAccess> msrs(Routines &rig) {
  std::vector<MsrAccess> list;
  for (const auto &e : rig.events(TraceEvent::Kind::Msr)) {
    list.push_back({e.write, e.address, e.value});
  }
  return list;
}

// --- width-coded reads -------------------------------------------------------

TEST(WidthCodes, PortReadsStoreExactlyTheWidthAndAliasesActAlike) {
  const struct {
    std::uint32_t code;
    std::vector<std::uint8_t> expected;
  } cases[] = {
      {1, {0x78, 0xEE, 0xEE, 0xEE, 0xEE}},
      {2, {0x78, 0x56, 0xEE, 0xEE, 0xEE}},
      {3, {0x78, 0x56, 0x34, 0x12, 0xEE}},
      {0x81, {0x78, 0xEE, 0xEE, 0xEE, 0xEE}},
      {0x82, {0x78, 0x56, 0xEE, 0xEE, 0xEE}},
      {0x83, {0x78, 0x56, 0x34, 0x12, 0xEE}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE("width code " + std::to_string(c.code));
    Routines rig(steadyTimer());
    rig.write(kOut, std::vector<std::uint8_t>(5, 0xEE));
    const unsigned width = c.code % 0x80 == 3 ? 4 : c.code % 0x80;
    rig.call("IoReadByWidth", {c.code, kTimerPort, kOut}, {out(width)});
    EXPECT_EQ(rig.read(kOut, 5), c.expected);
    const auto ports = rig.events(TraceEvent::Kind::Port);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].size, width);
  }
}

TEST(WidthCodes, OtherCodesReadNothingAndStoreNothing) {
  for (std::uint32_t code : {0u, 4u, 0x80u, 0x84u, 0x181u, 0x103u}) {
    SCOPED_TRACE("width code " + std::to_string(code));
    Routines rig(steadyTimer());
    rig.write(kOut, std::vector<std::uint8_t>(4, 0xEE));
    rig.call("IoReadByWidth", {code, kTimerPort, kOut});
    // A modelled register, so that a load would show in the trace.
    rig.call("MemReadByWidth", {code, 0xFED80364, 0, kOut});
    EXPECT_THAT(rig.read(kOut, 4), ElementsAre(0xEE, 0xEE, 0xEE, 0xEE));
    EXPECT_TRUE(rig.events(TraceEvent::Kind::Port).empty());
    EXPECT_TRUE(rig.events(TraceEvent::Kind::Memory).empty());
    EXPECT_TRUE(msrs(rig).empty());
    EXPECT_EQ(rig.chipset().timerReads(), 0u);
  }
}

TEST(WidthCodes, MemoryReadsBelow4GiBArePlainLoads) {
  for (std::uint32_t code : {1u, 2u, 3u, 0x81u, 0x82u, 0x83u}) {
    SCOPED_TRACE("width code " + std::to_string(code));
    Routines rig;
    rig.write(kOut + 0x100, {0x11, 0x22, 0x33, 0x44, 0x55});
    rig.write(kOut, std::vector<std::uint8_t>(5, 0xEE));
    const unsigned width = code % 0x80 == 3 ? 4 : code % 0x80;
    rig.call("MemReadByWidth", {code, kOut + 0x100, 0, kOut}, {out(width)});
    std::vector<std::uint8_t> expected(5, 0xEE);
    std::copy_n(std::vector<std::uint8_t>{0x11, 0x22, 0x33, 0x44}.begin(),
                width, expected.begin());
    EXPECT_EQ(rig.read(kOut, 5), expected);
    EXPECT_TRUE(msrs(rig).empty());
  }
}

TEST(WidthCodes, TheTimerPortRegisterIsOneSixteenBitLoadWithoutMsrs) {
  Routines rig(steadyTimer());
  rig.write(kOut, {0xEE, 0xEE, 0xEE});
  rig.call("MemReadByWidth", {2, 0xFED80364, 0, kOut}, {out(2)});
  EXPECT_THAT(rig.read(kOut, 3), ElementsAre(0x08, 0x08, 0xEE));
  const auto memory = rig.events(TraceEvent::Kind::Memory);
  ASSERT_EQ(memory.size(), 1u);
  EXPECT_EQ(memory[0].address, 0xFED80364u);
  EXPECT_EQ(memory[0].size, 2u);
  EXPECT_TRUE(msrs(rig).empty());
}

// --- above 4 GiB -------------------------------------------------------------

// Memory above 4 GiB that answers each byte with its offset's low byte plus
// 0x40 and records what is written.
struct HighMemory {
  static constexpr std::uint64_t kBase = 0x0000001234500000;
  explicit HighMemory(Routines &rig) {
    rig.machine().space().mapRegisters(
        kBase, 0x1000,
        bus::wholeBlock(
            "test memory above 4 GiB", 0x1000, bus::kAnyWidth | bus::kQword,
            [](std::uint64_t offset, unsigned size) {
              std::uint64_t value = 0;
              for (unsigned i = size; i-- > 0;) {
                value = value << 8 | ((offset + i + 0x40) & 0xFF);
              }
              return value;
            },
            [this](std::uint64_t offset, unsigned size, std::uint64_t value) {
              written.push_back({offset, size, value});
            }));
  }
  struct Write {
    std::uint64_t offset;
    unsigned size;
    std::uint64_t value;
  };
  std::vector<Write> written;
};

TEST(HighWindow, ReadsGoThroughFsWithWrapControlSetAndPutBack) {
  // Other bits of the wrap-control MSR are kept, bit 17 added; the value put
  // back is the one read, so a bit 17 that was set already stays set.
  for (const auto &[code, wrapControl] :
       {std::pair{1u, 0x0000000100000010ull},
        std::pair{2u, 0x0000000100000010ull},
        std::pair{3u, 0x0000000100000010ull},
        std::pair{3u, 0x0000000100020010ull}}) {
    SCOPED_TRACE("width code " + std::to_string(code) + ", MSR 0xC0010015 " +
                 std::to_string(wrapControl));
    Routines rig;
    HighMemory high(rig);
    rig.machine().setWrapControl(wrapControl);
    rig.write(kOut, std::vector<std::uint8_t>(4, 0xEE));
    const unsigned width = code == 3 ? 4 : code;
    rig.call("MemReadByWidth", {code, 0x34500020, 0x12, kOut}, {out(width)});
    std::vector<std::uint8_t> expected(4, 0xEE);
    for (unsigned i = 0; i < width; ++i) {
      expected[i] = static_cast<std::uint8_t>(0x60 + i);
    }
    EXPECT_EQ(rig.read(kOut, 4), expected);
    EXPECT_THAT(msrs(rig),
                ElementsAre(MsrAccess{false, kMsrWrap, wrapControl},
                            MsrAccess{true, kMsrWrap, wrapControl | 1u << 17},
                            MsrAccess{true, kMsrFsBase, 0x1234500020},
                            MsrAccess{true, kMsrWrap, wrapControl}));
    // The access through FS, beside the test memory's own record of it.
    auto through = rig.events(TraceEvent::Kind::Memory);
    std::erase_if(through,
                  [](const auto &e) { return !e.named("through FS"); });
    ASSERT_EQ(through.size(), 1u);
    EXPECT_EQ(through[0].address, 0x1234500020u);
    EXPECT_EQ(through[0].size, width);
    // FS selector and base, and the MSR, are back: the invariants checked
    // them; the selector is the flat data segment again.
    EXPECT_EQ(rig.machine().registers().fs, machine::Machine::kDataSelector);
    EXPECT_EQ(rig.machine().wrapControl(), wrapControl);
  }
}

// --- PCI configuration through the ports -------------------------------------

struct PortAccess {
  bool write;
  std::uint16_t port;
  unsigned size;
  std::uint32_t value;
  bool operator==(const PortAccess &) const = default;
};
std::vector<PortAccess> ports(Routines &rig) {
  std::vector<PortAccess> list;
  for (const auto &e : rig.events(TraceEvent::Kind::Port)) {
    list.push_back({e.write, static_cast<std::uint16_t>(e.address), e.size,
                    static_cast<std::uint32_t>(e.value)});
  }
  return list;
}

TEST(PortConfig, LegacyRegistersLeaveTheExtendedAccessMsrAlone) {
  Routines rig;
  rig.chipset().coprocessor().write(0x3C, 0xA1B2C3D4, 0xF);
  rig.call("ReadConfig32", {0x4003C, kOut}, {out(4)});
  EXPECT_EQ(rig.machine().read32(kOut), 0xA1B2C3D4u);
  // Register 0xFF, the last legacy one, through its byte lane's data port.
  rig.call("ReadConfig32", {0x400FF, kOut}, {out(4)});
  const auto seen = ports(rig);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0], (PortAccess{true, 0xCF8, 4, 0x8000403C}));
  EXPECT_EQ(seen[1], (PortAccess{false, 0xCFC, 4, 0xA1B2C3D4}));
  EXPECT_EQ(seen[2], (PortAccess{true, 0xCF8, 4, 0x800040FC}));
  EXPECT_EQ(seen[3].port, 0xCFF);
  EXPECT_THAT(msrs(rig), ElementsAre(MsrAccess{false, kMsrWindow, 0},
                                     MsrAccess{false, kMsrWindow, 0}));
}

TEST(PortConfig, AddressBitsAboveTheBusAndTheByteLaneBits) {
  Routines rig;
  // Bits 31:28 never reach the address; bits 1:0 pick the data port.
  rig.call("ReadConfig32", {0xF0040005, kOut}, {out(4)});
  rig.call("ReadConfig32", {0x000000B8, kOut}, {out(4)});
  const std::uint32_t value = 0x01020304;
  rig.machine().write32(kOut + 8, value);
  rig.call("WriteConfig32", {0x4003E, kOut + 8});
  // Bus 0xA5, device 0x1F, function 5, register 0xFC: every field's top bit.
  rig.call("ReadConfig32", {0x0A5FD0FC, kOut}, {out(4)});
  const auto seen = ports(rig);
  ASSERT_EQ(seen.size(), 8u);
  EXPECT_EQ(seen[0], (PortAccess{true, 0xCF8, 4, 0x80004004}));
  EXPECT_EQ(seen[1].port, 0xCFD);
  EXPECT_EQ(seen[2], (PortAccess{true, 0xCF8, 4, 0x800000B8}));
  EXPECT_EQ(seen[3].port, 0xCFC);
  EXPECT_EQ(seen[4], (PortAccess{true, 0xCF8, 4, 0x8000403C}));
  EXPECT_EQ(seen[5], (PortAccess{true, 0xCFE, 4, value}));
  EXPECT_EQ(seen[6], (PortAccess{true, 0xCF8, 4, 0x80A5FDFC}));
}

TEST(PortConfig, ExtendedRegistersAreBracketedByTheMsr) {
  for (std::uint64_t before : {std::uint64_t{0}, kExtendedConfig | 0x5}) {
    SCOPED_TRACE("MSR 0xC001001F before: " + std::to_string(before));
    Routines rig;
    rig.chipset().configPorts().setNbConfig(before);
    const std::uint32_t value = 0xCAFEF00D;
    rig.machine().write32(kOut + 8, value);
    rig.call("WriteConfig32", {0x40148, kOut + 8});
    rig.call("ReadConfig32", {0x40148, kOut}, {out(4)});
    // The value went to register 0x148, not to 0x48, and came back.
    EXPECT_EQ(rig.chipset().coprocessor().read(0x148), value);
    EXPECT_EQ(rig.machine().read32(kOut), value);
    EXPECT_EQ(rig.chipset().configPorts().nbConfig(), before);
    // Each access: window MSR read, MSR saved, set (even when it was set
    // already), the ports, then the saved value back.
    const MsrAccess bracket[] = {{false, kMsrWindow, 0},
                                 {false, kMsrNbConfig, before},
                                 {true, kMsrNbConfig, before | kExtendedConfig},
                                 {true, kMsrNbConfig, before}};
    EXPECT_THAT(msrs(rig),
                ElementsAre(bracket[0], bracket[1], bracket[2], bracket[3],
                            bracket[0], bracket[1], bracket[2], bracket[3]));
    EXPECT_THAT(ports(rig), ElementsAre(PortAccess{true, 0xCF8, 4, 0x81004048},
                                        PortAccess{true, 0xCFC, 4, value},
                                        PortAccess{true, 0xCF8, 4, 0x81004048},
                                        PortAccess{false, 0xCFC, 4, value}));
    // The MSR is written on before the address and back after the data.
    std::vector<std::string> order;
    for (const auto &e : rig.machine().trace().events()) {
      if (e.kind == TraceEvent::Kind::Msr && e.address == kMsrNbConfig &&
          e.write) {
        order.push_back(e.value == (before | kExtendedConfig) &&
                                (order.empty() || order.back() == "restore")
                            ? "on"
                            : "restore");
      } else if (e.kind == TraceEvent::Kind::Port) {
        order.push_back(e.address == 0xCF8 ? "address" : "data");
      }
    }
    EXPECT_THAT(order, ElementsAre("on", "address", "data", "restore", "on",
                                   "address", "data", "restore"));
  }
}

// --- PCI configuration through the memory-mapped window ----------------------

TEST(WindowConfig, BaseAndLengthFromTheMsr) {
  const struct {
    std::uint64_t msr;
    std::uint64_t base;
    std::uint32_t length;
  } cases[] = {
      {0x00000000E0000001, 0xE0000000, 0x00100000},   // n = 0: 1 MiB
      {0x00000000E0000021, 0xE0000000, 0x10000000},   // n = 8: 256 MiB
      {0x00000012E00FF00D, 0x12E0000000, 0x00800000}, // low bits masked off
      {0x000000A0E000000D, 0xA0E0000000, 0x00800000}, // high half whole
      {0x00000010E0000001 | 0xB << 2, 0x10E0000000, 0x80000000}, // n = 11
      {0x00000010E0000001 | 0xC << 2, 0x10E0000000, 0},          // n = 12
      {0x00000010E0000001 | 0xF << 2, 0x10E0000000, 0},          // n = 15
  };
  for (const auto &c : cases) {
    SCOPED_TRACE("MSR 0xC0010058 = " + std::to_string(c.msr));
    devices::ChipsetConfig config;
    config.mmioConfigMsr = c.msr;
    Routines rig(config);
    rig.write(kOut, std::vector<std::uint8_t>(12, 0xEE));
    EXPECT_EQ(rig.call("GetMmioConfigBase", {kOut, kOut + 8},
                       {out(8), out(4, kOut + 8)}) &
                  0xFF,
              1u);
    const auto bytes = rig.read(kOut, 12);
    std::uint64_t base = 0;
    for (int i = 7; i >= 0; --i) {
      base = base << 8 | bytes[i];
    }
    EXPECT_EQ(base, c.base);
    EXPECT_EQ(rig.machine().read32(kOut + 8), c.length);
  }
}

TEST(WindowConfig, OffLeavesBothOutputsUntouched) {
  devices::ChipsetConfig config;
  config.mmioConfigMsr = 0x00000010E0000020; // bit 0 clear
  Routines rig(config);
  rig.write(kOut, std::vector<std::uint8_t>(12, 0xEE));
  EXPECT_EQ(rig.call("GetMmioConfigBase", {kOut, kOut + 8}) & 0xFF, 0u);
  EXPECT_EQ(rig.read(kOut, 12), std::vector<std::uint8_t>(12, 0xEE));
}

TEST(WindowConfig, ExtendedRegistersDoNotTouchTheExtendedAccessMsr) {
  devices::ChipsetConfig config;
  config.mmioConfigMsr = platform::Scenario::kWindowBelow;
  Routines rig(config);
  const std::uint32_t value = 0x5A5A1234;
  rig.machine().write32(kOut + 8, value);
  rig.call("WriteConfig32", {0xF0040148, kOut + 8},
           {{0xE0040148, 4, "0:8.0 register 0x148 in the window"}});
  rig.call("ReadConfig32", {0x40148, kOut}, {out(4)});
  EXPECT_EQ(rig.chipset().coprocessor().read(0x148), value);
  EXPECT_EQ(rig.machine().read32(kOut), value);
  // Register 0 of 0:0.0 lies at the window's base itself: offset 0 carries
  // nothing into the high half, so it is a plain load as well.
  rig.chipset().rootComplex().write(0x00, 0x1022F00D, 0xF);
  rig.call("ReadConfig32", {0xF0000000, kOut}, {out(4)});
  EXPECT_EQ(rig.machine().read32(kOut), 0x1022F00Du);
  for (const auto &access : msrs(rig)) {
    EXPECT_EQ(access.msr, kMsrWindow) << "MSR " << access.msr << " touched";
  }
  EXPECT_TRUE(ports(rig).empty());
}

TEST(WindowConfig, AboveFourGiBThroughTheFsWindow) {
  devices::ChipsetConfig config;
  config.mmioConfigMsr = platform::Scenario::kWindowAbove; // 0x10_E0000000
  Routines rig(config);
  rig.chipset().coprocessor().write(0x3C, 0x0BADBEEF, 0xF);
  rig.call("ReadConfig32", {0x4003C, kOut}, {out(4)});
  EXPECT_EQ(rig.machine().read32(kOut), 0x0BADBEEFu);
  const std::uint32_t value = 0x600DF00D;
  rig.machine().write32(kOut + 8, value);
  rig.call("WriteConfig32", {0x40040, kOut + 8},
           {{0x10E0040040, 4, "0:8.0 register 0x40 in the window"}});
  EXPECT_EQ(rig.chipset().coprocessor().read(0x40), value);
  EXPECT_THAT(msrs(rig),
              ElementsAre(MsrAccess{false, kMsrWindow, config.mmioConfigMsr},
                          MsrAccess{false, kMsrWrap, 0},
                          MsrAccess{true, kMsrWrap, 1u << 17},
                          MsrAccess{true, kMsrFsBase, 0x10E004003C},
                          MsrAccess{true, kMsrWrap, 0},
                          MsrAccess{false, kMsrWindow, config.mmioConfigMsr},
                          MsrAccess{false, kMsrWrap, 0},
                          MsrAccess{true, kMsrWrap, 1u << 17},
                          MsrAccess{true, kMsrFsBase, 0x10E0040040},
                          MsrAccess{true, kMsrWrap, 0}));
}

TEST(WindowConfig, ABaseBelowFourGiBWhoseSumCarriesGoesThroughTheFsWindow) {
  // A 1 MiB window at 0xF8000000; register offset 0x08040004 (bus 128)
  // adds up to 0x1_00040004: the carry lands in the high half.
  devices::ChipsetConfig config;
  config.mmioConfigMsr = 0x00000000F8000001;
  Routines rig(config);
  rig.machine().space().mapRegisters(
      0x100040000, 0x1000,
      bus::wholeBlock(
          "memory past 4 GiB", 0x1000, bus::kAnyWidth | bus::kQword,
          [](std::uint64_t offset, unsigned) { return 0xC0DE0000 + offset; },
          [](std::uint64_t, unsigned, std::uint64_t) {}));
  rig.call("ReadConfig32", {0x08040004, kOut}, {out(4)});
  EXPECT_EQ(rig.machine().read32(kOut), 0xC0DE0004u);
  EXPECT_THAT(msrs(rig),
              ElementsAre(MsrAccess{false, kMsrWindow, config.mmioConfigMsr},
                          MsrAccess{false, kMsrWrap, 0},
                          MsrAccess{true, kMsrWrap, 1u << 17},
                          MsrAccess{true, kMsrFsBase, 0x100040004},
                          MsrAccess{true, kMsrWrap, 0}));
}

// --- copy and fill -----------------------------------------------------------

std::vector<std::uint8_t> pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(0x10 + i);
  }
  return bytes;
}

// Each runs with the machine's string fast path on (true) and off: the
// routines' rep movs / rep stos give the same memory and the same stores
// either way.
class CopyBytes : public ::testing::TestWithParam<bool> {};
class FillBytes : public ::testing::TestWithParam<bool> {};
std::string pathName(const ::testing::TestParamInfo<bool> &info) {
  return info.param ? "FastPath" : "Emulated";
}
INSTANTIATE_TEST_SUITE_P(StringPath, CopyBytes, ::testing::Bool(), pathName);
INSTANTIATE_TEST_SUITE_P(StringPath, FillBytes, ::testing::Bool(), pathName);

// Copies through a temporary buffer, as the result must look.
std::vector<std::uint8_t> expectedCopy(std::vector<std::uint8_t> memory,
                                       std::size_t to, std::size_t from,
                                       std::size_t length) {
  const std::vector<std::uint8_t> temporary(
      memory.begin() + static_cast<std::ptrdiff_t>(from),
      memory.begin() + static_cast<std::ptrdiff_t>(from + length));
  std::copy(temporary.begin(), temporary.end(),
            memory.begin() + static_cast<std::ptrdiff_t>(to));
  return memory;
}

TEST_P(CopyBytes, OverlapsInBothDirectionsMatchACopyThroughATemporary) {
  const struct {
    std::uint32_t to, from, length;
  } cases[] = {
      {1, 0, 32},      // destination one byte above: backwards
      {5, 2, 23},      // above, unaligned
      {0, 1, 32},      // destination below: forwards
      {3, 9, 17},      // below, unaligned
      {40, 0, 7},      // apart
      {0, 0x20, 0x20}, // touching, source above
      {0x20, 0, 0x20}, // touching, source below: no harmful overlap
      {7, 0, 8},       // the source's last byte is the destination's first
  };
  for (const auto &c : cases) {
    SCOPED_TRACE("to " + std::to_string(c.to) + " from " +
                 std::to_string(c.from) + " length " +
                 std::to_string(c.length));
    Routines rig;
    rig.machine().setStringFastPath(GetParam());
    rig.machine().setStringFastPath(GetParam());
    const auto before = pattern(64);
    rig.write(kOut, before);
    EXPECT_EQ(rig.call("CopyBytes", {kOut + c.to, kOut + c.from, c.length},
                       {out(c.length, kOut + c.to)}),
              kOut + c.to);
    EXPECT_EQ(rig.read(kOut, 64), expectedCopy(before, c.to, c.from, c.length));
  }
}

TEST_P(CopyBytes, HarmfulOverlapCopiesBackwardsAByteAtATime) {
  Routines rig;
  rig.machine().setStringFastPath(GetParam());
  rig.write(kOut, pattern(16));
  rig.call("CopyBytes", {kOut + 1, kOut, 6}, {out(6, kOut + 1)});
  EXPECT_THAT(stores(rig),
              ElementsAre(std::pair{kOut + 6, 1u}, std::pair{kOut + 5, 1u},
                          std::pair{kOut + 4, 1u}, std::pair{kOut + 3, 1u},
                          std::pair{kOut + 2, 1u}, std::pair{kOut + 1, 1u}));
}

TEST_P(CopyBytes, RangesThatOnlyTouchCopyForwards) {
  // The source ends right below the destination: no harmful overlap, so
  // four-byte units first.
  Routines rig;
  rig.machine().setStringFastPath(GetParam());
  rig.write(kOut, pattern(16));
  rig.call("CopyBytes", {kOut + 8, kOut, 8}, {out(8, kOut + 8)});
  EXPECT_THAT(stores(rig),
              ElementsAre(std::pair{kOut + 8, 4u}, std::pair{kOut + 12, 4u}));
  EXPECT_EQ(rig.read(kOut, 16), expectedCopy(pattern(16), 8, 0, 8));
}

TEST_P(CopyBytes, SevenBytesForwardAreOneUnitThenThreeBytes) {
  Routines rig;
  rig.machine().setStringFastPath(GetParam());
  rig.write(kOut, pattern(32));
  rig.call("CopyBytes", {kOut + 16, kOut, 7}, {out(7, kOut + 16)});
  EXPECT_THAT(stores(rig),
              ElementsAre(std::pair{kOut + 16, 4u}, std::pair{kOut + 20, 1u},
                          std::pair{kOut + 21, 1u}, std::pair{kOut + 22, 1u}));
  // The eighth byte keeps its own value.
  EXPECT_THAT(rig.read(kOut + 16, 8),
              ElementsAre(0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x20 + 7));
}

TEST_P(CopyBytes, LengthZeroTouchesNothingAndReturnsTheDestination) {
  for (const char *routine : {"CopyBytes", "GuardedCopy"}) {
    SCOPED_TRACE(routine);
    Routines rig;
    rig.machine().setStringFastPath(GetParam());
    rig.machine().setStringFastPath(GetParam());
    rig.write(kOut, pattern(16));
    // Overlapping and apart: neither reads nor writes a byte.
    EXPECT_EQ(rig.call(routine, {kOut + 1, kOut, 0}), kOut + 1);
    EXPECT_TRUE(stores(rig).empty());
    EXPECT_EQ(rig.call(routine, {kOut + 8, kOut, 0}), kOut + 8);
    EXPECT_TRUE(stores(rig).empty());
    EXPECT_EQ(rig.read(kOut, 16), pattern(16));
  }
}

TEST_P(CopyBytes, GuardedCopyOntoItselfDoesNothingAtAll) {
  Routines rig;
  rig.machine().setStringFastPath(GetParam());
  rig.write(kOut, pattern(16));
  EXPECT_EQ(rig.call("GuardedCopy", {kOut, kOut, 16}), kOut);
  EXPECT_TRUE(stores(rig).empty());
  // Otherwise it is CopyBytes, overlap included.
  rig.call("GuardedCopy", {kOut + 2, kOut, 8}, {out(8, kOut + 2)});
  EXPECT_EQ(rig.read(kOut, 16), expectedCopy(pattern(16), 2, 0, 8));
}

TEST_P(FillBytes, StoresTheValueByteByByteAndNothingForLengthZero) {
  Routines rig;
  rig.machine().setStringFastPath(GetParam());
  rig.write(kOut, pattern(8));
  EXPECT_EQ(rig.call("FillBytes", {kOut + 1, 5, 0x1A7}, {out(5, kOut + 1)}),
            kOut + 1);
  // Only the low byte of the value counts.
  EXPECT_THAT(rig.read(kOut, 8),
              ElementsAre(0x10, 0xA7, 0xA7, 0xA7, 0xA7, 0xA7, 0x16, 0x17));
  for (const auto &store : stores(rig)) {
    EXPECT_EQ(store.second, 1u);
  }
  EXPECT_EQ(stores(rig).size(), 5u);
  // With the fast path the rep stosb is one event for the whole range.
  const auto strings = rig.events(TraceEvent::Kind::String);
  ASSERT_EQ(strings.size(), GetParam() ? 1u : 0u);
  if (GetParam()) {
    EXPECT_EQ(format(strings[0]).substr(0, 36),
              "mem  fill  0x00080001 +0x5  rep stos");
  }
  EXPECT_EQ(rig.call("FillBytes", {kOut, 0, 0}), kOut);
  EXPECT_TRUE(stores(rig).empty());
}

} // namespace
} // namespace conformance
