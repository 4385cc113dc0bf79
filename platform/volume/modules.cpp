// What the PEI Foundation takes from a volume: its modules and the apriori
// list.
#include "volume.h"

#include "ffs_layout.h"
#include "hex.h"
#include "little_endian.h"

namespace volume {
namespace {

namespace ffs = common::ffs;
using common::hex;

constexpr std::uint8_t kFileTypePeiCore = 0x04;
constexpr std::uint8_t kFileTypeCombinedPeimDriver = 0x08;
const Guid kAprioriFile = Guid::parse("1B45CC0A-156A-428A-AF62-49864DA0E6E6");
constexpr std::size_t kGuidSize = 16;

bool isModule(std::uint8_t type) {
  return type == ffs::kFileTypePeim || type == kFileTypeCombinedPeimDriver ||
         type == kFileTypePeiCore;
}

// UCS-2 (NUL-terminated UTF-16LE) as UTF-8.
std::string utf8FromUcs2(ByteSpan bytes) {
  std::string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const std::uint32_t c = common::le::load16(bytes, i);
    if (c == 0) {
      break;
    }
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else if (c < 0x800) {
      text += static_cast<char>(0xC0 | c >> 6);
      text += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      text += static_cast<char>(0xE0 | c >> 12);
      text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}

// Takes what a module needs from one section.
void take(Peim &peim, const Section &section) {
  switch (section.type) {
  case ffs::kSectionUserInterface:
    if (peim.uiName.empty()) {
      peim.uiName = utf8FromUcs2(section.body);
    }
    break;
  case ffs::kSectionPeiDepex:
    if (!peim.depex) {
      peim.depex = section.body;
    }
    break;
  case ffs::kSectionPe32:
  case ffs::kSectionTe:
    if (peim.imageType == 0) {
      peim.imageType = section.type;
      peim.image = section.body;
      if (section.inVolume) {
        peim.imageOffset = section.offset + section.headerSize;
      }
    }
    break;
  default:
    break;
  }
}

} // namespace

std::vector<Peim> peims(const Volume &volume) {
  std::vector<Peim> modules;
  for (const File &file : volume.files) {
    if (!isModule(file.type) || !file.headerChecksumValid) {
      continue;
    }
    Peim peim;
    peim.name = file.name;
    peim.fileType = file.type;
    peim.core = file.type == kFileTypePeiCore;
    // The sections of the file and, as the Foundation searches, those one
    // level inside its encapsulations.
    for (const Section &section : file.sections) {
      take(peim, section);
    }
    for (const Section &section : file.sections) {
      for (const Section &child : section.children) {
        take(peim, child);
      }
    }
    modules.push_back(std::move(peim));
  }
  return modules;
}

std::vector<Guid> apriori(const Volume &volume) {
  const File *file = volume.find(kAprioriFile);
  if (file == nullptr) {
    return {};
  }
  for (const Section &section : file->sections) {
    if (section.type != ffs::kSectionRaw) {
      continue;
    }
    if (section.body.size() % kGuidSize != 0) {
      throw FormatError(volume.origin + " apriori file at " +
                        hex(file->offset) +
                        ": expected a whole number of GUIDs, found " +
                        std::to_string(section.body.size()) + " bytes");
    }
    std::vector<Guid> order;
    for (std::size_t i = 0; i < section.body.size(); i += kGuidSize) {
      order.push_back(Guid::fromBytes(section.body.subspan(i, kGuidSize)));
    }
    return order;
  }
  throw FormatError(volume.origin + " apriori file at " + hex(file->offset) +
                    ": expected a raw section, found none");
}

} // namespace volume
