#include "firmware_files.h"

#include "ffs_layout.h"
#include "hex.h"
#include "little_endian.h"
#include "lzma_decode.h"

#include <algorithm>

namespace pei {

namespace le = common::le;
namespace ffs = common::ffs;
using common::hex;

namespace {

// The volume header: the zero vector, the file system GUID, FvLength (u64),
// the signature, the attributes, HeaderLength, the checksum, the extended
// header's offset, a reserved byte and the revision; then the block map.
constexpr std::uint32_t kFvFileSystemField = 16;
constexpr std::uint32_t kFvLengthField = 32;
constexpr std::uint32_t kFvSignatureField = 40;
constexpr std::uint32_t kFvAttributesField = 44;
constexpr std::uint32_t kFvHeaderLengthField = 48;
constexpr std::uint32_t kFvExtHeaderField = 52;
constexpr std::uint32_t kFvRevisionField = 55;
// Up to and including the block map's terminating entry.
constexpr std::uint32_t kFvMinHeader = 56 + 8;
constexpr std::uint32_t kFvSignature = 0x4856465F; // "_FVH"
constexpr std::uint8_t kFvRevision = 2;
// The extended header: the volume's name, then its own size.
constexpr std::uint32_t kFvExtHeaderSizeField = 16;
constexpr std::uint32_t kFvExtHeaderMinSize = 20;
constexpr std::uint32_t kFvAttribMemoryMapped = 0x400;
constexpr std::uint32_t kFvAttribErasePolarity = 0x800;
const efi::Guid kFileSystem2 =
    efi::Guid::parse("8C8CE578-8A3D-4F1C-9935-896185C32DD3");
const efi::Guid kFileSystem3 =
    efi::Guid::parse("5473C07A-3DCB-4DCA-BD6F-1E9689E7349A");

constexpr std::uint32_t kFileAlignment = 8;
constexpr std::uint32_t kLargeFileHeaderSize = 32;
constexpr std::uint32_t kLargeFileSizeField = 24;
constexpr std::uint8_t kFileTypeRaw = 0x01;
constexpr std::uint8_t kAttribFixed = 0x04;
constexpr std::uint8_t kStateMarkedForUpdate = 0x08;
constexpr std::uint8_t kStateDeleted = 0x10;
constexpr std::uint8_t kStateHeaderInvalid = 0x20;

constexpr std::uint8_t kSectionCompression = 0x01;
constexpr std::uint32_t kSectionHeader2Size = 8;
constexpr std::uint32_t kCompressionHeaderSize = 5; // length u32, type u8
constexpr std::uint32_t kCompressionTypeField = 4;
constexpr std::uint8_t kNotCompressed = 0;
constexpr std::uint32_t kGuidedHeaderSize = 20; // GUID, DataOffset, Attributes
constexpr std::uint32_t kGuidedDataOffsetField = 16;
constexpr std::uint32_t kGuidedAttributesField = 18;
constexpr std::uint16_t kGuidedProcessingRequired = 0x01;
constexpr std::uint16_t kGuidedAuthStatusValid = 0x02;
// EFI_AUTH_STATUS_* of section data.
constexpr std::uint32_t kAuthImageSigned = 0x02;
constexpr std::uint32_t kAuthNotTested = 0x04;
const efi::Guid kLzmaSection =
    efi::Guid::parse("EE4E5898-3914-4259-9D6E-DC7BD79403CF");

// EFI_FV_FILE_INFO on IA-32: FileName (GUID) at 0, FileType (UINT8) at 16,
// three bytes of padding, FileAttributes (UINT32) at 20, Buffer (VOID *) at
// 24, BufferSize (UINT32) at 28: 32 bytes. EFI_FV_FILE_INFO2 adds
// AuthenticationStatus (UINT32) at 32: 36 bytes.
constexpr std::size_t kFileInfoTypeField = 16;
constexpr std::size_t kFileInfoAttributesField = 20;
constexpr std::size_t kFileInfoBufferField = 24;
constexpr std::size_t kFileInfoBufferSizeField = 28;
constexpr std::size_t kFileInfoSize = 32;
constexpr std::size_t kFileInfo2AuthenticationField = 32;
constexpr std::size_t kFileInfo2Size = 36;
// EFI_FV_INFO on IA-32: FvAttributes (UINT32) at 0, FvFormat (GUID) at 4,
// FvName (GUID) at 20, FvStart (VOID *) at 36, FvSize (UINT64) at 40, which
// its own alignment puts there too: 48 bytes.
constexpr std::size_t kVolumeInfoFormatField = 4;
constexpr std::size_t kVolumeInfoNameField = 20;
constexpr std::size_t kVolumeInfoStartField = 36;
constexpr std::size_t kVolumeInfoSizeField = 40;
constexpr std::size_t kVolumeInfoSize = 48;
// EFI_FV_FILE_ATTRIBUTES: the data alignment as a power of two in the low
// bits, then fixed-address and memory-mapped.
constexpr std::uint32_t kFileAttribFixed = 0x100;
constexpr std::uint32_t kFileAttribMemoryMapped = 0x200;

// The alignment exponents that the three alignment bits of a file's
// attributes stand for, without and with the second alignment bit.
constexpr std::uint8_t kAlignments[8] = {0, 4, 7, 9, 10, 12, 15, 16};
constexpr std::uint8_t kAlignments2[8] = {17, 18, 19, 20, 21, 22, 23, 24};

std::uint16_t sum16(std::span<const std::uint8_t> bytes) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    sum = static_cast<std::uint16_t>(sum + le::load16(bytes, i));
  }
  return sum;
}

std::uint8_t sum8(std::span<const std::uint8_t> bytes) {
  std::uint8_t sum = 0;
  for (const std::uint8_t b : bytes) {
    sum = static_cast<std::uint8_t>(sum + b);
  }
  return sum;
}

constexpr std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// The state in positive logic reduced to its highest set bit: flash bits are
// programmed one after another, so the last one set is the one that counts.
std::uint8_t effectiveState(std::uint8_t state) {
  for (std::uint8_t bit = 0x80; bit != 0; bit >>= 1) {
    if ((state & bit) != 0) {
      return bit;
    }
  }
  return 0;
}

bool matches(std::uint8_t searched, std::uint8_t type) {
  return searched == FirmwareFiles::kTypeAll ? type != FirmwareFiles::kTypePad
                                             : type == searched;
}

} // namespace

struct FirmwareFiles::Volume {
  std::uint32_t base = 0;
  std::uint32_t length = 0;
  std::uint32_t attributes = 0;
  efi::Guid fileSystem;
  efi::Guid name; // zero without an extended header
  std::uint32_t firstFile = 0;
  // Whether its files are FFS files this Foundation can search.
  bool ffs = false;
  std::uint8_t erased() const {
    return (attributes & kFvAttribErasePolarity) != 0 ? 0xFF : 0x00;
  }
};

struct FirmwareFiles::File {
  std::uint32_t header = 0; // its handle
  efi::Guid name;
  std::uint8_t type = 0;
  std::uint8_t attributes = 0;
  std::uint32_t size = 0; // header included
  std::uint32_t headerSize = 0;
  std::uint32_t volumeAttributes = 0;
};

void FirmwareFiles::addVolume(GuestAddress header) {
  if (std::find(volumes_.begin(), volumes_.end(), header) == volumes_.end()) {
    volumes_.push_back(header);
  }
}

bool FirmwareFiles::readable(std::uint64_t address, std::uint64_t size) const {
  const std::uint64_t end = address + size;
  if (end < address || end > bus::k4GiB) {
    return false;
  }
  for (std::uint64_t at = address; at < end;) {
    const bus::Region *region = machine_.space().find(at);
    if (region == nullptr || region->mmio() ||
        !bus::allows(region->rights, bus::kRead)) {
      return false;
    }
    at = region->base + region->size;
  }
  return true;
}

// Only called for bytes inside a volume or decoded buffer that readable()
// accepted whole, so the guest's own rights are never refused here.
std::vector<std::uint8_t> FirmwareFiles::read(std::uint64_t address,
                                              std::uint32_t size) const {
  return machine_.guestRead(static_cast<std::uint32_t>(address), size,
                            "a firmware volume");
}

std::optional<FirmwareFiles::Volume>
FirmwareFiles::volumeAt(GuestAddress header) const {
  if (std::find(volumes_.begin(), volumes_.end(), header) == volumes_.end() ||
      !readable(header.value, kFvMinHeader)) {
    return std::nullopt;
  }
  const std::vector<std::uint8_t> fixed = read(header.value, kFvMinHeader);
  const std::uint64_t length = le::load64(fixed, kFvLengthField);
  const std::uint32_t headerLength = le::load16(fixed, kFvHeaderLengthField);
  if (le::load32(fixed, kFvSignatureField) != kFvSignature ||
      fixed[kFvRevisionField] != kFvRevision || headerLength < kFvMinHeader ||
      headerLength % 2 != 0 || headerLength > length || length > UINT32_MAX ||
      !readable(header.value, length)) {
    return std::nullopt;
  }
  Volume volume;
  volume.base = header.value;
  volume.length = static_cast<std::uint32_t>(length);
  if (sum16(read(volume.base, headerLength)) != 0) {
    return std::nullopt;
  }
  volume.attributes = le::load32(fixed, kFvAttributesField);
  volume.fileSystem = efi::Guid::fromBytes(
      std::span(fixed).subspan(kFvFileSystemField, sizeof(efi::Guid)));
  volume.ffs =
      volume.fileSystem == kFileSystem2 || volume.fileSystem == kFileSystem3;
  std::uint64_t filesAt = headerLength;
  if (const std::uint32_t ext = le::load16(fixed, kFvExtHeaderField);
      ext != 0) {
    if (std::uint64_t{ext} + kFvExtHeaderMinSize > volume.length) {
      return std::nullopt;
    }
    const std::vector<std::uint8_t> extended =
        read(volume.base + ext, kFvExtHeaderMinSize);
    const std::uint32_t size = le::load32(extended, kFvExtHeaderSizeField);
    if (size < kFvExtHeaderMinSize || size > volume.length - ext) {
      return std::nullopt;
    }
    volume.name = efi::Guid::fromBytes(std::span(extended).first(16));
    filesAt = std::uint64_t{ext} + size;
  }
  volume.firstFile = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(alignUp(filesAt, kFileAlignment), volume.length));
  return volume;
}

std::optional<FirmwareFiles::File>
FirmwareFiles::walkFiles(const Volume &volume,
                         const std::function<bool(const File &)> &visit) const {
  if (!volume.ffs) {
    return std::nullopt;
  }
  const std::uint8_t erased = volume.erased();
  // 64 bits: a file that ends at the top of a 4 GiB volume cannot wrap the
  // walk round to its start.
  std::uint64_t at = volume.firstFile;
  while (at + ffs::kFileHeaderSize <= volume.length) {
    std::vector<std::uint8_t> header =
        read(volume.base + at, ffs::kFileHeaderSize);
    if (std::all_of(header.begin(), header.end(),
                    [&](std::uint8_t b) { return b == erased; })) {
      return std::nullopt; // free space: no file follows
    }
    File file;
    file.header = static_cast<std::uint32_t>(volume.base + at);
    file.volumeAttributes = volume.attributes;
    file.name = efi::Guid::fromBytes(std::span(header).first(16));
    file.type = header[ffs::kFileTypeField];
    file.attributes = header[ffs::kFileAttributesField];
    const bool large = (file.attributes & ffs::kAttribLargeFile) != 0;
    file.headerSize = large ? kLargeFileHeaderSize
                            : static_cast<std::uint32_t>(ffs::kFileHeaderSize);
    if (file.headerSize > volume.length - at) {
      return std::nullopt;
    }
    if (large) {
      header = read(volume.base + at, kLargeFileHeaderSize);
    }
    const std::uint8_t state = effectiveState(
        static_cast<std::uint8_t>(header[ffs::kFileStateField] ^ erased));
    // A header whose writing never finished, or that was declared invalid,
    // says nothing of its size: the next header may follow right after it.
    if (state == ffs::kStateHeaderConstruction ||
        state == kStateHeaderInvalid) {
      at = alignUp(at + file.headerSize, kFileAlignment);
      continue;
    }
    const std::uint64_t size =
        large ? le::load64(header, kLargeFileSizeField)
              : le::load(header, ffs::kFileSizeField, ffs::kSizeFieldWidth);
    if (size < file.headerSize || size > volume.length - at) {
      return std::nullopt;
    }
    file.size = static_cast<std::uint32_t>(size);
    const std::uint64_t next = alignUp(at + size, kFileAlignment);
    if (state == kStateDeleted) {
      at = next;
      continue;
    }
    // A file whose data is still being written ends the files.
    if (state != ffs::kStateDataValid && state != kStateMarkedForUpdate) {
      return std::nullopt;
    }
    // The header checksum leaves out the state and the data checksum, which
    // change after the header is written. A bad one ends the search.
    const std::uint8_t sum =
        static_cast<std::uint8_t>(sum8(header) - header[ffs::kFileStateField] -
                                  header[ffs::kFileDataChecksumField]);
    if (sum != 0) {
      return std::nullopt;
    }
    if (visit(file)) {
      return file;
    }
    at = next;
  }
  return std::nullopt;
}

std::optional<FirmwareFiles::File>
FirmwareFiles::fileAt(GuestAddress handle) const {
  for (const GuestAddress known : volumes_) {
    const std::optional<Volume> volume = volumeAt(known);
    if (!volume || handle.value < volume->base ||
        handle.value - volume->base >= volume->length) {
      continue;
    }
    if (auto file = walkFiles(
            *volume, [&](const File &f) { return f.header == handle.value; })) {
      return file;
    }
  }
  return std::nullopt;
}

// --- searches
// -----------------------------------------------------------------

FirmwareFiles::Found
FirmwareFiles::findNextFile(std::uint8_t type, GuestAddress handle,
                            std::optional<GuestAddress> after) const {
  const std::optional<Volume> volume = volumeAt(handle);
  if (!volume) {
    return {};
  }
  bool passed = !after.has_value();
  const auto file = walkFiles(*volume, [&](const File &f) {
    if (!passed) {
      passed = f.header == after->value;
      return false;
    }
    return matches(type, f.type);
  });
  if (!file) {
    return {};
  }
  return {efi::kSuccess, GuestAddress{file->header}};
}

FirmwareFiles::Found FirmwareFiles::findFileByName(const efi::Guid &name,
                                                   GuestAddress handle) const {
  // A pad file's name is filler, not a name.
  const auto named = [&](const File &f) {
    return f.name == name && f.type != kTypePad;
  };
  for (const GuestAddress known : volumes_) {
    if (handle.value != 0 && handle != known) {
      continue;
    }
    if (const std::optional<Volume> volume = volumeAt(known)) {
      if (const auto file = walkFiles(*volume, named)) {
        return {efi::kSuccess, GuestAddress{file->header}};
      }
    }
  }
  return {};
}

FirmwareFiles::Found FirmwareFiles::findSection(std::uint8_t type,
                                                std::uint32_t instance,
                                                GuestAddress handle) {
  const std::optional<File> file = fileAt(handle);
  // Raw and pad files hold bytes, not sections.
  if (!file || file->type == kFileTypeRaw || file->type == kTypePad) {
    return {};
  }
  const std::uint64_t begin = std::uint64_t{file->header} + file->headerSize;
  const std::uint64_t end = std::uint64_t{file->header} + file->size;
  return searchSections(begin, end, type, instance, {}).value_or(Found{});
}

std::optional<FirmwareFiles::Found>
FirmwareFiles::searchSections(std::uint64_t begin, std::uint64_t end,
                              std::uint8_t type, std::uint32_t &instance,
                              Level level) {
  std::uint64_t at = begin;
  while (at + ffs::kSectionHeaderSize <= end) {
    const std::vector<std::uint8_t> header = read(at, ffs::kSectionHeaderSize);
    const std::uint8_t sectionType = header[ffs::kSectionTypeField];
    std::uint64_t size =
        le::load(header, ffs::kSectionSizeField, ffs::kSizeFieldWidth);
    std::uint32_t headerSize = ffs::kSectionHeaderSize;
    if (size == ffs::kMaxSmallSize) {
      if (at + kSectionHeader2Size > end) {
        break;
      }
      size = le::load32(read(at + 4, 4));
      headerSize = kSectionHeader2Size;
    }
    // A malformed section ends the list: nothing after it can be trusted.
    if (size < headerSize || size > end - at) {
      break;
    }
    if (sectionType == type) {
      if (instance == 0) {
        return Found{efi::kSuccess,
                     GuestAddress{static_cast<std::uint32_t>(at + headerSize)},
                     level.authentication};
      }
      --instance;
    } else if ((sectionType == kSectionCompression ||
                sectionType == ffs::kSectionGuidDefined) &&
               level.depth < kMaxNesting) {
      if (auto found =
              searchInside(at, headerSize, static_cast<std::uint32_t>(size),
                           sectionType, type, instance, level)) {
        return found;
      }
    }
    at = begin + alignUp(at + size - begin, ffs::kSectionAlignment);
  }
  return std::nullopt;
}

std::optional<FirmwareFiles::Found>
FirmwareFiles::searchInside(std::uint64_t section, std::uint32_t headerSize,
                            std::uint32_t size, std::uint8_t sectionType,
                            std::uint8_t type, std::uint32_t &instance,
                            Level level) {
  ++level.depth;
  // The sections inside start right after the encapsulation's own header,
  // and their 4-byte boundaries count from there: that is where a decoder's
  // output buffer would start.
  if (sectionType == kSectionCompression) {
    const std::uint32_t dataStart = headerSize + kCompressionHeaderSize;
    if (size < dataStart || read(section + headerSize + kCompressionTypeField,
                                 1)[0] != kNotCompressed) {
      return std::nullopt; // no decompressor for the standard compression
    }
    return searchSections(section + dataStart, section + size, type, instance,
                          level);
  }
  if (size < headerSize + kGuidedHeaderSize) {
    return std::nullopt;
  }
  const std::vector<std::uint8_t> guided =
      read(section + headerSize, kGuidedHeaderSize);
  const std::uint32_t dataOffset = le::load16(guided, kGuidedDataOffsetField);
  const std::uint16_t attributes = le::load16(guided, kGuidedAttributesField);
  if (dataOffset < headerSize + kGuidedHeaderSize || dataOffset > size) {
    return std::nullopt;
  }
  // The platform's own extraction comes first, whatever the attributes say;
  // its output carries no authentication.
  if (efi::Guid::fromBytes(std::span(guided).first(16)) == kLzmaSection) {
    const auto buffer =
        decoded(section, read(section + dataOffset, size - dataOffset));
    if (!buffer) {
      return std::nullopt;
    }
    return searchSections(buffer->first,
                          std::uint64_t{buffer->first} + buffer->second, type,
                          instance, level);
  }
  if ((attributes & kGuidedProcessingRequired) != 0) {
    return std::nullopt; // no extraction for that GUID here
  }
  // Data used as it lies: when the section says it carries authentication
  // information, its data counts as signed but not tested, since nobody
  // here checks a signature.
  if ((attributes & kGuidedAuthStatusValid) != 0) {
    level.authentication |= kAuthImageSigned | kAuthNotTested;
  }
  return searchSections(section + dataOffset, section + size, type, instance,
                        level);
}

std::optional<std::pair<std::uint32_t, std::uint32_t>>
FirmwareFiles::decoded(std::uint64_t section,
                       std::vector<std::uint8_t> compressed) {
  for (const Decoded &known : decoded_) {
    if (known.section == section && known.compressed == compressed) {
      return std::pair{known.at, known.size};
    }
  }
  if (!allocate_) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes;
  try {
    bytes = volume::lzmaDecode(compressed, kMaxDecoded,
                               "LZMA section at " + hex(section, 8));
  } catch (const volume::FormatError &) {
    return std::nullopt; // data that does not decode holds no sections
  }
  const auto size = static_cast<std::uint32_t>(bytes.size());
  std::uint32_t at = 0;
  if (size != 0) {
    const std::optional<std::uint32_t> given = allocate_(size);
    if (!given || !readable(*given, size)) {
      return std::nullopt;
    }
    at = *given;
    machine_.guestWrite(at, bytes, "the decoded data of an LZMA section");
  }
  decoded_.push_back({section, std::move(compressed), at, size});
  return std::pair{at, size};
}

// --- information
// --------------------------------------------------------------

std::optional<std::vector<std::uint8_t>>
FirmwareFiles::fileInfo(GuestAddress handle, bool withAuthentication) const {
  const std::optional<File> file = fileAt(handle);
  if (!file) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> info(
      withAuthentication ? kFileInfo2Size : kFileInfoSize, 0);
  std::copy(file->name.bytes.begin(), file->name.bytes.end(), info.begin());
  info[kFileInfoTypeField] = file->type;
  const unsigned alignment =
      (file->attributes & ffs::kAttribDataAlignmentMask) >> 3;
  std::uint32_t attributes =
      (file->attributes & ffs::kAttribDataAlignment2) != 0
          ? kAlignments2[alignment]
          : kAlignments[alignment];
  if ((file->attributes & kAttribFixed) != 0) {
    attributes |= kFileAttribFixed;
  }
  if ((file->volumeAttributes & kFvAttribMemoryMapped) != 0) {
    attributes |= kFileAttribMemoryMapped;
  }
  le::store32(info, kFileInfoAttributesField, attributes);
  le::store32(info, kFileInfoBufferField, file->header + file->headerSize);
  le::store32(info, kFileInfoBufferSizeField, file->size - file->headerSize);
  if (withAuthentication) {
    // A volume read in place from flash carries no authentication.
    le::store32(info, kFileInfo2AuthenticationField, 0);
  }
  return info;
}

std::optional<std::vector<std::uint8_t>>
FirmwareFiles::volumeInfo(GuestAddress handle) const {
  const std::optional<Volume> volume = volumeAt(handle);
  if (!volume) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> info(kVolumeInfoSize, 0);
  le::store32(info, 0, volume->attributes);
  std::copy(volume->fileSystem.bytes.begin(), volume->fileSystem.bytes.end(),
            info.begin() + kVolumeInfoFormatField);
  std::copy(volume->name.bytes.begin(), volume->name.bytes.end(),
            info.begin() + kVolumeInfoNameField);
  le::store32(info, kVolumeInfoStartField, volume->base);
  le::store(info, kVolumeInfoSizeField, 8, volume->length);
  return info;
}

// --- the services
// ---------------------------------------------------------------

// FfsFindNextVolume(services, Instance, VolumeHandle *).
Answer FirmwareFiles::findNextVolume(const ServiceCall &call) const {
  if (call.isNull(2)) {
    return {efi::kInvalidParameter};
  }
  const std::uint32_t instance = call.count(1);
  if (instance >= volumes_.size()) {
    return {efi::kNotFound};
  }
  call.machine().guestWrite32(call.pointer(2).value, volumes_[instance].value,
                              "FfsFindNextVolume's VolumeHandle");
  return {efi::kSuccess};
}

// FfsFindNextFile(services, SearchType, FvHandle, FileHandle *): the handle
// in is where to go on from (null: the start), the one out the file found.
// Nothing is written when no file is found.
Answer FirmwareFiles::findNextFile(const ServiceCall &call) const {
  if (call.isNull(3)) {
    return {efi::kInvalidParameter};
  }
  machine::Machine &machine = call.machine();
  const std::uint32_t at = call.pointer(3).value;
  const std::uint32_t last =
      machine.guestRead32(at, "FfsFindNextFile's FileHandle");
  const Found found = findNextFile(
      static_cast<std::uint8_t>(call.count(1)), call.pointer(2),
      last == 0 ? std::nullopt : std::optional{GuestAddress{last}});
  if (found.status == efi::kSuccess) {
    machine.guestWrite32(at, found.address.value,
                         "FfsFindNextFile's FileHandle");
  }
  return {found.status};
}

// FfsFindSectionData(services, SectionType, FileHandle, SectionData **).
Answer FirmwareFiles::findSectionData(const ServiceCall &call) {
  if (call.isNull(3)) {
    return {efi::kInvalidParameter};
  }
  const Found found =
      findSection(static_cast<std::uint8_t>(call.count(1)), 0, call.pointer(2));
  if (found.status == efi::kSuccess) {
    call.machine().guestWrite32(call.pointer(3).value, found.address.value,
                                "FfsFindSectionData's SectionData");
  }
  return {found.status};
}

// FindSectionData3(services, SectionType, SectionInstance, FileHandle,
// SectionData **, AuthenticationStatus *).
Answer FirmwareFiles::findSectionData3(const ServiceCall &call) {
  if (call.isNull(4) || call.isNull(5)) {
    return {efi::kInvalidParameter};
  }
  const Found found = findSection(static_cast<std::uint8_t>(call.count(1)),
                                  call.count(2), call.pointer(3));
  if (found.status == efi::kSuccess) {
    machine::Machine &machine = call.machine();
    machine.guestWrite32(call.pointer(4).value, found.address.value,
                         "FindSectionData3's SectionData");
    machine.guestWrite32(call.pointer(5).value, found.authentication,
                         "FindSectionData3's AuthenticationStatus");
  }
  return {found.status};
}

// FfsFindFileByName(FileName *, VolumeHandle, FileHandle *).
Answer FirmwareFiles::findFileByName(const ServiceCall &call) const {
  if (call.isNull(0) || call.isNull(2)) {
    return {efi::kInvalidParameter};
  }
  const Found found = findFileByName(call.guid(0), call.pointer(1));
  if (found.status == efi::kSuccess) {
    call.machine().guestWrite32(call.pointer(2).value, found.address.value,
                                "FfsFindFileByName's FileHandle");
  }
  return {found.status};
}

// FfsGetFileInfo(FileHandle, FileInfo *), FfsGetFileInfo2 likewise.
Answer FirmwareFiles::getFileInfo(const ServiceCall &call) const {
  const auto info =
      call.isNull(1) ? std::nullopt : fileInfo(call.pointer(0), false);
  if (!info) {
    return {efi::kInvalidParameter};
  }
  call.machine().guestWrite(call.pointer(1).value, *info,
                            "FfsGetFileInfo's FileInfo");
  return {efi::kSuccess};
}

Answer FirmwareFiles::getFileInfo2(const ServiceCall &call) const {
  const auto info =
      call.isNull(1) ? std::nullopt : fileInfo(call.pointer(0), true);
  if (!info) {
    return {efi::kInvalidParameter};
  }
  call.machine().guestWrite(call.pointer(1).value, *info,
                            "FfsGetFileInfo2's FileInfo");
  return {efi::kSuccess};
}

// FfsGetVolumeInfo(VolumeHandle, VolumeInfo *).
Answer FirmwareFiles::getVolumeInfo(const ServiceCall &call) const {
  const auto info = call.isNull(1) ? std::nullopt : volumeInfo(call.pointer(0));
  if (!info) {
    return {efi::kInvalidParameter};
  }
  call.machine().guestWrite(call.pointer(1).value, *info,
                            "FfsGetVolumeInfo's VolumeInfo");
  return {efi::kSuccess};
}

} // namespace pei
