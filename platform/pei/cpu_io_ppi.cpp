#include "cpu_io_ppi.h"

#include "hex.h"
#include "little_endian.h"

namespace pei {

using enum ParameterKind;

namespace {

// The parameters of Mem and Io's Read and Write, by position.
enum : unsigned { kWidth = 2, kAddress, kCount, kBuffer };
// Of the helpers.
enum : unsigned { kHelperAddress = 2, kHelperData };

constexpr std::uint64_t kPortLimit = 0xFFFF;

template <bool Io, bool Write>
Answer accessEntry(CpuIoPpi &ppi, const ServiceCall &call) {
  return ppi.access(call, Io, Write);
}
template <bool Io, unsigned Size>
Answer readEntry(CpuIoPpi &ppi, const ServiceCall &call) {
  return ppi.read(call, Io, Size);
}
template <bool Io, unsigned Size>
Answer writeEntry(CpuIoPpi &ppi, const ServiceCall &call) {
  return ppi.write(call, Io, Size);
}

constexpr ServiceSignature transfer(const char *name) {
  return {name,
          {{"services", Pointer},
           {"This", Interface},
           {"width", Count},
           {"address", Wide},
           {"count", Count},
           {"buffer", Buffer}}};
}
constexpr ServiceSignature reader(const char *name) {
  return {name,
          {{"services", Pointer}, {"This", Interface}, {"address", Wide}}};
}
constexpr ServiceSignature writer(const char *name, ParameterKind data) {
  return {name,
          {{"services", Pointer},
           {"This", Interface},
           {"address", Wide},
           {"value", data}}};
}

std::uint64_t readOne(bus::AddressSpace &space, bool io, std::uint64_t address,
                      unsigned size) {
  return io ? space.portRead(static_cast<std::uint16_t>(address), size)
            : space.physicalRead(address, size);
}
void writeOne(bus::AddressSpace &space, bool io, std::uint64_t address,
              unsigned size, std::uint64_t value) {
  if (io) {
    space.portWrite(static_cast<std::uint16_t>(address), size,
                    static_cast<std::uint32_t>(value));
  } else {
    space.physicalWrite(address, size, value);
  }
}

} // namespace

constinit const std::array<ServiceEntry<CpuIoPpi>, 20> CpuIoPpi::kFunctions = {{
    {transfer("Mem.Read"), accessEntry<false, false>},
    {transfer("Mem.Write"), accessEntry<false, true>},
    {transfer("Io.Read"), accessEntry<true, false>},
    {transfer("Io.Write"), accessEntry<true, true>},
    {reader("IoRead8"), readEntry<true, 1>},
    {reader("IoRead16"), readEntry<true, 2>},
    {reader("IoRead32"), readEntry<true, 4>},
    {reader("IoRead64")},
    {writer("IoWrite8", Count), writeEntry<true, 1>},
    {writer("IoWrite16", Count), writeEntry<true, 2>},
    {writer("IoWrite32", Count), writeEntry<true, 4>},
    {writer("IoWrite64", Wide)},
    {reader("MemRead8"), readEntry<false, 1>},
    {reader("MemRead16"), readEntry<false, 2>},
    {reader("MemRead32"), readEntry<false, 4>},
    {reader("MemRead64"), readEntry<false, 8>},
    {writer("MemWrite8", Count), writeEntry<false, 1>},
    {writer("MemWrite16", Count), writeEntry<false, 2>},
    {writer("MemWrite32", Count), writeEntry<false, 4>},
    {writer("MemWrite64", Wide), writeEntry<false, 8>},
}};

Answer CpuIoPpi::access(const ServiceCall &call, bool io, bool write) {
  const std::uint32_t width = call.count(kWidth);
  const std::uint64_t address = call.wide(kAddress);
  const std::uint64_t count = call.count(kCount);
  const std::uint32_t buffer = call.pointer(kBuffer).value;
  if (buffer == 0 || width >= kWidthMaximum) {
    return {efi::kInvalidParameter};
  }
  const unsigned size = 1u << (width & 3);
  if (io && size == 8) {
    return {efi::kInvalidParameter};
  }
  const std::uint64_t addressStride =
      width >= kFifo && width < kFill ? 0 : size;
  const std::uint64_t bufferStride = width >= kFill ? 0 : size;
  // The whole range must lie in the space, without wrapping round its end.
  const std::uint64_t limit = io ? kPortLimit : ~std::uint64_t{0};
  const std::uint64_t span =
      count == 0 ? 0 : addressStride * (count - 1) + size;
  if (address > limit || (span != 0 && span - 1 > limit - address) ||
      address % size != 0) {
    return {efi::kUnsupported};
  }
  if (count > kMaxElements) {
    throw machine::GuestFault(
        call.machine().where(call.thunk().returnAddress()) + ": " +
        call.signature().name + " of " + std::to_string(count) +
        " elements: expected at most " + std::to_string(kMaxElements));
  }
  machine::Machine &machine = call.machine();
  bus::AddressSpace &space = machine.space();
  // The buffer is checked whole before the first access: a transfer the
  // guest cannot finish must not half happen.
  const std::size_t bytes =
      static_cast<std::size_t>(bufferStride == 0 ? size : count * size);
  if (count != 0) {
    space.checkGuestAccess(buffer, bytes, write ? bus::kRead : bus::kWrite,
                           std::string(call.signature().name) + "'s buffer");
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t at = address + i * addressStride;
    const auto data = static_cast<std::uint32_t>(buffer + i * bufferStride);
    if (write) {
      writeOne(space, io, at, size,
               common::le::load(machine.guestRead(data, size, "the buffer"), 0,
                                size));
    } else {
      std::vector<std::uint8_t> value(size);
      common::le::store(value.data(), size, readOne(space, io, at, size));
      machine.guestWrite(data, value, "the buffer");
    }
  }
  return {efi::kSuccess};
}

Answer CpuIoPpi::read(const ServiceCall &call, bool io, unsigned size) {
  // As IN and MOV take them: a port is 16 bits, an address 64.
  const std::uint64_t value =
      readOne(call.machine().space(), io, call.wide(kHelperAddress), size);
  if (size == 8) {
    call.thunk().setResultHigh(static_cast<std::uint32_t>(value >> 32));
  }
  return {static_cast<std::uint32_t>(value)};
}

Answer CpuIoPpi::write(const ServiceCall &call, bool io, unsigned size) {
  // A narrower value arrives in a whole stack slot: only its low bytes count.
  const std::uint64_t lanes =
      size == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * size)) - 1;
  writeOne(call.machine().space(), io, call.wide(kHelperAddress), size,
           call.wide(kHelperData) & lanes);
  return {efi::kSuccess}; // VOID
}

} // namespace pei
