// LZMA as EDK II's "LZMA alone" GUID-defined sections carry it.
#pragma once

#include "volume.h"

namespace volume {

// The decoded bytes of `stream` (5 property bytes, the 64-bit decoded size,
// the data). A stated size over `budget` is refused before any decoding.
Bytes lzmaDecode(ByteSpan stream, std::uint64_t budget,
                 const std::string &where);

} // namespace volume
