// The platform PPIs the module calls: the read-only variable service holding
// "Setup", and the PCD service whose token 11 receives the module's instance
// identifier.
#pragma once

#include "foundation.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace pei {

// EFI_PEI_READ_ONLY_VARIABLE2_PPI with one variable, "Setup" under its vendor
// GUID. GetVariable answers as PI defines it: EFI_NOT_FOUND for
// any other variable or when "Setup" is absent, EFI_BUFFER_TOO_SMALL with
// *DataSize set to the size needed, EFI_INVALID_PARAMETER for a null name,
// GUID or size (or a null buffer big enough), else the bytes.
class VariableService {
public:
  static constexpr std::uint32_t kAttributes = 0x7; // NV, BS, RT

  VariableService(Foundation &foundation,
                  std::optional<std::vector<std::uint8_t>> setup);
  GuestAddress ppi() const { return ppi_; }

  // EFI_PEI_READ_ONLY_VARIABLE2_PPI's functions: GetVariable and
  // NextVariableName (a refusal).
  static const std::array<ServiceEntry<VariableService>, 2> kFunctions;

private:
  Answer getVariable(const ServiceCall &call);

  std::optional<std::vector<std::uint8_t>> setup_;
  GuestAddress ppi_;
};

struct PcdConfig {
  std::uint32_t token11MaxSize = 16;
  // When set, SetPtr fails with this status (after the size check) and
  // stores nothing, to test how the caller copes.
  std::optional<std::uint32_t> setPtrFailure;
};

// The PCD PPI: a table of 31 functions, of which SetPtr (the 20th) works; the
// rest stop the run as unexpected calls. Token 11 holds up to token11MaxSize
// bytes; a larger size gets EFI_INVALID_PARAMETER with the maximum written
// back. Other tokens are EFI_NOT_FOUND.
class PcdService {
public:
  static constexpr std::uint32_t kInstanceToken = 11;

  PcdService(Foundation &foundation, PcdConfig config);
  GuestAddress ppi() const { return ppi_; }

  // EDK II's PCD_PPI, in order; the functions take no interface pointer.
  static const std::array<ServiceEntry<PcdService>, 31> kFunctions;
  const std::optional<std::vector<std::uint8_t>> &token11() const {
    return token11_;
  }
  unsigned token11Writes() const { return token11Writes_; }

private:
  Answer setPtr(const ServiceCall &call);

  PcdConfig config_;
  GuestAddress ppi_;
  std::optional<std::vector<std::uint8_t>> token11_;
  unsigned token11Writes_ = 0;
};

} // namespace pei
