// The coverage tracefile against runs whose executed lines are known.
#include "coverage.h"
#include "pe_image.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string fileText(const std::filesystem::path &path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int boot(const std::string &options) {
  const std::string command = std::string(PLATFORM_PATH) + " boot " +
                              IMAGE_PATH + " " + options + " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The count of the first line of ModuleEntry's body that ran.
std::uint64_t entryRuns(const debug::LineCounts &counts) {
  const auto &entry = counts.at(SOURCE_DIR "/firmware/lifecycle/entry.cpp");
  for (const auto &[line, runs] : entry) {
    if (line > 52 && runs != 0) { // ModuleEntry starts on line 52
      return runs;
    }
  }
  return 0;
}

std::uint64_t executeRuns(const debug::LineCounts &counts) {
  std::uint64_t total = 0;
  for (const auto &[line, runs] :
       counts.at(SOURCE_DIR "/firmware/transport/exchange.cpp")) {
    total += runs;
  }
  return total;
}

// A declined activation runs the entry from flash and from the shadow and
// never exchanges a command; a second, default boot adds its own lines to
// the same file.
TEST(Coverage, CountsBothCopiesAndAddsRunsTogether) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() /
      ("coverage-test-" + std::to_string(::getpid()) + ".info");
  std::filesystem::remove(file);

  ASSERT_EQ(boot("--device-select 0 --coverage " + file.string()), 0);
  const debug::LineCounts declined = debug::readTracefile(fileText(file));
  EXPECT_EQ(entryRuns(declined), 2u) << "once in place, once shadowed";
  EXPECT_EQ(executeRuns(declined), 0u) << "no command was exchanged";
  EXPECT_GT(declined.at(SOURCE_DIR "/firmware/transport/exchange.cpp").size(),
            10u)
      << "lines never run are listed with 0";

  ASSERT_EQ(boot("--coverage " + file.string()), 0);
  const debug::LineCounts both = debug::readTracefile(fileText(file));
  EXPECT_EQ(entryRuns(both), 4u);
  EXPECT_GT(executeRuns(both), 0u);
  // Function records too (genhtml's function view), by source name, added
  // up the same way: Execute runs once per command of the second boot.
  const debug::RoutineCounts routines =
      debug::readRoutineRecords(fileText(file));
  const auto &entry =
      routines.at(SOURCE_DIR "/firmware/lifecycle/entry.cpp").at("ModuleEntry");
  EXPECT_EQ(entry.runs, 4u);
  EXPECT_EQ(entry.line, 53u);
  const auto &execute =
      routines.at(SOURCE_DIR "/firmware/transport/exchange.cpp").at("Execute");
  EXPECT_GE(execute.runs, 6u);
  EXPECT_EQ(fileText(file).find("?"), std::string::npos) << "no mangled names";
  std::filesystem::remove(file);

  // A companion whose code is not the image's is refused, not believed.
  const auto companion = pei::PeImage::load(DEBUG_IMAGE_PATH);
  std::vector<std::uint8_t> altered = companion.bytes();
  for (const auto &section : companion.sections()) {
    if (section.executable()) {
      altered[section.rawOffset] ^= 0xFF;
    }
  }
  const std::filesystem::path other =
      std::filesystem::temp_directory_path() /
      ("altered-" + std::to_string(::getpid()) + ".debug.efi");
  std::ofstream(other, std::ios::binary)
      .write(reinterpret_cast<const char *>(altered.data()),
             static_cast<std::streamsize>(altered.size()));
  EXPECT_EQ(
      boot("--coverage " + file.string() + " --symbols " + other.string()), 2);
  EXPECT_FALSE(std::filesystem::exists(file));
  std::filesystem::remove(other);
}

} // namespace
