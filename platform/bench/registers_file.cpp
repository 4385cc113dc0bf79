#include "registers_file.h"

#include "files.h"
#include "number.h"
#include "usage.h"

#include <sstream>

namespace bench {

namespace {

constexpr std::size_t kMaxFile = 1u << 20;
constexpr std::size_t kMaxValues = 256;

std::uint64_t widthMask(unsigned width) {
  return width == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * width)) - 1;
}

} // namespace

std::vector<RegisterAnswer> parseRegisters(std::string_view text,
                                           const std::string &file) {
  std::vector<RegisterAnswer> answers;
  std::istringstream lines{std::string(text)};
  std::string line;
  for (unsigned number = 1; std::getline(lines, line); ++number) {
    const std::string where = file + ":" + std::to_string(number);
    auto bad = [&](const std::string &expected, const std::string &found) {
      return common::UsageError(where + ": expected " + expected + ", found " +
                                found);
    };
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string space, address, width, values, extra;
    if (!(words >> space)) {
      continue;
    }
    RegisterAnswer answer;
    if (space == "port") {
      answer.space = bus::Space::Port;
    } else if (space == "mmio") {
      answer.space = bus::Space::Memory;
    } else if (space == "msr") {
      answer.space = bus::Space::Msr;
    } else {
      throw bad("port, mmio or msr", common::inQuotes(space));
    }
    if (!(words >> address >> width >> values)) {
      throw bad("SPACE ADDRESS WIDTH VALUE[,VALUE...]", common::inQuotes(line));
    }
    if (words >> extra) {
      throw bad("the end of the line", common::inQuotes(extra));
    }
    const std::uint64_t most = answer.space == bus::Space::Port ? 0xFFFF
                               : answer.space == bus::Space::Msr
                                   ? 0xFFFFFFFF
                                   : ~std::uint64_t{0};
    const auto at =
        common::numberAtMost(address, most, common::Radix::DecimalOrHex);
    if (!at) {
      throw bad("an address of at most " + std::to_string(most),
                common::inQuotes(address));
    }
    answer.address = *at;
    if (width != "1" && width != "2" && width != "4" && width != "8") {
      throw bad("a width of 1, 2, 4 or 8 bytes", common::inQuotes(width));
    }
    answer.width = static_cast<unsigned>(width[0] - '0');
    std::istringstream list(values);
    std::string value;
    while (std::getline(list, value, ',')) {
      const auto read = common::numberAtMost(value, widthMask(answer.width),
                                             common::Radix::DecimalOrHex);
      if (!read) {
        throw bad("a value that fits in " + width + " bytes",
                  common::inQuotes(value));
      }
      if (answer.values.size() == kMaxValues) {
        throw bad("at most " + std::to_string(kMaxValues) + " values", "more");
      }
      answer.values.push_back(*read);
    }
    if (answer.values.empty()) {
      throw bad("a value", common::inQuotes(values));
    }
    answers.push_back(std::move(answer));
  }
  return answers;
}

std::vector<RegisterAnswer> readRegisters(const std::filesystem::path &path) {
  const common::FileDescriptor file = common::openRegularFile(path);
  const std::vector<std::uint8_t> bytes =
      common::readUpTo(file, kMaxFile + 1, path);
  if (bytes.size() > kMaxFile) {
    throw common::UsageError(path.string() + ": expected at most " +
                             std::to_string(kMaxFile) + " bytes, found more");
  }
  return parseRegisters(std::string(bytes.begin(), bytes.end()), path.string());
}

} // namespace bench
