// The answers a user declares for registers no device models, so that a
// module can be driven down a path (pei-platform run --registers FILE):
//
//   # space  address     width  value[,value...]
//   port     0x510       2      0x5151
//   mmio     0xFED40000  4      0xFFFFFFFF
//   msr      0x1B        8      0xFEE00900
//   port     0x71        1      0x10,0x20,0x30   (in turn, the last for good)
//
// Blank lines and text after '#' are ignored.
#pragma once

#include "bench.h"

#include <filesystem>
#include <string_view>
#include <vector>

namespace bench {

// Throws common::UsageError "FILE:LINE: expected ..., found ..." for a line
// it cannot read.
std::vector<RegisterAnswer> parseRegisters(std::string_view text,
                                           const std::string &file);
std::vector<RegisterAnswer> readRegisters(const std::filesystem::path &path);

} // namespace bench
