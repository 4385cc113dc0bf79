#include "companion.h"

#include "hex.h"

#include <algorithm>

namespace debug {

namespace {

const pei::PeSection *codeSection(const pei::PeImage &image) {
  for (const pei::PeSection &section : image.sections()) {
    if (section.executable()) {
      return &section;
    }
  }
  return nullptr;
}

} // namespace

std::filesystem::path companionBeside(const std::filesystem::path &image) {
  return image.parent_path() / (image.stem().string() + ".debug.efi");
}

std::filesystem::path builtCompanion() { return DEFAULT_COMPANION; }

std::filesystem::path sourceRoot() { return SOURCE_ROOT; }

std::string companionMismatch(const pei::PeImage &image,
                              const std::filesystem::path &companionPath) {
  std::optional<pei::PeImage> companion;
  try {
    companion = pei::PeImage::load(companionPath);
  } catch (const std::exception &error) {
    return "cannot read the debug companion " + companionPath.string() + ": " +
           error.what();
  }
  const pei::PeSection *code = codeSection(image);
  const pei::PeSection *debugCode = codeSection(*companion);
  if (code == nullptr || debugCode == nullptr) {
    return "expected a code section in both the image and " +
           companionPath.string();
  }
  const std::uint32_t at = image.imageBase() + code->virtualAddress;
  const std::uint32_t debugAt =
      companion->imageBase() + debugCode->virtualAddress;
  const auto bytes = [](const pei::PeImage &file, const pei::PeSection &s) {
    const auto begin = file.bytes().begin() + s.rawOffset;
    return std::vector<std::uint8_t>(
        begin, begin + std::min(s.virtualSize, s.rawSize));
  };
  if (at != debugAt || bytes(image, *code) != bytes(*companion, *debugCode)) {
    return "the debug companion " + companionPath.string() +
           " does not describe this image (its code at " +
           common::hex(debugAt, 8) + " differs from the image's at " +
           common::hex(at, 8) + "): rebuild both, or name the right one";
  }
  return {};
}

std::pair<std::uint32_t, std::uint32_t> codeRange(const pei::PeImage &image) {
  const pei::PeSection *code = codeSection(image);
  if (code == nullptr) {
    return {0, 0};
  }
  const std::uint32_t start = image.imageBase() + code->virtualAddress;
  return {start, start + code->virtualSize};
}

std::vector<std::uint32_t> loadedSections(const pei::PeImage &image) {
  std::vector<std::uint32_t> addresses;
  for (const pei::PeSection &section : image.sections()) {
    if (!section.name.starts_with("/") && !section.name.starts_with(".debug")) {
      addresses.push_back(image.imageBase() + section.virtualAddress);
    }
  }
  return addresses;
}

} // namespace debug
