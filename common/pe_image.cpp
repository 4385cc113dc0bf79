#include "pe_image.h"

#include "ffs_layout.h"
#include "files.h"
#include "hex.h"
#include "little_endian.h"
#include "number.h"
#include "pe_layout.h"
#include "usage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <regex>
#include <sstream>

namespace pei {
namespace {

using common::hex;
namespace ffs = common::ffs;
namespace coff = common::pe::coff;
namespace opt = common::pe::optional_header;
namespace sec = common::pe::section_header;
namespace te = common::pe::te;

// Little-endian reads that refuse to run past the end of the file.
class Reader {
public:
  explicit Reader(const std::vector<std::uint8_t> &bytes) : bytes_(bytes) {}

  void require(std::uint64_t offset, std::uint64_t length,
               const std::string &what) const {
    if (offset + length > bytes_.size()) {
      throw PeError(what + ": expected " + std::to_string(length) +
                    " bytes at offset " + hex(offset) + ", found a file of " +
                    std::to_string(bytes_.size()) + " bytes");
    }
  }
  std::uint16_t u16(std::uint64_t offset, const std::string &what) const {
    require(offset, 2, what);
    return common::le::load16(bytes_, offset);
  }
  std::uint32_t u32(std::uint64_t offset, const std::string &what) const {
    require(offset, 4, what);
    return common::le::load32(bytes_, offset);
  }

private:
  const std::vector<std::uint8_t> &bytes_;
};

void expectEqual(const std::string &what, std::uint64_t expected,
                 std::uint64_t found) {
  if (expected != found) {
    throw PeError(what + ": expected " + hex(expected) + ", found " +
                  hex(found));
  }
}

// Alignments above this are not the layout of any PEI module, and would
// make packers pad without end.
constexpr std::uint32_t kMaxAlignment = 0x10000;

void checkAlignments(std::uint32_t section, std::uint32_t file) {
  if (section == 0 || (section & (section - 1)) != 0 ||
      section > kMaxAlignment) {
    throw PeError("SectionAlignment: expected a power of two up to " +
                  hex(kMaxAlignment) + ", found " + hex(section));
  }
  // Executed in place: the file layout is the memory layout.
  if (file != section) {
    throw PeError("FileAlignment: expected it equal to SectionAlignment " +
                  hex(section) + " (execute in place), found " + hex(file));
  }
}

// The FFS Size fields: 24 bits.
std::uint32_t u24(const std::vector<std::uint8_t> &b, std::size_t at) {
  return static_cast<std::uint32_t>(
      common::le::load(b, at, ffs::kSizeFieldWidth));
}

// An FFS file holding the image: a header whose bytes sum to zero (with the
// state byte and the data checksum taken as 0) and a size within the bytes.
bool isFfsFile(const std::vector<std::uint8_t> &b) {
  if (b.size() < ffs::kFileHeaderSize ||
      u24(b, ffs::kFileSizeField) < ffs::kFileHeaderSize ||
      u24(b, ffs::kFileSizeField) > b.size()) {
    return false;
  }
  std::uint8_t sum = 0;
  for (std::uint32_t i = 0; i < ffs::kFileHeaderSize; ++i) {
    if (i != ffs::kFileDataChecksumField && i != ffs::kFileStateField) {
      sum = static_cast<std::uint8_t>(sum + b[i]);
    }
  }
  return sum == 0;
}

// The body of the file's PE32 or TE section.
std::vector<std::uint8_t> imageSection(const std::vector<std::uint8_t> &b) {
  const std::uint32_t end = u24(b, ffs::kFileSizeField);
  std::uint32_t at = ffs::kFileHeaderSize;
  while (at + ffs::kSectionHeaderSize <= end) {
    const std::uint32_t size = u24(b, at + ffs::kSectionSizeField);
    if (size < ffs::kSectionHeaderSize || size > end - at) {
      throw PeError("FFS section at " + hex(at) +
                    ": expected a size of at least 4 within the file, found " +
                    hex(size));
    }
    const std::uint8_t type = b[at + ffs::kSectionTypeField];
    if (type == ffs::kSectionPe32 || type == ffs::kSectionTe) {
      return {b.begin() + at + ffs::kSectionHeaderSize, b.begin() + at + size};
    }
    at = ffs::alignUp(at + size, ffs::kSectionAlignment);
  }
  throw PeError("FFS file: expected a PE32 (0x10) or TE (0x12) section, "
                "found none");
}

} // namespace

PeImage PeImage::parse(std::vector<std::uint8_t> bytes) {
  if (bytes.size() > kMaxFileSize) {
    throw PeError("file size: expected at most " +
                  std::to_string(kMaxFileSize) + " bytes (16 MiB), found " +
                  std::to_string(bytes.size()));
  }
  PeImage image;
  image.bytes_ = std::move(bytes);
  const Reader r(image.bytes_);
  const std::uint16_t signature = r.u16(0, "image signature");
  if (signature == te::kSignature) {
    image.parseTe();
  } else {
    if (signature != common::pe::kDosSignature) {
      throw PeError("DOS signature: expected " +
                    hex(common::pe::kDosSignature) + " (or a TE image's " +
                    hex(te::kSignature) + "), found " + hex(signature));
    }
    image.parsePe32();
  }
  return image;
}

void PeImage::parsePe32() {
  const Reader r(bytes_);
  const std::uint32_t pe =
      r.u32(common::pe::kNewHeaderField, "DOS header e_lfanew");
  expectEqual("PE signature", common::pe::kPeSignature,
              r.u32(pe, "PE signature"));
  machine_ = r.u16(pe + coff::kMachine, "COFF header");
  expectEqual("machine (i386)", kMachineI386, machine_);
  const std::uint16_t sectionCount =
      r.u16(pe + coff::kSectionCount, "COFF header");
  const std::uint16_t optionalSize =
      r.u16(pe + coff::kOptionalHeaderSize, "COFF header");
  const std::uint32_t optional = pe + coff::kOptionalHeader;
  const auto field32 = [&](std::uint32_t field) {
    return r.u32(optional + field, "optional header");
  };
  magic_ = r.u16(optional + opt::kMagic, "optional header");
  expectEqual("optional header magic (PE32)", kMagicPe32, magic_);
  entryRva_ = field32(opt::kEntryPoint);
  imageBase_ = field32(opt::kImageBase);
  sectionAlignment_ = field32(opt::kSectionAlignment);
  fileAlignment_ = field32(opt::kFileAlignment);
  sizeOfImage_ = field32(opt::kSizeOfImage);
  const std::uint32_t sizeOfHeaders = field32(opt::kSizeOfHeaders);
  subsystem_ = r.u16(optional + opt::kSubsystem, "optional header");
  expectEqual("subsystem (EFI boot-service driver)",
              kSubsystemEfiBootServiceDriver, subsystem_);
  const std::uint32_t directoryCount = field32(opt::kDirectoryCount);
  checkAlignments(sectionAlignment_, fileAlignment_);

  checkExtent();
  if (sizeOfHeaders > sizeOfImage_) {
    throw PeError("SizeOfHeaders: expected at most SizeOfImage " +
                  hex(sizeOfImage_) + ", found " + hex(sizeOfHeaders));
  }
  parseSections(optional + optionalSize, sectionCount);
  checkEntry(sizeOfHeaders);

  if (directoryCount > opt::kImportDirectory) {
    importDirSize_ = r.u32(optional + opt::directory(opt::kImportDirectory) + 4,
                           "import directory");
  }
  if (directoryCount > opt::kBaseRelocDirectory) {
    parseRelocations(optional + opt::directory(opt::kBaseRelocDirectory));
  }
}

// A TE image is a PE32 whose headers up to the section table (StrippedSize
// bytes) were replaced by the 40-byte TE header. Every RVA, the section
// table's included, stays that of the PE32, so the file's first byte lies at
// RVA StrippedSize - 40.
void PeImage::parseTe() {
  const Reader r(bytes_);
  machine_ = r.u16(te::kMachine, "TE header");
  expectEqual("machine (i386)", kMachineI386, machine_);
  // The section count and the subsystem are a byte each.
  const std::uint16_t counts = r.u16(te::kSectionCount, "TE header");
  const std::uint8_t sectionCount = counts & 0xFF;
  subsystem_ = counts >> 8;
  expectEqual("subsystem (EFI boot-service driver)",
              kSubsystemEfiBootServiceDriver, subsystem_);
  const std::uint16_t strippedSize = r.u16(te::kStrippedSize, "TE header");
  if (strippedSize < te::kHeaderSize) {
    throw PeError("TE StrippedSize: expected at least the TE header's " +
                  std::to_string(te::kHeaderSize) + " bytes, found " +
                  std::to_string(strippedSize));
  }
  te_ = true;
  fileRva_ = strippedSize - te::kHeaderSize;
  entryRva_ = r.u32(te::kEntryPoint, "TE header");
  const std::uint32_t baseHigh = r.u32(te::kImageBase + 4, "TE header");
  imageBase_ = r.u32(te::kImageBase, "TE header");
  if (baseHigh != 0) {
    throw PeError("TE ImageBase: expected an address below 4 GiB, found " +
                  hex(std::uint64_t{baseHigh} << 32 | imageBase_));
  }
  // The TE header does not record SizeOfImage: the image ends where its last
  // section does.
  const std::uint32_t table = te::kHeaderSize;
  r.require(table, std::uint64_t{sectionCount} * sec::kSize, "section table");
  std::uint64_t end = strippedSize;
  for (std::uint32_t i = 0; i < sectionCount; ++i) {
    const auto field = [&](std::uint32_t offset) {
      return r.u32(table + i * sec::kSize + offset, "section header");
    };
    end = std::max<std::uint64_t>(
        end, std::uint64_t{field(sec::kVirtualAddress)} +
                 std::max(field(sec::kVirtualSize), field(sec::kRawSize)));
  }
  sizeOfImage_ = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(end, std::numeric_limits<std::uint32_t>::max()));
  checkExtent();
  parseSections(table, sectionCount);
  checkEntry(strippedSize);
  parseRelocations(te::kBaseRelocDirectory);
}

void PeImage::checkExtent() const {
  if (sizeOfImage_ == 0 ||
      static_cast<std::uint64_t>(imageBase_) + sizeOfImage_ > 0x100000000ull) {
    throw PeError("image extent: expected base + SizeOfImage within 4 GiB, "
                  "found base " +
                  hex(imageBase_) + " and size " + hex(sizeOfImage_));
  }
  if (sizeOfImage_ > kMaxImageSize) {
    throw PeError("SizeOfImage: expected at most " + hex(kMaxImageSize) +
                  " (16 MiB), found " + hex(sizeOfImage_));
  }
}

void PeImage::checkEntry(std::uint32_t bodyStart) const {
  if (entryRva_ < bodyStart || entryRva_ >= sizeOfImage_) {
    throw PeError("entry point: expected an RVA inside the image body [" +
                  hex(bodyStart) + ", " + hex(sizeOfImage_) + "), found " +
                  hex(entryRva_));
  }
}

void PeImage::parseSections(std::uint32_t table, std::uint32_t count) {
  const Reader r(bytes_);
  r.require(table, static_cast<std::uint64_t>(count) * sec::kSize,
            "section table");
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t at = table + i * sec::kSize;
    const auto field = [&](std::uint32_t offset) {
      return r.u32(at + offset, "section header");
    };
    PeSection s;
    const char *name = reinterpret_cast<const char *>(&bytes_[at + sec::kName]);
    s.name.assign(name, strnlen(name, sec::kNameSize));
    s.virtualSize = field(sec::kVirtualSize);
    s.virtualAddress = field(sec::kVirtualAddress);
    s.rawSize = field(sec::kRawSize);
    s.rawOffset = field(sec::kRawOffset);
    s.characteristics = field(sec::kCharacteristics);
    const std::string what = "section " + s.name;
    // Executed in place: the bytes must already lie where they run.
    if (s.rawSize != 0 && s.rawOffset != s.virtualAddress) {
      throw PeError(what + " file offset: expected it equal to its RVA " +
                    hex(s.virtualAddress) + " (execute in place), found " +
                    hex(s.rawOffset));
    }
    if (s.rawSize != 0 && s.rawOffset < fileRva_) {
      throw PeError(what + " raw data: expected it after the TE header at " +
                    "RVA " + hex(fileRva_) + ", found " + hex(s.rawOffset));
    }
    const std::uint64_t rawEnd =
        static_cast<std::uint64_t>(s.rawOffset) + s.rawSize;
    if (s.rawSize != 0 && rawEnd - fileRva_ > bytes_.size()) {
      throw PeError(what + " raw data: expected to end within the file of " +
                    std::to_string(bytes_.size()) + " bytes, found end " +
                    hex(rawEnd - fileRva_));
    }
    const std::uint64_t extent = static_cast<std::uint64_t>(s.virtualAddress) +
                                 std::max(s.virtualSize, s.rawSize);
    if (extent > sizeOfImage_) {
      throw PeError(what + ": expected to end within SizeOfImage " +
                    hex(sizeOfImage_) + ", found end " + hex(extent));
    }
    sections_.push_back(std::move(s));
  }
}

// `directory` is the file offset of the base-relocation directory entry.
void PeImage::parseRelocations(std::uint32_t directory) {
  const Reader r(bytes_);
  const std::uint32_t relocRva = r.u32(directory, "relocation directory");
  const std::uint32_t relocSize = r.u32(directory + 4, "relocation directory");
  if (relocSize == 0) {
    return;
  }
  const std::uint64_t relocEnd =
      static_cast<std::uint64_t>(relocRva) + relocSize;
  const std::uint64_t fileEnd = std::uint64_t{fileRva_} + bytes_.size();
  if (relocRva < fileRva_ || relocEnd > fileEnd || relocEnd > sizeOfImage_) {
    throw PeError("relocation directory: expected to lie within the image "
                  "and file, found RVA " +
                  hex(relocRva) + " to " + hex(relocEnd));
  }
  // Offsets into the file of an RVA inside [relocRva, relocEnd).
  const auto at = [&](std::uint64_t rva) { return rva - fileRva_; };
  std::uint64_t block = relocRva;
  while (block < relocEnd) {
    const std::uint32_t pageRva = r.u32(at(block), "relocation block");
    const std::uint32_t blockSize = r.u32(at(block) + 4, "relocation block");
    // 64-bit sums: a huge size must not wrap around to a small end.
    if (blockSize < 8 || block + blockSize > relocEnd || blockSize % 2 != 0) {
      throw PeError("relocation block at " + hex(block) +
                    ": expected an even size of at least 8 within the "
                    "directory, found " +
                    hex(blockSize));
    }
    for (std::uint64_t e = block + 8; e < block + blockSize; e += 2) {
      const std::uint16_t entry = r.u16(at(e), "relocation entry");
      const std::uint64_t target =
          static_cast<std::uint64_t>(pageRva) + (entry & 0xFFFu);
      PeRelocation reloc{static_cast<std::uint16_t>(entry >> 12),
                         static_cast<std::uint32_t>(target)};
      if (reloc.type != PeRelocation::kAbsolute) {
        if (reloc.type != PeRelocation::kHighLow) {
          throw PeError("relocation at " + hex(e) +
                        ": expected type HIGHLOW (3) or ABSOLUTE (0), found " +
                        std::to_string(reloc.type));
        }
        if (target < fileRva_ || target + 4 > sizeOfImage_ ||
            target + 4 > fileEnd) {
          throw PeError("relocation target: expected 4 bytes inside the "
                        "image, found RVA " +
                        hex(target));
        }
      }
      relocations_.push_back(reloc);
    }
    block += blockSize;
  }
}

std::vector<std::uint8_t> readBounded(const std::filesystem::path &path,
                                      std::size_t limit,
                                      const std::string &expected) {
  // One byte past the limit tells a file at the limit from a larger one.
  std::vector<std::uint8_t> bytes;
  try {
    bytes = common::readUpTo(common::openRegularFile(path), limit + 1, path);
  } catch (const common::UsageError &error) {
    throw PeError(std::string(error.what()) + "; expected " + expected);
  }
  if (bytes.size() > limit) {
    throw PeError(path.string() + ": expected " + expected + " of at most " +
                  std::to_string(limit) + " bytes, found a larger one");
  }
  return bytes;
}

PeImage PeImage::load(const std::filesystem::path &path) {
  std::vector<std::uint8_t> bytes =
      readBounded(path, kMaxFileSize, "a PE32, TE or FFS file");
  try {
    // An FFS file (as pei-ffs writes it) stands for the image it holds.
    const bool signature =
        bytes.size() >= 2 &&
        (common::le::load16(bytes) == common::pe::kDosSignature ||
         common::le::load16(bytes) == te::kSignature);
    if (!signature && isFfsFile(bytes)) {
      return parse(imageSection(bytes));
    }
    return parse(std::move(bytes));
  } catch (const PeError &e) {
    throw PeError(path.string() + ": " + e.what());
  }
}

std::vector<std::uint8_t> PeImage::relocatedTo(std::uint32_t newBase,
                                               std::size_t *applied) const {
  std::vector<std::uint8_t> memory(sizeOfImage_, 0);
  std::copy_n(bytes_.begin(),
              std::min<std::size_t>(bytes_.size(), memory.size() - fileRva_),
              memory.begin() + fileRva_);
  const std::uint32_t delta = newBase - imageBase_;
  std::size_t count = 0;
  for (const PeRelocation &reloc : relocations_) {
    if (reloc.type != PeRelocation::kHighLow) {
      continue;
    }
    common::le::store32(memory, reloc.rva,
                        common::le::load32(memory, reloc.rva) + delta);
    ++count;
  }
  if (applied != nullptr) {
    *applied = count;
  }
  return memory;
}

LinkerMap LinkerMap::parse(const std::string &text) {
  // " 0001:00000adc       _ModuleEntry               00000000fff00cfc     obj"
  static const std::regex line(
      R"(^\s*[0-9A-Fa-f]{4}:[0-9A-Fa-f]{8}\s+(\S+)\s+([0-9A-Fa-f]{8,16})\b)");
  LinkerMap map;
  std::istringstream in(text);
  std::string row;
  while (std::getline(in, row)) {
    std::smatch m;
    if (!std::regex_search(row, m, line)) {
      continue;
    }
    std::string name = m[1].str();
    if (!name.empty() && name[0] == '_') {
      name.erase(0, 1);
    }
    // Up to 16 hex digits, as the pattern allows: never more than 64 bits.
    const auto address = static_cast<std::uint32_t>(
        common::readNumber(m[2].str(), common::Radix::Hex).value);
    map.symbols_.emplace_back(std::move(name), address);
  }
  return map;
}

LinkerMap LinkerMap::load(const std::filesystem::path &path) {
  std::ifstream in(path);
  if (!in) {
    throw std::runtime_error(path.string() +
                             ": expected a readable linker map, found none");
  }
  std::ostringstream text;
  text << in.rdbuf();
  return parse(text.str());
}

bool LinkerMap::contains(const std::string &symbol) const {
  return std::any_of(symbols_.begin(), symbols_.end(),
                     [&](const auto &s) { return s.first == symbol; });
}

std::uint32_t LinkerMap::address(const std::string &symbol) const {
  for (const auto &[name, address] : symbols_) {
    if (name == symbol) {
      return address;
    }
  }
  throw std::runtime_error("linker map: expected symbol " + symbol +
                           ", found no such public symbol");
}

} // namespace pei
