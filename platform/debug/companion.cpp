#include "companion.h"

#include "hex.h"

#include <algorithm>
#include <span>

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

// The section's bytes as the file holds them. A TE file begins at RVA
// fileRva() (its PE headers were stripped and a smaller header put in their
// place), so a section's bytes lie that much earlier in the file than the
// PE32's PointerToRawData says.
std::span<const std::uint8_t> codeBytes(const pei::PeImage &image,
                                        const pei::PeSection &section) {
  if (section.rawSize == 0) {
    return {}; // no bytes in the file (the loader's checks hold only then)
  }
  const std::span<const std::uint8_t> file(image.bytes());
  return file.subspan(section.rawOffset - image.fileRva(),
                      std::min(section.virtualSize, section.rawSize));
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
  const std::string refused = "the debug companion " + companionPath.string() +
                              " does not describe this image: ";
  const std::string advice =
      ": rebuild both, or name the right one with --symbols FILE";
  const std::uint32_t at = image.imageBase() + code->virtualAddress;
  const std::uint32_t debugAt =
      companion->imageBase() + debugCode->virtualAddress;
  if (at != debugAt) {
    return refused + "its code lies at " + common::hex(debugAt, 8) +
           ", the image's at " + common::hex(at, 8) + advice;
  }
  const std::span<const std::uint8_t> bytes = codeBytes(image, *code);
  const std::span<const std::uint8_t> debugBytes =
      codeBytes(*companion, *debugCode);
  const auto [mine, theirs] = std::ranges::mismatch(bytes, debugBytes);
  if (mine != bytes.end() && theirs != debugBytes.end()) {
    const auto offset = static_cast<std::uint32_t>(mine - bytes.begin());
    return refused + "the code byte at " + common::hex(at + offset, 8) +
           " is " + common::hex(*theirs, 2) + " there and " +
           common::hex(*mine, 2) + " in the image" + advice;
  }
  if (bytes.size() != debugBytes.size()) {
    return refused + "its code at " + common::hex(at, 8) + " is " +
           std::to_string(debugBytes.size()) + " bytes long, the image's " +
           std::to_string(bytes.size()) + advice;
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

} // namespace debug
