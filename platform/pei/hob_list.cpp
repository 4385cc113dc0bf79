#include "hob_list.h"

#include "efi.h"
#include "hex.h"
#include "little_endian.h"

namespace pei {

using common::hex;

namespace hob {

namespace {

struct TypeInfo {
  std::uint16_t type;
  const char *name;
  std::uint16_t minimum; // bytes, header included
};

constexpr TypeInfo kTypes[] = {
    {kHandoff, "HANDOFF", kHandoffSize},
    {kMemoryAllocation, "MEMORY_ALLOCATION", 48},
    {kResourceDescriptor, "RESOURCE_DESCRIPTOR", 48},
    {kGuidExtension, "GUID_EXTENSION", 24},
    {kFirmwareVolume, "FV", 24},
    {kCpu, "CPU", 16},
    {kMemoryPool, "MEMORY_POOL", kHeaderSize},
    {kFirmwareVolume2, "FV2", 56},
    {kLoadPeimUnused, "LOAD_PEIM_UNUSED", kHeaderSize},
    {kUefiCapsule, "UEFI_CAPSULE", 24},
    {kFirmwareVolume3, "FV3", 64},
    {kUnused, "UNUSED", kHeaderSize},
    {kEndOfList, "END_OF_HOB_LIST", kHeaderSize},
};

const TypeInfo *infoOf(std::uint16_t type) {
  for (const TypeInfo &info : kTypes) {
    if (info.type == type) {
      return &info;
    }
  }
  return nullptr;
}

} // namespace

std::string typeName(std::uint16_t type) {
  const TypeInfo *info = infoOf(type);
  return info != nullptr ? info->name : "type " + hex(type, 4);
}

} // namespace hob

std::vector<Hob> walkHobList(std::span<const std::uint8_t> bytes) {
  std::vector<Hob> list;
  std::size_t at = 0;
  while (list.size() < hob::kMaxBlocks) {
    const std::string where = "HOB list at offset " + hex(at, 8) + ": ";
    if (bytes.size() - at < hob::kHeaderSize) {
      throw HobFormatError(where + "expected a block header, found " +
                           std::to_string(bytes.size() - at) +
                           " bytes before the end (no END_OF_HOB_LIST)");
    }
    Hob block{.type = static_cast<std::uint16_t>(
                  common::le::load(bytes.data() + at, 2)),
              .length = static_cast<std::uint16_t>(
                  common::le::load(bytes.data() + at + 2, 2)),
              .offset = static_cast<std::uint32_t>(at),
              .bytes = {}};
    const std::string kind = hob::typeName(block.type);
    if (list.empty() && block.type != hob::kHandoff) {
      throw HobFormatError(where + "expected the HANDOFF block first, found " +
                           kind);
    }
    const auto *info = hob::infoOf(block.type);
    const std::uint16_t minimum =
        info != nullptr ? info->minimum : static_cast<std::uint16_t>(8);
    if (block.length < minimum || block.length % 8 != 0) {
      throw HobFormatError(where + kind + " block of " +
                           std::to_string(block.length) +
                           " bytes: expected a multiple of 8, at least " +
                           std::to_string(minimum));
    }
    if (block.length > bytes.size() - at) {
      throw HobFormatError(where + kind + " block of " +
                           std::to_string(block.length) +
                           " bytes runs past the list's " +
                           std::to_string(bytes.size()) + " bytes");
    }
    block.bytes = bytes.subspan(at, block.length);
    list.push_back(block);
    if (block.type == hob::kEndOfList) {
      return list;
    }
    at += block.length;
  }
  throw HobFormatError("HOB list: no END_OF_HOB_LIST within " +
                       std::to_string(hob::kMaxBlocks) + " blocks");
}

HobList HobList::create(machine::Machine &machine, std::uint32_t bottom,
                        std::uint32_t top, std::uint32_t bootMode) {
  std::vector<std::uint8_t> phit(hob::kHandoffSize + hob::kHeaderSize, 0);
  auto store = [&](std::uint32_t offset, unsigned size, std::uint64_t value) {
    common::le::store(phit.data() + offset, size, value);
  };
  const std::uint32_t end = bottom + hob::kHandoffSize;
  store(0, 2, hob::kHandoff);
  store(2, 2, hob::kHandoffSize);
  store(hob::kVersion, 4, hob::kHandoffVersion);
  store(hob::kBootMode, 4, bootMode);
  store(hob::kMemoryTop, 8, top);
  store(hob::kMemoryBottom, 8, bottom);
  store(hob::kFreeMemoryTop, 8, top);
  store(hob::kFreeMemoryBottom, 8, end + hob::kHeaderSize);
  store(hob::kEndOfHobList, 8, end);
  store(hob::kHandoffSize, 2, hob::kEndOfList);
  store(hob::kHandoffSize + 2, 2, hob::kHeaderSize);
  machine.write(bottom, phit);
  return HobList(machine, bottom);
}

std::uint64_t HobList::field(std::uint32_t offset) const {
  const auto bytes =
      machine_.read(phit_ + offset, offset == hob::kBootMode ? 4 : 8);
  return common::le::load(bytes.data(), bytes.size());
}

void HobList::setField(std::uint32_t offset, std::uint64_t value) {
  std::vector<std::uint8_t> bytes(offset == hob::kBootMode ? 4 : 8);
  common::le::store(bytes.data(), static_cast<unsigned>(bytes.size()), value);
  machine_.write(phit_ + offset, bytes);
}

HobList::Created HobList::append(std::uint16_t type, std::uint32_t length) {
  if (length < hob::kHeaderSize) {
    return {0, efi::kInvalidParameter};
  }
  const std::uint64_t rounded = (std::uint64_t{length} + 7) & ~std::uint64_t{7};
  const std::uint64_t end = field(hob::kEndOfHobList);
  const std::uint64_t freeTop = field(hob::kFreeMemoryTop);
  // The new block goes where the end block is, and a new end block after
  // it: both must fit below the top of free memory.
  if (rounded > 0xFFF8 || end + rounded + hob::kHeaderSize > freeTop) {
    return {0, efi::kOutOfResources};
  }
  const auto at = static_cast<std::uint32_t>(end);
  std::vector<std::uint8_t> header(hob::kHeaderSize, 0);
  common::le::store(header.data(), 2, type);
  common::le::store(header.data() + 2, 2, rounded);
  machine_.write(at, header);
  const auto next = static_cast<std::uint32_t>(at + rounded);
  common::le::store(header.data(), 2, hob::kEndOfList);
  common::le::store(header.data() + 2, 2, hob::kHeaderSize);
  machine_.write(next, header);
  setField(hob::kEndOfHobList, next);
  setField(hob::kFreeMemoryBottom, next + hob::kHeaderSize);
  return {at, efi::kSuccess};
}

std::vector<std::uint8_t> HobList::bytes() const {
  const std::uint64_t end = field(hob::kEndOfHobList);
  if (end < phit_ || end - phit_ > 0x1000000) {
    throw HobFormatError("HOB list at " + hex(phit_, 8) + ": its end " +
                         hex(end, 8) + " lies outside the list's memory");
  }
  return machine_.read(phit_, static_cast<std::size_t>(end - phit_) +
                                  hob::kHeaderSize);
}

} // namespace pei
