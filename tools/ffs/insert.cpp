#include "insert.h"

#include "hex.h"
#include "little_endian.h"
#include "lzma_section.h"
#include "pe_layout.h"
#include "volume.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace ffs_format {
namespace {

using Bytes = std::vector<std::uint8_t>;
using common::hex;
namespace le = common::le;
namespace pe = common::pe;

// The IA-32 physical address space every placed volume lies in.
constexpr std::uint64_t kAddressSpace = 0x100000000ull;
constexpr std::uint32_t kFileAlignmentInVolume = 8;
constexpr std::uint32_t kVolumeScanStep = 8;
constexpr std::size_t kVolumeHeaderMin = 72;
constexpr std::size_t kFvLengthField = 32;
constexpr std::size_t kFvSignatureField = 40;
constexpr std::size_t kFvHeaderLengthField = 48;

// A section whose 24-bit size is all ones keeps its size in the 32 bits
// after the header.
constexpr std::uint32_t kSizeInExtendedHeader = 0xFFFFFF;
constexpr std::uint32_t kExtendedSectionHeaderSize = 8;
// GUID-defined section: the GUID, the offset of its data from the section
// start and its attributes follow the common header.
constexpr std::uint32_t kGuidedFieldsSize = 20;
constexpr std::uint32_t kGuidedDataOffsetField = 16;
constexpr std::uint32_t kGuidedAttributesField = 18;
constexpr std::uint16_t kGuidedProcessingRequired = 0x01;
// Compression section: 32-bit uncompressed length and the compression type.
constexpr std::uint8_t kSectionCompression = 0x01;
constexpr std::uint32_t kCompressionFieldsSize = 5;
constexpr std::uint8_t kNotCompressed = 0;

constexpr std::uint8_t kFileTypeSecurityCore = 0x03;
constexpr std::uint8_t kFileTypePeiCore = 0x04;
constexpr std::uint8_t kFileTypeCombinedPeimDriver = 0x08;

struct SectionAt {
  std::uint32_t offset = 0; // of the header, in its list
  std::uint32_t size = 0;   // header included
  std::uint32_t headerSize = 0;
  std::uint8_t type = 0;
  std::uint32_t end() const { return offset + size; }
  std::uint32_t bodyOffset() const { return offset + headerSize; }
};

bool allBytes(std::span<const std::uint8_t> bytes, std::uint8_t value) {
  return std::all_of(bytes.begin(), bytes.end(),
                     [&](std::uint8_t b) { return b == value; });
}

// The sections of a list (a file's data or decoded contents), each on a
// 4-byte boundary from the list's start. Zero bytes after the last one are
// padding.
std::vector<SectionAt> sectionsOf(std::span<const std::uint8_t> list,
                                  const std::string &where) {
  std::vector<SectionAt> sections;
  std::size_t at = 0;
  while (at + kSectionHeaderSize <= list.size()) {
    SectionAt s;
    s.offset = static_cast<std::uint32_t>(at);
    s.type = list[at + kSectionTypeField];
    s.size = static_cast<std::uint32_t>(
        le::load(list, at + kSectionSizeField, kSizeFieldWidth));
    s.headerSize = static_cast<std::uint32_t>(kSectionHeaderSize);
    if (s.size == kSizeInExtendedHeader &&
        at + kExtendedSectionHeaderSize <= list.size()) {
      s.size = le::load32(list, at + kSectionHeaderSize);
      s.headerSize = kExtendedSectionHeaderSize;
    }
    if (s.size == 0 && allBytes(list.subspan(at), 0)) {
      break;
    }
    if (s.size < s.headerSize || s.size > list.size() - at) {
      throw FfsError(where + ": section at " + hex(at) +
                     ": expected a size from " + hex(s.headerSize) +
                     " bytes to the end of its container at " +
                     hex(list.size()) + ", found " + hex(s.size));
    }
    sections.push_back(s);
    at = alignUp(s.end(), kSectionAlignment);
  }
  return sections;
}

// The list with section `index` replaced by `replacement`; later sections
// follow it on their 4-byte boundaries, and the padding after the last one
// is kept.
Bytes replaceSection(std::span<const std::uint8_t> list,
                     const std::vector<SectionAt> &sections, std::size_t index,
                     std::span<const std::uint8_t> replacement) {
  Bytes out(list.begin(), list.begin() + sections[index].offset);
  le::append(out, replacement);
  for (std::size_t i = index + 1; i < sections.size(); ++i) {
    out.resize(
        alignUp(static_cast<std::uint32_t>(out.size()), kSectionAlignment), 0);
    le::append(out, list.subspan(sections[i].offset, sections[i].size));
  }
  le::append(out, list.subspan(sections.back().end()));
  return out;
}

// Writes a section's new size into its header; a 4-byte header holds at
// most 24 bits.
void setSectionSize(Bytes &section, std::uint32_t headerSize,
                    const std::string &where) {
  if (headerSize == kExtendedSectionHeaderSize) {
    le::store32(section, kSectionHeaderSize,
                static_cast<std::uint32_t>(section.size()));
    return;
  }
  if (section.size() >= kSizeInExtendedHeader) {
    throw FfsError(where +
                   ": expected the rebuilt section to fit a 24-bit "
                   "size, found " +
                   hex(section.size()) + " bytes");
  }
  le::store(section, kSectionSizeField, kSizeFieldWidth, section.size());
}

// The file with the header of `header` (name, type, attributes, state) and
// new data: new size and checksums.
Bytes rewrittenFile(std::span<const std::uint8_t> header,
                    std::span<const std::uint8_t> data,
                    const std::string &where) {
  const std::size_t size = kFileHeaderSize + data.size();
  if (size > kMaxSmallSize) {
    throw FfsError(where +
                   ": expected the rebuilt file to fit a 24-bit "
                   "size, found " +
                   hex(size) + " bytes");
  }
  Bytes file(header.begin(), header.begin() + kFileHeaderSize);
  le::store(file, kFileSizeField, kSizeFieldWidth, size);
  const std::uint8_t state = file[kFileStateField];
  file[kFileHeaderChecksumField] = 0;
  file[kFileDataChecksumField] = 0;
  file[kFileStateField] = 0;
  file[kFileHeaderChecksumField] = checksum8(file);
  file[kFileDataChecksumField] =
      (file[kFileAttributesField] & kAttribChecksum) != 0 ? checksum8(data)
                                                          : kFixedFileChecksum;
  file[kFileStateField] = state;
  le::append(file, data);
  return file;
}

std::uint16_t sum16(std::span<const std::uint8_t> bytes) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    sum = static_cast<std::uint16_t>(sum + le::load16(bytes, i));
  }
  return sum;
}

// Where the image in a PE32 or TE section body says its first byte runs:
// ImageBase, plus StrippedSize - 40 for a TE image. None for a body that is
// neither.
std::optional<std::uint64_t>
imageFileAddress(std::span<const std::uint8_t> body, std::uint8_t type) {
  if (type == kSectionTe && body.size() >= pe::te::kHeaderSize &&
      le::load16(body, 0) == pe::te::kSignature) {
    const std::uint16_t stripped = le::load16(body, pe::te::kStrippedSize);
    return le::load64(body, pe::te::kImageBase) + stripped -
           pe::te::kHeaderSize;
  }
  if (type != kSectionPe32 || body.size() < pe::kNewHeaderField + 4 ||
      le::load16(body, 0) != pe::kDosSignature) {
    return std::nullopt;
  }
  const std::uint64_t optional =
      std::uint64_t{le::load32(body, pe::kNewHeaderField)} +
      pe::coff::kOptionalHeader;
  constexpr std::uint16_t kPe32Magic = 0x10B;
  if (optional + pe::optional_header::kImageBase + 4 > body.size() ||
      le::load32(body, optional - pe::coff::kOptionalHeader) !=
          pe::kPeSignature ||
      le::load16(body, optional + pe::optional_header::kMagic) != kPe32Magic) {
    return std::nullopt;
  }
  return le::load32(body, optional + pe::optional_header::kImageBase);
}

// Bounds against hostile or broken images: container levels, and bytes
// decoded from compressed sections in all.
constexpr unsigned kMaxNesting = 8;
constexpr std::uint64_t kDecodeBudget = 256ull << 20;

// One level deeper into containers for as long as it lives.
class Nesting {
public:
  Nesting(unsigned &depth, const std::string &where) : depth_(depth) {
    if (++depth_ > kMaxNesting) {
      --depth_;
      throw FfsError(where + ": expected sections nested at most " +
                     std::to_string(kMaxNesting) + " levels deep, found more");
    }
  }
  Nesting(const Nesting &) = delete;
  Nesting &operator=(const Nesting &) = delete;
  ~Nesting() { --depth_; }

private:
  unsigned &depth_;
};

class Insertion {
public:
  Insertion(std::span<const InsertedPeim> peims, const InsertOptions &options)
      : peims_(peims), options_(options) {}

  // Looks for the target in the volume at the start of `bytes` (which may
  // run past it), inserting when found. `address` is where the volume lies
  // in the flash's address range; none inside a compressed section.
  bool editVolume(std::span<std::uint8_t> bytes,
                  std::optional<std::uint64_t> address,
                  const std::string &where) {
    const Volume volume = Volume::parse(bytes);
    const auto own = bytes.first(volume.length());
    const std::string name =
        volume.name() ? "volume " + volume.name()->text() : "unnamed volume";
    seen_.push_back(volume.name() ? volume.name()->text() : "unnamed");
    if (volume.name() == options_.volume) {
      insertInto(own, volume, address, name);
      return true;
    }
    const auto &files = volume.files();
    for (std::size_t i = 0; i < files.size(); ++i) {
      const VolumeFile &file = files[i];
      // Volumes are carried by volume-image files; a large file's header
      // is not one this tool rewrites.
      if (file.type != kFileTypeVolumeImage ||
          (file.attributes & kAttribLargeFile) != 0) {
        continue;
      }
      const std::string fileWhere = where + " file " + file.name.text();
      const auto data = std::span<const std::uint8_t>(own).subspan(
          file.offset + kFileHeaderSize, file.size - kFileHeaderSize);
      std::optional<std::uint64_t> dataAddress;
      if (address) {
        dataAddress = *address + file.offset + kFileHeaderSize;
      }
      std::optional<Bytes> newData = editSections(data, dataAddress, fileWhere);
      if (newData) {
        replaceFile(own, i, *newData, fileWhere);
        return true;
      }
    }
    return false;
  }

  InsertResult &result() { return result_; }
  const std::vector<std::string> &seen() const { return seen_; }
  const std::vector<std::string> &unopened() const { return unopened_; }

private:
  // Looks for the target in a list of sections; returns the list rebuilt
  // when it was found (and inserted into) there.
  std::optional<Bytes> editSections(std::span<const std::uint8_t> list,
                                    std::optional<std::uint64_t> address,
                                    const std::string &where) {
    // Each level of containers costs a few frames of stack, and a crafted
    // image can nest them as deep as its size allows.
    const Nesting nesting(depth_, where);
    const std::vector<SectionAt> sections = sectionsOf(list, where);
    for (std::size_t i = 0; i < sections.size(); ++i) {
      const SectionAt &s = sections[i];
      std::optional<std::uint64_t> bodyAddress;
      if (address) {
        bodyAddress = *address + s.bodyOffset();
      }
      std::optional<Bytes> replaced;
      if (s.type == kSectionVolumeImage) {
        Bytes section(list.begin() + s.offset, list.begin() + s.end());
        if (editVolume(std::span(section).subspan(s.headerSize), bodyAddress,
                       where + " volume-image section")) {
          replaced = std::move(section);
        }
      } else if (s.type == kSectionGuidDefined) {
        replaced = editGuided(list, s, address, where);
      } else if (s.type == kSectionCompression) {
        replaced = editCompression(list, s, where);
      }
      if (replaced) {
        return replaceSection(list, sections, i, *replaced);
      }
    }
    return std::nullopt;
  }

  std::optional<Bytes> editGuided(std::span<const std::uint8_t> list,
                                  const SectionAt &s,
                                  std::optional<std::uint64_t> address,
                                  const std::string &where) {
    if (s.size < s.headerSize + kGuidedFieldsSize) {
      throw FfsError(where + ": GUID-defined section at " + hex(s.offset) +
                     ": expected at least " +
                     hex(s.headerSize + kGuidedFieldsSize) + " bytes, found " +
                     hex(s.size));
    }
    const auto section = list.subspan(s.offset, s.size);
    const Guid guid = Guid::fromBytes(section.subspan(s.headerSize, 16));
    const std::uint16_t dataOffset =
        le::load16(section, s.headerSize + kGuidedDataOffsetField);
    const std::uint16_t attributes =
        le::load16(section, s.headerSize + kGuidedAttributesField);
    if (dataOffset < s.headerSize + kGuidedFieldsSize || dataOffset > s.size) {
      throw FfsError(where + ": GUID-defined section " + guid.text() +
                     ": expected its data offset within it, found " +
                     hex(dataOffset));
    }
    const std::string inner = where + " GUID-defined section " + guid.text();
    const auto data = section.subspan(dataOffset);
    if (guid == parseGuid(kLzmaSectionGuid)) {
      // One budget for all the sections decoded, so that nested LZMA
      // sections cannot multiply their outputs.
      const Bytes decoded = lzmaDecompress(data, inner, decodeBudget_);
      decodeBudget_ -= decoded.size();
      // Decompressed, the contents run wherever the decompressing phase
      // copies them: their address is no longer the flash's.
      std::optional<Bytes> edited = editSections(decoded, std::nullopt, inner);
      if (!edited) {
        return std::nullopt;
      }
      result_.compressed = true;
      Bytes rebuilt(section.begin(), section.begin() + dataOffset);
      le::append(rebuilt, lzmaCompress(*edited));
      setSectionSize(rebuilt, s.headerSize, inner);
      return rebuilt;
    }
    if ((attributes & kGuidedProcessingRequired) != 0) {
      unopened_.push_back(inner);
      return std::nullopt;
    }
    // The data lies as it is, with a signature or checksum over it, say:
    // the search goes on inside, so that the volume is found, but the
    // insertion is refused there before anything is changed, since the
    // section's own data would no longer match what it was made for.
    std::optional<std::uint64_t> dataAddress;
    if (address) {
      dataAddress = *address + s.offset + dataOffset;
    }
    const std::string outer = std::exchange(cannotRebuild_, inner);
    const bool found = editSections(data, dataAddress, inner).has_value();
    cannotRebuild_ = outer;
    if (found) {
      throw std::logic_error(inner + ": changed although it cannot be "
                                     "rebuilt");
    }
    return std::nullopt;
  }

  std::optional<Bytes> editCompression(std::span<const std::uint8_t> list,
                                       const SectionAt &s,
                                       const std::string &where) {
    const std::string inner = where + " compression section";
    if (s.size < s.headerSize + kCompressionFieldsSize) {
      throw FfsError(inner + " at " + hex(s.offset) + ": expected at least " +
                     hex(s.headerSize + kCompressionFieldsSize) +
                     " bytes, found " + hex(s.size));
    }
    const auto section = list.subspan(s.offset, s.size);
    const std::uint8_t type = section[s.headerSize + 4];
    if (type != kNotCompressed) {
      unopened_.push_back(inner + " of compression type " + hex(type));
      return std::nullopt;
    }
    // Even uncompressed, its contents are copied out before they run.
    const auto contents =
        section.subspan(s.headerSize + kCompressionFieldsSize);
    std::optional<Bytes> edited = editSections(contents, std::nullopt, inner);
    if (!edited) {
      return std::nullopt;
    }
    result_.compressed = true;
    Bytes rebuilt(section.begin(),
                  section.begin() + s.headerSize + kCompressionFieldsSize);
    le::store32(rebuilt, s.headerSize,
                static_cast<std::uint32_t>(edited->size()));
    le::append(rebuilt, *edited);
    setSectionSize(rebuilt, s.headerSize, inner);
    return rebuilt;
  }

  // Rewrites file `index` of the volume with new data. Every file after it
  // stays where it is: the file may grow into the pad files behind it (a
  // new, smaller pad file keeps the walk going to the next file) or, if it
  // is the last file, into the free space.
  void replaceFile(std::span<std::uint8_t> bytes, std::size_t index,
                   std::span<const std::uint8_t> data,
                   const std::string &where) {
    const Volume volume = Volume::parse(bytes);
    const auto &files = volume.files();
    const VolumeFile &old = files[index];
    const Bytes file = rewrittenFile(
        std::span(bytes).subspan(old.offset, kFileHeaderSize), data, where);
    std::size_t next = index + 1;
    while (next < files.size() && files[next].type == kFileTypePad) {
      ++next;
    }
    const bool last = next == files.size();
    const std::uint32_t limit = last ? volume.length() : files[next].offset;
    const std::uint64_t end = std::uint64_t{old.offset} + file.size();
    const std::uint64_t padAt =
        alignUp(static_cast<std::uint32_t>(std::min<std::uint64_t>(end, limit)),
                kFileAlignmentInVolume);
    if (end > limit || padAt > limit) {
      throw FfsError(where + ": expected room for " + hex(file.size()) +
                     " bytes at " + hex(old.offset) + ", found " +
                     (last ? "the volume ending at " : "the next file at ") +
                     hex(limit));
    }
    const std::uint32_t gap = limit - static_cast<std::uint32_t>(padAt);
    if (!last && gap != 0 && gap < kFileHeaderSize) {
      throw FfsError(where + ": expected the " + std::to_string(gap) +
                     "-byte gap before the next file at " + hex(limit) +
                     " to hold a pad file (24 bytes), found it too small");
    }
    const std::uint8_t erased = volume.erasePolarity() ? 0xFF : 0x00;
    // What the file and its pad files held up to now; beyond, free space.
    const std::uint32_t used = last ? files.back().end() : limit;
    if (end > used && !allBytes(std::span(bytes).subspan(
                                    used, static_cast<std::size_t>(end - used)),
                                erased)) {
      throw FfsError(where + ": expected erased free space up to " + hex(end) +
                     ", found data after " + hex(used));
    }
    std::fill(bytes.begin() + old.offset,
              bytes.begin() + std::max<std::uint64_t>(used, end), erased);
    std::copy(file.begin(), file.end(), bytes.begin() + old.offset);
    if (!last && gap != 0) {
      const Bytes pad = makePadFile(gap, volume.erasePolarity());
      std::copy(pad.begin(), pad.end(), bytes.begin() + padAt);
    }
  }

  // Where the volume runs: given, its flash address, or what its images say.
  void findAddress(std::span<const std::uint8_t> bytes, const Volume &volume,
                   std::optional<std::uint64_t> address,
                   const std::string &where) {
    std::uint64_t at = 0;
    if (options_.volumeAddress) {
      at = *options_.volumeAddress;
      result_.addressFrom = "given";
    } else if (address) {
      at = *address;
      result_.addressFrom = "flash";
    } else {
      at = addressFromImages(bytes, volume, where);
      result_.addressFrom = "its images";
    }
    if (at + volume.length() > kAddressSpace) {
      throw FfsError(where + ": expected it to run within 4 GiB, found it at " +
                     hex(at) + " with " + hex(volume.length()) + " bytes");
    }
    result_.volumeAddress = static_cast<std::uint32_t>(at);
    result_.volumeLength = volume.length();
  }

  // Each image executing in place in the volume is linked at the volume's
  // address plus its offset in it; they must agree.
  std::uint64_t addressFromImages(std::span<const std::uint8_t> bytes,
                                  const Volume &volume,
                                  const std::string &where) {
    std::optional<std::uint64_t> agreed;
    Guid agreedBy;
    for (const VolumeFile &file : volume.files()) {
      if (file.type != kFileTypeSecurityCore && file.type != kFileTypePeiCore &&
          file.type != kFileTypePeim &&
          file.type != kFileTypeCombinedPeimDriver) {
        continue;
      }
      const std::uint32_t dataAt = file.offset + kFileHeaderSize;
      const auto data = bytes.subspan(dataAt, file.size - kFileHeaderSize);
      for (const SectionAt &s :
           sectionsOf(data, where + " file " + file.name.text())) {
        const std::optional<std::uint64_t> runs = imageFileAddress(
            data.subspan(s.bodyOffset(), s.size - s.headerSize), s.type);
        if (!runs) {
          continue;
        }
        const std::uint64_t base = *runs - (dataAt + s.bodyOffset());
        if (!agreed) {
          agreed = base;
          agreedBy = file.name;
        } else if (*agreed != base) {
          throw FfsError(where +
                         ": expected its images to agree on where it "
                         "runs, found " +
                         agreedBy.text() + " saying " + hex(*agreed) + " and " +
                         file.name.text() + " saying " + hex(base) +
                         "; give the address with --fv-address");
        }
      }
    }
    if (!agreed) {
      throw FfsError(where + ": expected an image in it saying where it runs "
                             "(it lies inside a compressed section), found "
                             "none; give the address with --fv-address");
    }
    return *agreed;
  }

  // Lists `names` in the apriori file, after the names it holds; creates
  // the file (at the free space) when the volume has none.
  void addToApriori(std::span<std::uint8_t> bytes,
                    const std::vector<Guid> &names, const std::string &where) {
    const Volume volume = Volume::parse(bytes);
    const Guid aprioriName = parseGuid(kPeiAprioriFileGuid);
    const std::string fileWhere = where + " apriori file";
    const VolumeFile *apriori = volume.find(aprioriName);
    Bytes list;
    if (apriori != nullptr) {
      const auto data = std::span<const std::uint8_t>(bytes).subspan(
          apriori->offset + kFileHeaderSize, apriori->size - kFileHeaderSize);
      const std::vector<SectionAt> sections = sectionsOf(data, fileWhere);
      if (sections.size() != 1 || sections[0].type != kSectionRaw ||
          (sections[0].size - sections[0].headerSize) % 16 != 0) {
        throw FfsError(
            fileWhere +
            ": expected one raw section of GUIDs, "
            "found " +
            std::to_string(sections.size()) + " sections, the first of type " +
            (sections.empty() ? std::string("none") : hex(sections[0].type)));
      }
      const auto body = data.subspan(sections[0].bodyOffset(),
                                     sections[0].size - sections[0].headerSize);
      list.assign(body.begin(), body.end());
    }
    bool added = false;
    for (const Guid &name : names) {
      bool listed = false;
      for (std::size_t at = 0; at + 16 <= list.size(); at += 16) {
        listed =
            listed || Guid::fromBytes(std::span(list).subspan(at, 16)) == name;
      }
      if (!listed) {
        le::append(list, name.bytes);
        added = true;
      }
    }
    if (apriori == nullptr) {
      const Bytes file = makeFile(aprioriName, kFileTypeFreeform, 1,
                                  makeSection(kSectionRaw, list),
                                  volume.erasePolarity(), true);
      const auto [at, padIndex] =
          slotFor(volume, static_cast<std::uint32_t>(file.size()), 1);
      writeFile(bytes, at, padIndex, file, 1);
      result_.aprioriCreated = true;
    } else if (added) {
      const std::size_t index =
          static_cast<std::size_t>(apriori - volume.files().data());
      replaceFile(bytes, index, makeSection(kSectionRaw, list), fileWhere);
    }
  }

  // Where a file of `size` bytes goes: the free space after the last file
  // or, when that has no room (a volume whose last file must stay at its
  // end, a volume top file, with a pad file before it), inside a pad file
  // large enough. Returns the offset and the pad file's index, if any.
  static std::pair<std::uint32_t, std::optional<std::size_t>>
  slotFor(const Volume &volume, std::uint32_t size, std::uint32_t alignment) {
    std::optional<FfsError> noRoom;
    try {
      return {placementFor(volume, size, alignment), std::nullopt};
    } catch (const FfsError &error) {
      noRoom = error;
    }
    const auto &files = volume.files();
    for (std::size_t i = 0; i < files.size(); ++i) {
      const VolumeFile &pad = files[i];
      if (pad.type != kFileTypePad) {
        continue;
      }
      const bool followed = i + 1 < files.size();
      const std::uint32_t next =
          followed ? files[i + 1].offset : volume.length();
      std::uint32_t at = pad.offset;
      // A gap in front of the file is a pad file again, of 24 bytes at
      // least; so is one behind it, up to the next file.
      while ((at + kFileHeaderSize) % alignment != 0 ||
             (at != pad.offset && at - pad.offset < kFileHeaderSize)) {
        at += kFileAlignmentInVolume;
      }
      const std::uint64_t after =
          alignUp(static_cast<std::uint32_t>(std::min<std::uint64_t>(
                      std::uint64_t{at} + size, next + 1ull)),
                  kFileAlignmentInVolume);
      if (std::uint64_t{at} + size > next || after > next) {
        continue;
      }
      const std::uint64_t gap = next - after;
      if (followed && gap != 0 && gap < kFileHeaderSize) {
        continue;
      }
      return {at, i};
    }
    throw *noRoom;
  }

  // Writes `file` at `at`, into the free space or the pad file given, which
  // becomes the pad files in front of and behind it.
  static void writeFile(std::span<std::uint8_t> bytes, std::uint32_t at,
                        std::optional<std::size_t> padIndex,
                        std::span<const std::uint8_t> file,
                        std::uint32_t alignment) {
    if (!padIndex) {
      if (appendFile(bytes, file, alignment) != at) {
        throw std::logic_error("file placed elsewhere than planned");
      }
      return;
    }
    const Volume volume = Volume::parse(bytes);
    const auto &files = volume.files();
    const VolumeFile &pad = files[*padIndex];
    const bool followed = *padIndex + 1 < files.size();
    const std::uint32_t next =
        followed ? files[*padIndex + 1].offset : volume.length();
    const std::uint8_t erased = volume.erasePolarity() ? 0xFF : 0x00;
    std::fill(bytes.begin() + pad.offset, bytes.begin() + next, erased);
    if (at != pad.offset) {
      const Bytes front = makePadFile(at - pad.offset, volume.erasePolarity());
      std::copy(front.begin(), front.end(), bytes.begin() + pad.offset);
    }
    std::copy(file.begin(), file.end(), bytes.begin() + at);
    const std::uint32_t after = alignUp(
        at + static_cast<std::uint32_t>(file.size()), kFileAlignmentInVolume);
    if (followed && after != next) {
      const Bytes back = makePadFile(next - after, volume.erasePolarity());
      std::copy(back.begin(), back.end(), bytes.begin() + after);
    }
  }

  PlacedPeim place(std::span<std::uint8_t> bytes, const InsertedPeim &peim,
                   bool erasePolarity) {
    PeimOptions options = peim.options;
    options.erasePolarity = erasePolarity;
    // The layout does not depend on the base, so a first build tells where
    // the file will go and a second one is rebased for that place.
    const PeimFile unplaced = buildPeim(*peim.image, options);
    const auto [at, padIndex] = slotFor(
        Volume::parse(bytes), static_cast<std::uint32_t>(unplaced.bytes.size()),
        unplaced.dataAlignment);
    options.fileAddress = result_.volumeAddress + at;
    const PeimFile placed = buildPeim(*peim.image, options);
    writeFile(bytes, at, padIndex, placed.bytes, placed.dataAlignment);
    return {at, static_cast<std::uint32_t>(placed.bytes.size()),
            placed.imageBase, peim.image->sizeOfImage(),
            placed.relocationsApplied};
  }

  void insertInto(std::span<std::uint8_t> bytes, const Volume &volume,
                  std::optional<std::uint64_t> address,
                  const std::string &where) {
    if (!cannotRebuild_.empty()) {
      throw FfsError(cannotRebuild_ +
                     ": expected a section format this tool can rebuild "
                     "(LZMA " +
                     std::string(kLzmaSectionGuid) + ") around " + where +
                     ", found one whose contents it can read but not "
                     "rebuild");
    }
    findAddress(bytes, volume, address, where);
    for (const InsertedPeim &peim : peims_) {
      if (volume.find(peim.options.name) != nullptr) {
        throw FfsError(where + ": expected no file named " +
                       peim.options.name.text() + " in it, found one");
      }
    }
    std::vector<Guid> listed;
    for (const InsertedPeim &peim : peims_) {
      if (peim.apriori) {
        listed.push_back(peim.options.name);
      }
    }
    try {
      if (!listed.empty()) {
        addToApriori(bytes, listed, where);
      }
      for (const InsertedPeim &peim : peims_) {
        result_.placed.push_back(place(bytes, peim, volume.erasePolarity()));
      }
    } catch (const FfsError &error) {
      const std::string message = error.what();
      throw FfsError(message.rfind(where, 0) == 0 ? message
                                                  : where + ": " + message);
    }
  }

  std::span<const InsertedPeim> peims_;
  const InsertOptions &options_;
  InsertResult result_;
  std::vector<std::string> seen_;
  std::vector<std::string> unopened_;
  // The innermost container on the way that could not be rebuilt; empty
  // when there is none.
  std::string cannotRebuild_;
  unsigned depth_ = 0;
  std::uint64_t decodeBudget_ = kDecodeBudget;
};

void checkRequest(std::span<const InsertedPeim> peims) {
  if (peims.empty()) {
    throw FfsError("insertion: expected at least one module, found none");
  }
  for (std::size_t i = 0; i < peims.size(); ++i) {
    const InsertedPeim &peim = peims[i];
    const std::string what = "module " + peim.options.name.text();
    if (peim.image == nullptr) {
      throw FfsError(what + ": expected an image, found none");
    }
    if (peim.options.imageBase || peim.options.fileAddress) {
      throw FfsError(what + ": expected no rebase of its own, found one; the "
                            "insertion rebases for where the file lands");
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (peims[j].options.name == peim.options.name) {
        throw FfsError(what + ": expected one module of each name, found it "
                              "twice");
      }
    }
  }
}

std::string joined(const std::vector<std::string> &items) {
  std::string out;
  for (const std::string &item : items) {
    out += (out.empty() ? "" : ", ") + item;
  }
  return out.empty() ? "none" : out;
}

} // namespace

InsertResult insertPeims(std::span<const std::uint8_t> flash,
                         std::span<const InsertedPeim> peims,
                         const InsertOptions &options) {
  checkRequest(peims);
  if (flash.size() > kAddressSpace) {
    throw FfsError("flash image: expected at most 4 GiB, found " +
                   hex(flash.size()) + " bytes");
  }
  const std::uint64_t flashBase =
      options.flashBase.value_or(kAddressSpace - flash.size());
  if (flashBase + flash.size() > kAddressSpace) {
    throw FfsError("flash base " + hex(flashBase) + ": expected the image of " +
                   hex(flash.size()) +
                   " bytes to end within 4 GiB, found it "
                   "ending at " +
                   hex(flashBase + flash.size()));
  }
  Bytes out(flash.begin(), flash.end());
  Insertion insertion(peims, options);
  bool found = false;
  for (std::size_t at = 0; !found && at + kVolumeHeaderMin <= out.size();) {
    const auto here = std::span(out).subspan(at);
    if (le::load32(here, kFvSignatureField) != Volume::kSignature) {
      at += kVolumeScanStep;
      continue;
    }
    const std::uint64_t length = le::load64(here, kFvLengthField);
    const std::uint16_t headerLength = le::load16(here, kFvHeaderLengthField);
    const bool header = headerLength >= kVolumeHeaderMin &&
                        headerLength <= here.size() &&
                        sum16(here.first(headerLength)) == 0;
    if (!header) {
      at += kVolumeScanStep; // a chance match of the signature
      continue;
    }
    if (length > here.size()) {
      throw FfsError("flash image: expected the volume at " + hex(at) +
                     " to hold its " + hex(length) +
                     " bytes, found it truncated after " + hex(here.size()));
    }
    const std::string where = "volume at flash offset " + hex(at);
    found = insertion.editVolume(here, flashBase + at, where);
    at += static_cast<std::size_t>(
        alignUp(static_cast<std::uint32_t>(
                    std::max<std::uint64_t>(length, kVolumeHeaderMin)),
                kVolumeScanStep));
  }
  if (!found) {
    std::string message = "flash image: expected a volume named " +
                          options.volume.text() +
                          ", found none (volumes: " + joined(insertion.seen());
    if (!insertion.unopened().empty()) {
      message += "; not opened: " + joined(insertion.unopened());
    }
    throw FfsError(message + ")");
  }
  InsertResult result = std::move(insertion.result());
  result.flash = std::move(out);
  return result;
}

} // namespace ffs_format
