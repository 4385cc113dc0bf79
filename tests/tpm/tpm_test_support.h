// Helpers shared by the TPM tests: scratch state directories and a small
// builder for raw TPM 2.0 commands (so the engine is tested without the TSS).
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <span>
#include <vector>

namespace tpm::testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class ScratchDirectory {
public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory &) = delete;
  ScratchDirectory &operator=(const ScratchDirectory &) = delete;
  const std::filesystem::path &path() const { return path_; }

private:
  std::filesystem::path path_;
};

inline constexpr std::uint16_t kTagNoSessions = 0x8001;
inline constexpr std::uint16_t kTagSessions = 0x8002;
inline constexpr std::uint32_t kRcSuccess = 0x000;
inline constexpr std::uint32_t kRcInitialize = 0x100;
inline constexpr std::uint32_t kRcFailure = 0x101;

// Builds a command header-first; bytes() fills in the size field.
class CommandBuilder {
public:
  CommandBuilder(std::uint16_t tag, std::uint32_t commandCode);
  CommandBuilder &u8(std::uint8_t value);
  CommandBuilder &u16(std::uint16_t value);
  CommandBuilder &u32(std::uint32_t value);
  CommandBuilder &raw(std::span<const std::uint8_t> data);
  // An authorization area with one empty password session (TPM_RS_PW).
  CommandBuilder &passwordAuthorization();
  std::vector<std::uint8_t> bytes() const;

private:
  std::vector<std::uint8_t> bytes_;
};

std::vector<std::uint8_t> startupClear();
std::vector<std::uint8_t> getRandom(std::uint16_t count);

std::uint16_t responseTag(std::span<const std::uint8_t> response);
std::uint32_t responseSizeField(std::span<const std::uint8_t> response);
std::uint32_t responseCode(std::span<const std::uint8_t> response);
std::uint16_t readU16(std::span<const std::uint8_t> bytes, std::size_t offset);
std::uint32_t readU32(std::span<const std::uint8_t> bytes, std::size_t offset);

} // namespace tpm::testing
