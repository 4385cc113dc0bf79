// The firmware volumes the PEI Foundation knows, and the services that find
// files and sections in them: FfsFindNextVolume, FfsFindNextFile,
// FfsFindSectionData, FindSectionData3, FfsFindFileByName, FfsGetFileInfo,
// FfsGetFileInfo2 and FfsGetVolumeInfo.
//
// A volume handle is the guest address of a volume header, a file handle the
// guest address of an FFS file header. Everything is read from guest memory
// at each call, never from a copy taken earlier: a volume in RAM may change
// under the Foundation. What the guest's volumes hold is untrusted: a
// malformed header, a size past its container or an address nobody can read
// answers a PI status (not found, invalid parameter), never a host fault, and
// every walk moves forward, so none can loop.
#pragma once

#include "efi.h"
#include "machine.h"
#include "service_table.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pei {

class FirmwareFiles {
public:
  // Guest memory for the data of an LZMA-compressed section: size bytes the
  // guest may read and write, or none when there is no room.
  using Allocator =
      std::function<std::optional<std::uint32_t>(std::uint32_t size)>;

  // File types and states the search rules name.
  static constexpr std::uint8_t kTypeAll = 0x00;
  static constexpr std::uint8_t kTypePad = 0xF0;
  // Most sections inside one another that a search opens.
  static constexpr unsigned kMaxNesting = 8;
  // The largest decoded size of one compressed section.
  static constexpr std::uint32_t kMaxDecoded = 64u << 20;

  explicit FirmwareFiles(machine::Machine &machine) : machine_(machine) {}
  FirmwareFiles(const FirmwareFiles &) = delete;
  FirmwareFiles &operator=(const FirmwareFiles &) = delete;

  // --- the volumes ---------------------------------------------------------
  // A volume already in guest memory at `header`; the first one added is the
  // boot volume (instance 0). Adding one again changes nothing. Its header is
  // checked when a service uses it, not here: guest memory may change.
  void addVolume(GuestAddress header);
  const std::vector<GuestAddress> &volumes() const { return volumes_; }
  // Without one, data inside LZMA sections is not found.
  void setAllocator(Allocator allocate) { allocate_ = std::move(allocate); }

  // --- the searches, as the services answer them -------------------------
  struct Found {
    std::uint32_t status = efi::kNotFound;
    GuestAddress address; // when status is EFI_SUCCESS
    // Of a section's data: EFI_AUTH_STATUS_* bits, 0 for plain data.
    std::uint32_t authentication = 0;
  };
  // The next file after `after` (none: the first) of the type in a known
  // volume: ALL matches every type but pad files.
  Found findNextFile(std::uint8_t type, GuestAddress volume,
                     std::optional<GuestAddress> after) const;
  // The named file in one known volume, or in each in turn when `volume` is
  // null.
  Found findFileByName(const efi::Guid &name, GuestAddress volume) const;
  // The data (past the section header) of the instance-th section of the
  // type in the file, encapsulated ones included, depth first in file order;
  // an encapsulation of the type itself is counted, not opened.
  Found findSection(std::uint8_t type, std::uint32_t instance,
                    GuestAddress file);

  // EFI_FV_FILE_INFO(2) and EFI_FV_INFO as the guest receives them.
  std::optional<std::vector<std::uint8_t>>
  fileInfo(GuestAddress file, bool withAuthentication) const;
  std::optional<std::vector<std::uint8_t>>
  volumeInfo(GuestAddress volume) const;

  // --- the services --------------------------------------------------------
  Answer findNextVolume(const ServiceCall &call) const;
  Answer findNextFile(const ServiceCall &call) const;
  Answer findSectionData(const ServiceCall &call);
  Answer findSectionData3(const ServiceCall &call);
  Answer findFileByName(const ServiceCall &call) const;
  Answer getFileInfo(const ServiceCall &call) const;
  Answer getFileInfo2(const ServiceCall &call) const;
  Answer getVolumeInfo(const ServiceCall &call) const;

private:
  struct Volume;
  struct File;

  // The volume at a known handle when its header is sound.
  std::optional<Volume> volumeAt(GuestAddress header) const;
  // Calls visit for each valid file of the volume in order until it returns
  // true; returns that file, or none when the files ran out first.
  std::optional<File>
  walkFiles(const Volume &volume,
            const std::function<bool(const File &)> &visit) const;
  // The file whose header lies at `handle` in a known volume.
  std::optional<File> fileAt(GuestAddress handle) const;
  // Where a search is: how deep in encapsulations, and the authentication
  // status of what holds the sections.
  struct Level {
    unsigned depth = 0;
    std::uint32_t authentication = 0;
  };
  // Searches the sections in [begin, end), on 4-byte boundaries counted from
  // begin, counting `instance` down past each match.
  std::optional<Found> searchSections(std::uint64_t begin, std::uint64_t end,
                                      std::uint8_t type,
                                      std::uint32_t &instance, Level level);
  // The children of an encapsulation section, searched in turn.
  std::optional<Found> searchInside(std::uint64_t section,
                                    std::uint32_t headerSize,
                                    std::uint32_t size,
                                    std::uint8_t sectionType, std::uint8_t type,
                                    std::uint32_t &instance, Level level);
  // Where the decoded bytes of the LZMA section at `section` lie in guest
  // memory, decoding them once (again when the compressed bytes changed).
  std::optional<std::pair<std::uint32_t, std::uint32_t>>
  decoded(std::uint64_t section, std::vector<std::uint8_t> compressed);

  // Whether the guest could read [address, address + size) itself: RAM or
  // ROM it may read, no device registers.
  bool readable(std::uint64_t address, std::uint64_t size) const;
  std::vector<std::uint8_t> read(std::uint64_t address,
                                 std::uint32_t size) const;

  machine::Machine &machine_;
  std::vector<GuestAddress> volumes_;
  Allocator allocate_;
  struct Decoded {
    std::uint64_t section = 0;
    std::vector<std::uint8_t> compressed;
    std::uint32_t at = 0;
    std::uint32_t size = 0;
  };
  std::vector<Decoded> decoded_;
};

} // namespace pei
