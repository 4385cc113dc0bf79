// The processor's side of the address space: Unicorn holds the bytes of
// RAM and ROM, and every region the address space maps, protects or unmaps
// is mirrored into it; device registers reach the address space through
// Unicorn's MMIO callbacks.
#include "engine.h"

#include "little_endian.h"

namespace machine {

namespace {

std::uint32_t ucRights(Rights rights) {
  std::uint32_t prot = UC_PROT_NONE;
  if (allows(rights, kRead)) {
    prot |= UC_PROT_READ;
  }
  if (allows(rights, kWrite)) {
    prot |= UC_PROT_WRITE;
  }
  if (allows(rights, kExecute)) {
    prot |= UC_PROT_EXEC;
  }
  return prot;
}

} // namespace

void Machine::mapRam(const bus::Region &region) {
  check(uc_mem_map(engine_.get(), region.base, region.size,
                   ucRights(region.rights)),
        "cannot map " + region.name);
}

void Machine::mapRegisters(const bus::Region &region) {
  bindings_.push_back(
      std::make_unique<MmioBinding>(MmioBinding{this, &region}));
  check(uc_mmio_map(engine_.get(), region.base, region.size,
                    &HookEntry::mmioRead, bindings_.back().get(),
                    &HookEntry::mmioWrite, bindings_.back().get()),
        "cannot map " + region.name);
}

void Machine::unmapRegion(const bus::Region &region) {
  check(uc_mem_unmap(engine_.get(), region.base, region.size),
        "cannot unmap " + region.name);
  std::erase_if(bindings_, [&](const auto &binding) {
    return binding->region == &region;
  });
}

void Machine::protectRegion(const bus::Region &region) {
  check(uc_mem_protect(engine_.get(), region.base, region.size,
                       ucRights(region.rights)),
        "cannot protect " + region.name);
}

bool Machine::readRam(std::uint64_t address,
                      std::span<std::uint8_t> bytes) const {
  return uc_mem_read(engine_.get(), address, bytes.data(), bytes.size()) ==
         UC_ERR_OK;
}

bool Machine::writeRam(std::uint64_t address,
                       std::span<const std::uint8_t> bytes) {
  return uc_mem_write(engine_.get(), address, bytes.data(), bytes.size()) ==
         UC_ERR_OK;
}

std::uint32_t Machine::guestRead32(std::uint32_t address,
                                   const std::string &what) const {
  return common::le::load32(space_.guestRead(address, 4, what));
}

void Machine::guestWrite32(std::uint32_t address, std::uint32_t value,
                           const std::string &what) {
  std::uint8_t bytes[4];
  common::le::store(bytes, 4, value);
  space_.guestWrite(address, bytes, what);
}

} // namespace machine
