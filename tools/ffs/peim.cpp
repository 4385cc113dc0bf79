#include "peim.h"

#include "byte_fields.h"
#include "hex.h"
#include "little_endian.h"

#include <algorithm>

namespace ffs_format {
namespace {

using bytes::alignUp;
using common::hex;
using common::le::append;
using common::le::load16;
using common::le::load32;
using common::le::store16;
using common::le::store32;

// The IA-32 physical address space every placed file and image lies in.
constexpr std::uint64_t kAddressSpace = 0x100000000ull;

constexpr std::size_t kPeHeaderOffsetField = 0x3C;
constexpr std::size_t kOptionalHeaderFromPe = 24;
constexpr std::size_t kCharacteristicsFromPe = 22; // COFF Characteristics
constexpr std::uint32_t kRelocsStripped = 0x0001;
constexpr std::size_t kImageBaseField = 28; // in the PE32 optional header
constexpr std::size_t kCheckSumField = 64;
constexpr std::size_t kSectionCountFromPe = 6;
constexpr std::size_t kOptionalSizeFromPe = 20;
constexpr std::size_t kEntryField = 16; // the optional header's fields
constexpr std::size_t kBaseOfCodeField = 20;
constexpr std::size_t kSubsystemField = 68;
constexpr std::size_t kDirectoryCountField = 92;
constexpr std::size_t kBaseRelocDirectoryField = 96 + 5 * 8;
constexpr std::size_t kDebugDirectoryField = 96 + 6 * 8;

// The TE header that replaces a PE32's headers.
constexpr std::uint16_t kTeSignature = 0x5A56; // "VZ"
constexpr std::size_t kTeHeaderSize = 40;

} // namespace

std::vector<std::uint8_t> rebasedImage(const pei::PeImage &image,
                                       std::uint32_t newBase,
                                       std::size_t *applied) {
  std::vector<std::uint8_t> memory = image.relocatedTo(newBase, applied);
  const auto &file = image.bytes();
  if (file.size() > memory.size()) {
    memory.insert(memory.end(), file.begin() + memory.size(), file.end());
  }
  const std::size_t pe = load32(file, kPeHeaderOffsetField);
  const std::size_t optional = pe + kOptionalHeaderFromPe;
  store32(memory, optional + kImageBaseField, newBase);
  // A PE checksum would no longer match the patched bytes; firmware loaders
  // do not check it, so it is cleared rather than left stale.
  store32(memory, optional + kCheckSumField, 0);
  return memory;
}

std::uint32_t teStrippedSize(std::span<const std::uint8_t> pe32) {
  const std::size_t pe = load32(pe32, kPeHeaderOffsetField);
  return static_cast<std::uint32_t>(pe + kOptionalHeaderFromPe +
                                    load16(pe32, pe + kOptionalSizeFromPe));
}

std::vector<std::uint8_t> teImage(std::span<const std::uint8_t> pe32) {
  const std::size_t pe = load32(pe32, kPeHeaderOffsetField);
  const std::size_t optional = pe + kOptionalHeaderFromPe;
  const std::uint32_t stripped = teStrippedSize(pe32);
  const std::uint32_t sections = load16(pe32, pe + kSectionCountFromPe);
  if (stripped > 0xFFFF || sections > 0xFF || stripped > pe32.size()) {
    throw FfsError("TE conversion: expected headers of at most 64 KiB and "
                   "at most 255 sections, found " +
                   std::to_string(stripped) + " bytes and " +
                   std::to_string(sections) + " sections");
  }
  std::vector<std::uint8_t> te(kTeHeaderSize + pe32.size() - stripped, 0);
  store16(te, 0, kTeSignature);
  store16(te, 2, load16(pe32, pe + 4));
  te[4] = static_cast<std::uint8_t>(sections);
  te[5] = static_cast<std::uint8_t>(load16(pe32, optional + kSubsystemField));
  store16(te, 6, static_cast<std::uint16_t>(stripped));
  store32(te, 8, load32(pe32, optional + kEntryField));
  store32(te, 12, load32(pe32, optional + kBaseOfCodeField));
  store32(te, 16, load32(pe32, optional + kImageBaseField));
  // ImageBase is 64 bits wide in the TE header; the high half stays 0.
  const std::uint32_t directories =
      load32(pe32, optional + kDirectoryCountField);
  const std::pair<std::size_t, std::size_t> copied[] = {
      {kBaseRelocDirectoryField, 24}, {kDebugDirectoryField, 32}};
  for (const auto &[from, to] : copied) {
    if ((from - 96) / 8 < directories) {
      std::copy_n(pe32.begin() + static_cast<std::ptrdiff_t>(optional + from),
                  8, te.begin() + static_cast<std::ptrdiff_t>(to));
    }
  }
  std::copy(pe32.begin() + stripped, pe32.end(),
            te.begin() + static_cast<std::ptrdiff_t>(kTeHeaderSize));
  return te;
}

PeimFile buildPeim(const pei::PeImage &image, const PeimOptions &options) {
  if (options.imageBase && options.fileAddress) {
    throw FfsError("rebase: expected either an image base or a file address, "
                   "found both");
  }
  // A TE image no longer records its alignment or the PE32 headers the
  // packaging reads; it is made here, from the PE32.
  if (image.isTe()) {
    throw FfsError("input: expected the module's PE32 image (--te converts "
                   "it), found a TE image");
  }
  // The reader has refused any alignment but a power of two up to 64 KiB,
  // equal in the file and in memory.
  const std::uint32_t sectionAlignment = image.sectionAlignment();

  PeimFile out;
  out.dataAlignment = encodableAlignment(std::max<std::uint32_t>(
      sectionAlignment, static_cast<std::uint32_t>(kSectionHeaderSize)));

  std::vector<std::uint8_t> data = makeSection(
      kSectionPeiDepex, makeDepex(std::span<const Guid>(options.depex)));
  data.resize(alignUp(static_cast<std::uint32_t>(data.size()), 4), 0);

  // The image follows its section header, and the image base must land on
  // the section alignment; a raw section fills the gap in front of it. A TE
  // image's file starts StrippedSize - 40 bytes above its base.
  const std::uint32_t headerRva =
      options.te ? teStrippedSize(image.bytes()) -
                       static_cast<std::uint32_t>(kTeHeaderSize)
                 : 0;
  const auto imageBaseOffset = [&](std::uint32_t sectionAt) {
    return sectionAt + static_cast<std::uint32_t>(kSectionHeaderSize) +
           sectionAlignment - headerRva % sectionAlignment;
  };
  std::uint32_t pe32At = static_cast<std::uint32_t>(data.size());
  while (imageBaseOffset(pe32At) % sectionAlignment != 0 ||
         (pe32At != data.size() && pe32At - data.size() < kSectionHeaderSize)) {
    pe32At += 4;
  }
  if (pe32At != data.size()) {
    const std::vector<std::uint8_t> fill(
        pe32At - data.size() - kSectionHeaderSize, 0);
    append(data, makeSection(kSectionRaw, fill));
  }
  out.imageOffset =
      static_cast<std::uint32_t>(kFileHeaderSize + pe32At + kSectionHeaderSize);

  // Addresses are summed in 64 bits and held against the 4 GiB space, so
  // that a file address near the top cannot wrap round to a small base.
  std::optional<std::uint64_t> base = options.imageBase;
  if (options.fileAddress) {
    const std::uint64_t fileData =
        std::uint64_t{*options.fileAddress} + kFileHeaderSize;
    base = std::uint64_t{*options.fileAddress} + out.imageOffset - headerRva;
    if (fileData % out.dataAlignment != 0) {
      throw FfsError("file address " + hex(*options.fileAddress) +
                     ": expected the file data (header + 24) on a " +
                     hex(out.dataAlignment) + " boundary, found it off by " +
                     hex(fileData % out.dataAlignment));
    }
  }
  if (base && *base % sectionAlignment != 0) {
    throw FfsError("image base " + hex(*base) +
                   ": expected a multiple of the "
                   "section alignment " +
                   hex(sectionAlignment));
  }
  if (base && *base + image.sizeOfImage() > kAddressSpace) {
    throw FfsError("image base " + hex(*base) +
                   ": expected the image to end below 4 GiB, found size " +
                   hex(image.sizeOfImage()));
  }
  const auto &file = image.bytes();
  const std::uint32_t characteristics =
      load16(file, load32(file, kPeHeaderOffsetField) + kCharacteristicsFromPe);
  if (base && *base != image.imageBase() &&
      (characteristics & kRelocsStripped) != 0) {
    throw FfsError("rebase to " + hex(*base) +
                   ": expected an image that keeps its base relocations, "
                   "found them stripped (link it at its execute-in-place "
                   "address instead)");
  }
  const std::vector<std::uint8_t> body =
      base ? rebasedImage(image, static_cast<std::uint32_t>(*base),
                          &out.relocationsApplied)
           : file;
  out.imageBase = static_cast<std::uint32_t>(base.value_or(image.imageBase()));
  if (options.te) {
    append(data, makeSection(kSectionTe, teImage(body)));
  } else {
    append(data, makeSection(kSectionPe32, body));
  }
  data.resize(alignUp(static_cast<std::uint32_t>(data.size()), 4), 0);
  append(data, makeSection(kSectionUserInterface, makeUiName(options.uiName)));

  out.bytes = makeFile(options.name, kFileTypePeim, out.dataAlignment, data,
                       options.erasePolarity, true);
  if (options.fileAddress &&
      std::uint64_t{*options.fileAddress} + out.bytes.size() > kAddressSpace) {
    throw FfsError("file address " + hex(*options.fileAddress) +
                   ": expected the file of " + hex(out.bytes.size()) +
                   " bytes to end within 4 GiB, found it ending at " +
                   hex(std::uint64_t{*options.fileAddress} + out.bytes.size()));
  }
  return out;
}

} // namespace ffs_format
