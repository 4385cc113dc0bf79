#include "lzma_decode.h"
#include "lzma_stream.h"

#include "hex.h"
#include "little_endian.h"

#include <lzma.h>

namespace volume {
namespace {

constexpr std::size_t kPropertiesSize = 5;
constexpr std::size_t kHeaderSize = kPropertiesSize + 8;
// The decoder's own memory (its dictionary), whatever the header asks for.
constexpr std::uint64_t kDecoderMemory = 256ull << 20;

} // namespace

Bytes lzmaDecode(ByteSpan stream, std::uint64_t budget,
                 const std::string &where) {
  if (stream.size() < kHeaderSize) {
    throw FormatError(where + ": expected a 13-byte LZMA header, found " +
                      std::to_string(stream.size()) + " bytes");
  }
  const std::uint64_t size = common::le::load64(stream, kPropertiesSize);
  if (size > budget) {
    throw FormatError(where + ": LZMA data states " + common::hex(size) +
                      " decoded bytes, expected at most the " +
                      common::hex(budget) + " left of the decompression bound");
  }
  LzmaStream lzma;
  if (lzma_alone_decoder(lzma.get(), kDecoderMemory) != LZMA_OK) {
    throw FormatError(where + ": expected the LZMA decoder to start, found "
                              "an error");
  }
  Bytes out(static_cast<std::size_t>(size));
  lzma_stream *s = lzma.get();
  s->next_in = stream.data();
  s->avail_in = stream.size();
  s->next_out = out.data();
  s->avail_out = out.size();
  // With its size known, the decoder ends the stream at exactly that many
  // bytes: it can never write past the stated size.
  lzma_ret ret = LZMA_OK;
  while (ret == LZMA_OK && (s->avail_in > 0 || s->avail_out > 0)) {
    ret = lzma_code(s, LZMA_FINISH);
  }
  if (ret != LZMA_STREAM_END) {
    throw FormatError(where + ": expected LZMA data decoding to " +
                      common::hex(size) + " bytes, found liblzma error " +
                      std::to_string(static_cast<int>(ret)) + " after " +
                      common::hex(size - s->avail_out) + " bytes");
  }
  return out;
}

} // namespace volume
