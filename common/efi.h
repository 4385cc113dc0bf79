// EFI status values and GUIDs as the platform's host code handles them.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace efi {

inline constexpr std::uint32_t kSuccess = 0;
inline constexpr std::uint32_t kInvalidParameter = 0x80000002;
inline constexpr std::uint32_t kUnsupported = 0x80000003;
inline constexpr std::uint32_t kBufferTooSmall = 0x80000005;
inline constexpr std::uint32_t kDeviceError = 0x80000007;
inline constexpr std::uint32_t kOutOfResources = 0x80000009;
inline constexpr std::uint32_t kNotFound = 0x8000000E;
inline constexpr std::uint32_t kTimeout = 0x80000012;
inline constexpr std::uint32_t kAlreadyStarted = 0x80000014;
inline constexpr std::uint32_t kNotAvailableYet = 0x8000001C;

constexpr bool isError(std::uint32_t status) {
  return (status & 0x80000000u) != 0;
}
// "EFI_NOT_FOUND", or the value in hex for one without a name.
std::string statusName(std::uint32_t status);

// 16 bytes in memory order: little-endian Data1, Data2, Data3, then Data4.
struct Guid {
  std::array<std::uint8_t, 16> bytes{};

  // From the registry form "9D910B61-85BD-4473-8131-40959D60C7EE" (braces
  // optional); throws std::invalid_argument on anything else.
  static Guid parse(std::string_view text);
  static Guid fromBytes(std::span<const std::uint8_t> bytes);
  std::string text() const;
  bool operator==(const Guid &) const = default;
  auto operator<=>(const Guid &) const = default;
};

// The GUIDs the platform deals with.
namespace guids {
extern const Guid kTpmTransportPpi;
extern const Guid kTriggerPpi;
extern const Guid kTpmDeviceSelectedPpi;
extern const Guid kTpmInstance;
extern const Guid kPcdPpi;
extern const Guid kReadOnlyVariable2Ppi;
extern const Guid kSetupVariable;
extern const Guid kStatusCodePpi;
extern const Guid kMemoryDiscoveredPpi;
extern const Guid kDxeIplPpi;
extern const Guid kStackHob;
} // namespace guids

// A readable name for the GUIDs above, else the GUID's text.
std::string guidName(const Guid &guid);

} // namespace efi
