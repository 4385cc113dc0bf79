// The published transport interface (TpmTransportPpi) is a table of four
// 32-bit function pointers in this order; the platform calls them, its checks
// grant each call its writes, and tests reach them by these names.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace common {

enum class TransportSlot : unsigned { kExecute, kProbe, kSend, kReceive };

inline constexpr std::size_t kTransportSlots = 4;

// The functions' addresses, indexed by slot; 0 where not published.
using TransportAddresses = std::array<std::uint32_t, kTransportSlots>;

constexpr std::size_t index(TransportSlot slot) {
  return static_cast<std::size_t>(slot);
}

constexpr const char *name(TransportSlot slot) {
  constexpr const char *kNames[kTransportSlots] = {"Execute", "Probe", "Send",
                                                   "Receive"};
  return kNames[index(slot)];
}

} // namespace common
