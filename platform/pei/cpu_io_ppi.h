// EFI_PEI_CPU_IO_PPI, which the services table's CpuIo slot points at:
// memory and port accesses made for the guest through the machine's address
// space, so that each one meets the same devices, checks, trace and policy
// for what nobody models as the guest's own MOV, IN or OUT would.
#pragma once

#include "service_table.h"

#include <array>
#include <cstdint>

namespace pei {

class CpuIoPpi {
public:
  // EFI_PEI_CPU_IO_PPI_WIDTH: Uint8 .. Uint64, then the FIFO kinds (the
  // address stays, the buffer moves on), then the FILL kinds (the address
  // moves on, the buffer stays).
  static constexpr std::uint32_t kFifo = 4;
  static constexpr std::uint32_t kFill = 8;
  static constexpr std::uint32_t kWidthMaximum = 12;
  // More elements than a PEI module would ever move in one call are taken
  // for a runaway count, as a guest loop that long would be.
  static constexpr std::uint64_t kMaxElements = 1u << 24;

  // The PPI's 20 functions in order: Mem.Read, Mem.Write, Io.Read, Io.Write,
  // then IoRead8 .. IoWrite64 and MemRead8 .. MemWrite64. IoRead64 and
  // IoWrite64 are refusals: IA-32 has no 64-bit port access.
  static const std::array<ServiceEntry<CpuIoPpi>, 20> kFunctions;

  // Mem and Io's Read and Write (services, This, Width, Address, Count,
  // Buffer): EFI_INVALID_PARAMETER for a null buffer, an unknown width or a
  // 64-bit port width, EFI_UNSUPPORTED for an unaligned address or a range
  // past the space (64 KiB of ports, the 64-bit physical address space).
  Answer access(const ServiceCall &call, bool io, bool write);
  // The helpers (services, This, Address[, Data]): the value read, in
  // EDX:EAX for 64 bits.
  Answer read(const ServiceCall &call, bool io, unsigned size);
  Answer write(const ServiceCall &call, bool io, unsigned size);
};

} // namespace pei
