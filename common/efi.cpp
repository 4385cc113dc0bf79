#include "efi.h"

#include "hex.h"

#include <cstdio>
#include <stdexcept>

namespace efi {

std::string statusName(std::uint32_t status) {
  switch (status) {
  case kSuccess:
    return "EFI_SUCCESS";
  case kInvalidParameter:
    return "EFI_INVALID_PARAMETER";
  case kUnsupported:
    return "EFI_UNSUPPORTED";
  case kBufferTooSmall:
    return "EFI_BUFFER_TOO_SMALL";
  case kDeviceError:
    return "EFI_DEVICE_ERROR";
  case kOutOfResources:
    return "EFI_OUT_OF_RESOURCES";
  case kNotFound:
    return "EFI_NOT_FOUND";
  case kTimeout:
    return "EFI_TIMEOUT";
  case kAlreadyStarted:
    return "EFI_ALREADY_STARTED";
  case kNotAvailableYet:
    return "EFI_NOT_AVAILABLE_YET";
  default:
    return common::hex(status, 8);
  }
}

Guid Guid::parse(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, 36);
  }
  auto bad = [&] {
    return std::invalid_argument(
        "expected a GUID like "
        "9D910B61-85BD-4473-8131-40959D60C7EE, found \"" +
        std::string(text) + "\"");
  };
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' ||
      text[18] != '-' || text[23] != '-') {
    throw bad();
  }
  auto hexValue = [&](std::size_t at, std::size_t digits) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
      const char c = text[at + i];
      int nibble = -1;
      if (c >= '0' && c <= '9') {
        nibble = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        nibble = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        nibble = c - 'A' + 10;
      }
      if (nibble < 0) {
        throw bad();
      }
      value = value << 4 | static_cast<std::uint32_t>(nibble);
    }
    return value;
  };
  Guid guid;
  const std::uint32_t data1 = hexValue(0, 8);
  const std::uint32_t data2 = hexValue(9, 4);
  const std::uint32_t data3 = hexValue(14, 4);
  for (int i = 0; i < 4; ++i) {
    guid.bytes[i] = static_cast<std::uint8_t>(data1 >> (8 * i));
  }
  guid.bytes[4] = static_cast<std::uint8_t>(data2);
  guid.bytes[5] = static_cast<std::uint8_t>(data2 >> 8);
  guid.bytes[6] = static_cast<std::uint8_t>(data3);
  guid.bytes[7] = static_cast<std::uint8_t>(data3 >> 8);
  const std::size_t tail[] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (int i = 0; i < 8; ++i) {
    guid.bytes[8 + i] = static_cast<std::uint8_t>(hexValue(tail[i], 2));
  }
  return guid;
}

Guid Guid::fromBytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != 16) {
    throw std::invalid_argument("a GUID is 16 bytes, found " +
                                std::to_string(bytes.size()));
  }
  Guid guid;
  std::copy(bytes.begin(), bytes.end(), guid.bytes.begin());
  return guid;
}

std::string Guid::text() const {
  char text[40];
  const auto &b = bytes;
  std::snprintf(text, sizeof(text),
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%"
                "02X%02X",
                b[3], b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9],
                b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

namespace guids {
const Guid kTpmTransportPpi =
    Guid::parse("9D910B61-85BD-4473-8131-40959D60C7EE");
const Guid kTriggerPpi = Guid::parse("91774185-F72D-467E-9339-E008DBAE0E14");
const Guid kTpmDeviceSelectedPpi =
    Guid::parse("7F4158D3-074D-456D-8CB2-01F9C8F79DAA");
const Guid kTpmInstance = Guid::parse("0D2098C2-BD29-4FBC-ABEC-4E038EFAA358");
const Guid kPcdPpi = Guid::parse("06E81C58-4AD7-44BC-8390-F10265F72480");
const Guid kReadOnlyVariable2Ppi =
    Guid::parse("2AB86EF5-ECB5-4134-B556-3854CA1FE1B4");
const Guid kSetupVariable = Guid::parse("A04A27F4-DF00-4D42-B552-39511302113D");
const Guid kStatusCodePpi = Guid::parse("229832D3-7A30-4B36-B827-F40CB7D45436");
const Guid kMemoryDiscoveredPpi =
    Guid::parse("F894643D-C449-42D1-8EA8-85BDD8C65BDE");
const Guid kDxeIplPpi = Guid::parse("0AE8CE5D-E448-4437-A8D7-EBF5F194F731");
// The memory-allocation HOB that names the PEI stack in permanent memory.
const Guid kStackHob = Guid::parse("4ED4BF27-4092-42E9-807D-527B1D00C9BD");
} // namespace guids

std::string guidName(const Guid &guid) {
  struct Known {
    const Guid *guid;
    const char *name;
  };
  static const Known known[] = {
      {&guids::kTpmTransportPpi, "TpmTransportPpi"},
      {&guids::kTriggerPpi, "TriggerPpi"},
      {&guids::kTpmDeviceSelectedPpi, "TpmDeviceSelectedPpi"},
      {&guids::kTpmInstance, "TpmInstance"},
      {&guids::kPcdPpi, "PcdPpi"},
      {&guids::kReadOnlyVariable2Ppi, "ReadOnlyVariable2Ppi"},
      {&guids::kSetupVariable, "SetupVariable"},
      {&guids::kStatusCodePpi, "StatusCodePpi"},
      {&guids::kMemoryDiscoveredPpi, "MemoryDiscoveredPpi"},
      {&guids::kDxeIplPpi, "DxeIplPpi"},
  };
  for (const Known &entry : known) {
    if (*entry.guid == guid) {
      return entry.name;
    }
  }
  return guid.text();
}

} // namespace efi
