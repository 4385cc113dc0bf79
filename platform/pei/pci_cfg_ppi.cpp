#include "pci_cfg_ppi.h"

#include "little_endian.h"

namespace pei {

using enum ParameterKind;

namespace {

enum : unsigned { kWidth = 2, kAddress, kBuffer, kClearBits };

// EFI_PEI_PCI_CFG_PPI_WIDTH: Uint8, Uint16, Uint32; Uint64 is no
// configuration access.
constexpr std::uint32_t kWidthUint32 = 2;
constexpr std::uint32_t kConfigSpaceSize = 0x1000;
constexpr std::uint32_t kEnable = 0x80000000;

template <PciCfgPpi::Kind K>
Answer accessEntry(PciCfgPpi &ppi, const ServiceCall &call) {
  return ppi.access(call, K);
}

// EFI_PEI_PCI_CFG_PPI_PCI_ADDRESS: Register in bits 0-7, Function 8-15,
// Device 16-23, Bus 24-31, ExtendedRegister 32-63, which when not zero is
// the register instead.
struct ConfigAddress {
  std::uint32_t bus, device, function, reg;
  static ConfigAddress of(std::uint64_t address) {
    const auto extended = static_cast<std::uint32_t>(address >> 32);
    return {static_cast<std::uint32_t>(address >> 24 & 0xFF),
            static_cast<std::uint32_t>(address >> 16 & 0xFF),
            static_cast<std::uint32_t>(address >> 8 & 0xFF),
            extended != 0 ? extended
                          : static_cast<std::uint32_t>(address & 0xFF)};
  }
  // What 0xCF8 takes: enable, register bits 11:8 in bits 27:24 (which the
  // chipset honours only when extended configuration access is on), bus,
  // device, function, and the dword of the register.
  std::uint32_t portAddress(std::uint32_t at) const {
    return kEnable | (at >> 8 & 0xF) << 24 | bus << 16 | device << 11 |
           function << 8 | (at & 0xFC);
  }
};

// One access through the ports, 0xCF8 put back as it was afterwards, as
// firmware libraries do so that an interrupted access of the guest's own
// finds its address still latched.
std::uint32_t portAccess(bus::AddressSpace &space, const ConfigAddress &address,
                         std::uint32_t at, unsigned size,
                         std::optional<std::uint32_t> value) {
  const std::uint32_t saved = space.portRead(PciCfgPpi::kAddressPort, 4);
  space.portWrite(PciCfgPpi::kAddressPort, 4, address.portAddress(at));
  const auto port = static_cast<std::uint16_t>(PciCfgPpi::kDataPort + (at & 3));
  std::uint32_t read = 0;
  if (value) {
    space.portWrite(port, size, *value);
  } else {
    read = space.portRead(port, size);
  }
  space.portWrite(PciCfgPpi::kAddressPort, 4, saved);
  return read;
}

// An access of `size` bytes in naturally aligned pieces: whole when aligned,
// else 16-bit halves when the register is even, else bytes. A data port
// access never runs past 0xCFF.
std::uint32_t configAccess(bus::AddressSpace &space,
                           const ConfigAddress &address, unsigned size,
                           std::optional<std::uint32_t> value) {
  const unsigned piece = address.reg % size == 0 ? size
                         : address.reg % 2 == 0  ? 2
                                                 : 1;
  std::uint32_t read = 0;
  for (unsigned done = 0; done < size; done += piece) {
    const std::uint32_t mask = piece == 4 ? ~0u : (1u << (8 * piece)) - 1;
    const std::optional<std::uint32_t> part =
        value ? std::optional{*value >> (8 * done) & mask} : std::nullopt;
    read |= (portAccess(space, address, address.reg + done, piece, part) & mask)
            << (8 * done);
  }
  return read;
}

constexpr ServiceSignature transfer(const char *name) {
  return {name,
          {{"services", Pointer},
           {"This", Interface},
           {"width", Count},
           {"address", Wide},
           {"buffer", Buffer}}};
}

} // namespace

constinit const std::array<ServiceEntry<PciCfgPpi>, 3> PciCfgPpi::kFunctions = {
    {
        {transfer("Read"), accessEntry<Kind::Read>},
        {transfer("Write"), accessEntry<Kind::Write>},
        {{"Modify",
          {{"services", Pointer},
           {"This", Interface},
           {"width", Count},
           {"address", Wide},
           {"set", Buffer},
           {"clear", Buffer}}},
         accessEntry<Kind::Modify>},
    }};

Answer PciCfgPpi::access(const ServiceCall &call, Kind kind) {
  const std::uint32_t width = call.count(kWidth);
  const ConfigAddress address = ConfigAddress::of(call.wide(kAddress));
  if (width > kWidthUint32 || call.isNull(kBuffer) ||
      (kind == Kind::Modify && call.isNull(kClearBits))) {
    return {efi::kInvalidParameter};
  }
  const unsigned size = 1u << width;
  if (address.device > 0x1F || address.function > 0x7 ||
      address.reg > kConfigSpaceSize - size) {
    return {efi::kInvalidParameter};
  }
  machine::Machine &machine = call.machine();
  const std::uint32_t buffer = call.pointer(kBuffer).value;
  const auto operand = [&](std::uint32_t at, const char *what) {
    return static_cast<std::uint32_t>(
        common::le::load(machine.guestRead(at, size, what), 0, size));
  };
  bus::AddressSpace &space = machine.space();
  switch (kind) {
  case Kind::Read: {
    space.checkGuestAccess(buffer, size, bus::kWrite, "PciCfg Read's buffer");
    std::vector<std::uint8_t> bytes(size);
    common::le::store(bytes.data(), size,
                      configAccess(space, address, size, std::nullopt));
    machine.guestWrite(buffer, bytes, "PciCfg Read's buffer");
    break;
  }
  case Kind::Write:
    configAccess(space, address, size,
                 operand(buffer, "PciCfg Write's buffer"));
    break;
  case Kind::Modify: {
    const std::uint32_t set = operand(buffer, "PciCfg Modify's SetBits");
    const std::uint32_t clear =
        operand(call.pointer(kClearBits).value, "PciCfg Modify's ClearBits");
    const std::uint32_t old = configAccess(space, address, size, std::nullopt);
    configAccess(space, address, size, (old & ~clear) | set);
    break;
  }
  }
  return {efi::kSuccess};
}

} // namespace pei
