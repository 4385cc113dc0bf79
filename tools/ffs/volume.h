// The small part of the firmware volume (FV) format needed to place files
// in a volume: the header checks, walking its files (8-byte aligned), and
// appending a file with a pad file in front where its alignment needs one.
#pragma once

#include "ffs_file.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ffs_format {

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
// its attributes ask), the rest erased; with `name`, an extended header
// carries it. Used to inspect packaged files with volume-based tools.
std::vector<std::uint8_t>
makeVolume(std::span<const std::vector<std::uint8_t>> files,
           std::uint32_t length, bool erasePolarity,
           const std::optional<Guid> &name = std::nullopt);

} // namespace ffs_format
