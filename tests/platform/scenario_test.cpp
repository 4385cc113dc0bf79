// The scenario options that boot and serve share: values land where they
// should, applied in order, and bad values are refused in one line.
#include "platform.h"
#include "scenario.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using platform::Scenario;
using platform::UsageError;

Scenario parse(std::vector<std::string> args) {
  Scenario scenario;
  for (std::size_t i = 0; i < args.size();) {
    if (!platform::parseScenarioOption(args, i, scenario)) {
      throw std::invalid_argument("not a scenario option: " + args[i]);
    }
  }
  return scenario;
}

std::string refusal(std::vector<std::string> args) {
  try {
    parse(std::move(args));
  } catch (const UsageError &error) {
    return error.what();
  }
  return "(accepted)";
}

TEST(ScenarioOptions, SetupBytesAreAppliedInOrder) {
  EXPECT_EQ(Scenario{}.setup, Scenario::defaultSetup());
  EXPECT_EQ((*Scenario{}.setup)[256], 2);

  const Scenario grown = parse({"--setup-size", "16", "--setup-byte=500=0x7F",
                                "--no-setup", "--select-override", "1"});
  ASSERT_TRUE(grown.setup.has_value()) << "a byte after --no-setup makes one";
  EXPECT_EQ(grown.setup->size(), 459u);
  EXPECT_EQ((*grown.setup)[458], 1);
  EXPECT_EQ((*grown.setup)[256], 0);

  const Scenario cut = parse({"--setup-byte", "700=9", "--setup-size", "300"});
  EXPECT_EQ(cut.setup->size(), 300u);
  EXPECT_EQ((*cut.setup)[256], 2);
  EXPECT_FALSE(parse({"--no-setup"}).setup.has_value());

  // A file's bytes, exactly, with later options applied on top.
  const std::string path = ::testing::TempDir() + "setup-file-test.bin";
  std::vector<std::uint8_t> bytes(300);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 13 + 1);
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  const Scenario fromFile = parse({"--setup-file", path, "--device-select=2"});
  bytes[256] = 2;
  EXPECT_EQ(fromFile.setup, bytes);
  std::remove(path.c_str());
}

TEST(ScenarioOptions, PlatformChoicesReachTheirModels) {
  using Completion = devices::CoprocessorConfig::Completion;
  const Scenario s = parse({"--coprocessor",
                            "absent",
                            "--base-source=msr",
                            "--msr-base",
                            "0xFFFFFFFF",
                            "--completion",
                            "polls:7",
                            "--config-window",
                            "above",
                            "--timer",
                            "absent",
                            "--trigger",
                            "2",
                            "--device-selected",
                            "0",
                            "--no-pcd-ppi",
                            "--token11-max",
                            "8",
                            "--shadow-address",
                            "0x800000",
                            "--max-instructions",
                            "0",
                            "--timeout-ms",
                            "1500",
                            "--unmodelled",
                            "record"});
  EXPECT_FALSE(s.chipset.coprocessor.present);
  EXPECT_EQ(s.chipset.coprocessor.baseSource,
            devices::CoprocessorConfig::BaseSource::Msr);
  EXPECT_EQ(s.chipset.coprocessor.msrBase, 0xFFFFFFFFu);
  EXPECT_EQ(s.chipset.coprocessor.completion, Completion::AfterPolls);
  EXPECT_EQ(s.chipset.coprocessor.polls, 7u);
  EXPECT_EQ(s.chipset.mmioConfigMsr, Scenario::kWindowAbove);
  EXPECT_FALSE(s.chipset.pmTimerPort.has_value());
  EXPECT_EQ(s.triggerInstalls, 2u);
  EXPECT_EQ(s.deviceSelectedInstalls, 0u);
  EXPECT_FALSE(s.pcdPpi);
  EXPECT_EQ(s.pcd.token11MaxSize, 8u);
  EXPECT_EQ(s.shadowAddress, 0x800000u);
  EXPECT_EQ(s.limits.instructions, 0u);
  EXPECT_EQ(s.limits.time.count(), 1500);
  EXPECT_EQ(s.unmodelled, bus::Unmodelled::Record);

  const Scenario failing = parse({"--completion", "error:0x21"});
  EXPECT_EQ(failing.chipset.coprocessor.completion, Completion::Fail);
  EXPECT_EQ(failing.chipset.coprocessor.error, 0x21u);
}

// Every refusal is one line in one of two forms: "OPTION: expected ...,
// found ..." for a value, "FILE: ..." (the path as given) for a file.
TEST(ScenarioOptions, BadValuesAreRefusedInOneLine) {
  const std::vector<std::vector<std::string>> bad = {
      {"--trigger", "3"},
      {"--setup-byte", "12"},
      {"--setup-byte", "1=256"},
      {"--completion", "sometimes"},
      {"--completion", "error:0"},
      {"--timer", "0"},
      {"--config-window", "sideways"},
      {"--shadow-address", "0x1z"},
      {"--coprocessor", "maybe"},
      {"--trigger"},
      {"--no-setup=1"},
      {"--timeout-ms", "0"},
      {"--unmodelled", "ignore"},
  };
  for (const auto &args : bad) {
    const std::string message = refusal(args);
    const std::string option = args[0].substr(0, args[0].find('='));
    // The option, or the part of its value at fault ("--setup-byte
    // offset"), then what it expected.
    EXPECT_TRUE(std::regex_search(
        message, std::regex("^" + option + "( [a-z]+)?: expected ")))
        << message;
    // What it found: the value, or the part of it at fault (after the last
    // '=' or ':'), or the end of the command line.
    const std::string value = args.size() > 1 ? args[1]
                              : args[0].find('=') != std::string::npos
                                  ? args[0]
                                  : "the end of the command line";
    const std::string found = value.substr(value.find_last_of("=:") + 1);
    EXPECT_NE(message.find(", found "), std::string::npos) << message;
    EXPECT_NE(message.find(found, message.find(", found ")), std::string::npos)
        << "echoes what it found: " << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  }
  // Files that cannot be "Setup": named by the path as given, with the
  // reason. A FIFO is refused at once, not waited on for a writer.
  const std::string fifo =
      testing::TempDir() + "setup-fifo-" + std::to_string(::getpid());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"/nonexistent/setup.bin", ": cannot open it (No such file"},
      {"/", ": not a regular file (a directory)"},
      {"/dev/zero", ": not a regular file (a device)"},
      {fifo, ": not a regular file (a FIFO)"},
  };
  for (const auto &[file, why] : files) {
    EXPECT_EQ(refusal({"--setup-file", file}).rfind(file + why, 0), 0u)
        << refusal({"--setup-file", file});
  }
  std::remove(fifo.c_str());
  Scenario untouched;
  std::vector<std::string> other = {"--verbose"};
  std::size_t index = 0;
  EXPECT_FALSE(platform::parseScenarioOption(other, index, untouched));
  EXPECT_EQ(index, 0u);
}

TEST(ScenarioOptions, ExpectationsFollowTheModulesRules) {
  Scenario s;
  EXPECT_TRUE(platform::expectationsFor(s).published);
  (*s.setup)[458] = 1;
  EXPECT_FALSE(platform::expectationsFor(s).published);
  s.setup->resize(2000);
  EXPECT_TRUE(platform::expectationsFor(s).published) << "too large to read";
  s.triggerInstalls = 0;
  EXPECT_FALSE(platform::expectationsFor(s).published);
  EXPECT_NE(
      platform::expectationsFor(s).setupDecision.find("nothing is published"),
      std::string::npos);
  s.triggerInstalls = 2;
  s.deviceSelectedInstalls = 2;
  EXPECT_EQ(platform::expectationsFor(s).token11Writes, 4u);
  s.chipset.coprocessor.responseAddressHigh = 1;
  EXPECT_EQ(platform::expectationsFor(s).transportStatus, efi::kUnsupported);
}

} // namespace
