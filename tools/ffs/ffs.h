// Firmware file system (FFS) packaging of PEI modules, and the small part of
// the firmware volume (FV) format needed to place files in a volume.
//
// Layouts follow the UEFI Platform Initialization firmware file system:
// little-endian, a 24-byte file header, 4-byte section headers, files 8-byte
// aligned inside their volume.
#pragma once

#include "pe_image.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ffs_format {

// Bad input or an impossible layout. The message says what was expected and
// what was found.
class FfsError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// An EFI_GUID in its 16-byte storage order: a little-endian UINT32, two
// little-endian UINT16s, then eight bytes in order.
struct Guid {
  std::array<std::uint8_t, 16> bytes{};

  // Registry format, "6B102C40-43C0-4B44-B347-CB97B70880ED" (either case).
  static Guid parse(std::string_view text);
  static Guid fromBytes(std::span<const std::uint8_t> storage);
  std::string str() const; // upper-case registry format
  bool operator==(const Guid &) const = default;
};

// The packaged module's file name in every volume it is placed in.
inline constexpr std::string_view kModuleFileGuid =
    "6B102C40-43C0-4B44-B347-CB97B70880ED";
inline constexpr std::string_view kModuleUiName = "TpmTransportPei";

// File types.
inline constexpr std::uint8_t kFileTypeFreeform = 0x02;
inline constexpr std::uint8_t kFileTypePeim = 0x06;
inline constexpr std::uint8_t kFileTypeVolumeImage = 0x0B;
inline constexpr std::uint8_t kFileTypePad = 0xF0;

// Section types.
inline constexpr std::uint8_t kSectionGuidDefined = 0x02;
inline constexpr std::uint8_t kSectionPe32 = 0x10;
inline constexpr std::uint8_t kSectionTe = 0x12;
inline constexpr std::uint8_t kSectionUserInterface = 0x15;
inline constexpr std::uint8_t kSectionVolumeImage = 0x17;
inline constexpr std::uint8_t kSectionRaw = 0x19;
inline constexpr std::uint8_t kSectionPeiDepex = 0x1B;

// File header fields.
inline constexpr std::size_t kFileHeaderSize = 24;
inline constexpr std::size_t kSectionHeaderSize = 4;
inline constexpr std::uint32_t kMaxSmallSize = 0xFFFFFF; // 24-bit Size fields
inline constexpr std::uint8_t kAttribDataAlignment2 = 0x02;
inline constexpr std::uint8_t kAttribDataAlignmentMask = 0x38;
inline constexpr std::uint8_t kAttribChecksum = 0x40;
inline constexpr std::uint8_t kFixedFileChecksum = 0xAA;
// State bits in positive logic; with erase polarity 1 they are stored
// inverted, because programming a flash bit clears it.
inline constexpr std::uint8_t kStateHeaderConstruction = 0x01;
inline constexpr std::uint8_t kStateHeaderValid = 0x02;
inline constexpr std::uint8_t kStateDataValid = 0x04;

// Dependency expression opcodes.
inline constexpr std::uint8_t kDepexPush = 0x02;
inline constexpr std::uint8_t kDepexAnd = 0x03;
inline constexpr std::uint8_t kDepexTrue = 0x06;
inline constexpr std::uint8_t kDepexEnd = 0x08;

// 8-bit sum that makes `bytes` plus the result add up to zero.
std::uint8_t checksum8(std::span<const std::uint8_t> bytes);

// A section: 4-byte header (24-bit size including the header, type) + body.
std::vector<std::uint8_t> makeSection(std::uint8_t type,
                                      std::span<const std::uint8_t> body);
// A PEI dependency expression: TRUE when `ppis` is empty, otherwise every
// listed PPI must be installed (PUSH g1 [PUSH g2 AND ...] END).
std::vector<std::uint8_t> makeDepex(std::span<const Guid> ppis);
// A user-interface section body: the name as NUL-terminated UTF-16LE. Only
// printable ASCII is accepted, so that the name reads the same everywhere.
std::vector<std::uint8_t> makeUiName(std::string_view name);

// FFS data alignment encodable in the Attributes byte that is at least
// `required` bytes (1, 16, 128, 512, 1K, 4K, 32K, 64K, then 128K..16M with
// the second alignment bit).
std::uint32_t encodableAlignment(std::uint32_t required);
std::uint8_t alignmentAttributes(std::uint32_t alignment);
std::uint32_t alignmentFromAttributes(std::uint8_t attributes);

std::uint8_t storedState(std::uint8_t positiveState, bool erasePolarity);

// A complete file: header with both checksums and the state "data valid".
// `data` is everything after the header. The file data checksum is computed
// when `dataChecksum` is set; otherwise the fixed value 0xAA is stored.
std::vector<std::uint8_t> makeFile(const Guid &name, std::uint8_t type,
                                   std::uint32_t dataAlignment,
                                   std::span<const std::uint8_t> data,
                                   bool erasePolarity, bool dataChecksum);
// A pad file of exactly `size` bytes (at least a header), data erased.
std::vector<std::uint8_t> makePadFile(std::uint32_t size, bool erasePolarity);

struct PeimOptions {
  Guid name = Guid::parse(kModuleFileGuid);
  std::string uiName{kModuleUiName};
  std::vector<Guid> depex; // empty: TRUE
  // Rebase the image to this ImageBase.
  std::optional<std::uint32_t> imageBase;
  // Rebase so the image executes in place when the file header lies at this
  // address (the image body's address is derived from the layout).
  std::optional<std::uint32_t> fileAddress;
  bool erasePolarity = true;
  // Package the image as a TE image (EFI_SECTION_TE) instead of a PE32.
  bool te = false;
};

struct PeimFile {
  std::vector<std::uint8_t> bytes; // the FFS file, unpadded
  std::uint32_t dataAlignment = 0; // alignment the volume must give the data
  std::uint32_t imageOffset = 0;   // the PE32 or TE image, from the file header
  std::uint32_t imageBase = 0;     // ImageBase in the packaged header
  std::size_t relocationsApplied = 0;
};

// Packages a PE32 PEI module: PEI dependency section, PE32 (or TE) section
// placed so that the image base lies on the image's section alignment (a raw
// section pads in front of it when needed), user-interface section. Rebases
// when asked.
PeimFile buildPeim(const pei::PeImage &image, const PeimOptions &options);

// A PE32 file as a TE image: the headers before the section table
// (StrippedSize bytes) replaced by the 40-byte TE header, which keeps the
// machine, section count, subsystem, entry point, BaseOfCode, ImageBase and
// the base-relocation and debug directories. Every RVA stays as it was.
std::vector<std::uint8_t> teImage(std::span<const std::uint8_t> pe32);

// The image bytes rebased to `newBase`: relocations applied, ImageBase
// patched, and laid out as in memory (SizeOfImage bytes at least).
std::vector<std::uint8_t> rebasedImage(const pei::PeImage &image,
                                       std::uint32_t newBase,
                                       std::size_t *applied = nullptr);

// One file of a volume, as found by walking it.
struct VolumeFile {
  std::uint32_t offset = 0; // of the header, from the volume start
  std::uint32_t size = 0;   // header included, before 8-byte padding
  Guid name;
  std::uint8_t type = 0;
  std::uint8_t attributes = 0;
  std::uint32_t end() const { return offset + size; }
};

// A firmware volume in a byte buffer: header checks and the file list.
class Volume {
public:
  static constexpr std::uint32_t kSignature = 0x4856465F; // "_FVH"
  static constexpr std::uint32_t kAttribErasePolarity = 0x800;

  // Parses the volume starting at `bytes[0]`; the span must cover FvLength.
  static Volume parse(std::span<const std::uint8_t> bytes);

  std::uint32_t length() const { return length_; }
  // The name in the extended header; a volume without one has none.
  const std::optional<Guid> &name() const { return name_; }
  bool erasePolarity() const { return erasePolarity_; }
  std::uint32_t firstFileOffset() const { return firstFile_; }
  const std::vector<VolumeFile> &files() const { return files_; }
  // First 8-byte aligned offset after the last file: the free space.
  std::uint32_t freeSpaceOffset() const { return freeSpace_; }
  // The file of this name; pad files have none.
  const VolumeFile *find(const Guid &name) const;

private:
  std::uint32_t length_ = 0;
  std::optional<Guid> name_;
  bool erasePolarity_ = false;
  std::uint32_t firstFile_ = 0;
  std::uint32_t freeSpace_ = 0;
  std::vector<VolumeFile> files_;
};

// Where appendFile puts a file of `fileSize` bytes: the first offset in the
// free space with its data on `dataAlignment` relative to the volume start
// and room for a pad file in any gap before it. Throws when it does not fit.
std::uint32_t placementFor(const Volume &volume, std::uint32_t fileSize,
                           std::uint32_t dataAlignment);
// Writes `file` there, with a pad file in front where the gap needs one.
// Returns the offset of the file header. The volume is given as a mutable
// buffer covering exactly FvLength bytes.
std::uint32_t appendFile(std::span<std::uint8_t> volumeBytes,
                         std::span<const std::uint8_t> file,
                         std::uint32_t dataAlignment);

// A minimal FFS2 volume holding `files` one after another (each aligned as
// its attributes ask), the rest erased. Used to inspect packaged files with
// volume-based tools.
std::vector<std::uint8_t>
makeVolume(std::span<const std::vector<std::uint8_t>> files,
           std::uint32_t length, bool erasePolarity);

} // namespace ffs_format
