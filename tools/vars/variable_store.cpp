#include "variable_store.h"

#include "hex.h"
#include "little_endian.h"

#include <algorithm>

namespace vars_format {
namespace {

using common::hex;
namespace le = common::le;

// The firmware volume header, as far as the variable store needs it.
constexpr std::size_t kFvFileSystemField = 16;
constexpr std::size_t kFvLengthField = 32;
constexpr std::size_t kFvSignatureField = 40;
constexpr std::size_t kFvAttributesField = 44;
constexpr std::size_t kFvHeaderLengthField = 48;
constexpr std::size_t kFvChecksumField = 50;
constexpr std::size_t kFvRevisionField = 55;
constexpr std::size_t kFvBlockMapField = 56;
constexpr std::uint32_t kFvMinimumHeader = kFvBlockMapField + 16;
constexpr std::uint32_t kFvSignature = 0x4856465F; // "_FVH"
constexpr std::uint8_t kFvRevision = 2;
constexpr std::uint32_t kFvErasePolarity = 0x800;
// What OVMF's variable volume declares: readable, writable, erase polarity
// 1, its lock and alignment capabilities.
constexpr std::uint32_t kFvDefaultAttributes = 0x4FEFF;
constexpr std::uint32_t kBlockSize = 0x1000;

// The store header, right after the volume header.
constexpr std::uint32_t kStoreHeaderSize = 28;
constexpr std::size_t kStoreSizeField = 16;
constexpr std::size_t kStoreFormatField = 20;
constexpr std::size_t kStoreStateField = 21;
constexpr std::uint8_t kStoreFormatted = 0x5A;
constexpr std::uint8_t kStoreHealthy = 0xFE;

// Every variable header starts with these; the rest differs by format.
constexpr std::uint16_t kStartId = 0x55AA;
constexpr std::size_t kStateField = 2;
constexpr std::size_t kAttributesField = 4;
constexpr std::uint32_t kAuthenticatedHeaderSize = 60;
constexpr std::uint32_t kNormalHeaderSize = 32;
constexpr std::uint32_t kHeaderAlignment = 4;
// The bit a copy's state loses when it becomes ADDED: from then on its name
// and data are complete.
constexpr std::uint8_t kAddedBit = 0x40;

struct HeaderFields {
  std::size_t nameSize, dataSize, vendor;
};
HeaderFields fieldsOf(StoreFormat format) {
  return format == StoreFormat::Authenticated ? HeaderFields{36, 40, 44}
                                              : HeaderFields{8, 12, 16};
}

std::uint32_t alignUp(std::uint64_t value, std::uint32_t alignment) {
  return static_cast<std::uint32_t>((value + alignment - 1) &
                                    ~std::uint64_t{alignment - 1});
}

std::uint16_t sum16(std::span<const std::uint8_t> bytes) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    sum = static_cast<std::uint16_t>(sum + le::load16(bytes, i));
  }
  return sum;
}

bool erased(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(),
                     [](std::uint8_t b) { return b == 0xFF; });
}

// The name of the variable whose header lies at `at`, checked: NameSize
// bytes of UCS-2 (no surrogate halves) holding exactly one NUL, the last.
std::u16string readName(std::span<const std::uint8_t> bytes, std::uint32_t at,
                        std::uint32_t nameOffset, std::uint32_t nameSize) {
  const auto corrupt = [&](const std::string &found) {
    return VarsError("variable at " + hex(at) +
                     ": expected a NUL-terminated UCS-2 name of NameSize " +
                     std::to_string(nameSize) + " bytes, found " + found);
  };
  if (nameSize < 2 || nameSize % 2 != 0) {
    throw corrupt(nameSize < 2 ? "no room for the NUL" : "an odd size");
  }
  std::u16string name;
  for (std::uint32_t i = 0; i < nameSize; i += 2) {
    const char16_t unit = le::load16(bytes, nameOffset + i);
    if (unit == 0 && i + 2 != nameSize) {
      throw corrupt("a NUL at byte " + std::to_string(i));
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      throw corrupt("the surrogate " + hex(unit, 4) + " at byte " +
                    std::to_string(i));
    }
    if (unit != 0) {
      name.push_back(unit);
    } else {
      return name;
    }
  }
  throw corrupt("no NUL at its end");
}

std::string describe(std::u16string_view name, const Guid &vendor) {
  return "\"" + nameToUtf8(name) + "\" (vendor GUID " + vendor.text() + ")";
}

} // namespace

std::string stateName(std::uint8_t state) {
  switch (state) {
  case kStateAdded:
    return "added";
  case kStateAddedInDeletedTransition:
    return "in-deleted-transition";
  case kStateAdded &kStateDeleted:
  case kStateAddedInDeletedTransition &kStateDeleted:
    return "deleted";
  case kStateHeaderValidOnly:
    return "header-valid-only";
  case 0xFF:
    return "header-only";
  default:
    return hex(state, 2);
  }
}

VariableStore VariableStore::parse(std::vector<std::uint8_t> file) {
  VariableStore store;
  store.bytes_ = std::move(file);
  const std::span<const std::uint8_t> bytes(store.bytes_);
  if (bytes.size() < kFvMinimumHeader) {
    throw VarsError("volume header: expected at least " +
                    std::to_string(kFvMinimumHeader) + " bytes, found " +
                    std::to_string(bytes.size()));
  }
  if (const std::uint32_t signature = le::load32(bytes, kFvSignatureField);
      signature != kFvSignature) {
    throw VarsError("volume signature: expected \"_FVH\", found " +
                    hex(signature));
  }
  const Guid fileSystem =
      Guid::fromBytes(bytes.subspan(kFvFileSystemField, 16));
  if (fileSystem.text() != kNvStoreFileSystemGuid) {
    throw VarsError("volume file system: expected the NV store " +
                    std::string(kNvStoreFileSystemGuid) + ", found " +
                    fileSystem.text());
  }
  const std::uint64_t length = le::load64(bytes, kFvLengthField);
  if (length < kFvMinimumHeader || length > bytes.size()) {
    throw VarsError("volume length: expected at most the " +
                    std::to_string(bytes.size()) +
                    " bytes of the file, found " + hex(length));
  }
  const std::uint32_t headerLength = le::load16(bytes, kFvHeaderLengthField);
  if (headerLength < kFvMinimumHeader || headerLength % 2 != 0 ||
      headerLength + std::uint64_t{kStoreHeaderSize} > length) {
    throw VarsError("volume header length: expected an even size of at least "
                    "72 bytes with the store header after it in the volume, "
                    "found " +
                    hex(headerLength));
  }
  if (const std::uint16_t sum = sum16(bytes.first(headerLength)); sum != 0) {
    throw VarsError("volume header checksum: expected the 16-bit words to "
                    "sum to 0, found " +
                    hex(sum) + " (checksum field " +
                    hex(le::load16(bytes, kFvChecksumField)) + ")");
  }
  if (bytes[kFvRevisionField] != kFvRevision) {
    throw VarsError("volume revision: expected 2, found " +
                    std::to_string(bytes[kFvRevisionField]));
  }
  // Variable states are written by clearing bits of erased (all-ones)
  // flash; a part that erases to zeros cannot hold them.
  if (const std::uint32_t attributes = le::load32(bytes, kFvAttributesField);
      (attributes & kFvErasePolarity) == 0) {
    throw VarsError("volume attributes: expected erase polarity 1 (bit 0x800), "
                    "found " +
                    hex(attributes));
  }
  // The block map, (count, size) pairs ended by (0, 0), covers the volume.
  std::uint64_t mapped = 0;
  bool ended = false;
  for (std::uint32_t at = kFvBlockMapField; at + 8 <= headerLength; at += 8) {
    const std::uint64_t count = le::load32(bytes, at);
    const std::uint64_t size = le::load32(bytes, at + 4);
    if (count == 0 && size == 0) {
      ended = true;
      break;
    }
    mapped += count * size;
  }
  if (!ended || mapped != length) {
    throw VarsError("volume block map: expected blocks covering the " +
                    hex(length) + " bytes of the volume, ended by (0, 0), " +
                    "found " +
                    (ended ? hex(mapped) + " bytes" : std::string("no end")));
  }

  store.storeOffset_ = headerLength;
  const auto header = bytes.subspan(headerLength, kStoreHeaderSize);
  const Guid signature = Guid::fromBytes(header.first(16));
  if (signature.text() == kAuthenticatedStoreGuid) {
    store.format_ = StoreFormat::Authenticated;
  } else if (signature.text() == kNormalStoreGuid) {
    store.format_ = StoreFormat::Normal;
  } else if (erased(header)) {
    throw VarsError("store header at " + hex(headerLength) +
                    ": expected a formatted store, found erased bytes");
  } else {
    throw VarsError("store signature: expected " +
                    std::string(kAuthenticatedStoreGuid) +
                    " (authenticated) or " + std::string(kNormalStoreGuid) +
                    " (normal), found " + signature.text());
  }
  const std::uint32_t size = le::load32(header, kStoreSizeField);
  if (size < kStoreHeaderSize || headerLength + std::uint64_t{size} > length) {
    throw VarsError("store size: expected from 28 bytes to the volume's end (" +
                    hex(length - headerLength) + "), found " + hex(size));
  }
  if (header[kStoreFormatField] != kStoreFormatted) {
    throw VarsError("store format: expected 0x5A (formatted), found " +
                    hex(header[kStoreFormatField], 2));
  }
  if (header[kStoreStateField] != kStoreHealthy) {
    throw VarsError("store state: expected 0xFE (healthy), found " +
                    hex(header[kStoreStateField], 2));
  }
  store.storeEnd_ = headerLength + size;
  store.walk();
  return store;
}

void VariableStore::walk() {
  variables_.clear();
  const std::span<const std::uint8_t> bytes(bytes_);
  const HeaderFields fields = fieldsOf(format_);
  const std::uint32_t headerBytes = headerSize();
  std::uint32_t at = alignUp(storeOffset_ + kStoreHeaderSize, kHeaderAlignment);
  while (std::uint64_t{at} + headerBytes <= storeEnd_ &&
         le::load16(bytes, at) == kStartId) {
    Variable variable;
    variable.offset = at;
    variable.state = bytes[at + kStateField];
    variable.attributes = le::load32(bytes, at + kAttributesField);
    variable.vendor = Guid::fromBytes(bytes.subspan(at + fields.vendor, 16));
    const std::uint32_t nameSize = le::load32(bytes, at + fields.nameSize);
    variable.dataSize = le::load32(bytes, at + fields.dataSize);
    const std::uint64_t end =
        std::uint64_t{at} + headerBytes + nameSize + variable.dataSize;
    if (end > storeEnd_) {
      throw VarsError("variable at " + hex(at) +
                      ": expected its name and data to end within the store "
                      "(at " +
                      hex(storeEnd_) + "), found them ending at " + hex(end) +
                      " (NameSize " + hex(nameSize) + ", DataSize " +
                      hex(variable.dataSize) + ")");
    }
    variable.dataOffset = at + headerBytes + nameSize;
    variable.end = static_cast<std::uint32_t>(end);
    if ((variable.state & kAddedBit) == 0) {
      variable.name = readName(bytes, at, at + headerBytes, nameSize);
    }
    variables_.push_back(std::move(variable));
    at = alignUp(end, kHeaderAlignment);
  }
  freeOffset_ = std::min(at, storeEnd_);
}

std::vector<std::uint8_t> VariableStore::makeEmpty(StoreFormat format,
                                                   std::uint32_t volumeLength,
                                                   std::uint32_t storeSize) {
  constexpr std::uint32_t kHeaderLength = kFvMinimumHeader;
  if (volumeLength == 0 || volumeLength % kBlockSize != 0 ||
      storeSize < kStoreHeaderSize ||
      std::uint64_t{kHeaderLength} + storeSize > volumeLength) {
    throw VarsError("empty store: expected a volume of whole 4 KiB blocks "
                    "holding a store of at least 28 bytes, found a volume of " +
                    hex(volumeLength) + " and a store of " + hex(storeSize));
  }
  std::vector<std::uint8_t> bytes(volumeLength, 0xFF);
  const std::span<std::uint8_t> out(bytes);
  std::fill_n(bytes.begin(), kHeaderLength, 0);
  const Guid fileSystem = Guid::parse(kNvStoreFileSystemGuid);
  std::copy(fileSystem.bytes.begin(), fileSystem.bytes.end(),
            bytes.begin() + kFvFileSystemField);
  le::store(out, kFvLengthField, 8, volumeLength);
  le::store32(out, kFvSignatureField, kFvSignature);
  le::store32(out, kFvAttributesField, kFvDefaultAttributes);
  le::store16(out, kFvHeaderLengthField, kHeaderLength);
  bytes[kFvRevisionField] = kFvRevision;
  le::store32(out, kFvBlockMapField, volumeLength / kBlockSize);
  le::store32(out, kFvBlockMapField + 4, kBlockSize);
  le::store16(out, kFvChecksumField,
              static_cast<std::uint16_t>(-sum16(out.first(kHeaderLength))));

  const Guid signature =
      Guid::parse(format == StoreFormat::Authenticated ? kAuthenticatedStoreGuid
                                                       : kNormalStoreGuid);
  std::fill_n(bytes.begin() + kHeaderLength, kStoreHeaderSize, 0);
  std::copy(signature.bytes.begin(), signature.bytes.end(),
            bytes.begin() + kHeaderLength);
  le::store32(out, kHeaderLength + kStoreSizeField, storeSize);
  bytes[kHeaderLength + kStoreFormatField] = kStoreFormatted;
  bytes[kHeaderLength + kStoreStateField] = kStoreHealthy;
  return bytes;
}

std::uint32_t VariableStore::headerSize() const {
  return format_ == StoreFormat::Authenticated ? kAuthenticatedHeaderSize
                                               : kNormalHeaderSize;
}

std::uint32_t VariableStore::reclaimableBytes() const {
  std::uint32_t total = 0;
  for (const Variable &variable : variables_) {
    if (!variable.live()) {
      total += alignUp(variable.end, kHeaderAlignment) - variable.offset;
    }
  }
  return total;
}

const Variable *VariableStore::find(std::u16string_view name,
                                    const Guid &vendor) const {
  const Variable *inTransition = nullptr;
  for (const Variable &variable : variables_) {
    if (!variable.live() || variable.vendor != vendor ||
        variable.name != name) {
      continue;
    }
    if (variable.state == kStateAdded) {
      return &variable;
    }
    inTransition = &variable;
  }
  return inTransition;
}

std::span<const std::uint8_t>
VariableStore::data(const Variable &variable) const {
  return std::span(bytes_).subspan(variable.dataOffset, variable.dataSize);
}

WriteOutcome VariableStore::write(std::u16string_view name, const Guid &vendor,
                                  std::uint32_t attributes,
                                  std::span<const std::uint8_t> data) {
  if (name.empty()) {
    throw VarsError("name: expected at least one character, found none");
  }
  if (data.empty()) {
    throw VarsError("data: expected at least one byte (a variable without "
                    "data is a deleted one), found none");
  }
  try {
    checkWritableAttributes(attributes);
  } catch (const VarsError &error) {
    throw VarsError(std::string("attributes: ") + error.what());
  }
  std::vector<Variable *> live;
  for (Variable &variable : variables_) {
    if (variable.live() && variable.vendor == vendor && variable.name == name) {
      live.push_back(&variable);
    }
  }
  if (const Variable *current = find(name, vendor)) {
    if ((current->attributes &
         (kAttrAuthenticatedWrite | kAttrTimeBasedAuthenticatedWrite)) != 0) {
      throw StoreRefusal(describe(name, vendor) + " has attributes " +
                         hex(current->attributes) +
                         ": an authenticated variable changes only through "
                         "a signed update");
    }
    const auto old = this->data(*current);
    if (current->attributes == attributes &&
        std::equal(old.begin(), old.end(), data.begin(), data.end())) {
      return WriteOutcome::Unchanged;
    }
  }

  const HeaderFields fields = fieldsOf(format_);
  const std::uint32_t headerBytes = headerSize();
  const std::uint64_t nameSize = (std::uint64_t{name.size()} + 1) * 2;
  const std::uint64_t entry = headerBytes + nameSize + data.size();
  const std::uint32_t at = freeOffset_;
  if (entry > storeEnd_ - at) {
    throw StoreRefusal(
        "store full: " + describe(name, vendor) + " needs " +
        std::to_string(entry) + " bytes, " + std::to_string(storeEnd_ - at) +
        " are free (" + std::to_string(reclaimableBytes()) +
        " more are held by deleted copies, which only the firmware's "
        "reclaim frees)");
  }
  // All of the free space must be erased, not just the bytes the copy
  // takes: the walk stops at the first header without a start mark, so
  // stale bytes beyond it are unseen until a copy is written in front of
  // them, and then readers would take whatever headers they hold.
  const std::span<std::uint8_t> out(bytes_);
  if (const auto free = out.subspan(at, storeEnd_ - at); !erased(free)) {
    const auto first = std::find_if(free.begin(), free.end(),
                                    [](std::uint8_t b) { return b != 0xFF; }) -
                       free.begin();
    throw VarsError("store free space: expected erased bytes (0xFF) after "
                    "the last variable, found " +
                    hex(free[static_cast<std::size_t>(first)], 2) + " at " +
                    hex(at + static_cast<std::uint64_t>(first)));
  }

  // The driver's order, so that a copy cut short at any step still leaves
  // one copy a reader takes: old copies in deleted transition, the new
  // header valid, its name and data, the new copy added, old copies deleted.
  for (Variable *old : live) {
    out[old->offset + kStateField] &= kStateInDeletedTransition;
  }
  std::fill_n(out.begin() + at, headerBytes, 0);
  le::store16(out, at, kStartId);
  out[at + kStateField] = kStateHeaderValidOnly;
  le::store32(out, at + kAttributesField, attributes);
  le::store32(out, at + fields.nameSize, static_cast<std::uint32_t>(nameSize));
  le::store32(out, at + fields.dataSize,
              static_cast<std::uint32_t>(data.size()));
  std::copy(vendor.bytes.begin(), vendor.bytes.end(),
            out.begin() + at + fields.vendor);
  std::uint32_t cursor = at + headerBytes;
  for (const char16_t unit : name) {
    le::store16(out, cursor, static_cast<std::uint16_t>(unit));
    cursor += 2;
  }
  le::store16(out, cursor, 0);
  std::copy(data.begin(), data.end(), out.begin() + cursor + 2);
  out[at + kStateField] &= kStateAdded;
  for (Variable *old : live) {
    out[old->offset + kStateField] &= kStateDeleted;
  }
  const bool replaced = !live.empty();
  walk();
  return replaced ? WriteOutcome::Replaced : WriteOutcome::Added;
}

void VariableStore::remove(std::u16string_view name, const Guid &vendor) {
  bool found = false;
  for (const Variable &variable : variables_) {
    if (variable.live() && variable.vendor == vendor && variable.name == name) {
      bytes_[variable.offset + kStateField] &= kStateDeleted;
      found = true;
    }
  }
  if (!found) {
    throw StoreRefusal("no variable " + describe(name, vendor) +
                       " in the store");
  }
  walk();
}

void checkWritableAttributes(std::uint32_t attributes) {
  constexpr std::uint32_t kWritable =
      kAttrNonVolatile | kAttrBootServiceAccess | kAttrRuntimeAccess |
      kAttrHardwareErrorRecord;
  const std::uint32_t required =
      kAttrNonVolatile | kAttrBootServiceAccess |
      ((attributes & kAttrHardwareErrorRecord) != 0 ? kAttrRuntimeAccess : 0);
  if ((attributes & ~kWritable) != 0 || (attributes & required) != required) {
    throw VarsError(
        "expected non-volatile and boot-service access (0x3), optionally "
        "runtime access (0x4) and a hardware error record (0x8, with runtime "
        "access), nothing else (authenticated variables change only through "
        "signed updates), found " +
        hex(attributes));
  }
}

std::u16string nameFromUtf8(std::string_view text) {
  if (text.empty()) {
    throw VarsError("expected a variable name, found an empty one");
  }
  std::u16string name;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xC2 ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF5 ? 4
                                             : 0;
    const auto invalid = [&] {
      return VarsError("expected UTF-8, found byte " + hex(lead, 2) +
                       " at offset " + std::to_string(i) +
                       " starting no valid character");
    };
    if (length == 0 || i + length > text.size()) {
      throw invalid();
    }
    std::uint32_t code = length == 1   ? lead
                         : length == 2 ? lead & 0x1Fu
                         : length == 3 ? lead & 0x0Fu
                                       : lead & 0x07u;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<std::uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        throw invalid();
      }
      code = code << 6 | (next & 0x3Fu);
    }
    // Overlong forms and encoded surrogate halves are not UTF-8.
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      throw invalid();
    }
    if (code > 0xFFFF) {
      throw VarsError("expected characters up to U+FFFF (a UCS-2 name has no "
                      "surrogate pairs), found U+" +
                      hex(code, 4).substr(2) + " at offset " +
                      std::to_string(i));
    }
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) {
      throw VarsError("expected printable characters, found the control "
                      "character U+" +
                      hex(code, 4).substr(2) + " at offset " +
                      std::to_string(i));
    }
    name.push_back(static_cast<char16_t>(code));
    i += length;
  }
  return name;
}

std::string nameToUtf8(std::u16string_view name) {
  std::string text;
  for (const char16_t unit : name) {
    const std::uint32_t code = unit;
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F) ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      text += "\\u" + hex(code, 4).substr(2);
    } else if (code < 0x80) {
      text.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      text.push_back(static_cast<char>(0xC0 | code >> 6));
      text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      text.push_back(static_cast<char>(0xE0 | code >> 12));
      text.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return text;
}

} // namespace vars_format
