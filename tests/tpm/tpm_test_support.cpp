#include "tpm_test_support.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tpm::testing {

ScratchDirectory::ScratchDirectory() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tpm-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("cannot create a scratch directory from " +
                             pattern);
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

CommandBuilder::CommandBuilder(std::uint16_t tag, std::uint32_t commandCode) {
  u16(tag).u32(0).u32(commandCode);
}

CommandBuilder &CommandBuilder::u8(std::uint8_t value) {
  bytes_.push_back(value);
  return *this;
}

CommandBuilder &CommandBuilder::u16(std::uint16_t value) {
  return u8(static_cast<std::uint8_t>(value >> 8))
      .u8(static_cast<std::uint8_t>(value));
}

CommandBuilder &CommandBuilder::u32(std::uint32_t value) {
  return u16(static_cast<std::uint16_t>(value >> 16))
      .u16(static_cast<std::uint16_t>(value));
}

CommandBuilder &CommandBuilder::raw(std::span<const std::uint8_t> data) {
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return *this;
}

CommandBuilder &CommandBuilder::passwordAuthorization() {
  constexpr std::uint32_t kPasswordSession = 0x40000009;
  // handle, empty nonce, attributes, empty password
  return u32(4 + 2 + 1 + 2).u32(kPasswordSession).u16(0).u8(0).u16(0);
}

std::vector<std::uint8_t> CommandBuilder::bytes() const {
  std::vector<std::uint8_t> out = bytes_;
  const auto size = static_cast<std::uint32_t>(out.size());
  out[2] = static_cast<std::uint8_t>(size >> 24);
  out[3] = static_cast<std::uint8_t>(size >> 16);
  out[4] = static_cast<std::uint8_t>(size >> 8);
  out[5] = static_cast<std::uint8_t>(size);
  return out;
}

std::vector<std::uint8_t> startupClear() {
  constexpr std::uint32_t kStartup = 0x144;
  constexpr std::uint16_t kSuClear = 0x0000;
  return CommandBuilder(kTagNoSessions, kStartup).u16(kSuClear).bytes();
}

std::vector<std::uint8_t> getRandom(std::uint16_t count) {
  constexpr std::uint32_t kGetRandom = 0x17B;
  return CommandBuilder(kTagNoSessions, kGetRandom).u16(count).bytes();
}

std::uint16_t readU16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  if (offset + 2 > bytes.size())
    throw std::out_of_range("16-bit field at " + std::to_string(offset) +
                            " lies beyond " + std::to_string(bytes.size()) +
                            " bytes");
  return static_cast<std::uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

std::uint32_t readU32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return (std::uint32_t{readU16(bytes, offset)} << 16) |
         readU16(bytes, offset + 2);
}

std::uint16_t responseTag(std::span<const std::uint8_t> response) {
  return readU16(response, 0);
}
std::uint32_t responseSizeField(std::span<const std::uint8_t> response) {
  return readU32(response, 2);
}
std::uint32_t responseCode(std::span<const std::uint8_t> response) {
  return readU32(response, 6);
}

} // namespace tpm::testing
