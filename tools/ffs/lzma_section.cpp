#include "lzma_section.h"

#include "ffs_file.h"
#include "hex.h"
#include "lzma_decode.h"
#include "lzma_stream.h"

#include <lzma.h>

namespace ffs_format {
namespace {

constexpr std::size_t kPropertiesSize = 5;
constexpr std::size_t kHeaderSize = kPropertiesSize + 8;
// The firmware's decoder is written for the encoder's level 6 dictionary
// (8 MiB) and below; a larger one would need more memory than PEI has.
constexpr std::uint32_t kPreset = 6;

} // namespace

std::vector<std::uint8_t> lzmaDecompress(std::span<const std::uint8_t> stream,
                                         const std::string &where,
                                         std::uint64_t budget) {
  try {
    return volume::lzmaDecode(stream, budget, where);
  } catch (const volume::FormatError &error) {
    throw FfsError(error.what());
  }
}

std::vector<std::uint8_t> lzmaCompress(std::span<const std::uint8_t> data) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, kPreset) != 0) {
    throw FfsError("LZMA preset 6: expected liblzma to offer it, found none");
  }
  volume::LzmaStream lzma;
  if (lzma_alone_encoder(lzma.get(), &options) != LZMA_OK) {
    throw FfsError("LZMA encoder: expected it to start, found an error");
  }
  lzma_stream *s = lzma.get();
  // The stream's bound: incompressible data grows by a little.
  std::vector<std::uint8_t> out(data.size() + data.size() / 2 + 4096);
  s->next_in = data.data();
  s->avail_in = data.size();
  s->next_out = out.data();
  s->avail_out = out.size();
  lzma_ret ret = LZMA_OK;
  while (ret == LZMA_OK) {
    if (s->avail_out == 0) {
      const std::size_t produced = out.size();
      out.resize(out.size() * 2);
      s->next_out = out.data() + produced;
      s->avail_out = out.size() - produced;
    }
    ret = lzma_code(s, LZMA_FINISH);
  }
  if (ret != LZMA_STREAM_END) {
    throw FfsError("LZMA encoder: expected it to compress " +
                   common::hex(data.size()) + " bytes, found liblzma error " +
                   std::to_string(static_cast<int>(ret)));
  }
  out.resize(out.size() - s->avail_out);
  std::uint64_t size = data.size();
  for (std::size_t i = 0; i < 8; ++i, size >>= 8) {
    out[kPropertiesSize + i] = static_cast<std::uint8_t>(size);
  }
  static_assert(kHeaderSize == 13);
  return out;
}

} // namespace ffs_format
