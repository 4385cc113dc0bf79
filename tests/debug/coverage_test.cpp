// The coverage tracefile against runs whose executed lines are known.
#include "coverage.h"
#include "hex.h"
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

std::filesystem::path temporary(const std::string &name) {
  return std::filesystem::temp_directory_path() /
         (name + "-" + std::to_string(::getpid()));
}

// The exit status of `pei-platform boot <image> <options>`; its output goes
// to `log`.
int bootImage(const std::string &image, const std::string &options,
              const std::filesystem::path &log = "/dev/null") {
  const std::string command = std::string(PLATFORM_PATH) + " boot " + image +
                              " " + options + " >" + log.string() + " 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int boot(const std::string &options) { return bootImage(IMAGE_PATH, options); }

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

  // The same image as a TE section in an FFS file (at its link base, so the
  // companion still describes it) covers the same lines as the PE32.
  const std::filesystem::path te = temporary("coverage-te") += ".ffs";
  ASSERT_EQ(std::system((std::string(PEI_FFS_PATH) + " " + IMAGE_PATH +
                         " --te -o " + te.string() + " >/dev/null")
                            .c_str()),
            0);
  ASSERT_EQ(bootImage(te.string(), "--coverage " + file.string() +
                                       " --symbols " DEBUG_IMAGE_PATH),
            0);
  const debug::LineCounts teCounts = debug::readTracefile(fileText(file));
  EXPECT_EQ(entryRuns(teCounts), 2u);
  EXPECT_EQ(executeRuns(teCounts), executeRuns(both));
  std::filesystem::remove(file);
  std::filesystem::remove(te);

  // A companion whose code is not the image's is refused, not believed.
  const auto companion = pei::PeImage::load(DEBUG_IMAGE_PATH);
  std::vector<std::uint8_t> altered = companion.bytes();
  std::uint32_t alteredAt = 0;
  std::uint8_t original = 0;
  for (const auto &section : companion.sections()) {
    if (section.executable()) {
      alteredAt = companion.imageBase() + section.virtualAddress + 1;
      original = altered[section.rawOffset + 1];
      altered[section.rawOffset + 1] ^= 0xFF;
    }
  }
  const std::filesystem::path other =
      std::filesystem::temp_directory_path() /
      ("altered-" + std::to_string(::getpid()) + ".debug.efi");
  std::ofstream(other, std::ios::binary)
      .write(reinterpret_cast<const char *>(altered.data()),
             static_cast<std::streamsize>(altered.size()));
  const std::filesystem::path log = temporary("altered") += ".log";
  EXPECT_EQ(
      bootImage(IMAGE_PATH,
                "--coverage " + file.string() + " --symbols " + other.string(),
                log),
      2);
  EXPECT_FALSE(std::filesystem::exists(file));
  // The refusal names the byte that differs and both values.
  EXPECT_NE(fileText(log).find("the code byte at " + common::hex(alteredAt, 8) +
                               " is " + common::hex(original ^ 0xFFu, 2) +
                               " there and " + common::hex(original, 2) +
                               " in the image"),
            std::string::npos)
      << fileText(log);
  std::filesystem::remove(other);
  std::filesystem::remove(log);
}

} // namespace
