// How the programs end and how they report a bad command line or bad input.
// Each program exits 0 when everything went as it should, 1 when it ran but
// something did not (or could not start: a port in use, an output that fails
// while being written), and 2 for a bad command line or a bad input file,
// refused before any work starts, with a one-line message in one of two
// forms: "OPTION: expected ..., found ..." for a value, "FILE: ..." for a
// file, the file named by the path as given.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace common {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// A bad option, value or input file: the message is one line, for the user.
class UsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// `text` in double quotes, as messages show what the user wrote.
inline std::string inQuotes(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

// "OPTION: expected EXPECTED, found FOUND": the one form of every message
// about an option's value. `found` is taken as it is (quote what the user
// wrote with inQuotes()).
inline UsageError badValue(std::string_view option, std::string_view expected,
                           std::string_view found) {
  return UsageError(std::string(option) + ": expected " +
                    std::string(expected) + ", found " + std::string(found));
}

// An option at the end of the command line, without its value.
inline UsageError missingValue(std::string_view option,
                               std::string_view expected) {
  return badValue(option, expected, "the end of the command line");
}

} // namespace common
