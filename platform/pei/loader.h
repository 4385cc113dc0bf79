// Placing the module's PE32 in the emulated machine: in flash at its link
// base, executed in place, and later as a relocated shadow copy in RAM.
#pragma once

#include "machine.h"
#include "pe_image.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace pei {

// The image cannot be placed where it has to go.
class LoadError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct LoadedImage {
  std::uint32_t base = 0;       // where the image starts
  std::uint32_t regionBase = 0; // the page-aligned region holding it
  std::uint32_t regionSize = 0;
  std::uint32_t entry = 0;     // its entry point at this base
  std::size_t relocations = 0; // HIGHLOW entries applied (shadow only)
};

// Maps the image unchanged at its image base, in a region the guest may read
// and execute but not write (flash), and traps its MSR instructions.
LoadedImage mapInFlash(machine::Machine &machine, const PeImage &image);

// Copies the image to newBase (page aligned, different from the link base)
// with its base relocations applied, in a region the guest may read and
// execute but not write: the module never writes its own image.
LoadedImage mapShadow(machine::Machine &machine, const PeImage &image,
                      std::uint32_t newBase);

// Takes the flash copy away from the guest: from now on reading or executing
// it stops the run, so a pointer that escaped relocation shows at once.
void retireFlash(machine::Machine &machine, const LoadedImage &flash);

} // namespace pei
