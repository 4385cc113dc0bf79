// Finding the debug companion of an image and making sure it describes that
// image: its code must lie at the image's addresses with the image's bytes,
// or a debugger's source lines and the coverage report would be lies.
#pragma once

#include "pe_image.h"

#include <filesystem>
#include <optional>
#include <string>

namespace debug {

// <dir>/<stem>.debug.efi beside the image, where the build puts it.
std::filesystem::path companionBeside(const std::filesystem::path &image);
// The companion of the image this tree builds.
std::filesystem::path builtCompanion();
// Where the companion's relative source names start.
std::filesystem::path sourceRoot();

// Empty when the companion's code section lies at the image's addresses with
// the image's bytes; otherwise why not, in one line.
std::string companionMismatch(const pei::PeImage &image,
                              const std::filesystem::path &companion);

// [first, last) addresses of the image's code at its link base.
std::pair<std::uint32_t, std::uint32_t> codeRange(const pei::PeImage &image);

} // namespace debug
