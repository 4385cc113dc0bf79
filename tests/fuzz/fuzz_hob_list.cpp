// The HOB list walk on arbitrary bytes: every input is walked to its end
// block or refused with HobFormatError, and every block returned lies inside
// the input.
#include "hob_list.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  try {
    for (const pei::Hob &block : pei::walkHobList(bytes)) {
      if (block.bytes.data() < data ||
          block.bytes.data() + block.bytes.size() > data + size ||
          block.bytes.size() != block.length) {
        std::abort();
      }
    }
  } catch (const pei::HobFormatError &) {
  }
  return 0;
}
