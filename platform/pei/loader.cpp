#include "loader.h"

#include "hex.h"

#include <algorithm>

namespace pei {

using common::hex;

namespace {

constexpr std::uint64_t kPage = 0x1000;

LoadedImage place(machine::Machine &machine, const PeImage &image,
                  std::uint32_t base, const std::string &name) {
  const std::uint64_t end = std::uint64_t{base} + image.sizeOfImage();
  if (end > (1ull << 32)) {
    throw LoadError("image of " + std::to_string(image.sizeOfImage()) +
                    " bytes at " + hex(base, 8) +
                    ": expected it to end below 4 GiB, found it ending at " +
                    hex(end, 9));
  }
  LoadedImage loaded;
  loaded.base = base;
  loaded.regionBase = static_cast<std::uint32_t>(base & ~(kPage - 1));
  loaded.regionSize = static_cast<std::uint32_t>(
      (end - loaded.regionBase + kPage - 1) & ~(kPage - 1));
  loaded.entry = base + image.entryRva();
  try {
    machine.space().mapMemory(loaded.regionBase, loaded.regionSize, name,
                      machine::kReadExecute);
  } catch (const machine::MachineError &error) {
    throw LoadError("cannot place the image at " + hex(base, 8) + ": " +
                    error.what());
  }
  return loaded;
}

// Traps the special instructions of the image's executable sections only:
// data that happens to hold their bytes never runs.
void trapCode(machine::Machine &machine, const PeImage &image,
              std::uint32_t base, std::span<const std::uint8_t> bytes) {
  for (const PeSection &section : image.sections()) {
    if (!section.executable()) {
      continue;
    }
    const std::uint32_t size = std::min<std::uint32_t>(
        std::max(section.virtualSize, section.rawSize),
        static_cast<std::uint32_t>(bytes.size()) - section.virtualAddress);
    machine.trapInstructions(base + section.virtualAddress,
                             bytes.subspan(section.virtualAddress, size));
  }
}

} // namespace

LoadedImage mapInFlash(machine::Machine &machine, const PeImage &image) {
  LoadedImage flash =
      place(machine, image, image.imageBase(), "flash (module image)");
  const std::vector<std::uint8_t> bytes = image.memoryImage();
  machine.write(flash.base, bytes);
  trapCode(machine, image, flash.base, bytes);
  return flash;
}

LoadedImage mapShadow(machine::Machine &machine, const PeImage &image,
                      std::uint32_t newBase) {
  if (newBase % kPage != 0) {
    throw LoadError("shadow address " + hex(newBase, 8) +
                    ": expected a page-aligned address");
  }
  if (newBase == image.imageBase()) {
    throw LoadError("shadow address " + hex(newBase, 8) +
                    ": expected an address other than the link base");
  }
  LoadedImage shadow = place(machine, image, newBase, "shadow (module image)");
  const std::vector<std::uint8_t> bytes =
      image.relocatedTo(newBase, &shadow.relocations);
  machine.write(shadow.base, bytes);
  trapCode(machine, image, shadow.base, bytes);
  return shadow;
}

void retireFlash(machine::Machine &machine, const LoadedImage &flash) {
  machine.untrapInstructions(flash.regionBase, flash.regionSize);
  machine.space().protect(flash.regionBase, machine::kNone,
                  "the module runs from its shadow copy now; the flash copy "
                  "is no longer readable or executable");
}

} // namespace pei
