#include "pe_image.h"

#include "hex.h"
#include "little_endian.h"
#include "number.h"

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

constexpr std::uint16_t kDosSignature = 0x5A4D;     // "MZ"
constexpr std::uint16_t kTeSignature = 0x5A56;      // "VZ"
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint32_t kOptionalHeaderOffset = 24; // after signature + COFF
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint32_t kImportDirectory = 1;
constexpr std::uint32_t kBaseRelocDirectory = 5;
constexpr std::uint32_t kDataDirectories = 96; // offset in the optional header
// The TE header: signature, machine, section count (8 bits), subsystem (8
// bits), StrippedSize, entry point, BaseOfCode, ImageBase (64 bits), then the
// base-relocation and debug directories. The section table follows it.
constexpr std::uint32_t kTeHeaderSize = 40;
constexpr std::uint32_t kTeRelocDirectory = 24;

// An FFS file holding the image: a 24-byte header whose bytes sum to zero
// (with the state byte and the data checksum taken as 0), the 24-bit file
// size at offset 20, then 4-byte aligned sections, each a 24-bit size
// (header included) and a type.
constexpr std::uint32_t kFfsHeaderSize = 24;
constexpr std::uint32_t kFfsSizeField = 20;
constexpr std::uint32_t kFfsDataChecksumField = 17;
constexpr std::uint32_t kFfsStateField = 23;
constexpr std::uint8_t kSectionPe32 = 0x10;
constexpr std::uint8_t kSectionTe = 0x12;

std::uint32_t u24(const std::vector<std::uint8_t> &b, std::size_t at) {
  return static_cast<std::uint32_t>(common::le::load(b, at, 3));
}

bool isFfsFile(const std::vector<std::uint8_t> &b) {
  if (b.size() < kFfsHeaderSize || u24(b, kFfsSizeField) < kFfsHeaderSize ||
      u24(b, kFfsSizeField) > b.size()) {
    return false;
  }
  std::uint8_t sum = 0;
  for (std::uint32_t i = 0; i < kFfsHeaderSize; ++i) {
    if (i != kFfsDataChecksumField && i != kFfsStateField) {
      sum = static_cast<std::uint8_t>(sum + b[i]);
    }
  }
  return sum == 0;
}

// The body of the file's PE32 or TE section.
std::vector<std::uint8_t> imageSection(const std::vector<std::uint8_t> &b) {
  const std::uint32_t end = u24(b, kFfsSizeField);
  std::uint32_t at = kFfsHeaderSize;
  while (at + 4 <= end) {
    const std::uint32_t size = u24(b, at);
    if (size < 4 || size > end - at) {
      throw PeError("FFS section at " + hex(at) +
                    ": expected a size of at least 4 within the file, found " +
                    hex(size));
    }
    const std::uint8_t type = b[at + 3];
    if (type == kSectionPe32 || type == kSectionTe) {
      return {b.begin() + at + 4, b.begin() + at + size};
    }
    at = (at + size + 3) & ~3u;
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
  if (signature == kTeSignature) {
    image.parseTe();
  } else {
    if (signature != kDosSignature) {
      throw PeError("DOS signature: expected " + hex(kDosSignature) +
                    " (or a TE image's " + hex(kTeSignature) + "), found " +
                    hex(signature));
    }
    image.parsePe32();
  }
  return image;
}

void PeImage::parsePe32() {
  const Reader r(bytes_);
  const std::uint32_t pe = r.u32(0x3C, "DOS header e_lfanew");
  expectEqual("PE signature", kPeSignature, r.u32(pe, "PE signature"));
  machine_ = r.u16(pe + 4, "COFF header");
  expectEqual("machine (i386)", kMachineI386, machine_);
  const std::uint16_t sectionCount = r.u16(pe + 6, "COFF header");
  const std::uint16_t optionalSize = r.u16(pe + 20, "COFF header");
  const std::uint32_t opt = pe + kOptionalHeaderOffset;
  magic_ = r.u16(opt, "optional header");
  expectEqual("optional header magic (PE32)", kMagicPe32, magic_);
  entryRva_ = r.u32(opt + 16, "optional header");
  imageBase_ = r.u32(opt + 28, "optional header");
  sectionAlignment_ = r.u32(opt + 32, "optional header");
  fileAlignment_ = r.u32(opt + 36, "optional header");
  sizeOfImage_ = r.u32(opt + 56, "optional header");
  const std::uint32_t sizeOfHeaders = r.u32(opt + 60, "optional header");
  subsystem_ = r.u16(opt + 68, "optional header");
  expectEqual("subsystem (EFI boot-service driver)",
              kSubsystemEfiBootServiceDriver, subsystem_);
  const std::uint32_t directoryCount = r.u32(opt + 92, "optional header");
  checkAlignments(sectionAlignment_, fileAlignment_);

  checkExtent();
  if (sizeOfHeaders > sizeOfImage_) {
    throw PeError("SizeOfHeaders: expected at most SizeOfImage " +
                  hex(sizeOfImage_) + ", found " + hex(sizeOfHeaders));
  }
  parseSections(opt + optionalSize, sectionCount);
  checkEntry(sizeOfHeaders);

  if (directoryCount > kImportDirectory) {
    importDirSize_ = r.u32(opt + kDataDirectories + kImportDirectory * 8 + 4,
                           "import directory");
  }
  if (directoryCount > kBaseRelocDirectory) {
    parseRelocations(opt + kDataDirectories + kBaseRelocDirectory * 8);
  }
}

// A TE image is a PE32 whose headers up to the section table (StrippedSize
// bytes) were replaced by the 40-byte TE header. Every RVA, the section
// table's included, stays that of the PE32, so the file's first byte lies at
// RVA StrippedSize - 40.
void PeImage::parseTe() {
  const Reader r(bytes_);
  machine_ = r.u16(2, "TE header");
  expectEqual("machine (i386)", kMachineI386, machine_);
  const std::uint16_t counts = r.u16(4, "TE header");
  const std::uint8_t sectionCount = counts & 0xFF;
  subsystem_ = counts >> 8;
  expectEqual("subsystem (EFI boot-service driver)",
              kSubsystemEfiBootServiceDriver, subsystem_);
  const std::uint16_t strippedSize = r.u16(6, "TE header");
  if (strippedSize < kTeHeaderSize) {
    throw PeError("TE StrippedSize: expected at least the TE header's " +
                  std::to_string(kTeHeaderSize) + " bytes, found " +
                  std::to_string(strippedSize));
  }
  te_ = true;
  fileRva_ = strippedSize - kTeHeaderSize;
  entryRva_ = r.u32(8, "TE header");
  const std::uint32_t baseHigh = r.u32(20, "TE header");
  imageBase_ = r.u32(16, "TE header");
  if (baseHigh != 0) {
    throw PeError("TE ImageBase: expected an address below 4 GiB, found " +
                  hex(std::uint64_t{baseHigh} << 32 | imageBase_));
  }
  // The TE header does not record SizeOfImage: the image ends where its last
  // section does.
  const std::uint32_t table = kTeHeaderSize;
  r.require(table, std::uint64_t{sectionCount} * kSectionHeaderSize,
            "section table");
  std::uint64_t end = strippedSize;
  for (std::uint32_t i = 0; i < sectionCount; ++i) {
    const std::uint32_t at = table + i * kSectionHeaderSize;
    end = std::max<std::uint64_t>(
        end, std::uint64_t{r.u32(at + 12, "section header")} +
                 std::max(r.u32(at + 8, "section header"),
                          r.u32(at + 16, "section header")));
  }
  sizeOfImage_ = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(end, std::numeric_limits<std::uint32_t>::max()));
  checkExtent();
  parseSections(table, sectionCount);
  checkEntry(strippedSize);
  parseRelocations(kTeRelocDirectory);
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
  r.require(table, static_cast<std::uint64_t>(count) * kSectionHeaderSize,
            "section table");
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t at = table + i * kSectionHeaderSize;
    PeSection s;
    const char *name = reinterpret_cast<const char *>(&bytes_[at]);
    s.name.assign(name, strnlen(name, 8));
    s.virtualSize = r.u32(at + 8, "section header");
    s.virtualAddress = r.u32(at + 12, "section header");
    s.rawSize = r.u32(at + 16, "section header");
    s.rawOffset = r.u32(at + 20, "section header");
    s.characteristics = r.u32(at + 36, "section header");
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
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    throw PeError(path.string() + ": expected " + expected +
                  ", found a directory");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const int cause = errno;
    throw PeError(
        path.string() + ": expected " + expected + ", found " +
        (std::filesystem::exists(path, error)
             ? std::string("it unreadable (") + std::strerror(cause) + ")"
             : "no such file"));
  }
  // One byte past the limit tells a file at the limit from a larger one;
  // an endless file (/dev/zero) stops there as well.
  constexpr std::size_t kChunk = 64 * 1024;
  std::vector<std::uint8_t> bytes;
  while (in && bytes.size() <= limit) {
    const std::size_t had = bytes.size();
    bytes.resize(had + std::min(kChunk, limit + 1 - had));
    in.read(reinterpret_cast<char *>(bytes.data() + had),
            static_cast<std::streamsize>(bytes.size() - had));
    bytes.resize(had + static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) {
    throw PeError(path.string() + ": expected " + expected +
                  ", found a read error");
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
        bytes.size() >= 2 && ((bytes[0] == 'M' && bytes[1] == 'Z') ||
                              (bytes[0] == 'V' && bytes[1] == 'Z'));
    if (!signature && isFfsFile(bytes)) {
      return parse(imageSection(bytes));
    }
    return parse(std::move(bytes));
  } catch (const PeError &e) {
    throw PeError(path.filename().string() + ": " + e.what());
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
