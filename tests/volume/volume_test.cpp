#include "volume.h"

#include "ffs.h"
#include "little_endian.h"
#include "lzma_stream.h"

#include <gtest/gtest.h>
#include <lzma.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

namespace {

using volume::LzmaStream;

using volume::Bytes;
using volume::FormatError;
using volume::Guid;
namespace ff = ffs_format;

const Guid kModule = Guid::parse("9E21FD93-9C72-4C15-8C4B-E77F1DB2D792");
const Guid kHolder = Guid::parse("7CB8BDC9-F8EB-4F34-AAEA-3EE4AF6516A1");
const Guid kMemory = Guid::parse("F894643D-C449-42D1-8EA8-85BDD8C65BDE");
const Guid kLzma = Guid::parse("EE4E5898-3914-4259-9D6E-DC7BD79403CF");
const Guid kApriori = Guid::parse("1B45CC0A-156A-428A-AF62-49864DA0E6E6");
constexpr std::uint8_t kFileTypeFvImage = 0x0B;

// "LZMA alone" data with its decoded size in the header, as EDK II writes it.
Bytes compress(const Bytes &data) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 6);
  LzmaStream lzma;
  EXPECT_EQ(lzma_alone_encoder(lzma.get(), &options), LZMA_OK);
  Bytes out(data.size() + 4096);
  lzma_stream *s = lzma.get();
  s->next_in = data.data();
  s->avail_in = data.size();
  s->next_out = out.data();
  s->avail_out = out.size();
  while (lzma_code(s, LZMA_FINISH) == LZMA_OK) {
  }
  out.resize(out.size() - s->avail_out);
  common::le::store(out.data() + 5, 8, data.size());
  return out;
}

// Sections one after another, each on a 4-byte boundary.
Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &part : parts) {
    all.insert(all.end(), part.begin(), part.end());
    all.resize(ff::alignUp(static_cast<std::uint32_t>(all.size()), 4));
  }
  return all;
}

Bytes guided(const Guid &guid, std::uint16_t attributes, const Bytes &data) {
  Bytes body(guid.bytes.begin(), guid.bytes.end());
  common::le::append(body, 2, 4 + 20);
  common::le::append(body, 2, attributes);
  return ff::makeSection(ff::kSectionGuidDefined, join({body, data}));
}

Bytes lzmaSection(const Bytes &sections) {
  return guided(kLzma, 1, compress(sections));
}

// A PEIM file: depex on memory, a stand-in image, a name.
Bytes peimFile(const Guid &name, bool erasePolarity) {
  const std::vector<Guid> ppis{kMemory};
  const Bytes image(64, 0x5A);
  const Bytes data = join(
      {ff::makeSection(ff::kSectionPeiDepex, ff::makeDepex(ppis)),
       ff::makeSection(ff::kSectionTe, image),
       ff::makeSection(ff::kSectionUserInterface, ff::makeUiName("SomePei"))});
  return ff::makeFile(name, ff::kFileTypePeim, 1, data, erasePolarity, false);
}

Bytes volumeOf(std::vector<Bytes> files, std::uint32_t length = 0x1000,
               bool erasePolarity = true) {
  return ff::makeVolume(files, length, erasePolarity);
}

// A flash image: erased space, `volume` at 0x1000, erased space again.
std::shared_ptr<const Bytes> flashWith(const Bytes &volume) {
  // Sized once and copied into (GCC 12 at -O3 warns falsely on inserts).
  Bytes flash(0x1000 + volume.size() + 0x800, 0xFF);
  std::copy(volume.begin(), volume.end(), flash.begin() + 0x1000);
  return std::make_shared<const Bytes>(std::move(flash));
}

std::string problemsOf(const volume::Volume &v) {
  std::string all;
  for (const std::string &p : v.problems) {
    all += p + "\n";
  }
  return all;
}

TEST(VolumeWalk, FindsModulesInsideAnLzmaCompressedVolumeImage) {
  const Bytes inner = volumeOf({peimFile(kModule, true)});
  const Bytes holder =
      ff::makeFile(kHolder, kFileTypeFvImage, 1,
                   lzmaSection(ff::makeSection(ff::kSectionVolumeImage, inner)),
                   true, false);
  auto image = flashWith(volumeOf({holder}, 0x2000));
  std::vector<volume::Volume> found = volume::walk(image);
  image.reset(); // the volumes keep what they need

  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].origin, "flash +0x00001000");
  EXPECT_EQ(found[0].offset, 0x1000u);
  EXPECT_EQ(found[0].length, 0x2000u);
  EXPECT_TRUE(found[0].problems.empty()) << problemsOf(found[0]);
  ASSERT_EQ(found[0].files.size(), 1u);
  const volume::Section &lzma = found[0].files[0].sections.at(0);
  EXPECT_EQ(lzma.guid, kLzma);
  EXPECT_TRUE(lzma.problem.empty());
  ASSERT_EQ(lzma.children.size(), 1u);
  EXPECT_FALSE(lzma.children[0].inVolume);

  const volume::Volume &pei = found[1];
  EXPECT_EQ(pei.origin, "flash +0x00001000 file " + kHolder.text() +
                            " section 0 (LZMA) section 0 (volume image)");
  EXPECT_TRUE(pei.problems.empty()) << problemsOf(pei);
  EXPECT_TRUE(std::equal(pei.bytes.begin(), pei.bytes.end(), inner.begin(),
                         inner.end()));
  const std::vector<volume::Peim> modules = volume::peims(pei);
  ASSERT_EQ(modules.size(), 1u);
  EXPECT_EQ(modules[0].name, kModule);
  EXPECT_EQ(modules[0].uiName, "SomePei");
  EXPECT_FALSE(modules[0].core);
  EXPECT_EQ(modules[0].imageType, ff::kSectionTe);
  ASSERT_TRUE(modules[0].imageOffset);
  EXPECT_EQ(modules[0].image.size(), 64u);
  EXPECT_EQ(pei.bytes[*modules[0].imageOffset], 0x5A);
  EXPECT_EQ(pei.bytes[*modules[0].imageOffset - 1], ff::kSectionTe);
  ASSERT_TRUE(modules[0].depex);
  EXPECT_EQ(volume::describe(volume::parseDepex(*modules[0].depex)),
            "gEfiPeiMemoryDiscoveredPpiGuid");

  // The holder file given alone: the same volume, found inside it.
  const auto alone = volume::walk(std::make_shared<const Bytes>(holder));
  ASSERT_EQ(alone.size(), 1u);
  EXPECT_EQ(alone[0].origin, "file " + kHolder.text() +
                                 " section 0 (LZMA) section 0 (volume image)");
  EXPECT_EQ(volume::peims(alone[0]).size(), 1u);
}

TEST(VolumeWalk, FollowsStatesPolarityPadsAndTheAprioriList) {
  for (const bool erasePolarity : {false, true}) {
    const Guid deleted = Guid::parse("22222222-0000-0000-0000-000000000000");
    Bytes gone = peimFile(deleted, erasePolarity);
    // Deleted: the highest state bit set once the polarity is undone.
    gone[ff::kFileStateField] = ff::storedState(0x17, erasePolarity);
    Bytes order(kModule.bytes.begin(), kModule.bytes.end());
    const Bytes aprioriFile = ff::makeFile(
        kApriori, ff::kFileTypeFreeform, 1,
        ff::makeSection(ff::kSectionRaw, order), erasePolarity, false);
    // A section with the extended header: size 0xFFFFFF, then 32 bits.
    Bytes extended{0xFF, 0xFF, 0xFF, ff::kSectionRaw, 8 + 12, 0, 0, 0};
    extended.resize(8 + 12, 0x33);
    const Bytes big = ff::makeFile(kHolder, ff::kFileTypeFreeform, 1, extended,
                                   erasePolarity, false);
    const Bytes v =
        volumeOf({gone, ff::makePadFile(48, erasePolarity), aprioriFile,
                  peimFile(kModule, erasePolarity), big},
                 0x1000, erasePolarity);
    const auto found = volume::walk(std::make_shared<const Bytes>(v));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].origin, "flash +0x00000000");
    EXPECT_TRUE(found[0].problems.empty()) << problemsOf(found[0]);
    ASSERT_EQ(found[0].files.size(), 4u) << erasePolarity;
    const volume::Section &raw = found[0].files[3].sections.at(0);
    EXPECT_EQ(raw.headerSize, 8u);
    EXPECT_EQ(raw.body.size(), 12u);
    EXPECT_EQ(raw.body[0], 0x33);
    EXPECT_EQ(found[0].files[0].type, ff::kFileTypePad);
    EXPECT_EQ(found[0].find(deleted), nullptr);
    EXPECT_EQ(found[0].files[2].state & 0x07, 0x07);
    EXPECT_EQ(volume::apriori(found[0]), std::vector<Guid>{kModule});
    EXPECT_EQ(volume::peims(found[0]).size(), 1u);
  }
}

// Runs the walk of `image` and returns the problems of its first volume, or
// the error message.
std::string walkProblems(const Bytes &image) {
  try {
    const auto found = volume::walk(std::make_shared<const Bytes>(image));
    return problemsOf(found.at(0));
  } catch (const FormatError &error) {
    return std::string("error: ") + error.what();
  }
}

TEST(VolumeWalk, NamesTheOffsetOfEachMalformedPart) {
  const Bytes good = volumeOf({peimFile(kModule, true)});
  // The first file starts at 0x48, its first section at 0x60.
  Bytes badFileSize = good;
  common::le::store(badFileSize.data() + 0x48 + 20, 3, 0x100000);
  EXPECT_NE(walkProblems(badFileSize)
                .find("at 0x48: expected a size from 24 "
                      "bytes to the volume end, found "
                      "0x100000"),
            std::string::npos)
      << walkProblems(badFileSize);

  Bytes badChecksum = good;
  badChecksum[0x48 + ff::kFileTypeField] ^= 1;
  EXPECT_NE(walkProblems(badChecksum)
                .find("at 0x48: expected the header to "
                      "sum to 0"),
            std::string::npos);

  Bytes badSection = good;
  common::le::store(badSection.data() + 0x60, 3, 2);
  // The header checksum does not cover the sections.
  EXPECT_NE(walkProblems(badSection)
                .find("section 0 at 0x60: expected a size "
                      "from 4 bytes"),
            std::string::npos)
      << walkProblems(badSection);

  Bytes badHeader = good;
  badHeader[0x30] ^= 1; // the header length, under the checksum
  EXPECT_NE(walkProblems(badHeader).find("error: flash +0x00000000 at 0x0: "),
            std::string::npos)
      << walkProblems(badHeader);

  // A broken LZMA stream is that section's problem; the walk goes on.
  Bytes stream = compress(Bytes(256, 1));
  stream[20] ^= 0xFF;
  const Bytes corrupt =
      volumeOf({ff::makeFile(kHolder, ff::kFileTypeFreeform, 1,
                             guided(kLzma, 1, stream), true, false),
                peimFile(kModule, true)});
  const auto found = volume::walk(std::make_shared<const Bytes>(corrupt));
  EXPECT_NE(problemsOf(found.at(0)).find("expected LZMA data decoding"),
            std::string::npos)
      << problemsOf(found.at(0));
  EXPECT_EQ(volume::peims(found.at(0)).size(), 1u);

  EXPECT_NE(walkProblems(Bytes(100, 0)).find("error: image of 0x64 bytes"),
            std::string::npos);
}

TEST(VolumeWalk, RefusesLzmaBombsAndDeepNesting) {
  // A stream stating 4 GiB of output: refused before any decoding.
  Bytes bomb = compress(Bytes(16, 0));
  common::le::store(bomb.data() + 5, 8, 4ull << 30);
  const Bytes stated = volumeOf({ff::makeFile(
      kHolder, ff::kFileTypeFreeform, 1, guided(kLzma, 1, bomb), true, false)});
  EXPECT_NE(walkProblems(stated).find("error: flash +0x00000000 file " +
                                      kHolder.text() +
                                      " section 0 (LZMA): expected at most "
                                      "0x4000000 more decompressed bytes"),
            std::string::npos)
      << walkProblems(stated);

  // Nested streams that each stay within the bound but add up over it.
  Bytes sections = ff::makeSection(ff::kSectionRaw, Bytes(0x30000, 0));
  for (int i = 0; i < 3; ++i) {
    sections = lzmaSection(join({sections, sections}));
  }
  const auto image = std::make_shared<const Bytes>(volumeOf(
      {ff::makeFile(kHolder, ff::kFileTypeFreeform, 1, sections, true, false)},
      0x4000));
  volume::Limits limits;
  limits.maxDecompressed = 0x100000;
  EXPECT_THROW(volume::walk(image, limits), FormatError);
  limits.maxDecompressed = 0x1000000;
  EXPECT_NO_THROW(volume::walk(image, limits));

  // Uncompressed encapsulations nine deep.
  Bytes deep = ff::makeSection(ff::kSectionRaw, Bytes(4, 0));
  for (int i = 0; i < 9; ++i) {
    deep = guided(kHolder, 0, deep);
  }
  const Bytes nested = volumeOf(
      {ff::makeFile(kHolder, ff::kFileTypeFreeform, 1, deep, true, false)});
  EXPECT_NE(walkProblems(nested).find("expected at most 8 levels"),
            std::string::npos);
}

TEST(VolumeWalk, FindsThePeiVolumeOfDebiansOvmf) {
  const std::filesystem::path path =
      "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd";
  if (!std::filesystem::exists(path)) {
    GTEST_SKIP() << path << " is not installed";
  }
  std::ifstream in(path, std::ios::binary);
  auto image = std::make_shared<const Bytes>(std::istreambuf_iterator<char>(in),
                                             std::istreambuf_iterator<char>());
  const auto found = volume::walk(image);
  const Guid peiName = Guid::parse("6938079B-B503-4E3D-9D24-B28337A25806");
  const auto pei = std::find_if(found.begin(), found.end(), [&](const auto &v) {
    return v.name == peiName;
  });
  ASSERT_NE(pei, found.end());
  EXPECT_NE(pei->origin.find("(LZMA)"), std::string::npos) << pei->origin;
  EXPECT_TRUE(pei->problems.empty()) << problemsOf(*pei);

  std::set<std::string> names;
  for (const volume::Peim &module : volume::peims(*pei)) {
    names.insert(module.uiName);
    EXPECT_NE(module.imageType, 0) << module.uiName;
    EXPECT_EQ(module.core, module.uiName == "PeiCore");
    ASSERT_TRUE(module.imageOffset) << module.uiName;
    EXPECT_LE(*module.imageOffset + module.image.size(), pei->length);
    if (module.depex) {
      EXPECT_FALSE(volume::describe(volume::parseDepex(*module.depex)).empty());
    }
  }
  for (const char *name :
       {"PcdPeim", "ReportStatusCodeRouterPei", "StatusCodeHandlerPei",
        "PlatformPei", "PeiVariable", "FaultTolerantWritePei", "Tcg2ConfigPei",
        "DxeIpl", "PeiCore"}) {
    EXPECT_EQ(names.count(name), 1u) << name;
  }

  // The variable store beside it is one volume of another file system:
  // data, not files, so the walk finds nothing wrong in it.
  std::ifstream vars("/usr/share/OVMF/OVMF32_VARS_4M.fd", std::ios::binary);
  const auto store = volume::walk(std::make_shared<const Bytes>(
      std::istreambuf_iterator<char>(vars), std::istreambuf_iterator<char>()));
  ASSERT_EQ(store.size(), 1u);
  EXPECT_TRUE(store[0].files.empty());
  EXPECT_TRUE(store[0].problems.empty()) << problemsOf(store[0]);
}

} // namespace
