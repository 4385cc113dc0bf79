#include "backend.h"

#include "tpm_header.h"

namespace serve {

std::string Backend::commandName(std::uint32_t code) const {
  return "command " + tpm::hex32(code);
}

std::string Backend::responseCodeText(std::uint32_t rc) const {
  return tpm::hex32(rc);
}

} // namespace serve
