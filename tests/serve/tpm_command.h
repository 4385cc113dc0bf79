// Builds a TPM 2.0 command for the endpoint's tests and benchmark: the
// 10-byte header (tag, total size, command code) followed by the body.
#pragma once

#include <cstdint>
#include <vector>

#include "tpm_header.h"

namespace serve_test {

inline std::vector<std::uint8_t>
command(std::uint16_t tag, std::uint32_t code,
        const std::vector<std::uint8_t> &body) {
  std::vector<std::uint8_t> out;
  tpm::appendBe16(out, tag);
  tpm::appendBe32(out,
                  static_cast<std::uint32_t>(tpm::kHeaderSize + body.size()));
  tpm::appendBe32(out, code);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

} // namespace serve_test
