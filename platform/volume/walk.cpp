// The walk: volumes in a flash image, files in a volume, sections in a file,
// and the volumes inside sections.
#include "lzma_decode.h"
#include "volume.h"

#include "ffs_layout.h"
#include "hex.h"
#include "little_endian.h"

#include <algorithm>

namespace volume {
namespace {

namespace le = common::le;
namespace ffs = common::ffs;
using common::hex;

constexpr std::size_t kFvLengthField = 32;
constexpr std::size_t kFvSignatureField = 40;
constexpr std::size_t kFvAttributesField = 44;
constexpr std::size_t kFvHeaderLengthField = 48;
constexpr std::size_t kFvExtHeaderField = 52;
constexpr std::size_t kFvRevisionField = 55;
// The header up to and including the block map's terminating entry.
constexpr std::uint32_t kFvMinHeader = 56 + 8;
constexpr std::uint32_t kFvSignature = 0x4856465F; // "_FVH"
constexpr std::uint8_t kFvRevision = 2;
constexpr std::uint32_t kFvExtHeaderMinSize = 20;
constexpr std::uint32_t kFlashScanStep = 16;
constexpr std::uint32_t kFileAlignment = 8;
constexpr std::uint32_t kLargeFileHeaderSize = 32;
constexpr std::uint32_t kSectionHeader2Size = 8;
constexpr std::uint32_t kGuidDefinedHeaderSize = 20; // GUID, offset, attrib
constexpr std::uint16_t kGuidedProcessingRequired = 0x01;
constexpr std::uint8_t kSectionCompression = 0x01;
constexpr std::uint32_t kCompressionHeaderSize = 5; // length, type
constexpr std::uint8_t kNotCompressed = 0;
constexpr std::uint8_t kFileTypeRaw = 0x01;
constexpr std::uint8_t kStateMarkedForUpdate = 0x08;
constexpr std::uint8_t kStateDeleted = 0x10;
constexpr std::uint8_t kStateHeaderInvalid = 0x20;
const Guid kLzmaGuid = Guid::parse("EE4E5898-3914-4259-9D6E-DC7BD79403CF");

std::uint16_t sum16(ByteSpan bytes) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    sum = static_cast<std::uint16_t>(sum + le::load16(bytes, i));
  }
  return sum;
}

std::uint8_t sum8(ByteSpan bytes) {
  std::uint8_t sum = 0;
  for (const std::uint8_t b : bytes) {
    sum = static_cast<std::uint8_t>(sum + b);
  }
  return sum;
}

// A bound of the walk exceeded: fatal for the whole walk.
class LimitError : public FormatError {
public:
  using FormatError::FormatError;
};

// The walk's state: bounds and what it has found so far.
struct Walker {
  Limits limits;
  std::uint64_t decompressed = 0;
  std::vector<Volume> found;
};

// Where sections are read from: bytes, the buffer keeping them alive, and
// whether they are the volume's own bytes.
struct Container {
  ByteSpan bytes;
  std::shared_ptr<const Bytes> owner;
  bool inVolume = true;
  std::string where;
  unsigned depth = 0;
};

std::string walkVolumeAt(Walker &walker, const Container &from,
                         std::uint64_t at, const std::string &origin,
                         bool fatal);

// Why the bytes at the start of `bytes` are not a volume header; empty when
// they are one.
std::string headerProblem(ByteSpan bytes) {
  if (bytes.size() < kFvMinHeader) {
    return "expected a volume header of at least 64 bytes, found " +
           std::to_string(bytes.size()) + " bytes";
  }
  if (const auto sig = le::load32(bytes, kFvSignatureField);
      sig != kFvSignature) {
    return "expected the signature \"_FVH\", found " + hex(sig);
  }
  if (bytes[kFvRevisionField] != kFvRevision) {
    return "expected revision 2, found " + hex(bytes[kFvRevisionField]);
  }
  const std::uint32_t headerLength = le::load16(bytes, kFvHeaderLengthField);
  const std::uint64_t length = le::load64(bytes, kFvLengthField);
  if (headerLength < kFvMinHeader || headerLength % 2 != 0 ||
      headerLength > length) {
    return "expected an even header length of at least 64 within the "
           "volume, found " +
           hex(headerLength);
  }
  if (length > bytes.size() || length > UINT32_MAX) {
    return "expected a length within the " + hex(bytes.size()) +
           " bytes available, found " + hex(length);
  }
  if (const auto sum = sum16(bytes.first(headerLength)); sum != 0) {
    return "expected the header's 16-bit words to sum to 0, found " + hex(sum);
  }
  return {};
}

const Guid kFfs2FileSystem =
    Guid::parse("8C8CE578-8A3D-4F1C-9935-896185C32DD3");
const Guid kFfs3FileSystem =
    Guid::parse("5473C07A-3DCB-4DCA-BD6F-1E9689E7349A");

// Passes over the extended header, taking the volume's name from it; returns
// where the files start.
std::uint32_t filesStart(Volume &volume) {
  const std::uint32_t headerLength =
      le::load16(volume.bytes, kFvHeaderLengthField);
  const std::uint32_t ext = le::load16(volume.bytes, kFvExtHeaderField);
  std::uint32_t end = headerLength;
  if (ext != 0) {
    if (std::uint64_t{ext} + kFvExtHeaderMinSize > volume.length) {
      throw FormatError(volume.origin +
                        ": expected the extended header "
                        "inside the volume, found it at " +
                        hex(ext));
    }
    const std::uint32_t size = le::load32(volume.bytes, ext + 16);
    if (size < kFvExtHeaderMinSize || size > volume.length - ext) {
      throw FormatError(volume.origin + ": extended header at " + hex(ext) +
                        ": expected a size from 20 bytes to the volume end, "
                        "found " +
                        hex(size));
    }
    volume.name = Guid::fromBytes(volume.bytes.subspan(ext, 16));
    end = ext + size;
  }
  return ffs::alignUp(end, kFileAlignment);
}

// The label of a volume in the origin of what lies inside it.
std::string label(const Volume &volume) {
  return volume.name ? "volume " + volume.name->text() : volume.origin;
}

std::vector<Section> parseSections(Walker &walker, Volume &volume,
                                   const Container &in, std::uint32_t begin,
                                   std::uint32_t end);

// The children of an encapsulation section whose contents start `dataStart`
// bytes into it: in place, or in a decompressed buffer.
void openGuided(Walker &walker, Volume &volume, const Container &in,
                Section &section, const std::string &where) {
  const std::uint32_t headerEnd = section.headerSize + kGuidDefinedHeaderSize;
  if (section.size < headerEnd) {
    section.problem = where + ": expected a GUID-defined header of " +
                      std::to_string(headerEnd) +
                      " bytes, found a section of " +
                      std::to_string(section.size);
    return;
  }
  const ByteSpan raw = in.bytes.subspan(section.offset, section.size);
  section.guid = Guid::fromBytes(raw.subspan(section.headerSize, 16));
  const std::uint32_t dataOffset = le::load16(raw, section.headerSize + 16);
  const std::uint16_t attributes = le::load16(raw, section.headerSize + 18);
  if (dataOffset < headerEnd || dataOffset > section.size) {
    section.problem = where + ": expected a data offset from " +
                      hex(headerEnd) + " to " + hex(section.size) + ", found " +
                      hex(dataOffset);
    return;
  }
  section.body = raw.subspan(dataOffset);
  if (*section.guid == kLzmaGuid) {
    if (section.body.size() >= 13 &&
        le::load64(section.body, 5) >
            walker.limits.maxDecompressed - walker.decompressed) {
      throw LimitError(
          where + " (LZMA): expected at most " +
          hex(walker.limits.maxDecompressed - walker.decompressed) +
          " more decompressed bytes, found a stated size of " +
          hex(le::load64(section.body, 5)));
    }
    try {
      auto out = std::make_shared<const Bytes>(lzmaDecode(
          section.body, walker.limits.maxDecompressed - walker.decompressed,
          where));
      walker.decompressed += out->size();
      volume.buffers.push_back(out);
      const Container inner{*out, out, false, where + " (LZMA)", in.depth + 1};
      section.children = parseSections(walker, volume, inner, 0,
                                       static_cast<std::uint32_t>(out->size()));
    } catch (const LimitError &) {
      throw;
    } catch (const FormatError &error) {
      section.problem = error.what();
    }
  } else if ((attributes & kGuidedProcessingRequired) == 0) {
    const Container inner{in.bytes, in.owner, in.inVolume, where, in.depth + 1};
    section.children =
        parseSections(walker, volume, inner, section.offset + dataOffset,
                      section.offset + section.size);
  } else {
    section.problem = where + ": GUID-defined section " + section.guid->text() +
                      " cannot be opened";
  }
}

void openCompression(Walker &walker, Volume &volume, const Container &in,
                     Section &section, const std::string &where) {
  const std::uint32_t dataStart = section.headerSize + kCompressionHeaderSize;
  if (section.size < dataStart) {
    section.problem = where +
                      ": expected a compression header, found a "
                      "section of " +
                      std::to_string(section.size) + " bytes";
    return;
  }
  const std::uint8_t type = in.bytes[section.offset + section.headerSize + 4];
  section.body =
      in.bytes.subspan(section.offset + dataStart, section.size - dataStart);
  if (type != kNotCompressed) {
    section.problem =
        where + ": compression type " + hex(type) + " cannot be opened";
    return;
  }
  const Container inner{in.bytes, in.owner, in.inVolume, where, in.depth + 1};
  section.children =
      parseSections(walker, volume, inner, section.offset + dataStart,
                    section.offset + section.size);
}

// Opens an encapsulation or volume-image section.
void openSection(Walker &walker, Volume &volume, const Container &in,
                 Section &section, const std::string &where) {
  // A volume image counts as a level too: each one is a recursion.
  const bool encapsulation = section.type == ffs::kSectionGuidDefined ||
                             section.type == kSectionCompression ||
                             section.type == ffs::kSectionVolumeImage;
  if (encapsulation && in.depth + 1 > walker.limits.maxNesting) {
    throw LimitError(where + ": expected at most " +
                     std::to_string(walker.limits.maxNesting) +
                     " levels of encapsulation, found more");
  }
  if (section.type == ffs::kSectionGuidDefined) {
    openGuided(walker, volume, in, section, where);
  } else if (section.type == kSectionCompression) {
    openCompression(walker, volume, in, section, where);
  } else if (section.type == ffs::kSectionVolumeImage) {
    const Container image{in.bytes.subspan(section.offset + section.headerSize,
                                           section.body.size()),
                          in.owner, in.inVolume, where, in.depth + 1};
    section.problem =
        walkVolumeAt(walker, image, 0, where + " (volume image)", false);
  }
  if (!section.problem.empty()) {
    volume.problems.push_back(section.problem);
  }
}

// The sections between `begin` and `end` of a container, each on a 4-byte
// boundary. A malformed one ends the list, with a problem recorded.
std::vector<Section> parseSections(Walker &walker, Volume &volume,
                                   const Container &in, std::uint32_t begin,
                                   std::uint32_t end) {
  std::vector<Section> sections;
  std::uint32_t at = ffs::alignUp(begin, ffs::kSectionAlignment);
  while (std::uint64_t{at} + ffs::kSectionHeaderSize <= end) {
    Section section;
    section.offset = at;
    section.inVolume = in.inVolume;
    section.type = in.bytes[at + ffs::kSectionTypeField];
    std::uint64_t size = le::load(in.bytes, at, ffs::kSizeFieldWidth);
    section.headerSize = ffs::kSectionHeaderSize;
    if (size == ffs::kMaxSmallSize && at + kSectionHeader2Size <= end) {
      size = le::load32(in.bytes, at + 4);
      section.headerSize = kSectionHeader2Size;
    }
    const std::string where =
        in.where + " section " + std::to_string(sections.size());
    if (size < section.headerSize || size > end - at) {
      volume.problems.push_back(
          where + " at " + hex(at) + ": expected a size from " +
          std::to_string(section.headerSize) + " bytes to " + hex(end) +
          ", found " + hex(size));
      break;
    }
    section.size = static_cast<std::uint32_t>(size);
    section.body = in.bytes.subspan(at + section.headerSize,
                                    section.size - section.headerSize);
    openSection(walker, volume, in, section, where);
    at = ffs::alignUp(at + section.size, ffs::kSectionAlignment);
    sections.push_back(std::move(section));
  }
  return sections;
}

// The state in positive logic reduced to its highest set bit, which is the
// one that counts: bits are only ever programmed, one after another.
std::uint8_t effectiveState(std::uint8_t state) {
  for (std::uint8_t bit = 0x80; bit != 0; bit >>= 1) {
    if ((state & bit) != 0) {
      return bit;
    }
  }
  return 0;
}

// Checks a complete file's header and reads its sections.
void checkAndOpen(Walker &walker, Volume &volume, const Container &in,
                  File &file, const std::string &where) {
  const std::uint32_t at = file.offset;
  const ByteSpan header = volume.bytes.subspan(at, file.headerSize);
  const std::uint8_t sum =
      static_cast<std::uint8_t>(sum8(header) - header[ffs::kFileStateField] -
                                header[ffs::kFileDataChecksumField]);
  file.headerChecksumValid = sum == 0;
  if (!file.headerChecksumValid) {
    volume.problems.push_back(where + " at " + hex(at) +
                              ": expected the header to sum to 0, found " +
                              hex(sum));
  } else if (file.type != ffs::kFileTypePad && file.type != kFileTypeRaw) {
    const Container sections{in.bytes, in.owner, true, where, in.depth};
    file.sections = parseSections(walker, volume, sections,
                                  at + file.headerSize, at + file.size);
  }
}

// Reads the file header at `at`; returns where the next file may start, or
// none where the walk of the volume ends.
std::optional<std::uint32_t> readFile(Walker &walker, Volume &volume,
                                      const Container &in, std::uint32_t at) {
  const std::uint8_t erased = volume.erasePolarity() ? 0xFF : 0x00;
  const ByteSpan bytes = volume.bytes;
  const ByteSpan small = bytes.subspan(at, ffs::kFileHeaderSize);
  if (std::all_of(small.begin(), small.end(),
                  [&](std::uint8_t b) { return b == erased; })) {
    return std::nullopt; // free space
  }
  File file;
  file.offset = at;
  file.name = Guid::fromBytes(small.first(16));
  file.type = small[ffs::kFileTypeField];
  file.attributes = small[ffs::kFileAttributesField];
  file.state = static_cast<std::uint8_t>(small[ffs::kFileStateField] ^ erased);
  const bool large = (file.attributes & ffs::kAttribLargeFile) != 0;
  file.headerSize = large ? kLargeFileHeaderSize : ffs::kFileHeaderSize;
  const std::string where = label(volume) + " file " + file.name.text();
  if (file.headerSize > volume.length - at) {
    volume.problems.push_back(where + " at " + hex(at) +
                              ": expected a 32-byte header, found the volume "
                              "end");
    return std::nullopt;
  }
  const std::uint64_t size = large ? le::load64(bytes, at + 24)
                                   : le::load(small, ffs::kFileSizeField, 3);
  if (size < file.headerSize || size > volume.length - at) {
    volume.problems.push_back(where + " at " + hex(at) +
                              ": expected a size from " +
                              std::to_string(file.headerSize) +
                              " bytes to the volume end, found " + hex(size));
    return std::nullopt;
  }
  file.size = static_cast<std::uint32_t>(size);
  const std::uint32_t next = ffs::alignUp(at + file.size, kFileAlignment);
  const std::uint8_t state = effectiveState(file.state);
  if (state == kStateHeaderInvalid) {
    return ffs::alignUp(at + ffs::kFileHeaderSize, kFileAlignment);
  }
  if (state == kStateDeleted) {
    return next;
  }
  if (state != ffs::kStateDataValid && state != kStateMarkedForUpdate) {
    volume.problems.push_back(where + " at " + hex(at) +
                              ": expected a complete file, found state " +
                              hex(file.state));
    return std::nullopt;
  }
  checkAndOpen(walker, volume, in, file, where);
  volume.files.push_back(std::move(file));
  return next;
}

// The volume at `at` in a container, and the volumes inside it. `fatal`
// makes a malformed header an error rather than a problem of the container.
std::string walkVolumeAt(Walker &walker, const Container &from,
                         std::uint64_t at, const std::string &origin,
                         bool fatal) {
  const ByteSpan rest = from.bytes.subspan(at);
  if (const std::string problem = headerProblem(rest); !problem.empty()) {
    if (fatal) {
      throw FormatError(origin + " at " + hex(at) + ": " + problem);
    }
    return origin + ": " + problem;
  }
  Volume volume;
  volume.origin = origin;
  volume.offset = at;
  volume.length = static_cast<std::uint32_t>(le::load64(rest, kFvLengthField));
  volume.bytes = rest.first(volume.length);
  volume.fileSystem = Guid::fromBytes(rest.subspan(16, 16));
  volume.attributes = le::load32(rest, kFvAttributesField);
  volume.buffers.push_back(from.owner);
  const std::size_t index = walker.found.size();
  walker.found.emplace_back();
  try {
    std::optional<std::uint32_t> next = filesStart(volume);
    // Only an FFS volume holds files; any other (a variable store, say)
    // is data the walk leaves alone.
    if (volume.fileSystem != kFfs2FileSystem &&
        volume.fileSystem != kFfs3FileSystem) {
      next.reset();
    }
    const Container in{volume.bytes, from.owner, from.inVolume, origin,
                       from.depth};
    while (next &&
           std::uint64_t{*next} + ffs::kFileHeaderSize <= volume.length) {
      next = readFile(walker, volume, in, *next);
    }
  } catch (const LimitError &) {
    throw;
  } catch (const FormatError &error) {
    if (fatal) {
      throw;
    }
    volume.problems.push_back(error.what());
  }
  walker.found[index] = std::move(volume);
  return {};
}

bool looksLikeFile(ByteSpan bytes) {
  if (bytes.size() < ffs::kFileHeaderSize) {
    return false;
  }
  const std::uint64_t size = le::load(bytes, ffs::kFileSizeField, 3);
  const std::uint8_t sum = static_cast<std::uint8_t>(
      sum8(bytes.first(ffs::kFileHeaderSize)) - bytes[ffs::kFileStateField] -
      bytes[ffs::kFileDataChecksumField]);
  return sum == 0 && size >= ffs::kFileHeaderSize && size <= bytes.size() &&
         bytes.size() - size < kFileAlignment;
}

// One FFS file given alone: the volumes inside its sections.
void walkFile(Walker &walker, const std::shared_ptr<const Bytes> &image) {
  const ByteSpan bytes = *image;
  Volume holder;
  holder.origin = "file " + Guid::fromBytes(bytes.first(16)).text();
  holder.bytes = bytes;
  const Container in{bytes, image, false, holder.origin, 0};
  parseSections(
      walker, holder, in, ffs::kFileHeaderSize,
      static_cast<std::uint32_t>(le::load(bytes, ffs::kFileSizeField, 3)));
  if (!holder.problems.empty()) {
    throw FormatError(holder.problems.front());
  }
}

} // namespace

const File *Volume::find(const Guid &fileName) const {
  for (const File &file : files) {
    if (file.name == fileName && file.type != ffs::kFileTypePad) {
      return &file;
    }
  }
  return nullptr;
}

std::vector<Volume> walk(std::shared_ptr<const Bytes> image,
                         const Limits &limits) {
  if (!image) {
    throw FormatError("image: expected bytes, found none");
  }
  Walker walker;
  walker.limits = limits;
  const ByteSpan bytes = *image;
  const Container flash{bytes, image, true, "flash", 0};
  std::uint64_t at = 0;
  while (at + kFvMinHeader <= bytes.size()) {
    const bool signature =
        le::load32(bytes, at + kFvSignatureField) == kFvSignature;
    // At offset 0 a volume signature means a volume given directly: its
    // header must then be sound. Elsewhere it may be a chance match.
    if (signature && (at == 0 || headerProblem(bytes.subspan(at)).empty())) {
      const std::size_t index = walker.found.size();
      walkVolumeAt(walker, flash, at, "flash +" + hex(at, 8), at == 0);
      at += std::max<std::uint64_t>(
          ffs::alignUp(walker.found[index].length, kFlashScanStep),
          kFlashScanStep);
      continue;
    }
    at += kFlashScanStep;
  }
  if (walker.found.empty()) {
    if (!looksLikeFile(bytes)) {
      throw FormatError("image of " + hex(bytes.size()) +
                        " bytes: expected a firmware volume or an FFS file, "
                        "found neither");
    }
    walkFile(walker, image);
  }
  return std::move(walker.found);
}

} // namespace volume
