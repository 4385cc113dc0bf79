// A firmware engineer's session: gdb-multiarch, in batch mode, against
// `pei-platform boot --gdb` on the shipped image, at source level through the
// debug companion.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>

namespace {

using Pipe = std::unique_ptr<FILE, int (*)(FILE *)>;

std::string readAll(FILE *pipe) {
  std::string output;
  std::array<char, 4096> chunk;
  while (std::size_t n = fread(chunk.data(), 1, chunk.size(), pipe)) {
    output.append(chunk.data(), n);
  }
  return output;
}

// Starts `boot IMAGE --gdb 0 extra`, which waits for GDB before the first
// guest instruction and says on which port; returns that port (empty when
// it never said), with what it printed so far in `output`.
std::string startBoot(Pipe &boot, const std::string &extra,
                      std::string &output) {
  boot.reset(popen(
      (PLATFORM_PATH " boot " IMAGE_PATH " --gdb 0 " + extra + " 2>&1").c_str(),
      "r"));
  std::string port;
  std::array<char, 512> line;
  while (boot && port.empty() && fgets(line.data(), line.size(), boot.get())) {
    output += line.data();
    std::smatch m;
    const std::string text = line.data();
    if (std::regex_search(
            text, m, std::regex(R"(waiting for GDB on 127\.0\.0\.1:(\d+))"))) {
      port = m[1];
    }
  }
  return port;
}

std::string runGdb(const std::string &arguments) {
  Pipe gdb(popen((std::string(GDB_PATH) + " -batch -nx " + arguments + " 2>&1")
                     .c_str(),
                 "r"),
           pclose);
  return gdb ? readAll(gdb.get()) : std::string();
}

TEST(Gdb, StopsInTheShadowCopyAtSourceLevelAndTheBootEndsAsItWould) {
  if (std::string(GDB_PATH).empty()) {
    GTEST_SKIP() << "gdb-multiarch is not installed";
  }
  Pipe boot(nullptr, pclose);
  std::string bootOutput;
  const std::string port = startBoot(boot, "", bootOutput);
  ASSERT_FALSE(port.empty()) << bootOutput;

  // Start is the control area's doorbell (offset 0x1C of the co-processor's
  // region at its default base).
  const std::filesystem::path script =
      std::filesystem::temp_directory_path() /
      ("gdb-test-" + std::to_string(::getpid()) + ".gdb");
  std::ofstream(script)
      << "set pagination off\n"
         "set confirm off\n"
         "target remote 127.0.0.1:" +
             port +
             "\n"
             "sharedlibrary\n"
             "break Execute\n"
             "continue\n"
             "bt 1\n"
             "printf \"command: \"\n"
             "output/x *CommandBuffer@CommandSize\n"
             "printf \"\\n\"\n"
             "python import time; t0 = time.monotonic()\n"
             "next\nnext\n"
             "python print('next: %.1f ms per step' % ((time.monotonic() - t0) "
             "* 500))\n"
             // The companion has no unwind tables (the image is built
             // without them), so GDB finds the caller only at a
             // routine's first instruction: finish from there.
             "delete\n"
             "break *Execute\n"
             "continue\n"
             "finish\n"
             "delete\n"
             "watch *(unsigned int *)0xFEB0001C\n"
             "continue\n"
             "bt 1\n"
             "delete\n"
             "continue\n";
  const std::string session = runGdb("-x " + script.string());
  bootOutput += readAll(boot.get());
  const int status = pclose(boot.release());
  std::filesystem::remove(script);
  std::cout << session;

  // The breakpoint stops in the shadow copy (RAM at 0x00400000), with the
  // routine's source file and line.
  EXPECT_TRUE(std::regex_search(
      session,
      std::regex(
          R"(Breakpoint 1(\.\d)?, Execute \(.*\) at \./firmware/transport/exchange\.cpp:\d+)")))
      << session;
  EXPECT_TRUE(std::regex_search(
      session, std::regex(R"(#0  (0x004[0-9a-f]{5} in )?Execute \()")))
      << session;
  // The first command is TPM2_Startup(CLEAR): tag 8001, size 12, code 144.
  EXPECT_NE(session.find("command: {0x80, 0x1, 0x0, 0x0, 0x0, 0xc, 0x0, 0x0, "
                         "0x1, 0x44, 0x0, 0x0}"),
            std::string::npos)
      << session;
  EXPECT_NE(session.find("Value returned is $1 = 0"), std::string::npos)
      << session;
  // The module raises Start for the next command; the watchpoint stops
  // right after the store, in the exchange. (The co-processor finishes at
  // once, and its control area does not decode while the module keeps
  // memory space closed, so the values GDB shows say little.)
  EXPECT_TRUE(std::regex_search(
      session,
      std::regex(
          R"(Hardware watchpoint \d+: \*\(unsigned int \*\)0xFEB0001C\s+Old value = .*\s+New value = )")))
      << session;
  EXPECT_TRUE(std::regex_search(
      session,
      std::regex(
          R"(New value = [^\n]*\n[^\n]* at \./firmware/transport/exchange\.cpp:\d+)")))
      << session;
  EXPECT_NE(session.find("exited normally"), std::string::npos) << session;
  EXPECT_NE(bootOutput.find("boot: OK"), std::string::npos) << bootOutput;
  EXPECT_EQ(status, 0) << bootOutput;
}

// A debugger that only watches changes nothing: a run bounded to 1000
// instructions stops at the same instruction, with the same message, with
// GDB connected as without it (string instructions keep their fast path).
TEST(Gdb, ABoundedRunStopsWhereItStopsWithoutTheDebugger) {
  if (std::string(GDB_PATH).empty()) {
    GTEST_SKIP() << "gdb-multiarch is not installed";
  }
  const std::string bound = "--max-instructions 1000";
  Pipe alone(
      popen((PLATFORM_PATH " boot " IMAGE_PATH " " + bound + " 2>&1").c_str(),
            "r"),
      pclose);
  ASSERT_TRUE(alone);
  const std::string without = readAll(alone.get());
  alone.reset();

  Pipe boot(nullptr, pclose);
  std::string with;
  const std::string port = startBoot(boot, bound, with);
  ASSERT_FALSE(port.empty()) << with;
  const std::string session =
      runGdb("-ex 'target remote 127.0.0.1:" + port + "' -ex continue");
  with += readAll(boot.get());
  boot.reset();

  const std::regex runaway(R"(guest at 0x[0-9A-F]{8}[^\n]*runaway[^\n]*)");
  std::smatch first, second;
  ASSERT_TRUE(std::regex_search(without, first, runaway)) << without;
  ASSERT_TRUE(std::regex_search(with, second, runaway)) << with << session;
  EXPECT_EQ(first.str(), second.str());
}

} // namespace
