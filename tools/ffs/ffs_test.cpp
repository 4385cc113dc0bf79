#include "command_line.h"
#include "ffs.h"
#include "volume/volume.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t u24(const Bytes &b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16;
}
std::uint32_t u32(const Bytes &b, std::size_t at) {
  return u24(b, at) | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
unsigned sum8(const Bytes &b, std::size_t from, std::size_t to) {
  return std::accumulate(b.begin() + static_cast<long>(from),
                         b.begin() + static_cast<long>(to), 0u) &
         0xFF;
}

const pei::PeImage &moduleImage() {
  static const pei::PeImage image = pei::PeImage::load(FIRMWARE_IMAGE_PATH);
  return image;
}

struct Section {
  std::size_t offset; // of the header, within the file
  std::uint32_t size;
  std::uint8_t type;
};

// Walks the sections of a file, checking that each starts 4-byte aligned
// and that together they fill the file exactly.
std::vector<Section> sectionsOf(const Bytes &file) {
  std::vector<Section> sections;
  std::size_t at = ffs_format::kFileHeaderSize;
  const std::size_t end = u24(file, 20);
  while (at < end) {
    at = (at + 3) & ~std::size_t{3};
    Section s{at, u24(file, at), file[at + 3]};
    EXPECT_GE(s.size, 4u);
    EXPECT_LE(at + s.size, end);
    sections.push_back(s);
    at += s.size;
  }
  EXPECT_EQ(at, end);
  return sections;
}

TEST(Guid, ParsesRegistryFormatIntoStorageOrderAndBack) {
  const auto g = ffs_format::parseGuid("6b102c40-43c0-4b44-b347-cb97b70880ed");
  const std::array<std::uint8_t, 16> expected = {
      0x40, 0x2C, 0x10, 0x6B, 0xC0, 0x43, 0x44, 0x4B,
      0xB3, 0x47, 0xCB, 0x97, 0xB7, 0x08, 0x80, 0xED};
  EXPECT_EQ(g.bytes, expected);
  EXPECT_EQ(g.text(), "6B102C40-43C0-4B44-B347-CB97B70880ED");
  for (const char *bad : {"", "6B102C40-43C0-4B44-B347-CB97B70880E",
                          "6B102C40x43C0-4B44-B347-"
                          "CB97B70880ED",
                          "6B102C40-43C0-4B44-B347-CB97B70880EG",
                          "{6B102C40-43C0-4B44-B347-CB97B70880ED}"}) {
    EXPECT_THROW(ffs_format::parseGuid(bad), ffs_format::FfsError) << bad;
  }
}

TEST(Peim, HeaderChecksumsStateAndSectionLayout) {
  const ffs_format::PeimFile packed = ffs_format::buildPeim(moduleImage(), {});
  const Bytes &f = packed.bytes;
  ASSERT_GE(f.size(), ffs_format::kFileHeaderSize);
  EXPECT_EQ(ffs_format::Guid::fromBytes(std::span(f).first(16)).text(),
            ffs_format::kModuleFileGuid);
  EXPECT_EQ(f[18], ffs_format::kFileTypePeim);
  EXPECT_EQ(u24(f, 20), f.size());
  // Header sums to zero with the file checksum and state taken as zero.
  EXPECT_EQ((sum8(f, 0, 24) - f[17] - f[23]) & 0xFF, 0u);
  // Data checksum present and correct.
  EXPECT_NE(f[19] & ffs_format::kAttribChecksum, 0);
  EXPECT_EQ((sum8(f, 24, f.size()) + f[17]) & 0xFF, 0u);
  // Header constructed, header valid, data valid; stored inverted for an
  // erase polarity of 1.
  EXPECT_EQ(f[23], 0xF8);
  // 32-byte sections need 128-byte file data alignment (16 is too little).
  EXPECT_EQ(packed.dataAlignment, 128u);
  EXPECT_EQ(ffs_format::alignmentFromAttributes(f[19]), 128u);

  const auto sections = sectionsOf(f);
  ASSERT_GE(sections.size(), 3u);
  EXPECT_EQ(sections.front().type, ffs_format::kSectionPeiDepex);
  EXPECT_EQ(sections.front().size, 6u);
  EXPECT_EQ(f[sections.front().offset + 4], ffs_format::kDepexTrue);
  EXPECT_EQ(f[sections.front().offset + 5], ffs_format::kDepexEnd);
  const Section &pe32 = sections[sections.size() - 2];
  EXPECT_EQ(pe32.type, ffs_format::kSectionPe32);
  EXPECT_EQ(pe32.offset + 4, packed.imageOffset);
  EXPECT_EQ((packed.imageOffset - ffs_format::kFileHeaderSize) %
                moduleImage().sectionAlignment(),
            0u);
  const Bytes body(f.begin() + packed.imageOffset,
                   f.begin() + pe32.offset + pe32.size);
  EXPECT_EQ(body, moduleImage().bytes()) << "not rebased: the image as built";
  for (std::size_t i = 1; i + 2 < sections.size(); ++i) {
    EXPECT_EQ(sections[i].type, ffs_format::kSectionRaw)
        << "only padding between";
  }
  const Section &ui = sections.back();
  EXPECT_EQ(ui.type, ffs_format::kSectionUserInterface);
  EXPECT_EQ(Bytes(f.begin() + ui.offset + 4, f.begin() + ui.offset + ui.size),
            ffs_format::makeUiName("TpmTransportPei"));
}

TEST(Peim, DepexRequiresEveryListedPpi) {
  const std::vector<ffs_format::Guid> ppis = {
      ffs_format::parseGuid("F894643D-C449-42D1-8EA8-85BDD8C65BDE"),
      ffs_format::parseGuid("06E81C58-4AD7-44BC-8390-F10265F72480")};
  Bytes expected{ffs_format::kDepexPush};
  expected.insert(expected.end(), ppis[0].bytes.begin(), ppis[0].bytes.end());
  expected.push_back(ffs_format::kDepexPush);
  expected.insert(expected.end(), ppis[1].bytes.begin(), ppis[1].bytes.end());
  expected.push_back(ffs_format::kDepexAnd);
  expected.push_back(ffs_format::kDepexEnd);
  EXPECT_EQ(ffs_format::makeDepex(ppis), expected);
  // The longer depex moves the image; it must still land aligned.
  ffs_format::PeimOptions options;
  options.depex = ppis;
  const auto packed = ffs_format::buildPeim(moduleImage(), options);
  EXPECT_EQ((packed.imageOffset - ffs_format::kFileHeaderSize) % 32, 0u);
  EXPECT_EQ(sectionsOf(packed.bytes).front().size, 4u + expected.size());
}

TEST(Peim, RebaseForExecuteInPlaceAppliesRelocationsAndPatchesImageBase) {
  const pei::PeImage &original = moduleImage();
  ASSERT_FALSE(original.relocations().empty());
  for (const bool te : {false, true}) {
    SCOPED_TRACE(te ? "TE" : "PE32");
    ffs_format::PeimOptions options;
    options.te = te;
    // A file header 24 bytes below a 128-byte boundary, as a volume places
    // it.
    options.fileAddress = 0x00823000 - 24;
    const auto packed = ffs_format::buildPeim(original, options);
    EXPECT_GT(packed.relocationsApplied, 0u);

    const auto section = sectionsOf(packed.bytes).rbegin()[1];
    EXPECT_EQ(section.type,
              te ? ffs_format::kSectionTe : ffs_format::kSectionPe32);
    const pei::PeImage rebased = pei::PeImage::parse(
        Bytes(packed.bytes.begin() + packed.imageOffset,
              packed.bytes.begin() + section.offset + section.size));
    ASSERT_EQ(rebased.isTe(), te);
    // Executing in place, the image's first byte lies at the file's address
    // in flash: a TE image's header sits StrippedSize - 40 above its base.
    EXPECT_EQ(rebased.imageBase() + rebased.fileRva(),
              *options.fileAddress + packed.imageOffset);
    EXPECT_EQ(packed.imageBase, rebased.imageBase());
    EXPECT_EQ(packed.imageBase % original.sectionAlignment(), 0u);
    EXPECT_EQ(rebased.entryRva(), original.entryRva());
    EXPECT_EQ(rebased.relocations().size(), original.relocations().size());
    const std::uint32_t delta = packed.imageBase - original.imageBase();
    const Bytes before = original.memoryImage();
    const Bytes after = rebased.memoryImage();
    for (const auto &r : original.relocations()) {
      if (r.type == pei::PeRelocation::kHighLow) {
        EXPECT_EQ(u32(after, r.rva), u32(before, r.rva) + delta) << r.rva;
      }
    }
    // Moving it back reproduces the original's sections byte for byte.
    const Bytes back = rebased.relocatedTo(original.imageBase());
    for (const auto &s : original.sections()) {
      EXPECT_TRUE(std::equal(before.begin() + s.virtualAddress,
                             before.begin() + s.virtualAddress + s.rawSize,
                             back.begin() + s.virtualAddress))
          << s.name;
    }
  }
}

TEST(Peim, RejectsLayoutsThatCannotExecuteInPlace) {
  ffs_format::PeimOptions misplaced;
  misplaced.fileAddress = 0x00823000; // data would be 24 bytes off
  EXPECT_THROW(ffs_format::buildPeim(moduleImage(), misplaced),
               ffs_format::FfsError);
  ffs_format::PeimOptions unaligned;
  unaligned.imageBase = 0x00823010;
  EXPECT_THROW(ffs_format::buildPeim(moduleImage(), unaligned),
               ffs_format::FfsError);
  ffs_format::PeimOptions both;
  both.imageBase = 0x00823000;
  both.fileAddress = 0x00822FE8;
  EXPECT_THROW(ffs_format::buildPeim(moduleImage(), both),
               ffs_format::FfsError);
  ffs_format::PeimOptions beyond;
  beyond.imageBase = 0xFFFFFFE0;
  EXPECT_THROW(ffs_format::buildPeim(moduleImage(), beyond),
               ffs_format::FfsError);
  // File addresses whose image base would wrap past 4 GiB to a small one,
  // or whose file would run past 4 GiB.
  const std::size_t fileSize =
      ffs_format::buildPeim(moduleImage(), {}).bytes.size();
  const auto runsPast = static_cast<std::uint32_t>(
      0x100000000ull - 24 - 128 * ((fileSize - 24) / 128));
  for (const std::uint32_t top : {0xFFFFFFE8u, runsPast}) {
    ffs_format::PeimOptions wrapping;
    wrapping.fileAddress = top;
    EXPECT_THROW(ffs_format::buildPeim(moduleImage(), wrapping),
                 ffs_format::FfsError)
        << std::hex << top;
  }
  // An image whose relocations were stripped cannot be moved.
  Bytes stripped = moduleImage().bytes();
  stripped[u32(stripped, 0x3C) + 22] |= 0x01;
  ffs_format::PeimOptions moved;
  moved.imageBase = 0x00823000;
  EXPECT_THROW(
      ffs_format::buildPeim(pei::PeImage::parse(std::move(stripped)), moved),
      ffs_format::FfsError);
  // A TE image is made from the PE32, never taken as input.
  ffs_format::PeimOptions asTe;
  asTe.te = true;
  const auto te = ffs_format::buildPeim(moduleImage(), asTe);
  const auto teSection = sectionsOf(te.bytes).rbegin()[1];
  EXPECT_THROW(ffs_format::buildPeim(
                   pei::PeImage::parse(Bytes(
                       te.bytes.begin() + te.imageOffset,
                       te.bytes.begin() + teSection.offset + teSection.size)),
                   ffs_format::PeimOptions{}),
               ffs_format::FfsError);
  ffs_format::PeimOptions nameless;
  nameless.uiName = "";
  EXPECT_THROW(ffs_format::buildPeim(moduleImage(), nameless),
               ffs_format::FfsError);
}

TEST(Volume, PlacesFilesAlignedWithPadFilesAndRefusesOverflow) {
  const auto peim = ffs_format::buildPeim(moduleImage(), {}).bytes;
  const Bytes small = ffs_format::makeFile(
      ffs_format::parseGuid("E192FBEE-5D33-47CA-9DEA-95783AE0F344"),
      ffs_format::kFileTypeFreeform, 1, Bytes(40, 0x11), true, true);
  const std::vector<Bytes> files{small, peim};
  const Bytes volume = ffs_format::makeVolume(files, 0x4000, true);
  const ffs_format::Volume parsed = ffs_format::Volume::parse(volume);
  EXPECT_TRUE(parsed.erasePolarity());
  ASSERT_EQ(parsed.files().size(), 3u) << "small file, pad file, PEIM";
  EXPECT_EQ(parsed.files()[1].type, ffs_format::kFileTypePad);
  const ffs_format::VolumeFile *found =
      parsed.find(ffs_format::parseGuid(ffs_format::kModuleFileGuid));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ((found->offset + 24) % 128, 0u);
  EXPECT_EQ(found->size, peim.size());
  EXPECT_EQ(parsed.files()[1].end(), found->offset);
  EXPECT_EQ(Bytes(volume.begin() + found->offset,
                  volume.begin() + found->offset + found->size),
            peim);
  // A file named with erased bytes, as pad files are, is found by its name;
  // the pad file in front of it has no name to find.
  ffs_format::PeimOptions erasedName;
  erasedName.name.bytes.fill(0xFF);
  const std::vector<Bytes> namedFiles{
      small, ffs_format::buildPeim(moduleImage(), erasedName).bytes};
  const Bytes padded = ffs_format::makeVolume(namedFiles, 0x4000, true);
  const ffs_format::Volume withPad = ffs_format::Volume::parse(padded);
  const ffs_format::VolumeFile *named = withPad.find(erasedName.name);
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->type, ffs_format::kFileTypePeim);

  // 16 KiB cannot hold as many more copies as its size allows: appending
  // must stop with an error.
  Bytes full = volume;
  EXPECT_THROW(
      {
        for (std::size_t i = 0; i <= full.size() / peim.size(); ++i) {
          ffs_format::appendFile(full, peim, 128);
        }
      },
      ffs_format::FfsError);
  EXPECT_NO_THROW(ffs_format::Volume::parse(full));
  Bytes corrupt = volume;
  corrupt[0x30 + 2] ^= 1; // header length's neighbour: the checksum
  EXPECT_THROW(ffs_format::Volume::parse(corrupt), ffs_format::FfsError);
}

// A large file (attribute 0x01) carries a 64-bit size after its header; one
// past the volume is refused however small its low word.
TEST(Volume, ALargeFileIsSizedByItsSixtyFourBitSizeWithinTheVolume) {
  Bytes large = ffs_format::makeVolume({}, 0x1000, true);
  const std::size_t first = ffs_format::Volume::parse(large).firstFileOffset();
  std::fill_n(large.begin() + static_cast<long>(first), 16, 0x11); // name
  large[first + 18] = ffs_format::kFileTypeFreeform;
  large[first + 19] = 0x01;
  std::fill_n(large.begin() + static_cast<long>(first) + 20, 3, 0);
  const Bytes extendedSize = {0x40, 0, 0, 0, 1, 0, 0, 0};
  std::copy(extendedSize.begin(), extendedSize.end(),
            large.begin() + first + 24);
  EXPECT_THROW(ffs_format::Volume::parse(large), ffs_format::FfsError);
  // So is the largest 64-bit size, which would wrap a sum round.
  std::fill_n(large.begin() + static_cast<long>(first) + 24, 8, 0xFF);
  EXPECT_THROW(ffs_format::Volume::parse(large), ffs_format::FfsError);
  std::copy(extendedSize.begin(), extendedSize.end(),
            large.begin() + first + 24);
  large[first + 28] = 0;
  EXPECT_EQ(ffs_format::Volume::parse(large).files().at(0).size, 0x40u);
}

// The extended header names the volume and ends before the first file; a
// size that runs past the volume is refused rather than followed.
TEST(Volume, ExtendedHeaderNamesTheVolumeAndBoundsTheFirstFile) {
  Bytes volume = ffs_format::makeVolume({}, 0x1000, true);
  EXPECT_FALSE(ffs_format::Volume::parse(volume).name().has_value());
  // Point ExtHeaderOffset (at 52, zero so far) at 72 and take as much from
  // the checksum word at 50, so the header still sums to zero.
  constexpr std::uint16_t kExt = 72;
  const auto checksum =
      static_cast<std::uint16_t>((volume[50] | volume[51] << 8) - kExt);
  volume[50] = static_cast<std::uint8_t>(checksum);
  volume[51] = static_cast<std::uint8_t>(checksum >> 8);
  volume[52] = kExt;
  const auto name =
      ffs_format::parseGuid("6938079B-B503-4E3D-9D24-B28337A25806");
  std::copy(name.bytes.begin(), name.bytes.end(), volume.begin() + kExt);
  volume[kExt + 16] = 20; // ExtHeaderSize: the name and the size alone
  std::fill_n(volume.begin() + kExt + 17, 3, 0);
  const ffs_format::Volume parsed = ffs_format::Volume::parse(volume);
  EXPECT_EQ(parsed.name(), name);
  EXPECT_EQ(parsed.firstFileOffset(), 96u) << "72 + 20, 8-byte aligned";
  EXPECT_TRUE(parsed.files().empty());

  volume[kExt + 17] = 0x10; // 0x1014: past the end of the volume
  EXPECT_THROW(ffs_format::Volume::parse(volume), ffs_format::FfsError);
  std::fill_n(volume.begin() + kExt + 16, 4, 0);
  volume[kExt + 16] = 19;
  EXPECT_THROW(ffs_format::Volume::parse(volume), ffs_format::FfsError);
}

// The independent check: UEFITool's parser must find the file, its GUID,
// type and sections, and report nothing else.
struct PipeCloser {
  void operator()(FILE *f) const { pclose(f); }
};

std::string run(const std::string &command) {
  std::unique_ptr<FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
  if (!pipe) {
    return "";
  }
  std::string out;
  std::array<char, 4096> buffer;
  while (std::size_t n = fread(buffer.data(), 1, buffer.size(), pipe.get())) {
    out.append(buffer.data(), n);
  }
  return out;
}

TEST(PeiFfsCommandLine, BadInputGivesOneClearErrorAndANonZeroExit) {
  const std::string tool = PEI_FFS_PATH;
  const std::string notAnImage =
      run(tool + " " + PEI_FFS_PATH + " -o /dev/null 2>&1; echo exit=$?");
  EXPECT_NE(notAnImage.find("DOS signature: expected 0x5A4D"),
            std::string::npos)
      << notAnImage;
  EXPECT_NE(notAnImage.find("exit=2"), std::string::npos) << notAnImage;
  // Inputs that are not regular files: one line naming the path as given,
  // status 2, at once (a FIFO without a writer is not waited on, a device
  // not read).
  const std::string fifo =
      testing::TempDir() + "pei-ffs-fifo-" + std::to_string(getpid());
  ASSERT_EQ(run("mkfifo " + fifo + " && echo made"), "made\n");
  for (const auto &[input, kind] :
       std::vector<std::pair<std::string, std::string>>{
           {"/dev/zero", "a device"},
           {"/tmp", "a directory"},
           {fifo, "a FIFO"}}) {
    const std::string out = run("timeout 10 " + tool + " " + input +
                                " -o /dev/null 2>&1; echo exit=$?");
    EXPECT_NE(out.find("pei-ffs: " + input + ": not a regular file (" + kind +
                       "); expected a PE32, TE or FFS file"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("exit=2"), std::string::npos) << out;
  }
  std::filesystem::remove(fifo);
  // No output may be the image or the other output: refused before
  // anything is written, the image left as it was.
  const std::string copy =
      testing::TempDir() + "pei-ffs-input-" + std::to_string(getpid()) + ".efi";
  std::filesystem::copy_file(FIRMWARE_IMAGE_PATH, copy,
                             std::filesystem::copy_options::overwrite_existing);
  const auto before = std::filesystem::file_size(copy);
  for (const auto &[outputs, message] :
       std::vector<std::pair<std::string, std::string>>{
           {"-o " + copy, "--output: expected a file other than the image"},
           {"-o /dev/null --volume " + copy,
            "--volume: expected a file other than the image"},
           {"-o " + copy + ".ffs --volume " + copy + ".ffs",
            "--volume: expected a file other than --output"},
           {"-o /nonexistent/x.ffs", "--output: expected a writable file"}}) {
    const std::string out =
        run(tool + " " + copy + " " + outputs + " 2>&1; echo exit=$?");
    EXPECT_NE(out.find(message), std::string::npos) << out;
    EXPECT_NE(out.find("exit=2"), std::string::npos) << out;
  }
  EXPECT_EQ(std::filesystem::file_size(copy), before);
  EXPECT_FALSE(std::filesystem::exists(copy + ".ffs"));
  std::filesystem::remove(copy);
  const std::string wrapped =
      run(tool + " " + FIRMWARE_IMAGE_PATH +
          " -o /dev/null --xip-file-address 0xFFFFFFE8 2>&1; echo exit=$?");
  EXPECT_NE(
      wrapped.find(
          "image base 0x100000020: expected the image to end below 4 GiB"),
      std::string::npos)
      << wrapped;
  EXPECT_NE(wrapped.find("exit=2"), std::string::npos) << wrapped;
  const std::string badOption = run(tool + " " + FIRMWARE_IMAGE_PATH +
                                    " -o /dev/null --rebase 0x12345678x 2>&1;"
                                    " echo exit=$?");
  EXPECT_NE(badOption.find("--rebase: expected a 32-bit address"),
            std::string::npos)
      << badOption;
  EXPECT_NE(badOption.find("exit=2"), std::string::npos) << badOption;
  for (const char *bad : {"-32", "+0x20", "0x", "0x 20", "4294967296"}) {
    const std::string out =
        run(tool + " " + FIRMWARE_IMAGE_PATH + " -o /dev/null --rebase '" +
            bad + "' 2>&1; echo exit=$?");
    EXPECT_NE(out.find("exit=2"), std::string::npos) << bad << ": " << out;
  }
  // Addresses are hexadecimal with 0x and decimal otherwise, never octal.
  const std::string decimal = run(tool + " " + FIRMWARE_IMAGE_PATH +
                                  " -o /dev/null --rebase 08388608 2>&1");
  EXPECT_NE(decimal.find("ImageBase 0x00800000"), std::string::npos) << decimal;
}

// A write that fails names the cause, exits 1 and leaves no short file.
TEST(PeiFfsCommandLine, AFailedWriteNamesItsCauseAndLeavesNoFile) {
  const std::string tool = PEI_FFS_PATH;
  const std::string full = run(tool + " " + FIRMWARE_IMAGE_PATH +
                               " -o /dev/full 2>&1; echo exit=$?");
  EXPECT_NE(full.find("No space left on device"), std::string::npos) << full;
  EXPECT_NE(full.find("exit=1"), std::string::npos) << full;
  const std::string shortFile =
      (std::filesystem::temp_directory_path() /
       ("pei-ffs-short-" + std::to_string(getpid()) + ".ffs"))
          .string();
  const std::string limited =
      run("bash -c \"trap '' XFSZ; ulimit -f 1; exec " + tool + " " +
          FIRMWARE_IMAGE_PATH + " -o " + shortFile + "\" 2>&1; echo exit=$?");
  EXPECT_NE(limited.find("exit=1"), std::string::npos) << limited;
  EXPECT_NE(limited.find("File too large"), std::string::npos) << limited;
  EXPECT_FALSE(std::filesystem::exists(shortFile)) << limited;
  // A volume that cannot be written takes the FFS file with it.
  const std::string volume =
      run(tool + " " + FIRMWARE_IMAGE_PATH + " -o " + shortFile +
          " --volume /dev/full 2>&1; echo "
          "exit=$?");
  EXPECT_NE(volume.find("exit=1"), std::string::npos) << volume;
  EXPECT_FALSE(std::filesystem::exists(shortFile)) << volume;
  const auto directory = std::filesystem::path(shortFile).parent_path();
  for (const auto &entry : std::filesystem::directory_iterator(directory)) {
    EXPECT_EQ(entry.path().string().find(shortFile), std::string::npos)
        << "left behind: " << entry.path();
  }
}

// The help names every option the parser takes, and no other.
TEST(PeiFfsCommandLine, HelpNamesExactlyTheOptionsTaken) {
  const std::string help(ffs_format::kUsage);
  std::set<std::string> named;
  const std::regex option("--[a-z][a-z0-9-]*");
  for (auto it = std::sregex_iterator(help.begin(), help.end(), option);
       it != std::sregex_iterator(); ++it) {
    named.insert(it->str());
  }
  const std::vector<std::string> names = ffs_format::commandLineOptionNames();
  EXPECT_EQ(named, std::set<std::string>(names.begin(), names.end()));
  EXPECT_EQ(run(std::string(PEI_FFS_PATH) + " --help"), help);
}

TEST(UefiExtract, ListsThePackagedFileWithoutParserMessages) {
  namespace fs = std::filesystem;
  for (const bool te : {false, true}) {
    SCOPED_TRACE(te ? "TE" : "PE32");
    const fs::path dir = fs::temp_directory_path() /
                         ("pei-ffs-test-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path ffsFile = dir / "module.ffs", volume = dir / "module.fv";
    const std::string packOutput =
        run(std::string(PEI_FFS_PATH) + " " + FIRMWARE_IMAGE_PATH + " -o " +
            ffsFile.string() + " --xip-file-address 0x00820FE8 --volume " +
            volume.string() + (te ? " --te" : "") + " 2>&1");
    ASSERT_TRUE(fs::exists(volume)) << packOutput;
    EXPECT_NE(packOutput.find("relocations applied"), std::string::npos)
        << packOutput;

    const std::string messages =
        run("cd " + dir.string() + " && UEFIExtract module.fv report 2>&1");
    const fs::path reportPath = dir / "module.fv.report.txt";
    ASSERT_TRUE(fs::exists(reportPath)) << messages;
    std::ifstream in(reportPath);
    std::stringstream report;
    report << in.rdbuf();
    const std::string text = report.str();
    // UEFIExtract prints its parser warnings here. A lone volume has no
    // reset-vector file (the volume top file of a whole flash image), which
    // it notes; anything else is a fault in what we produced.
    std::istringstream lines(messages);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.find("not a single Volume Top File is found") ==
                               std::string::npos) {
        ADD_FAILURE() << "parser message: " << line;
      }
    }
    const std::regex file(
        R"(File\s+\|\s+PEI module\s+\|.*\|\s*-+\s*6B102C40-43C0-4B44-B347-CB97B70880ED\s*\|\s*TpmTransportPei)");
    EXPECT_TRUE(std::regex_search(text, file)) << text;
    for (const char *section :
         {"PEI dependency section",
          te ? "TE image section" : "PE32 image section", "UI section"}) {
      EXPECT_NE(text.find(section), std::string::npos) << section << "\n"
                                                       << text;
    }
    fs::remove_all(dir);
  }
}

TEST(Lzma, RoundTripCarriesTheRealSizeInTheHeader) {
  Bytes data(100000);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>((i * 7) ^ (i >> 9));
  }
  const Bytes packed = ffs_format::lzmaCompress(data);
  std::uint64_t size = 0;
  for (int i = 7; i >= 0; --i) {
    size = size << 8 | packed[5 + static_cast<unsigned>(i)];
  }
  EXPECT_EQ(size, data.size());
  EXPECT_EQ(ffs_format::lzmaDecompress(packed, "test"), data);
  Bytes truncated(packed.begin(), packed.begin() + 40);
  EXPECT_THROW(ffs_format::lzmaDecompress(truncated, "test"),
               ffs_format::FfsError);
}

// A flash image built for the insertion, erase polarity 1:
//   0x00000 volume "outer" (0x20000): a volume-image file holding an LZMA
//           section of [raw, volume-image section of "pei"], a pad file,
//           then a freeform file that must not move;
//           "pei" (0x8000) holds one PEIM rebased to run at 0x00820000;
//   0x20000 volume "flash" (0x4000) with one freeform file, run in place;
//   0x24000 volume "full" (0x1000), too full for the module;
//   0x25000 volume "signed" (0x4000): a volume-image file whose GUID-defined
//           section (data as it lies, authentication status valid) holds
//           the volume "sealed".
namespace ff = ffs_format;
const ff::Guid kOuterVolume =
    ff::parseGuid("3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7101");
const ff::Guid kPeiVolume =
    ff::parseGuid("3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7102");
const ff::Guid kFlashVolume =
    ff::parseGuid("3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7103");
const ff::Guid kFullVolume =
    ff::parseGuid("3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7104");
const ff::Guid kSignedVolume =
    ff::parseGuid("3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7105");
const ff::Guid kSealedVolume =
    ff::parseGuid("3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7106");
const ff::Guid kResident =
    ff::parseGuid("3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7110");
const ff::Guid kFollower =
    ff::parseGuid("3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7111");
constexpr std::uint32_t kPeiRuns = 0x00820000;
constexpr std::uint32_t kFlashVolumeAt = 0x20000;
constexpr std::size_t kFlashSize = 0x29000;

Bytes freeform(const ff::Guid &name, std::size_t size) {
  return ff::makeFile(name, ff::kFileTypeFreeform, 1,
                      ff::makeSection(ff::kSectionRaw, Bytes(size, 0x5A)), true,
                      true);
}

Bytes guidedSection(const char *guid, std::uint16_t attributes,
                    const Bytes &data) {
  const ff::Guid name = ff::parseGuid(guid);
  Bytes body(name.bytes.begin(), name.bytes.end());
  body.push_back(24); // DataOffset, from the section start
  body.push_back(0);
  body.push_back(static_cast<std::uint8_t>(attributes));
  body.push_back(0);
  body.insert(body.end(), data.begin(), data.end());
  return ff::makeSection(ff::kSectionGuidDefined, body);
}

Bytes holderFile(const char *name, const Bytes &sections) {
  return ff::makeFile(ff::parseGuid(name), ff::kFileTypeVolumeImage, 16,
                      sections, true, true);
}

// The sections the outer volume's LZMA section holds: a raw section and the
// PEI volume, 8-byte aligned behind it.
Bytes peiContents() {
  Bytes pei = ff::makeVolume({}, 0x8000, true, kPeiVolume);
  ff::PeimOptions resident;
  resident.name = kResident;
  resident.uiName = "Resident";
  const auto unplaced = ff::buildPeim(moduleImage(), resident);
  const std::uint32_t at = ff::placementFor(
      ff::Volume::parse(pei), static_cast<std::uint32_t>(unplaced.bytes.size()),
      unplaced.dataAlignment);
  resident.fileAddress = kPeiRuns + at;
  const auto placed = ff::buildPeim(moduleImage(), resident);
  ff::appendFile(pei, placed.bytes, placed.dataAlignment);
  Bytes contents = ff::makeSection(ff::kSectionRaw, Bytes(0x78, 0x33));
  const Bytes volumeSection = ff::makeSection(ff::kSectionVolumeImage, pei);
  contents.insert(contents.end(), volumeSection.begin(), volumeSection.end());
  return contents;
}

const Bytes &builtFlash() {
  static const Bytes flash = [] {
    const std::vector<Bytes> outerFiles = {
        holderFile("3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7120",
                   guidedSection(ff::kLzmaSectionGuid.data(), 0x01,
                                 ff::lzmaCompress(peiContents()))),
        ff::makePadFile(0x2000, true), freeform(kFollower, 0x100)};
    Bytes image = ff::makeVolume(outerFiles, 0x20000, true, kOuterVolume);
    const std::vector<Bytes> flashFiles = {freeform(kFollower, 0x40)};
    const Bytes flashVolume =
        ff::makeVolume(flashFiles, 0x4000, true, kFlashVolume);
    const std::vector<Bytes> fullFiles = {freeform(kFollower, 0x800)};
    const Bytes fullVolume =
        ff::makeVolume(fullFiles, 0x1000, true, kFullVolume);
    Bytes sealed = ff::makeVolume({}, 0x1000, true, kSealedVolume);
    // Any alignment (none asked), as a volume inside a section may have.
    constexpr std::uint32_t kAlignmentBits = 0x001F0000;
    const std::uint32_t attributes = u32(sealed, 44);
    const std::uint32_t checksum = sealed[50] | sealed[51] << 8;
    sealed[46] =
        static_cast<std::uint8_t>((attributes & ~kAlignmentBits) >> 16);
    const auto fixed = static_cast<std::uint16_t>(
        checksum + ((attributes & kAlignmentBits) >> 16));
    sealed[50] = static_cast<std::uint8_t>(fixed);
    sealed[51] = static_cast<std::uint8_t>(fixed >> 8);
    const std::vector<Bytes> signedFiles = {holderFile(
        "3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7121",
        guidedSection("3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7130", 0x02,
                      ff::makeSection(ff::kSectionVolumeImage, sealed)))};
    const Bytes signedVolume =
        ff::makeVolume(signedFiles, 0x4000, true, kSignedVolume);
    for (const Bytes *v : {&flashVolume, &fullVolume, &signedVolume}) {
      image.insert(image.end(), v->begin(), v->end());
    }
    EXPECT_EQ(image.size(), kFlashSize);
    return image;
  }();
  return flash;
}

const volume::Volume &volumeNamed(const std::vector<volume::Volume> &volumes,
                                  const ff::Guid &name) {
  for (const volume::Volume &v : volumes) {
    if (v.name == name) {
      return v;
    }
  }
  throw std::runtime_error("no volume " + name.text());
}

// Read back by the platform's own volume reader: the module where the
// insertion said, its image linked for where it executes in place.
void expectPlaced(const volume::Volume &v, const ff::PlacedPeim &placed,
                  std::uint32_t runsAt, bool te) {
  EXPECT_TRUE(v.problems.empty()) << v.problems.front();
  const ff::Guid module = ff::parseGuid(ff::kModuleFileGuid);
  const volume::File *file = v.find(module);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->offset, placed.fileOffset);
  EXPECT_TRUE(file->headerChecksumValid);
  for (const volume::Peim &peim : volume::peims(v)) {
    if (peim.name != module) {
      continue;
    }
    ASSERT_TRUE(peim.imageOffset.has_value());
    EXPECT_EQ(peim.imageType, te ? ff::kSectionTe : ff::kSectionPe32);
    const pei::PeImage image =
        pei::PeImage::parse(Bytes(peim.image.begin(), peim.image.end()));
    EXPECT_EQ(image.imageBase(), placed.imageBase);
    EXPECT_EQ(image.imageBase() + image.fileRva(), runsAt + *peim.imageOffset);
  }
}

// A volume in the flash runs at its flash address, the image ending at
// 4 GiB or at the base given; only that volume changes.  Files go into its
// free space, or into a pad file when it has none.
TEST(Insert, IntoAVolumeInFlashRebasesForItsFlashAddress) {
  for (const bool te : {false, true}) {
    for (const std::optional<std::uint64_t> base :
         {std::optional<std::uint64_t>{},
          std::optional<std::uint64_t>{0xFF800000}}) {
      SCOPED_TRACE(std::string(te ? "TE" : "PE32") +
                   (base ? " at 0xFF800000" : " at the top"));
      ff::InsertedPeim peim{&moduleImage(), {}, false};
      peim.options.te = te;
      ff::InsertOptions options;
      options.volume = kFlashVolume;
      options.flashBase = base;
      const ff::InsertResult result =
          ff::insertPeims(builtFlash(), std::span(&peim, 1), options);
      const std::uint64_t flashBase =
          base.value_or(0x100000000ull - kFlashSize);
      EXPECT_EQ(result.volumeAddress, flashBase + kFlashVolumeAt);
      EXPECT_EQ(result.addressFrom, "flash");
      EXPECT_FALSE(result.compressed);
      ASSERT_EQ(result.flash.size(), builtFlash().size());
      EXPECT_TRUE(std::equal(builtFlash().begin(),
                             builtFlash().begin() + kFlashVolumeAt,
                             result.flash.begin()));
      EXPECT_TRUE(std::equal(builtFlash().begin() + kFlashVolumeAt + 0x4000,
                             builtFlash().end(),
                             result.flash.begin() + kFlashVolumeAt + 0x4000));
      const auto volumes =
          volume::walk(std::make_shared<const Bytes>(result.flash));
      expectPlaced(volumeNamed(volumes, kFlashVolume), result.placed.at(0),
                   result.volumeAddress, te);
    }
  }
  // A volume whose last file must stay at its end (a volume top file) has
  // no free space: the file goes into the pad file in front of that one.
  const ff::Guid top = kResident;
  const std::vector<Bytes> files = {freeform(kFollower, 0x40),
                                    ff::makePadFile(0x2E20, true),
                                    freeform(top, 0x100)};
  const Bytes full = ff::makeVolume(files, 0x3000, true, kFlashVolume);
  ASSERT_EQ(ff::Volume::parse(full).files().back().end(), 0x2FFCu);
  ff::InsertedPeim peim{&moduleImage(), {}, true};
  ff::InsertOptions options;
  options.volume = kFlashVolume;
  const ff::InsertResult result =
      ff::insertPeims(full, std::span(&peim, 1), options);
  const auto volumes =
      volume::walk(std::make_shared<const Bytes>(result.flash));
  const volume::Volume &v = volumeNamed(volumes, kFlashVolume);
  expectPlaced(v, result.placed.at(0), 0xFFFFD000u, false);
  ASSERT_NE(v.find(top), nullptr);
  EXPECT_EQ(v.find(top)->offset, 0x2EE0u);
  EXPECT_EQ(volume::apriori(v),
            std::vector<ff::Guid>{ff::parseGuid(ff::kModuleFileGuid)});
}

// A volume inside an LZMA section runs where its images say; the section
// is recompressed, the holder file grows into the pad file behind it and
// the file after stays where it was; the apriori file, missing, is made.
TEST(Insert, IntoACompressedVolumeFollowsItsImagesAndKeepsLaterFilesInPlace) {
  std::vector<ff::InsertedPeim> peims(2);
  peims[0] = {&moduleImage(), {}, true};
  peims[1].image = &moduleImage();
  peims[1].options.name = ff::parseGuid("3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7112");
  peims[1].options.uiName = "Second";
  peims[1].apriori = true;
  ff::InsertOptions options;
  options.volume = kPeiVolume;
  const ff::InsertResult result = ff::insertPeims(builtFlash(), peims, options);
  EXPECT_EQ(result.volumeAddress, kPeiRuns);
  EXPECT_EQ(result.addressFrom, "its images");
  EXPECT_TRUE(result.compressed);
  EXPECT_TRUE(result.aprioriCreated);
  ASSERT_EQ(result.placed.size(), 2u);

  const auto before = volume::walk(std::make_shared<const Bytes>(builtFlash()));
  const auto after = volume::walk(std::make_shared<const Bytes>(result.flash));
  const volume::Volume &pei = volumeNamed(after, kPeiVolume);
  expectPlaced(pei, result.placed[0], kPeiRuns, false);
  EXPECT_EQ(volume::apriori(pei),
            (std::vector<ff::Guid>{ff::parseGuid(ff::kModuleFileGuid),
                                   peims[1].options.name}));
  EXPECT_EQ(pei.length, volumeNamed(before, kPeiVolume).length);
  const volume::File *resident = pei.find(kResident);
  ASSERT_NE(resident, nullptr);
  EXPECT_EQ(resident->offset,
            volumeNamed(before, kPeiVolume).find(kResident)->offset);
  const volume::Volume &outer = volumeNamed(after, kOuterVolume);
  EXPECT_TRUE(outer.problems.empty()) << outer.problems.front();
  ASSERT_NE(outer.find(kFollower), nullptr);
  EXPECT_EQ(outer.find(kFollower)->offset,
            volumeNamed(before, kOuterVolume).find(kFollower)->offset);
  const ff::Guid holder = ff::parseGuid("3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7120");
  EXPECT_NE(outer.find(holder)->size,
            volumeNamed(before, kOuterVolume).find(holder)->size)
      << "recompressed";
  EXPECT_TRUE(std::equal(builtFlash().begin() + 0x20000, builtFlash().end(),
                         result.flash.begin() + 0x20000));

  // Given its address, the volume runs there, whatever its images say.
  options.volumeAddress = 0x00900000;
  const ff::InsertResult given = ff::insertPeims(builtFlash(), peims, options);
  EXPECT_EQ(given.addressFrom, "given");
  expectPlaced(
      volumeNamed(volume::walk(std::make_shared<const Bytes>(given.flash)),
                  kPeiVolume),
      given.placed[0], 0x00900000, false);
}

// A second file of one name would leave the Foundation to pick one; images
// that disagree on where their volume runs leave no address to trust; an
// apriori file that cannot grow in place would move the files behind it.
TEST(Insert, RefusesDuplicatesDisagreeingImagesAndAnAprioriWithoutRoom) {
  const Bytes &flash = builtFlash();
  ff::InsertedPeim peim{&moduleImage(), {}, false};
  ff::InsertOptions options;
  options.volume = kPeiVolume;
  const ff::InsertResult once =
      ff::insertPeims(flash, std::span(&peim, 1), options);
  try {
    ff::insertPeims(once.flash, std::span(&peim, 1), options);
    ADD_FAILURE() << "inserted the module twice";
  } catch (const ff::FfsError &e) {
    EXPECT_NE(std::string(e.what()).find("expected no file named " +
                                         std::string(ff::kModuleFileGuid)),
              std::string::npos)
        << e.what();
  }
  // A second module with another name, placed at the wrong base.
  ff::InsertedPeim other{&moduleImage(), {}, false};
  other.options.name = ff::parseGuid("3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7113");
  options.volumeAddress = kPeiRuns + 0x1000;
  const ff::InsertResult wrong =
      ff::insertPeims(once.flash, std::span(&other, 1), options);
  options.volumeAddress.reset();
  other.options.name = ff::parseGuid("3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7114");
  try {
    ff::insertPeims(wrong.flash, std::span(&other, 1), options);
    ADD_FAILURE() << "took an address its images disagree on";
  } catch (const ff::FfsError &e) {
    EXPECT_NE(std::string(e.what()).find("expected its images to agree"),
              std::string::npos)
        << e.what();
  }
  // An apriori file with a file right behind it cannot grow without moving
  // that file, which executes where it lies.
  const Bytes list(kResident.bytes.begin(), kResident.bytes.end());
  const std::vector<Bytes> tight = {
      ff::makeFile(ff::parseGuid(ff::kPeiAprioriFileGuid),
                   ff::kFileTypeFreeform, 1,
                   ff::makeSection(ff::kSectionRaw, list), true, true),
      freeform(kFollower, 0x40)};
  const Bytes tightFlash = ff::makeVolume(tight, 0x4000, true, kFlashVolume);
  options.volume = kFlashVolume;
  ff::InsertedPeim listed{&moduleImage(), {}, true};
  try {
    ff::insertPeims(tightFlash, std::span(&listed, 1), options);
    ADD_FAILURE() << "grew the apriori file over the file behind it";
  } catch (const ff::FfsError &e) {
    EXPECT_NE(std::string(e.what()).find("apriori file: expected room for"),
              std::string::npos)
        << e.what();
  }
  listed.apriori = false;
  EXPECT_NO_THROW(ff::insertPeims(tightFlash, std::span(&listed, 1), options));

  // Volumes nested deeper than any platform nests them are refused, not
  // followed until the stack runs out.
  Bytes nested = ff::makeVolume({}, 0x1000, true, kFlashVolume);
  for (int level = 0; level < 9; ++level) {
    const std::vector<Bytes> holder = {
        holderFile("3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7122",
                   ff::makeSection(ff::kSectionVolumeImage, nested))};
    nested = ff::makeVolume(
        holder, static_cast<std::uint32_t>(nested.size() + 0x100), true);
  }
  try {
    ff::insertPeims(nested, std::span(&listed, 1), options);
    ADD_FAILURE() << "followed nine levels of volumes";
  } catch (const ff::FfsError &e) {
    EXPECT_NE(std::string(e.what()).find("nested at most 8 levels"),
              std::string::npos)
        << e.what();
  }
}

std::string tempPath(const std::string &name) {
  return (std::filesystem::temp_directory_path() /
          ("pei-ffs-" + std::to_string(getpid()) + "-" + name))
      .string();
}

void writeBytes(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// The program on the built flash: the image it writes reads in UEFIExtract
// without a warning; bad inputs and senseless combinations are refused with
// one line and status 2, leaving no output.
TEST(PeiFfsInsert, WritesAFlashImageUefiExtractReadsAndRefusesBadInput) {
  namespace fs = std::filesystem;
  const std::string tool = PEI_FFS_PATH;
  const std::string module = FIRMWARE_IMAGE_PATH;
  const std::string dir = tempPath("insert");
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string flash = dir + "/flash.fd", out = dir + "/out.fd";
  writeBytes(flash, builtFlash());
  const std::string ok =
      run(tool + " " + module + " --te --insert-into " + flash + " --fv " +
          kPeiVolume.text() + " --apriori -o " + out + " 2>&1; echo exit=$?");
  EXPECT_NE(ok.find("exit=0"), std::string::npos) << ok;
  EXPECT_NE(ok.find("the volume runs at 0x00820000, from its images, inside "
                    "a compressed section), TE image"),
            std::string::npos)
      << ok;
  EXPECT_NE(ok.find("listed in a new apriori file"), std::string::npos) << ok;
  const std::string messages =
      run("cd " + dir + " && UEFIExtract out.fd report 2>&1");
  std::istringstream lines(messages);
  for (std::string line; std::getline(lines, line);) {
    // A flash built here has no reset-vector file, which UEFIExtract notes.
    if (!line.empty() && line.find("not a single Volume Top File is found") ==
                             std::string::npos) {
      ADD_FAILURE() << "parser message: " << line;
    }
  }
  std::ifstream reportFile(out + ".report.txt");
  std::stringstream report;
  report << reportFile.rdbuf();
  const std::regex listed(
      R"(PEI module\s+\|.*\|\s*-+\s*6B102C40-43C0-4B44-B347-CB97B70880ED\s*\|\s*TpmTransportPei)");
  EXPECT_TRUE(std::regex_search(report.str(), listed)) << report.str();
  EXPECT_NE(report.str().find("PEI apriori file"), std::string::npos);
  fs::remove(out);

  const std::string truncated = dir + "/truncated.fd";
  writeBytes(truncated,
             Bytes(builtFlash().begin(), builtFlash().begin() + 0x10000));
  const std::string unknown = "3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B71FF";
  for (const auto &[arguments, message] :
       std::vector<std::pair<std::string, std::string>>{
           {"--insert-into " + truncated + " --fv " + kPeiVolume.text(),
            "volume at 0x0 to hold its 0x20000 bytes, found it truncated"},
           {"--insert-into " + flash + " --fv " + unknown,
            "expected a volume named " + unknown + ", found none"},
           {"--insert-into " + flash + " --fv " + kFullVolume.text(),
            "expected room for a file of"},
           {"--insert-into " + flash + " --fv " + kSealedVolume.text(),
            "GUID-defined section 3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7130: "
            "expected a section format this tool can rebuild"},
           {"--insert-into " + flash + " --fv " + kFlashVolume.text() +
                " --flash-base 0xFFFF0000",
            "flash base 0xFFFF0000: expected the image of 0x29000 bytes to "
            "end within 4 GiB"},
           {"--insert-into " + flash + " --fv " + kFlashVolume.text() +
                " --rebase 0x00800000",
            "--rebase: expected no rebase with --insert-into"},
           {"--insert-into " + flash + " --fv " + kFlashVolume.text() +
                " --volume " + dir + "/v.fv",
            "--volume: expected no inspection volume"},
           {"--insert-into " + flash, "expected --fv GUID"},
           {"--fv " + kFlashVolume.text(), "--fv: expected --insert-into"},
           {"--apriori", "--apriori: expected --insert-into"},
           {"--insert-into " + flash + " --fv not-a-guid",
            "--fv: expected a GUID"},
       }) {
    const std::string result = run(tool + " " + module + " " + arguments +
                                   " -o " + out + " 2>&1; echo exit=$?");
    EXPECT_NE(result.find(message), std::string::npos) << arguments << "\n"
                                                       << result;
    EXPECT_NE(result.find("exit=2"), std::string::npos) << result;
    EXPECT_EQ(std::count(result.begin(), result.end(), '\n'),
              result.find("(see pei-ffs --help)") != std::string::npos ? 3 : 2)
        << "one line of error: " << result;
    EXPECT_FALSE(fs::exists(out)) << arguments;
  }
  // Never written over an input.
  const std::string over =
      run(tool + " " + module + " --insert-into " + flash + " --fv " +
          kFlashVolume.text() + " -o " + flash + " 2>&1; echo exit=$?");
  EXPECT_NE(over.find("--output: expected a file other than the flash image"),
            std::string::npos)
      << over;
  EXPECT_EQ(fs::file_size(flash), builtFlash().size());
  for (const auto &entry : fs::directory_iterator(dir)) {
    EXPECT_EQ(entry.path().string().find(".pei-ffs-"), std::string::npos)
        << "left behind: " << entry.path();
  }
  fs::remove_all(dir);
}

// The EDK II kit: the INF names the module's GUID and its two binaries,
// which are the image as linked (or its TE form) and the dependency.
TEST(PeiFfsKit, InfNamesTheBinariesItIsWrittenWith) {
  namespace fs = std::filesystem;
  for (const bool te : {false, true}) {
    SCOPED_TRACE(te ? "TE" : "PE32");
    const std::string dir = tempPath(te ? "kit-te" : "kit");
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string depex = "F894643D-C449-42D1-8EA8-85BDD8C65BDE";
    const std::string result =
        run(std::string(PEI_FFS_PATH) + " " + FIRMWARE_IMAGE_PATH +
            " --edk2-kit " + dir + " --depex " + depex + (te ? " --te" : "") +
            " 2>&1; echo exit=$?");
    EXPECT_NE(result.find("exit=0"), std::string::npos) << result;
    std::ifstream infFile(dir + "/TpmTransportPei.inf");
    std::stringstream inf;
    inf << infFile.rdbuf();
    const std::string imageName =
        te ? "TpmTransportPei.te" : "TpmTransportPei.efi";
    for (const std::string &line :
         {std::string("FILE_GUID                      = ") +
              std::string(ff::kModuleFileGuid),
          std::string("BASE_NAME                      = TpmTransportPei"),
          std::string("MODULE_TYPE                    = PEIM"),
          std::string("[Binaries.IA32]"),
          std::string(te ? "TE|" : "PE32|") + imageName + "|*",
          std::string("PEI_DEPEX|TpmTransportPei.depex|*")}) {
      EXPECT_NE(inf.str().find(line + "\n"), std::string::npos) << line << "\n"
                                                                << inf.str();
    }
    std::ifstream imageFile(dir + "/" + imageName, std::ios::binary);
    const Bytes image((std::istreambuf_iterator<char>(imageFile)),
                      std::istreambuf_iterator<char>());
    EXPECT_EQ(image,
              te ? ff::teImage(moduleImage().bytes()) : moduleImage().bytes());
    std::ifstream depexFile(dir + "/TpmTransportPei.depex", std::ios::binary);
    const Bytes depexBytes((std::istreambuf_iterator<char>(depexFile)),
                           std::istreambuf_iterator<char>());
    const std::vector<ff::Guid> ppis{ff::parseGuid(depex)};
    EXPECT_EQ(depexBytes, ff::makeDepex(ppis));
    std::ifstream fdfFile(dir + "/TpmTransportPei.fdf");
    std::stringstream fdf;
    fdf << fdfFile.rdbuf();
    EXPECT_NE(fdf.str().find(
                  "INF  RuleOverride = BINARY path/to/TpmTransportPei.inf"),
              std::string::npos)
        << fdf.str();
    EXPECT_NE(fdf.str().find("APRIORI PEI {"), std::string::npos);
    EXPECT_NE(fdf.str().find(te ? "|.te" : "|.efi"), std::string::npos);
    fs::remove_all(dir);
  }
  const std::string badName =
      run(std::string(PEI_FFS_PATH) + " " + FIRMWARE_IMAGE_PATH +
          " --edk2-kit /tmp --name 'Tpm Transport' 2>&1; echo exit=$?");
  EXPECT_NE(badName.find("as BASE_NAME must be"), std::string::npos) << badName;
  EXPECT_NE(badName.find("exit=2"), std::string::npos) << badName;
}

} // namespace
