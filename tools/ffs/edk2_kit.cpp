#include "edk2_kit.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace ffs_format {
namespace {

std::vector<std::uint8_t> text(const std::string &s) {
  return std::vector<std::uint8_t>(s.begin(), s.end());
}

void checkBaseName(const std::string &name) {
  const bool identifier =
      !name.empty() &&
      std::isalpha(static_cast<unsigned char>(name.front())) != 0 &&
      std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
      });
  if (!identifier) {
    throw FfsError("EDK II kit: expected the name (--name) to be a letter "
                   "followed by letters, digits or '_', as BASE_NAME must be, "
                   "found \"" +
                   name + "\"");
  }
}

} // namespace

std::vector<KitFile> makeEdk2Kit(const pei::PeImage &image,
                                 const PeimOptions &options) {
  checkBaseName(options.uiName);
  if (image.isTe()) {
    throw FfsError("EDK II kit: expected the module's PE32 image (--te "
                   "converts it), found a TE image");
  }
  const std::string &name = options.uiName;
  const std::string imageFile = name + (options.te ? ".te" : ".efi");
  const std::string imageType = options.te ? "TE" : "PE32";
  const std::string guid = options.name.text();

  const std::string inf =
      "## @file\n"
      "#  " +
      name +
      ": a binary PEI module for IA-32, written by pei-ffs.\n"
      "#  The image is linked at 0x" +
      [&] {
        char base[16];
        std::snprintf(base, sizeof(base), "%08X", image.imageBase());
        return std::string(base);
      }() +
      " and keeps its relocations: the\n"
      "#  volume tool rebases it for where it executes in place.\n"
      "##\n"
      "\n"
      "[Defines]\n"
      "  INF_VERSION                    = 0x00010005\n"
      "  BASE_NAME                      = " +
      name +
      "\n"
      "  FILE_GUID                      = " +
      guid +
      "\n"
      "  MODULE_TYPE                    = PEIM\n"
      "  VERSION_STRING                 = 1.0\n"
      "\n"
      "[Binaries.IA32]\n"
      "  " +
      imageType + "|" + imageFile +
      "|*\n"
      "  PEI_DEPEX|" +
      name + ".depex|*\n";

  const std::string infPath = "path/to/" + name + ".inf";
  const std::string fdf =
      "# " + name + " (" + guid +
      ") in a platform's FDF.\n"
      "#\n"
      "# Put the kit's directory under a package path (WORKSPACE or\n"
      "# PACKAGES_PATH) and write the INF's path relative to it in place\n"
      "# of " +
      infPath +
      ".\n"
      "#\n"
      "# 1. In the [FV.*] section of the volume that holds the PEI modules:\n"
      "\n"
      "INF  RuleOverride = BINARY " +
      infPath +
      "\n"
      "\n"
      "# 2. To dispatch it before permanent memory (in place, then from its\n"
      "#    shadow copy), also list it in that volume's apriori block, which\n"
      "#    the volume holds once, before its INF lines:\n"
      "#\n"
      "#      APRIORI PEI {\n"
      "#        INF  " +
      infPath +
      "\n"
      "#      }\n"
      "#\n"
      "# 3. Once per FDF, the rule for binary PEI modules (skip it when the\n"
      "#    FDF has a [Rule.Common.PEIM.BINARY] already):\n"
      "\n"
      "[Rule.Common.PEIM.BINARY]\n"
      "  FILE PEIM = $(NAMED_GUID) {\n"
      "    PEI_DEPEX PEI_DEPEX Optional       |.depex\n"
      "    " +
      imageType + std::string(10 - imageType.size(), ' ') + imageType +
      std::string(10 - imageType.size(), ' ') + "Align = Auto         |" +
      (options.te ? ".te" : ".efi") +
      "\n"
      "    UI        STRING=\"$(MODULE_NAME)\" Optional\n"
      "  }\n";

  std::vector<KitFile> kit;
  kit.push_back({name + ".inf", text(inf)});
  kit.push_back(
      {imageFile, options.te ? teImage(image.bytes()) : image.bytes()});
  kit.push_back({name + ".depex", makeDepex(options.depex)});
  kit.push_back({name + ".fdf", text(fdf)});
  return kit;
}

} // namespace ffs_format
