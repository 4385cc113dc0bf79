#include "ovmf_firmware.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace ff = ffs_format;
using Bytes = std::vector<std::uint8_t>;

const std::filesystem::path kFirmware{ovmf::kFirmwareCodePath};

TEST(Sha256, KnownAnswers) {
  const std::string abc = "abc";
  EXPECT_EQ(ovmf::sha256Hex(Bytes(abc.begin(), abc.end())),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: two blocks once padded.
  const std::string two =
      "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(ovmf::sha256Hex(Bytes(two.begin(), two.end())),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

Bytes readFirmware() {
  std::ifstream in(kFirmware, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)),
               std::istreambuf_iterator<char>());
}

// The PEI volume inside the compressed section of a firmware image.
Bytes peiVolumeOf(const Bytes &firmware) {
  const ff::Volume top = ff::Volume::parse(firmware);
  const ff::VolumeFile &holder = top.files().front();
  const std::size_t section = holder.offset + 24;
  const std::size_t dataOffset = firmware[section + 20] | firmware[section + 21]
                                                              << 8;
  const std::size_t size = firmware[section] | firmware[section + 1] << 8 |
                           firmware[section + 2] << 16;
  const Bytes volumes = ff::lzmaDecompress(
      std::span(firmware).subspan(section + dataOffset, size - dataOffset),
      "the compressed volumes");
  // First section is raw; the PEI volume is in the second.
  const std::size_t second = ((volumes[0] | volumes[1] << 8) + 3u) & ~3u;
  const std::size_t length =
      volumes[second] | volumes[second + 1] << 8 | volumes[second + 2] << 16;
  return Bytes(volumes.begin() + static_cast<long>(second + 4),
               volumes.begin() + static_cast<long>(second + length));
}

class Insertion : public testing::TestWithParam<ovmf::Dispatch> {};

// Modules in the PEI volume execute where they lie, so inserting must not
// move a single existing file; only the apriori list and the pad file behind
// it may change, and only in the apriori variant.
TEST_P(Insertion, KeepsEveryExistingFileInPlaceAndAppendsBothModules) {
  if (!std::filesystem::exists(kFirmware)) {
    GTEST_SKIP() << kFirmware << " is not installed";
  }
  const Bytes original = readFirmware();
  if (ovmf::sha256Hex(original) != ovmf::kFirmwareSha256) {
    GTEST_SKIP() << kFirmware << " is not the build this layout was taken from";
  }
  const auto module = pei::PeImage::load(FIRMWARE_IMAGE_PATH);
  const auto companion = pei::PeImage::load(COMPANION_IMAGE_PATH);
  const auto patched =
      ovmf::insertModules(original, module, companion, GetParam());
  ASSERT_EQ(patched.image.size(), original.size());

  // Outside the file holding the compressed volumes, which grows into the
  // free space behind it, the flash image stays as it was: the rest of the
  // first volume, the SEC volume with the reset vector.
  const ff::Volume oldTop = ff::Volume::parse(original);
  const ff::Volume newTop = ff::Volume::parse(patched.image);
  ASSERT_EQ(newTop.files().size(), oldTop.files().size());
  const ff::VolumeFile &oldHolder = oldTop.files().front();
  const ff::VolumeFile &newHolder = newTop.files().front();
  EXPECT_EQ(newHolder.offset, oldHolder.offset);
  EXPECT_TRUE(std::equal(original.begin(), original.begin() + oldHolder.offset,
                         patched.image.begin()));
  const std::size_t untouched =
      (std::max(oldHolder.end(), newHolder.end()) + 7u) & ~7u;
  EXPECT_TRUE(std::equal(original.begin() + static_cast<long>(untouched),
                         original.end(),
                         patched.image.begin() + static_cast<long>(untouched)));

  const Bytes before = peiVolumeOf(original);
  const Bytes after = peiVolumeOf(patched.image);
  ASSERT_EQ(after.size(), before.size());
  const ff::Volume oldVolume = ff::Volume::parse(before);
  const ff::Volume newVolume = ff::Volume::parse(after);
  const auto &oldFiles = oldVolume.files();
  const auto &newFiles = newVolume.files();
  ASSERT_GE(newFiles.size(), oldFiles.size() + 2);
  const ff::Guid apriori = ff::parseGuid(ff::kPeiAprioriFileGuid);
  for (std::size_t i = 0; i < oldFiles.size(); ++i) {
    const auto &o = oldFiles[i];
    const auto &n = newFiles[i];
    EXPECT_EQ(n.name, o.name);
    const bool mayChange =
        GetParam() == ovmf::Dispatch::Apriori &&
        (o.name == apriori || (i > 0 && oldFiles[i - 1].name == apriori));
    if (mayChange && o.name != apriori) {
      EXPECT_EQ(n.end(), o.end()) << "the pad file shrinks from the front";
    } else {
      EXPECT_EQ(n.offset, o.offset) << o.name.text();
    }
    if (!mayChange) {
      EXPECT_TRUE(std::equal(before.begin() + o.offset,
                             before.begin() + o.end(),
                             after.begin() + n.offset))
          << o.name.text() << " changed";
    }
  }
  const ff::Guid moduleName = ff::parseGuid(ff::kModuleFileGuid);
  const ff::VolumeFile *placed = newVolume.find(moduleName);
  const ff::VolumeFile *helper =
      newVolume.find(ff::parseGuid(ovmf::kCompanionFileGuid));
  ASSERT_NE(placed, nullptr);
  ASSERT_NE(helper, nullptr);
  EXPECT_LT(placed->offset, helper->offset);
  EXPECT_EQ(placed->offset, patched.module.fileOffset);
  EXPECT_EQ((placed->offset + 24) % 128, 0u);
  EXPECT_EQ(patched.module.imageBase % 32, 0u);
  EXPECT_LT(patched.module.imageBase - ovmf::kPeiVolumeRamBase - placed->offset,
            placed->size)
      << "the image lies inside its file";
  // The rebased image is what lies at that address in the RAM copy.
  const std::uint32_t imageAt =
      patched.module.imageBase - ovmf::kPeiVolumeRamBase;
  ASSERT_LT(imageAt + 0x100u, after.size());
  const pei::PeImage inVolume = pei::PeImage::parse(Bytes(
      after.begin() + imageAt, after.begin() + imageAt + module.sizeOfImage()));
  EXPECT_EQ(inVolume.imageBase(), patched.module.imageBase);

  // The apriori list names the module only in the apriori variant.
  const ff::VolumeFile *list = newVolume.find(apriori);
  ASSERT_NE(list, nullptr);
  const Bytes listBytes(after.begin() + list->offset,
                        after.begin() + list->end());
  const bool listed =
      std::search(listBytes.begin(), listBytes.end(), moduleName.bytes.begin(),
                  moduleName.bytes.end()) != listBytes.end();
  EXPECT_EQ(listed, GetParam() == ovmf::Dispatch::Apriori);
}

INSTANTIATE_TEST_SUITE_P(Variants, Insertion,
                         testing::Values(ovmf::Dispatch::Apriori,
                                         ovmf::Dispatch::Appended),
                         [](const auto &info) {
                           return info.param == ovmf::Dispatch::Apriori
                                      ? std::string("Apriori")
                                      : std::string("Appended");
                         });

} // namespace
