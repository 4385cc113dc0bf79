// Reading and validating the PE32 and TE images the platform runs. The module
// executes in place, so the file is used exactly as it lies: its file layout
// must equal its memory layout. A TE image is a PE32 with its headers
// replaced by a 40-byte TE header; it keeps the PE32's addresses, and its
// file begins at RVA StrippedSize - 40.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace pei {

// A malformed image. The message says what was expected and what was found,
// on one line.
class PeError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct PeSection {
  std::string name;
  std::uint32_t virtualAddress = 0;
  std::uint32_t virtualSize = 0;
  std::uint32_t rawOffset = 0;
  std::uint32_t rawSize = 0;
  std::uint32_t characteristics = 0;

  static constexpr std::uint32_t kExecute = 0x20000000;
  static constexpr std::uint32_t kRead = 0x40000000;
  static constexpr std::uint32_t kWrite = 0x80000000;
  bool writable() const { return (characteristics & kWrite) != 0; }
  bool executable() const { return (characteristics & kExecute) != 0; }
};

// One base-relocation entry: the type (top four bits) and the RVA it patches.
struct PeRelocation {
  std::uint16_t type = 0;
  std::uint32_t rva = 0;

  static constexpr std::uint16_t kAbsolute = 0; // padding, no patch
  static constexpr std::uint16_t kHighLow = 3;  // add the delta to a UINT32
};

class PeImage {
public:
  static constexpr std::uint16_t kMachineI386 = 0x14C;
  static constexpr std::uint16_t kMagicPe32 = 0x10B;
  static constexpr std::uint16_t kSubsystemEfiBootServiceDriver = 11;
  // Largest image file accepted: a boot flash part is at most this large.
  static constexpr std::size_t kMaxFileSize = 16 * 1024 * 1024;
  // Largest image in memory accepted: the loaders lay the whole image out
  // in host memory before placing it, so a header that claims gigabytes
  // must be refused, not allocated.
  static constexpr std::uint32_t kMaxImageSize = kMaxFileSize;

  // Validates the file size, signature, machine, magic, subsystem, the
  // alignments (a power of two up to 64 KiB, file and section alike),
  // section and relocation bounds and the entry point; throws PeError
  // naming the first fault. Every program that takes an image (boot, serve,
  // pei-ffs) takes what this accepts. A file that starts with "VZ" is read
  // as a TE image, which records no alignments.
  static PeImage parse(std::vector<std::uint8_t> bytes);
  // Reads at most kMaxFileSize + 1 bytes, so that an endless or huge file
  // is refused without being read whole; a directory or a missing file is
  // refused naming the path. An FFS file holding a PE32 or TE section
  // stands for that image.
  static PeImage load(const std::filesystem::path &path);

  const std::vector<std::uint8_t> &bytes() const { return bytes_; }
  std::uint16_t machine() const { return machine_; }
  std::uint16_t magic() const { return magic_; } // 0 for a TE image
  std::uint16_t subsystem() const { return subsystem_; }
  std::uint32_t imageBase() const { return imageBase_; }
  std::uint32_t entryRva() const { return entryRva_; }
  std::uint32_t entryAddress() const { return imageBase_ + entryRva_; }
  std::uint32_t sizeOfImage() const { return sizeOfImage_; }
  // Not recorded in a TE image: 0 there.
  std::uint32_t sectionAlignment() const { return sectionAlignment_; }
  std::uint32_t fileAlignment() const { return fileAlignment_; }
  bool isTe() const { return te_; }
  // The RVA of the file's first byte: 0 for a PE32, StrippedSize - 40 for a
  // TE image, whose file therefore lies at imageBase() + fileRva() when it
  // executes in place.
  std::uint32_t fileRva() const { return fileRva_; }
  const std::vector<PeSection> &sections() const { return sections_; }
  // Every entry of the base-relocation directory, ABSOLUTE padding included.
  const std::vector<PeRelocation> &relocations() const { return relocations_; }
  // Size of the import directory: non-zero when the image needs functions
  // from elsewhere, which nothing in PEI provides.
  std::uint32_t importDirectorySize() const { return importDirSize_; }

  // The image as it lies in memory (SizeOfImage bytes, file layout), with its
  // relocations applied for a load at newBase. Returns the number of HIGHLOW
  // entries patched through `applied` when given.
  std::vector<std::uint8_t> relocatedTo(std::uint32_t newBase,
                                        std::size_t *applied = nullptr) const;
  // The image as it lies in memory at its link base.
  std::vector<std::uint8_t> memoryImage() const {
    return relocatedTo(imageBase_);
  }

private:
  void parsePe32();
  void parseTe();
  void checkExtent() const;
  void checkEntry(std::uint32_t bodyStart) const;
  void parseSections(std::uint32_t table, std::uint32_t count);
  void parseRelocations(std::uint32_t directory);

  std::vector<std::uint8_t> bytes_;
  bool te_ = false;
  std::uint32_t fileRva_ = 0;
  std::uint16_t machine_ = 0, magic_ = 0, subsystem_ = 0;
  std::uint32_t imageBase_ = 0, entryRva_ = 0, sizeOfImage_ = 0;
  std::uint32_t sectionAlignment_ = 0, fileAlignment_ = 0, importDirSize_ = 0;
  std::vector<PeSection> sections_;
  std::vector<PeRelocation> relocations_;
};

// The whole of a regular file of at most `limit` bytes; throws PeError
// naming the path and what was `expected` (e.g. "a PE32 file") when it is
// not a regular file (a FIFO is refused, not waited on), cannot be read or
// is larger.
std::vector<std::uint8_t> readBounded(const std::filesystem::path &path,
                                      std::size_t limit,
                                      const std::string &expected);

// The public symbols of an lld-link /map file, by undecorated name (the
// leading underscore of cdecl names removed) and absolute address.
class LinkerMap {
public:
  static LinkerMap load(const std::filesystem::path &path);
  static LinkerMap parse(const std::string &text);
  // Throws std::runtime_error when the symbol is not in the map.
  std::uint32_t address(const std::string &symbol) const;
  bool contains(const std::string &symbol) const;
  const std::vector<std::pair<std::string, std::uint32_t>> &symbols() const {
    return symbols_;
  }

private:
  std::vector<std::pair<std::string, std::uint32_t>> symbols_;
};

} // namespace pei
