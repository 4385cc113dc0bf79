// Firmware volumes as the PEI Foundation finds them in a flash image, read
// on the host with no emulator behind it.
//
// A flash image holds firmware volumes (FV) at 16-byte aligned offsets; each
// volume is a header, then FFS files on 8-byte boundaries, each file a list
// of sections on 4-byte boundaries. Sections nest: a GUID-defined LZMA
// section or an uncompressed compression section holds further sections,
// and an FV-image section holds a whole volume again. walk() finds every
// volume, nested ones included, and returns them flat in the order found,
// each with a human-readable origin saying where it came from.
//
// Bytes are shared: a Volume keeps the buffers its spans point into (the
// caller's image, or the output of a decompression) alive, so a Volume, its
// files and sections may outlive the walk and be copied freely.
//
// Errors: a volume given directly whose header is malformed, an LZMA bomb or
// nesting too deep throw FormatError. A malformed file or section inside a
// volume only makes that part unusable: it is recorded in the volume's
// problems and the walk goes on, as the flash scan meets false hits anyway.
#pragma once

#include "efi.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace volume {

using Guid = efi::Guid;
using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

// Bad input: the message names the offset, the container, what was expected
// and what was found.
class FormatError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Bounds of a walk, against hostile or broken images.
struct Limits {
  unsigned maxNesting = 8;                     // encapsulation levels
  std::uint64_t maxDecompressed = 64ull << 20; // bytes, all sections
};

struct Section {
  std::uint8_t type = 0;
  std::uint32_t offset = 0; // of the header, in its container (see inVolume)
  std::uint32_t size = 0;   // header included
  std::uint32_t headerSize = 0;
  // True when offset counts from the start of the volume's own bytes; false
  // inside a decompressed buffer, where the bytes cannot execute in place.
  bool inVolume = true;
  std::optional<Guid> guid; // of a GUID-defined section
  ByteSpan body;            // after the header (and the GUID-defined header)
  std::string problem;      // why an encapsulation could not be opened
  std::vector<Section> children;
};

struct File {
  Guid name;
  std::uint8_t type = 0;
  std::uint8_t attributes = 0;
  std::uint8_t state = 0; // in positive logic, erase polarity undone
  std::uint32_t offset = 0;
  std::uint32_t size = 0; // header included
  std::uint32_t headerSize = 0;
  bool headerChecksumValid = true;
  std::vector<Section> sections;
};

struct Volume {
  std::string origin;       // "flash +0x00084000", "volume X file Y ..."
  std::uint64_t offset = 0; // in its container
  std::uint32_t length = 0;
  std::optional<Guid> name; // from the extended header
  Guid fileSystem;
  std::uint32_t attributes = 0;
  ByteSpan bytes; // the whole volume, kept alive by `buffers`
  std::vector<File> files;
  std::vector<std::string> problems;
  std::vector<std::shared_ptr<const Bytes>> buffers;

  bool erasePolarity() const { return (attributes & 0x800) != 0; }
  const File *find(const Guid &fileName) const;
};

// Every volume in `image`: a flash image, one volume or one FFS file.
std::vector<Volume> walk(std::shared_ptr<const Bytes> image,
                         const Limits &limits = {});

// The modules the PEI Foundation dispatches from a volume.
struct Peim {
  Guid name;
  std::uint8_t fileType = 0;
  bool core = false; // the PEI core: listed, not dispatched
  std::string uiName;
  std::optional<ByteSpan> depex;
  std::uint8_t imageType = 0; // PE32 0x10 or TE 0x12; 0 when none
  ByteSpan image;
  // Of the image bytes from the volume start: none inside compression.
  std::optional<std::uint32_t> imageOffset;
};
std::vector<Peim> peims(const Volume &volume);

// The apriori file's ordered list of file names; empty when there is none.
std::vector<Guid> apriori(const Volume &volume);

// PEI dependency expressions.
enum class DepexOp : std::uint8_t {
  Push = 0x02,
  And = 0x03,
  Or = 0x04,
  Not = 0x05,
  True = 0x06,
  False = 0x07,
  End = 0x08,
};
struct DepexInstruction {
  DepexOp op = DepexOp::End;
  std::uint32_t offset = 0;
  Guid guid; // of a Push
};
struct Depex {
  std::vector<DepexInstruction> code;
};
Depex parseDepex(ByteSpan bytes);
bool evaluate(const Depex &depex,
              const std::function<bool(const Guid &)> &installed);
// Infix, "(gEfiPeiMemoryDiscoveredPpiGuid AND NOT <guid>)".
std::string describe(const Depex &depex);
// The well-known name of a PPI GUID, else its text.
std::string ppiName(const Guid &guid);

} // namespace volume
