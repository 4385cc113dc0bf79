// Loading the shipped image: bad files are refused with a message that says
// what was expected and found; the image goes to flash unchanged and to its
// shadow with every relocation applied, wherever the shadow lies.
#include "guest_stubs.h"
#include "hex.h"
#include "loader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

using pei::PeError;
using pei::PeImage;

std::vector<std::uint8_t> shippedBytes() {
  std::ifstream in(FIRMWARE_IMAGE_PATH, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t peOffset(const std::vector<std::uint8_t> &b) {
  return b[0x3C] | b[0x3D] << 8 | b[0x3E] << 16 |
         static_cast<std::uint32_t>(b[0x3F]) << 24;
}

void put32(std::vector<std::uint8_t> &b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    b[at + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(v >> (8 * i));
  }
}

std::string refusal(std::vector<std::uint8_t> bytes) {
  try {
    PeImage::parse(std::move(bytes));
  } catch (const PeError &error) {
    return error.what();
  }
  return "(accepted)";
}

TEST(LoaderTest, MalformedImagesAreRefusedWithWhatWasExpectedAndFound) {
  const auto good = shippedBytes();
  ASSERT_GT(good.size(), 0x200u) << FIRMWARE_IMAGE_PATH;
  const std::uint32_t pe = peOffset(good);
  const std::uint32_t opt = pe + 24;
  const std::uint32_t relocationDirectory =
      good[opt + 136] | good[opt + 137] << 8; // data directory 5, its RVA

  struct Case {
    const char *field;
    std::function<void(std::vector<std::uint8_t> &)> damage;
  };
  const Case cases[] = {
      {"DOS signature", [](auto &b) { b[0] = 'X'; }},
      {"PE signature", [&](auto &b) { b[pe] = 'Q'; }},
      {"machine (i386)", [&](auto &b) { b[pe + 4] = 0x64; }},
      {"magic (PE32)",
       [&](auto &b) {
         b[opt] = 0x0B;
         b[opt + 1] = 0x02;
       }},
      {"subsystem", [&](auto &b) { b[opt + 68] = 10; }},
      {"entry point", [&](auto &b) { put32(b, opt + 16, 0x00F00000); }},
      {"expected", [](auto &b) { b.resize(0x80); }},
      {"file size", [](auto &b) { b.resize(PeImage::kMaxFileSize + 1); }},
      // One reader decides the layout for every program that takes images.
      {"SectionAlignment", [&](auto &b) { put32(b, opt + 32, 0); }},
      {"SectionAlignment", [&](auto &b) { put32(b, opt + 32, 3); }},
      {"SectionAlignment", [&](auto &b) { put32(b, opt + 32, 0x80000000); }},
      {"FileAlignment", [&](auto &b) { put32(b, opt + 36, 0x200); }},
      // An image claiming 1 GiB in memory (fuzzing found a TE image whose
      // section claimed 4 GiB: laid out in host memory, it took all of it).
      {"SizeOfImage",
       [&](auto &b) {
         put32(b, opt + 28, 0x00010000); // ImageBase
         put32(b, opt + 56, 0x40000000);
       }},
      // A block size that would wrap a 32-bit end back below the directory.
      {"relocation block",
       [&](auto &b) { put32(b, relocationDirectory + 4, 0xFFFFFFF0); }},
  };
  for (const Case &c : cases) {
    auto bytes = good;
    c.damage(bytes);
    const std::string message = refusal(std::move(bytes));
    EXPECT_NE(message.find(c.field), std::string::npos) << message;
    EXPECT_NE(message.find("expected"), std::string::npos) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << "one line";
  }
  EXPECT_EQ(refusal(good), "(accepted)");

  // Files that are no image at all, named by their path as given with the
  // reason; a device (endless /dev/zero) is refused without being read.
  const std::pair<const char *, const char *> files[] = {
      {"/dev/zero", ": not a regular file (a device)"},
      {"/", ": not a regular file (a directory)"},
      {"/nonexistent/image.efi", ": cannot open it (No such file"}};
  for (const auto &[path, why] : files) {
    try {
      PeImage::load(path);
      ADD_FAILURE() << path << " accepted";
    } catch (const PeError &error) {
      const std::string message = error.what();
      EXPECT_EQ(message.rfind(std::string(path) + why, 0), 0u) << message;
      EXPECT_NE(message.find("; expected a PE32, TE or FFS file"),
                std::string::npos)
          << message;
    }
  }
}

TEST(LoaderTest, FlashHoldsTheFileUnchangedAndRefusesWrites) {
  const PeImage image = PeImage::load(FIRMWARE_IMAGE_PATH);
  machine::Machine m;
  test::loadStubs(m);
  const pei::LoadedImage flash = pei::mapInFlash(m, image);
  EXPECT_EQ(flash.base, image.imageBase());
  EXPECT_EQ(flash.entry, image.entryAddress());
  EXPECT_EQ(m.read(flash.base, image.sizeOfImage()), image.memoryImage());
  EXPECT_THROW(test::run(m, test::Stub::Write32, {flash.base + 0x100, 0}),
               machine::GuestFault);
  // After retirement the module can neither read nor run its flash copy.
  pei::retireFlash(m, flash);
  try {
    test::run(m, test::Stub::Read32, {flash.base});
    FAIL() << "flash was still readable";
  } catch (const machine::GuestFault &fault) {
    EXPECT_NE(std::string(fault.what()).find("shadow copy"), std::string::npos)
        << fault.what();
  }
  EXPECT_THROW(
      test::run(m, test::Stub::CallFunction, {flash.entry, 0, 0, 0, 0, 0, 0}),
      machine::GuestFault);
}

TEST(LoaderTest, ImageOverlappingPlatformMemoryIsRefused) {
  auto bytes = shippedBytes();
  put32(bytes, peOffset(bytes) + 24 + 28, test::kScratch); // ImageBase
  const PeImage image = PeImage::parse(std::move(bytes));
  machine::Machine m;
  test::loadStubs(m);
  try {
    pei::mapInFlash(m, image);
    FAIL() << "mapped over the scratch memory";
  } catch (const pei::LoadError &error) {
    EXPECT_NE(std::string(error.what()).find("overlaps"), std::string::npos)
        << error.what();
  }
}

TEST(LoaderTest, ShadowAppliesEveryRelocationAtAnyAddress) {
  const PeImage image = PeImage::load(FIRMWARE_IMAGE_PATH);
  const auto original = image.memoryImage();
  std::size_t highLow = 0;
  for (const auto &r : image.relocations()) {
    highLow += r.type == pei::PeRelocation::kHighLow ? 1 : 0;
  }
  ASSERT_GT(highLow, 0u);
  for (std::uint32_t base :
       {0x00400000u, 0x00801000u, 0x10000000u, 0x7FFF0000u, 0xC0000000u}) {
    machine::Machine m;
    const pei::LoadedImage shadow = pei::mapShadow(m, image, base);
    EXPECT_EQ(shadow.relocations, highLow);
    EXPECT_EQ(shadow.entry, base + image.entryRva());
    const auto copy = m.read(base, image.sizeOfImage());
    std::vector<bool> patched(copy.size(), false);
    const std::uint32_t delta = base - image.imageBase();
    for (const auto &r : image.relocations()) {
      if (r.type != pei::PeRelocation::kHighLow) {
        continue;
      }
      auto at = [&](const std::vector<std::uint8_t> &b) {
        return b[r.rva] | b[r.rva + 1] << 8 | b[r.rva + 2] << 16 |
               static_cast<std::uint32_t>(b[r.rva + 3]) << 24;
      };
      EXPECT_EQ(at(copy), at(original) + delta)
          << "at RVA " << common::hex(r.rva) << " for base "
          << common::hex(base, 8);
      for (int i = 0; i < 4; ++i) {
        patched[r.rva + static_cast<std::uint32_t>(i)] = true;
      }
    }
    for (std::size_t i = 0; i < copy.size(); ++i) {
      if (!patched[i] && copy[i] != original[i]) {
        ADD_FAILURE() << "byte " << common::hex(i) << " changed at base "
                      << common::hex(base, 8);
        break;
      }
    }
  }
  machine::Machine m;
  EXPECT_THROW(pei::mapShadow(m, image, image.imageBase()), pei::LoadError);
  EXPECT_THROW(pei::mapShadow(m, image, 0x00400800), pei::LoadError);
}

} // namespace
