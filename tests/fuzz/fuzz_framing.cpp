// The mssim and swtpm framing on arbitrary bytes. The first byte picks the
// port; the rest is what a client sent. A complete frame lies within what
// arrived and parses the same on its own; a frame that needs more says a
// size beyond what arrived, or none.
#include "framing.h"

#include <cstdint>
#include <cstdlib>

namespace {

constexpr std::uint32_t kMaxCommand = 4096;

serve::Parse parse(std::uint8_t port, std::span<const std::uint8_t> in) {
  switch (port % 4) {
  case 0:
    return serve::mssim::parseCommandPort(in, kMaxCommand);
  case 1:
    return serve::mssim::parsePlatformPort(in);
  case 2:
    return serve::swtpm::parseDataPort(in, kMaxCommand);
  default:
    return serve::swtpm::parseControlPort(in);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::span<const std::uint8_t> in(data + 1, size - 1);
  const serve::Parse first = parse(data[0], in);
  switch (first.status) {
  case serve::ParseStatus::Complete: {
    if (first.size == 0 || first.size > in.size()) {
      std::abort();
    }
    const serve::Parse alone = parse(data[0], in.first(first.size));
    if (alone.status != serve::ParseStatus::Complete ||
        alone.size != first.size) {
      std::abort();
    }
    break;
  }
  case serve::ParseStatus::NeedMore:
    if (first.size != 0 && first.size <= in.size()) {
      std::abort();
    }
    break;
  case serve::ParseStatus::Malformed:
    if (first.reason.empty()) {
      std::abort();
    }
    break;
  }
  // The answers the server builds from a frame's bytes.
  (void)serve::mssim::commandAnswer(in);
  return 0;
}
