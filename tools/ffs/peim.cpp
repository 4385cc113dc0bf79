#include "peim.h"

#include "hex.h"
#include "little_endian.h"
#include "pe_layout.h"

#include <algorithm>

namespace ffs_format {
namespace {

using common::hex;
namespace le = common::le;

// The IA-32 physical address space every placed file and image lies in.
constexpr std::uint64_t kAddressSpace = 0x100000000ull;

namespace coff = common::pe::coff;
namespace opt = common::pe::optional_header;
namespace te = common::pe::te;

} // namespace

std::vector<std::uint8_t> rebasedImage(const pei::PeImage &image,
                                       std::uint32_t newBase,
                                       std::size_t *applied) {
  std::vector<std::uint8_t> memory = image.relocatedTo(newBase, applied);
  const auto &file = image.bytes();
  if (file.size() > memory.size()) {
    memory.insert(memory.end(), file.begin() + memory.size(), file.end());
  }
  const std::size_t optional =
      le::load32(file, common::pe::kNewHeaderField) + coff::kOptionalHeader;
  le::store32(memory, optional + opt::kImageBase, newBase);
  // A PE checksum would no longer match the patched bytes; firmware loaders
  // do not check it, so it is cleared rather than left stale.
  le::store32(memory, optional + opt::kCheckSum, 0);
  return memory;
}

std::uint32_t teStrippedSize(std::span<const std::uint8_t> pe32) {
  const std::size_t pe = le::load32(pe32, common::pe::kNewHeaderField);
  return static_cast<std::uint32_t>(
      pe + coff::kOptionalHeader +
      le::load16(pe32, pe + coff::kOptionalHeaderSize));
}

std::vector<std::uint8_t> teImage(std::span<const std::uint8_t> pe32) {
  const std::size_t pe = le::load32(pe32, common::pe::kNewHeaderField);
  const std::size_t optional = pe + coff::kOptionalHeader;
  const std::uint32_t stripped = teStrippedSize(pe32);
  const std::uint32_t sections = le::load16(pe32, pe + coff::kSectionCount);
  if (stripped > 0xFFFF || sections > 0xFF || stripped > pe32.size()) {
    throw FfsError("TE conversion: expected headers of at most 64 KiB and "
                   "at most 255 sections, found " +
                   std::to_string(stripped) + " bytes and " +
                   std::to_string(sections) + " sections");
  }
  std::vector<std::uint8_t> out(te::kHeaderSize + pe32.size() - stripped, 0);
  le::store16(out, 0, te::kSignature);
  le::store16(out, te::kMachine, le::load16(pe32, pe + coff::kMachine));
  out[te::kSectionCount] = static_cast<std::uint8_t>(sections);
  out[te::kSubsystem] =
      static_cast<std::uint8_t>(le::load16(pe32, optional + opt::kSubsystem));
  le::store16(out, te::kStrippedSize, static_cast<std::uint16_t>(stripped));
  le::store32(out, te::kEntryPoint,
              le::load32(pe32, optional + opt::kEntryPoint));
  le::store32(out, te::kBaseOfCode,
              le::load32(pe32, optional + opt::kBaseOfCode));
  le::store32(out, te::kImageBase,
              le::load32(pe32, optional + opt::kImageBase));
  // ImageBase is 64 bits wide in the TE header; the high half stays 0.
  const std::uint32_t directories =
      le::load32(pe32, optional + opt::kDirectoryCount);
  const std::pair<std::uint32_t, std::uint32_t> copied[] = {
      {opt::kBaseRelocDirectory, te::kBaseRelocDirectory},
      {opt::kDebugDirectory, te::kDebugDirectory}};
  for (const auto &[from, to] : copied) {
    if (from < directories) {
      std::copy_n(pe32.begin() + static_cast<std::ptrdiff_t>(
                                     optional + opt::directory(from)),
                  opt::kDirectorySize,
                  out.begin() + static_cast<std::ptrdiff_t>(to));
    }
  }
  std::copy(pe32.begin() + stripped, pe32.end(),
            out.begin() + static_cast<std::ptrdiff_t>(te::kHeaderSize));
  return out;
}

namespace {

// Pads a file's data to where its next section starts.
void padToNextSection(std::vector<std::uint8_t> &data) {
  data.resize(
      alignUp(static_cast<std::uint32_t>(data.size()), kSectionAlignment), 0);
}

// Where the image's section goes after `data`, as its offset in the data:
// the image follows its section header, and the image base must land on the
// section alignment; a raw section fills the gap in front of it. A TE
// image's file starts headerRva (StrippedSize - 40) bytes above its base.
std::uint32_t placeImageSection(std::vector<std::uint8_t> &data,
                                std::uint32_t sectionAlignment,
                                std::uint32_t headerRva) {
  const auto imageBaseOffset = [&](std::uint32_t sectionAt) {
    return sectionAt + static_cast<std::uint32_t>(kSectionHeaderSize) +
           sectionAlignment - headerRva % sectionAlignment;
  };
  std::uint32_t pe32At = static_cast<std::uint32_t>(data.size());
  while (imageBaseOffset(pe32At) % sectionAlignment != 0 ||
         (pe32At != data.size() && pe32At - data.size() < kSectionHeaderSize)) {
    pe32At += kSectionAlignment;
  }
  if (pe32At != data.size()) {
    const std::vector<std::uint8_t> fill(
        pe32At - data.size() - kSectionHeaderSize, 0);
    le::append(data, makeSection(kSectionRaw, fill));
  }
  return pe32At;
}

// The ImageBase to rebase the image to, if any: the one asked for, or the
// one at which it executes in place when the file header lies at the file
// address. Addresses are summed in 64 bits and held against the 4 GiB
// space, so that a file address near the top cannot wrap round to a small
// base.
std::optional<std::uint64_t> rebaseTarget(const pei::PeImage &image,
                                          const PeimOptions &options,
                                          const PeimFile &out,
                                          std::uint32_t headerRva) {
  const std::uint32_t sectionAlignment = image.sectionAlignment();
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
      le::load16(file, le::load32(file, common::pe::kNewHeaderField) +
                           coff::kCharacteristics);
  if (base && *base != image.imageBase() &&
      (characteristics & coff::kRelocsStripped) != 0) {
    throw FfsError("rebase to " + hex(*base) +
                   ": expected an image that keeps its base relocations, "
                   "found them stripped (link it at its execute-in-place "
                   "address instead)");
  }
  return base;
}

} // namespace

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
  padToNextSection(data);
  const std::uint32_t headerRva =
      options.te ? teStrippedSize(image.bytes()) - te::kHeaderSize : 0;
  const std::uint32_t pe32At =
      placeImageSection(data, sectionAlignment, headerRva);
  out.imageOffset =
      static_cast<std::uint32_t>(kFileHeaderSize + pe32At + kSectionHeaderSize);

  const std::optional<std::uint64_t> base =
      rebaseTarget(image, options, out, headerRva);
  const std::vector<std::uint8_t> body =
      base ? rebasedImage(image, static_cast<std::uint32_t>(*base),
                          &out.relocationsApplied)
           : image.bytes();
  out.imageBase = static_cast<std::uint32_t>(base.value_or(image.imageBase()));
  if (options.te) {
    le::append(data, makeSection(kSectionTe, teImage(body)));
  } else {
    le::append(data, makeSection(kSectionPe32, body));
  }
  padToNextSection(data);
  le::append(data,
             makeSection(kSectionUserInterface, makeUiName(options.uiName)));

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
