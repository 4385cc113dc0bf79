// How the programs end and how they report a bad command line or bad input.
// Each program exits 0 when everything went as it should, 1 when it ran but
// something did not (or an output could not be written), and 2 for bad usage
// or bad input, with a one-line message that names the option or file.
#pragma once

#include <stdexcept>

namespace common {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// A bad option, value or input file: the message is one line, for the user.
class UsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

} // namespace common
