// What a firmware engineer relies on when dropping the image into a firmware
// volume, checked on the built file.
#include "pe_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

using pei::PeImage;
using pei::PeRelocation;

const PeImage &Image() {
  static const PeImage image = PeImage::load(IMAGE_PATH);
  return image;
}

std::string RunCommand(const std::string &command) {
  std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"),
                                              pclose);
  if (!pipe) {
    ADD_FAILURE() << "could not run " << command;
    return {};
  }
  std::string output;
  std::array<char, 4096> chunk;
  while (std::size_t n = fread(chunk.data(), 1, chunk.size(), pipe.get())) {
    output.append(chunk.data(), n);
  }
  return output;
}

// A GUID in its on-disk form: little-endian Data1, Data2, Data3, then bytes.
std::vector<std::uint8_t> GuidBytes(std::uint32_t d1, std::uint16_t d2,
                                    std::uint16_t d3,
                                    std::array<std::uint8_t, 8> d4) {
  std::vector<std::uint8_t> out;
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<std::uint8_t>(d1 >> (8 * i)));
  for (int i = 0; i < 2; ++i)
    out.push_back(static_cast<std::uint8_t>(d2 >> (8 * i)));
  for (int i = 0; i < 2; ++i)
    out.push_back(static_cast<std::uint8_t>(d3 >> (8 * i)));
  out.insert(out.end(), d4.begin(), d4.end());
  return out;
}

bool Contains(const std::vector<std::uint8_t> &haystack,
              const std::vector<std::uint8_t> &needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(),
                     needle.end()) != haystack.end();
}

TEST(Image, HeadersDescribeAnIa32PeiModuleLinkedForExecuteInPlace) {
  const PeImage &image = Image();
  EXPECT_EQ(image.machine(), PeImage::kMachineI386);
  EXPECT_EQ(image.magic(), PeImage::kMagicPe32);
  EXPECT_EQ(image.subsystem(), PeImage::kSubsystemEfiBootServiceDriver);
  EXPECT_EQ(image.imageBase(), static_cast<std::uint32_t>(LINK_BASE));
  EXPECT_GE(image.imageBase(), 0xFF000000u) << "expected the top 16 MiB";
  EXPECT_EQ(image.sectionAlignment(), 32u);
  EXPECT_EQ(image.fileAlignment(), 32u);
  EXPECT_LE(image.sizeOfImage(), image.bytes().size())
      << "the file must hold every byte the image occupies in memory";

  const auto map = pei::LinkerMap::load(MAP_PATH);
  EXPECT_EQ(image.entryAddress(), map.address("ModuleEntry"));

  std::cout << "image size: " << image.bytes().size() << " bytes\n";
  ::testing::Test::RecordProperty("image_bytes",
                                  static_cast<int>(image.bytes().size()));
}

TEST(Image, HasNoWritableDataAndNoImports) {
  for (const auto &section : Image().sections()) {
    EXPECT_FALSE(section.writable() &&
                 (section.virtualSize != 0 || section.rawSize != 0))
        << "section " << section.name << " is writable and non-empty";
  }
  // A helper call the compiler slipped in would fail the link; an import
  // table would mean a dependency nobody provides in PEI.
  EXPECT_EQ(Image().importDirectorySize(), 0u);
}

TEST(Image, RelocationsCoverEveryAbsoluteAddressForTheShadowCopy) {
  const PeImage &image = Image();
  std::size_t highLow = 0;
  for (const auto &reloc : image.relocations()) {
    ASSERT_TRUE(reloc.type == PeRelocation::kHighLow ||
                reloc.type == PeRelocation::kAbsolute);
    if (reloc.type == PeRelocation::kHighLow) {
      ++highLow;
      EXPECT_LE(reloc.rva + 4, image.sizeOfImage());
    }
  }
  EXPECT_GT(highLow, 0u);

  // Every 32-bit word that holds an address inside the image must be listed:
  // otherwise the shadow copy would still point into flash.
  const auto memory = image.memoryImage();
  std::set<std::uint32_t> listed;
  for (const auto &reloc : image.relocations()) {
    if (reloc.type == PeRelocation::kHighLow)
      listed.insert(reloc.rva);
  }
  const std::uint32_t begin = image.imageBase();
  const std::uint32_t end = begin + image.sizeOfImage();
  for (const auto &section : image.sections()) {
    if (section.executable() || section.name == ".reloc")
      continue;
    for (std::uint32_t rva = section.virtualAddress;
         rva + 4 <= section.virtualAddress + section.virtualSize; rva += 4) {
      std::uint32_t word = 0;
      std::memcpy(&word, &memory[rva], 4);
      if (word >= begin && word < end) {
        EXPECT_TRUE(listed.count(rva))
            << "address " << std::hex << word << " stored at RVA " << rva
            << " has no relocation";
      }
    }
  }
}

TEST(Image, CarriesTheIdentifiersOfItsInterfacesInOnDiskByteOrder) {
  const auto &bytes = Image().bytes();
  const std::vector<std::vector<std::uint8_t>> guids = {
      GuidBytes(0x9D910B61, 0x85BD, 0x4473,
                {0x81, 0x31, 0x40, 0x95, 0x9D, 0x60, 0xC7, 0xEE}),
      GuidBytes(0x91774185, 0xF72D, 0x467E,
                {0x93, 0x39, 0xE0, 0x08, 0xDB, 0xAE, 0x0E, 0x14}),
      GuidBytes(0x7F4158D3, 0x074D, 0x456D,
                {0x8C, 0xB2, 0x01, 0xF9, 0xC8, 0xF7, 0x9D, 0xAA}),
      GuidBytes(0x0D2098C2, 0xBD29, 0x4FBC,
                {0xAB, 0xEC, 0x4E, 0x03, 0x8E, 0xFA, 0xA3, 0x58}),
      GuidBytes(0x06E81C58, 0x4AD7, 0x44BC,
                {0x83, 0x90, 0xF1, 0x02, 0x65, 0xF7, 0x24, 0x80}),
      GuidBytes(0x2AB86EF5, 0xECB5, 0x4134,
                {0xB5, 0x56, 0x38, 0x54, 0xCA, 0x1F, 0xE1, 0xB4}),
      GuidBytes(0xA04A27F4, 0xDF00, 0x4D42,
                {0xB5, 0x52, 0x39, 0x51, 0x13, 0x02, 0x11, 0x3D}),
  };
  for (std::size_t i = 0; i < guids.size(); ++i) {
    EXPECT_TRUE(Contains(bytes, guids[i])) << "GUID #" << i << " missing";
  }
  const std::vector<std::uint8_t> setup = {'S', 0, 'e', 0, 't', 0,
                                           'u', 0, 'p', 0, 0,   0};
  EXPECT_TRUE(Contains(bytes, setup)) << "UTF-16 \"Setup\" missing";
}

// The module must run before anyone has set up floating point or SIMD state.
TEST(Image, UsesNoX87MmxOrSseInstruction) {
  const std::string listing = RunCommand(
      std::string(OBJDUMP_PATH) + " -d --no-show-raw-insn " + IMAGE_PATH);
  ASSERT_NE(listing.find("Disassembly of section .text"), std::string::npos)
      << "disassembly failed:\n"
      << listing.substr(0, 500);
  static const std::regex insn(R"(^\s*[0-9a-f]+:\s+(\S+)\s*(.*)$)");
  static const std::regex simdRegister(R"(%(x|y)mm\d|%mm\d|%st\b|%st\()");
  static const std::set<std::string> simdOnly = {
      "emms",   "ldmxcsr", "stmxcsr", "sfence", "lfence",
      "mfence", "movnti",  "wait",    "clflush"};
  std::istringstream lines(listing);
  std::string line;
  std::size_t instructions = 0;
  while (std::getline(lines, line)) {
    std::smatch m;
    if (!std::regex_match(line, m, insn))
      continue;
    ++instructions;
    const std::string mnemonic = m[1];
    const bool x87 =
        mnemonic.size() > 1 && mnemonic[0] == 'f' && mnemonic != "fs";
    EXPECT_FALSE(x87 || simdOnly.count(mnemonic) ||
                 std::regex_search(line, simdRegister))
        << "forbidden instruction: " << line;
  }
  EXPECT_GT(instructions, 100u);
}

TEST(Image, IsReproducedByteForByteByAnIndependentBuild) {
  const auto rebuilt = PeImage::load(REBUILD_IMAGE_PATH);
  EXPECT_TRUE(rebuilt.bytes() == Image().bytes())
      << "a second build of the same sources differs";
}

// The debug companion is only useful if what a debugger shows is what runs:
// each routine must lie at the same address with the same bytes, so that a
// breakpoint or a source line taken from the companion means the same
// instruction in the shipped image.
TEST(Image, DebugCompanionHoldsEveryShippedRoutineAtItsAddress) {
  const auto companion = PeImage::load(DEBUG_IMAGE_PATH);
  auto code = [](const PeImage &image) {
    for (const auto &section : image.sections()) {
      if (section.executable()) {
        return section;
      }
    }
    ADD_FAILURE() << "no code section";
    return pei::PeSection{};
  };
  const auto shippedCode = code(Image());
  const auto companionCode = code(companion);
  const std::uint32_t start = Image().imageBase() + shippedCode.virtualAddress;
  ASSERT_EQ(companion.imageBase() + companionCode.virtualAddress, start)
      << "the companion's code does not lie where the shipped image's does";
  ASSERT_EQ(companionCode.virtualSize, shippedCode.virtualSize);
  auto bytesAt = [](const PeImage &image, const pei::PeSection &section,
                    std::uint32_t address, std::size_t size) {
    const auto offset = section.rawOffset +
                        (address - image.imageBase() - section.virtualAddress);
    return std::vector<std::uint8_t>(image.bytes().begin() + offset,
                                     image.bytes().begin() + offset + size);
  };

  const auto shippedMap = pei::LinkerMap::load(MAP_PATH);
  const auto companionMap = pei::LinkerMap::load(DEBUG_MAP_PATH);
  std::vector<std::uint32_t> routines;
  for (const auto &[name, address] : companionMap.symbols()) {
    if (address < start || address >= start + shippedCode.virtualSize) {
      continue;
    }
    ASSERT_TRUE(shippedMap.contains(name)) << name;
    EXPECT_EQ(shippedMap.address(name), address) << name;
    routines.push_back(address);
  }
  ASSERT_GT(routines.size(), 10u);
  routines.push_back(start + shippedCode.virtualSize);
  std::sort(routines.begin(), routines.end());
  for (std::size_t i = 0; i + 1 < routines.size(); ++i) {
    const std::size_t size = routines[i + 1] - routines[i];
    EXPECT_TRUE(bytesAt(Image(), shippedCode, routines[i], size) ==
                bytesAt(companion, companionCode, routines[i], size))
        << "the routine at " << std::hex << routines[i] << " differs";
  }
}

} // namespace
