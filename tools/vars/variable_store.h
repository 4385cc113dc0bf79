// An EDK II variable store file: the firmware volume that holds the
// non-volatile UEFI variables (the NV-store file system), the variable store
// header inside it, and the variables one after another, in the
// authenticated layout (60-byte headers) or the normal one (32 bytes).
//
// Flash can only clear bits, so a variable is never changed where it lies:
// a new copy is appended and the old one's state byte is ANDed down to
// "deleted". The state byte of each copy tells what became of it; readers
// take the copy that is ADDED, else a lone one in deleted transition (an
// update cut short between its two halves).
#pragma once

#include "efi.h"

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vars_format {

using Guid = efi::Guid;

// A store that is not one: a bad volume or store header, a variable that
// runs past the store or whose name is not a NUL-terminated UCS-2 string.
// Also a name or attributes that no variable can have. The message says
// what was expected and what was found.
class VarsError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A sound store and a sound request that cannot be carried out: the
// variable is not there, or there is no room left for it.
class StoreRefusal : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The NV-store volume's file system GUID, and the two store signatures.
inline constexpr std::string_view kNvStoreFileSystemGuid =
    "FFF12B8D-7696-4C8B-A985-2747075B4F50";
inline constexpr std::string_view kAuthenticatedStoreGuid =
    "AAF32C78-947B-439A-A180-2E144EC37792";
inline constexpr std::string_view kNormalStoreGuid =
    "DDCF3616-3275-4164-98B6-FE85707FFE7D";
// The vendor GUID of "Setup", which the module reads.
inline constexpr std::string_view kSetupVendorGuid =
    "A04A27F4-DF00-4D42-B552-39511302113D";

enum class StoreFormat { Authenticated, Normal };

// State bytes. Each step clears bits of the one before; a copy's byte is
// the AND of the steps it went through.
inline constexpr std::uint8_t kStateHeaderValidOnly = 0x7F;
inline constexpr std::uint8_t kStateAdded = 0x3F;
inline constexpr std::uint8_t kStateInDeletedTransition = 0xFE;
inline constexpr std::uint8_t kStateDeleted = 0xFD;
// What an added copy reads as once marked in deleted transition.
inline constexpr std::uint8_t kStateAddedInDeletedTransition =
    kStateAdded & kStateInDeletedTransition;

// Attribute bits a variable written by this tool may carry.
inline constexpr std::uint32_t kAttrNonVolatile = 0x1;
inline constexpr std::uint32_t kAttrBootServiceAccess = 0x2;
inline constexpr std::uint32_t kAttrRuntimeAccess = 0x4;
inline constexpr std::uint32_t kAttrHardwareErrorRecord = 0x8;
// Variables that change only through a signed update.
inline constexpr std::uint32_t kAttrAuthenticatedWrite = 0x10;
inline constexpr std::uint32_t kAttrTimeBasedAuthenticatedWrite = 0x20;

// "added", "deleted", ... or the byte in hex for any other value.
std::string stateName(std::uint8_t state);

// One variable header found by walking the store, in store order.
struct Variable {
  std::uint32_t offset = 0; // of the header, from the start of the file
  std::uint8_t state = 0xFF;
  std::uint32_t attributes = 0;
  Guid vendor;
  // Without its NUL. Empty for a copy whose writing stopped before its name
  // was complete (state header-valid-only or never set), whose bytes are
  // not checked.
  std::u16string name;
  std::uint32_t dataOffset = 0; // from the start of the file
  std::uint32_t dataSize = 0;
  std::uint32_t end = 0; // one past its last data byte

  // ADDED, or added and then in deleted transition: a copy readers may take.
  bool live() const {
    return state == kStateAdded || state == kStateAddedInDeletedTransition;
  }
};

// What write() did.
enum class WriteOutcome { Added, Replaced, Unchanged };

class VariableStore {
public:
  // Checks the volume header (signature, NV-store file system, length within
  // the file, header length and checksum, block map, erase polarity 1), the
  // store header (signature, size within the volume, formatted and healthy)
  // and walks the variables. Throws VarsError on anything else.
  static VariableStore parse(std::vector<std::uint8_t> file);

  // An erased store of the given format in a volume of `volumeLength` bytes
  // (a multiple of 4 KiB, blocks of 4 KiB), the store taking `storeSize`
  // bytes after the volume header and the rest erased.
  static std::vector<std::uint8_t> makeEmpty(StoreFormat format,
                                             std::uint32_t volumeLength,
                                             std::uint32_t storeSize);

  StoreFormat format() const { return format_; }
  std::uint32_t headerSize() const; // of one variable header
  std::uint32_t storeOffset() const { return storeOffset_; }
  std::uint32_t storeEnd() const { return storeEnd_; }
  // Where the next variable goes: after the last one, 4-byte aligned.
  std::uint32_t freeOffset() const { return freeOffset_; }
  // Bytes held by copies readers no longer take (deleted, interrupted).
  std::uint32_t reclaimableBytes() const;
  const std::vector<Variable> &variables() const { return variables_; }
  const std::vector<std::uint8_t> &bytes() const { return bytes_; }

  // The copy a reader takes: the first ADDED one, else the last one in
  // deleted transition; none when the variable is absent.
  const Variable *find(std::u16string_view name, const Guid &vendor) const;
  std::span<const std::uint8_t> data(const Variable &variable) const;

  // Writes the variable as the variable driver updates flash: any live copy
  // is marked in deleted transition, the new copy appended header-valid-only
  // then added, and the old copies then deleted. Data and attributes equal
  // to the live copy's change nothing. Throws VarsError for an empty name or
  // data, or attributes the tool does not write (see kAttr...), and
  // StoreRefusal when the free space cannot hold the new copy.
  WriteOutcome write(std::u16string_view name, const Guid &vendor,
                     std::uint32_t attributes,
                     std::span<const std::uint8_t> data);
  // Marks every live copy deleted; throws StoreRefusal when there is none.
  void remove(std::u16string_view name, const Guid &vendor);

private:
  void walk();

  std::vector<std::uint8_t> bytes_;
  StoreFormat format_ = StoreFormat::Authenticated;
  std::uint32_t storeOffset_ = 0;
  std::uint32_t storeEnd_ = 0;
  std::uint32_t freeOffset_ = 0;
  std::vector<Variable> variables_;
};

// Refuses (VarsError "expected ..., found ...") attributes this tool does
// not write: non-volatile and boot-service access are required, runtime
// access optional, a hardware error record needs runtime access, and the
// authenticated-write bits (whose data must come with a signed update) and
// any other bit are refused.
void checkWritableAttributes(std::uint32_t attributes);

// A variable name as given on a command line: UTF-8 of characters of the
// Basic Multilingual Plane (UCS-2 has no surrogate pairs), no control
// characters, not empty. Throws VarsError "expected ..., found ..." else.
std::u16string nameFromUtf8(std::string_view text);
// A name for messages and listings: UTF-8, control characters as \uXXXX.
std::string nameToUtf8(std::u16string_view name);

} // namespace vars_format
