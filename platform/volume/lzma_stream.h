// One liblzma stream, ended when it goes out of scope: the decoder of
// compressed sections and the tools and tests that compress them share it.
#pragma once

#include <lzma.h>

namespace volume {

class LzmaStream {
public:
  LzmaStream() = default;
  LzmaStream(const LzmaStream &) = delete;
  LzmaStream &operator=(const LzmaStream &) = delete;
  ~LzmaStream() { lzma_end(&stream_); }
  lzma_stream *get() { return &stream_; }

private:
  lzma_stream stream_ = LZMA_STREAM_INIT;
};

} // namespace volume
