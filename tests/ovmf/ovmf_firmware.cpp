#include "ovmf_firmware.h"

#include "lzma_stream.h"

#include <lzma.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace ovmf {
namespace {

using volume::LzmaStream;

using Bytes = std::vector<std::uint8_t>;
namespace ff = ffs_format;

std::string hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llX",
                static_cast<unsigned long long>(value));
  return text;
}

std::uint32_t u24(std::span<const std::uint8_t> b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16;
}
std::uint16_t u16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
std::uint32_t alignUp(std::uint32_t value, std::uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

constexpr std::size_t kLzmaPropertiesSize = 5;
constexpr std::size_t kLzmaHeaderSize = 13; // properties + 64-bit size
constexpr std::size_t kGuidSectionHeaderSize = 24;

Bytes runLzma(lzma_stream *stream, std::span<const std::uint8_t> input,
              std::size_t expected, const char *what) {
  Bytes output(std::max<std::size_t>(expected, 1 << 16));
  stream->next_in = input.data();
  stream->avail_in = input.size();
  std::size_t produced = 0;
  for (;;) {
    if (produced == output.size()) {
      output.resize(output.size() * 2);
    }
    stream->next_out = output.data() + produced;
    stream->avail_out = output.size() - produced;
    const lzma_ret ret = lzma_code(stream, LZMA_FINISH);
    produced = output.size() - stream->avail_out;
    if (ret == LZMA_STREAM_END) {
      break;
    }
    if (ret != LZMA_OK) {
      throw FirmwareError(std::string(what) +
                          ": expected liblzma to succeed, found error " +
                          std::to_string(static_cast<int>(ret)));
    }
  }
  output.resize(produced);
  return output;
}

Bytes section(std::span<const std::uint8_t> bytes, std::size_t at,
              const char *what) {
  if (at + ff::kSectionHeaderSize > bytes.size()) {
    throw FirmwareError(std::string(what) + ": expected a section at " +
                        hex(at) + ", found the end of the data");
  }
  const std::uint32_t size = u24(bytes, at);
  if (size < ff::kSectionHeaderSize || at + size > bytes.size()) {
    throw FirmwareError(std::string(what) +
                        ": expected a section size within "
                        "the data, found " +
                        hex(size) + " at " + hex(at));
  }
  return Bytes(bytes.begin() + static_cast<long>(at),
               bytes.begin() + static_cast<long>(at + size));
}

// Adds `name` to the apriori list, which grows by one GUID. The apriori file
// is followed by a pad file in this firmware; it shrinks by as much, so that
// every later file, executing in place at its address, stays where it is.
void addToApriori(std::span<std::uint8_t> volumeBytes, const ff::Guid &name) {
  const ff::Volume volume = ff::Volume::parse(volumeBytes);
  const auto &files = volume.files();
  const auto apriori =
      std::find_if(files.begin(), files.end(), [](const ff::VolumeFile &f) {
        return f.name == ff::parseGuid(kPeiAprioriFileGuid);
      });
  if (apriori == files.end() || apriori + 1 == files.end()) {
    throw FirmwareError("PEI volume: expected an apriori file followed by "
                        "another file, found none");
  }
  const ff::VolumeFile &pad = *(apriori + 1);
  const Bytes list =
      section(volumeBytes.subspan(apriori->offset, apriori->size),
              ff::kFileHeaderSize, "apriori file");
  if (list[3] != ff::kSectionRaw ||
      apriori->size != ff::kFileHeaderSize + list.size()) {
    throw FirmwareError("apriori file: expected one raw section, found type " +
                        hex(list[3]));
  }
  Bytes body(list.begin() + ff::kSectionHeaderSize, list.end());
  body.insert(body.end(), name.bytes.begin(), name.bytes.end());
  const Bytes file = ff::makeFile(
      apriori->name, apriori->type,
      ff::alignmentFromAttributes(apriori->attributes),
      ff::makeSection(ff::kSectionRaw, body), volume.erasePolarity(),
      (apriori->attributes & ff::kAttribChecksum) != 0);
  const std::uint32_t padStart =
      alignUp(apriori->offset + static_cast<std::uint32_t>(file.size()), 8);
  if (pad.type != ff::kFileTypePad ||
      padStart + ff::kFileHeaderSize > pad.end()) {
    throw FirmwareError("apriori file: expected a pad file after it with room "
                        "for 16 more bytes, found type " +
                        hex(pad.type) + " ending at " + hex(pad.end()));
  }
  const Bytes newPad =
      ff::makePadFile(pad.end() - padStart, volume.erasePolarity());
  std::fill(volumeBytes.begin() + apriori->offset,
            volumeBytes.begin() + pad.end(),
            volume.erasePolarity() ? 0xFF : 0x00);
  std::copy(file.begin(), file.end(), volumeBytes.begin() + apriori->offset);
  std::copy(newPad.begin(), newPad.end(), volumeBytes.begin() + padStart);
}

PlacedModule place(std::span<std::uint8_t> volumeBytes,
                   std::uint32_t volumeBase, const pei::PeImage &image,
                   ff::PeimOptions options) {
  // The layout does not depend on the base, so a first build tells where
  // the file will go and a second one is rebased for that place.
  const ff::PeimFile unplaced = ff::buildPeim(image, options);
  const std::uint32_t at =
      ff::placementFor(ff::Volume::parse(volumeBytes),
                       static_cast<std::uint32_t>(unplaced.bytes.size()),
                       unplaced.dataAlignment);
  options.fileAddress = volumeBase + at;
  const ff::PeimFile placed = ff::buildPeim(image, options);
  const std::uint32_t written =
      ff::appendFile(volumeBytes, placed.bytes, placed.dataAlignment);
  if (written != at) {
    throw FirmwareError("placement: expected the file at " + hex(at) +
                        ", found it at " + hex(written));
  }
  return {at, placed.imageBase, image.sizeOfImage()};
}

} // namespace

Bytes lzmaDecompress(std::span<const std::uint8_t> stream) {
  if (stream.size() < kLzmaHeaderSize) {
    throw FirmwareError("LZMA stream: expected a 13-byte header, found " +
                        std::to_string(stream.size()) + " bytes");
  }
  std::uint64_t size = 0;
  for (int i = 7; i >= 0; --i) {
    size = size << 8 | stream[kLzmaPropertiesSize + static_cast<unsigned>(i)];
  }
  LzmaStream lzma;
  if (lzma_alone_decoder(lzma.get(), UINT64_MAX) != LZMA_OK) {
    throw FirmwareError("LZMA decoder: expected it to start, found an error");
  }
  const bool known = size != UINT64_MAX;
  Bytes out = runLzma(lzma.get(), stream, known ? size : 0, "LZMA decode");
  if (known && out.size() != size) {
    throw FirmwareError("LZMA stream: expected " + hex(size) +
                        " bytes as its header says, found " + hex(out.size()));
  }
  return out;
}

Bytes lzmaCompress(std::span<const std::uint8_t> data) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, 6) != 0) {
    throw FirmwareError("LZMA preset 6: expected it available, found none");
  }
  LzmaStream lzma;
  if (lzma_alone_encoder(lzma.get(), &options) != LZMA_OK) {
    throw FirmwareError("LZMA encoder: expected it to start, found an error");
  }
  Bytes out = runLzma(lzma.get(), data, data.size() / 2 + 4096, "LZMA encode");
  std::uint64_t size = data.size();
  for (std::size_t i = 0; i < 8; ++i, size >>= 8) {
    out[kLzmaPropertiesSize + i] = static_cast<std::uint8_t>(size);
  }
  return out;
}

PatchedFirmware insertModules(Bytes firmware, const pei::PeImage &module,
                              const pei::PeImage &companion, Dispatch dispatch,
                              bool moduleAsTe,
                              std::span<const ExtraPeim> extras) {
  const ff::Volume top = ff::Volume::parse(firmware);
  const auto &files = top.files();
  const auto holder =
      std::find_if(files.begin(), files.end(), [](const ff::VolumeFile &f) {
        return f.type == ff::kFileTypeVolumeImage;
      });
  if (holder == files.end()) {
    throw FirmwareError("first volume: expected a volume-image file, found "
                        "none");
  }
  const std::size_t sectionAt = holder->offset + ff::kFileHeaderSize;
  const Bytes guided =
      section(std::span<const std::uint8_t>(firmware).subspan(0, holder->end()),
              sectionAt, "compressed volumes");
  if (guided.size() < 4 + 16 || guided[3] != ff::kSectionGuidDefined ||
      ff::Guid::fromBytes(std::span(guided).subspan(4, 16)) !=
          ff::parseGuid(kLzmaSectionGuid)) {
    throw FirmwareError("volume-image file " + holder->name.text() +
                        ": expected an LZMA GUID-defined section first, "
                        "found type " +
                        hex(guided[3]));
  }
  // The file is rebuilt from this one section; anything after it would be
  // lost.
  if (holder->size != ff::kFileHeaderSize + guided.size()) {
    throw FirmwareError(
        "volume-image file " + holder->name.text() +
        ": expected the LZMA section to be its only section, "
        "found " +
        hex(holder->size - ff::kFileHeaderSize - guided.size()) +
        " bytes after it");
  }
  const std::uint16_t dataOffset = u16(guided, 20);
  if (dataOffset < kGuidSectionHeaderSize || dataOffset > guided.size()) {
    throw FirmwareError("LZMA section: expected a data offset within it, "
                        "found " +
                        hex(dataOffset));
  }
  Bytes volumes = lzmaDecompress(std::span(guided).subspan(dataOffset));

  // Find the PEI volume among the volume-image sections.
  PatchedFirmware out;
  std::span<std::uint8_t> pei;
  for (std::size_t at = 0; at + ff::kSectionHeaderSize <= volumes.size();
       at = alignUp(static_cast<std::uint32_t>(at + u24(volumes, at)), 4)) {
    const std::uint32_t size = u24(volumes, at);
    if (size < ff::kSectionHeaderSize) {
      break; // padding after the last section
    }
    if (at + size > volumes.size()) {
      throw FirmwareError("compressed volumes: expected a section within "
                          "them at " +
                          hex(at) + ", found size " + hex(size));
    }
    if (volumes[at + 3] != ff::kSectionVolumeImage) {
      continue;
    }
    const auto candidate =
        std::span(volumes).subspan(at + 4, size - ff::kSectionHeaderSize);
    const ff::Volume v = ff::Volume::parse(candidate);
    if (v.name() == ff::parseGuid(kPeiVolumeGuid)) {
      pei = candidate.subspan(0, v.length());
      break;
    }
  }
  if (pei.empty()) {
    throw FirmwareError("compressed volumes: expected the PEI volume " +
                        std::string(kPeiVolumeGuid) + ", found none");
  }
  out.peiVolumeLength = static_cast<std::uint32_t>(pei.size());

  ff::PeimOptions moduleOptions; // the shipped GUID, name and TRUE depex
  moduleOptions.te = moduleAsTe;
  if (dispatch == Dispatch::Apriori) {
    addToApriori(pei, moduleOptions.name);
  }
  out.module = place(pei, kPeiVolumeRamBase, module, moduleOptions);
  ff::PeimOptions companionOptions;
  companionOptions.name = ff::parseGuid(kCompanionFileGuid);
  companionOptions.uiName = "TpmTransportCompanionPei";
  companionOptions.depex = {ff::parseGuid(kMemoryDiscoveredPpiGuid)};
  out.companion = place(pei, kPeiVolumeRamBase, companion, companionOptions);
  for (const ExtraPeim &extra : extras) {
    out.extras.push_back(
        place(pei, kPeiVolumeRamBase, *extra.image, extra.options));
  }

  // The modules went into the volumes in place, so their decompressed size,
  // which this firmware's memory layout depends on, stays as it was.
  // The section keeps its GUID-defined header and takes the new stream.
  Bytes body(guided.begin() + ff::kSectionHeaderSize,
             guided.begin() + dataOffset);
  const Bytes packed = lzmaCompress(volumes);
  body.insert(body.end(), packed.begin(), packed.end());
  const Bytes newSection = ff::makeSection(guided[3], body);
  const Bytes file = ff::makeFile(
      holder->name, holder->type,
      ff::alignmentFromAttributes(holder->attributes), newSection,
      top.erasePolarity(), (holder->attributes & ff::kAttribChecksum) != 0);

  // The file may grow into the free space behind it, never into a file.
  const std::uint32_t newEnd =
      holder->offset + static_cast<std::uint32_t>(file.size());
  const std::uint32_t limit =
      holder + 1 != files.end() ? (holder + 1)->offset : top.length();
  if (alignUp(newEnd, 8) > limit) {
    throw FirmwareError("first volume: expected room for " + hex(file.size()) +
                        " bytes at " + hex(holder->offset) +
                        ", found the next object at " + hex(limit));
  }
  std::fill(firmware.begin() + holder->offset,
            firmware.begin() + std::max(holder->end(), newEnd),
            top.erasePolarity() ? 0xFF : 0x00);
  std::copy(file.begin(), file.end(), firmware.begin() + holder->offset);
  out.image = std::move(firmware);
  return out;
}

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length,
                 EVP_sha256(), nullptr) != 1) {
    throw FirmwareError("SHA-256: expected libcrypto to hash " +
                        std::to_string(bytes.size()) +
                        " bytes, found it failing");
  }
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    char text[3];
    std::snprintf(text, sizeof(text), "%02x", digest[i]);
    out += text;
  }
  return out;
}

} // namespace ovmf
