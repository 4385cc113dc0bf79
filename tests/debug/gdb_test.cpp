// A firmware engineer's session: gdb-multiarch, in batch mode, against
// `pei-platform boot --gdb` on the shipped image, at source level through the
// debug companion, and at instruction level without one.
#include "hex.h"
#include "pe_image.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

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

// Starts `pei-platform ARGUMENTS`, which (with --gdb 0) waits for GDB
// before the first guest instruction and says on which port; returns that
// port (empty when it never said), with what it printed so far in `output`.
std::string startPlatform(Pipe &boot, const std::string &arguments,
                          std::string &output) {
  boot.reset(popen((PLATFORM_PATH " " + arguments + " 2>&1").c_str(), "r"));
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

// `boot IMAGE --gdb 0 extra`, as startPlatform.
std::string startBoot(Pipe &boot, const std::string &extra, std::string &output,
                      const std::string &image = IMAGE_PATH) {
  return startPlatform(boot, "boot " + image + " --gdb 0 " + extra, output);
}

std::string runGdb(const std::string &arguments,
                   const std::string &directory = ".") {
  Pipe gdb(popen(("cd '" + directory + "' && " + std::string(GDB_PATH) +
                  " -batch -nx " + arguments + " 2>&1")
                     .c_str(),
                 "r"),
           pclose);
  return gdb ? readAll(gdb.get()) : std::string();
}

std::filesystem::path temporary(const std::string &name) {
  return std::filesystem::temp_directory_path() /
         (name + "-" + std::to_string(::getpid()));
}

struct Session {
  std::string gdb;
  std::string boot;
  int status = -1;
};

// Boots `image` with `extra` options under GDB running `commands` (after
// connecting), from `directory`, and waits for both to end.
Session debugSession(const std::string &image, const std::string &extra,
                     const std::string &commands,
                     const std::string &directory = ".") {
  Session session;
  Pipe boot(nullptr, pclose);
  const std::string port = startBoot(boot, extra, session.boot, image);
  if (port.empty()) {
    return session;
  }
  const std::filesystem::path script = temporary("gdb-test") += ".gdb";
  std::ofstream(script) << "set pagination off\nset confirm off\n"
                           "target remote 127.0.0.1:" +
                               port + "\n" + commands;
  session.gdb = runGdb("-x " + script.string(), directory);
  session.boot += readAll(boot.get());
  session.status = pclose(boot.release());
  std::filesystem::remove(script);
  std::cout << session.gdb;
  return session;
}

// An address as GDB prints it.
std::string gdbHex(std::uint32_t value) {
  std::string text = common::hex(value);
  std::ranges::transform(text, text.begin(),
                         [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool matches(const std::string &text, const std::string &pattern) {
  return std::regex_search(text, std::regex(pattern));
}

// The session an engineer has, on the PE32 image and on its TE form in an
// FFS file copied elsewhere (so with --symbols): both copies at their load
// addresses with lines and source names, breakpoints that follow the module
// into the shadow, backtraces that end at the platform from any instruction.
class GdbSession : public ::testing::TestWithParam<bool> {};

TEST_P(GdbSession, StopsInBothCopiesAtSourceLevelAndTheBootEndsAsItWould) {
  if (std::string(GDB_PATH).empty()) {
    GTEST_SKIP() << "gdb-multiarch is not installed";
  }
  const bool te = GetParam();
  std::string image = IMAGE_PATH, extra;
  const std::filesystem::path ffs = temporary("gdb-te") += ".ffs";
  if (te) {
    ASSERT_EQ(std::system((std::string(PEI_FFS_PATH) + " " + IMAGE_PATH +
                           " --te -o " + ffs.string() + " >/dev/null")
                              .c_str()),
              0);
    image = ffs.string();
    extra = "--symbols " DEBUG_IMAGE_PATH;
  }
  // Start is the control area's doorbell (offset 0x1C of the co-processor's
  // region at its default base).
  const Session session = debugSession(
      image, extra,
      "frame\n"
      "info line *$pc\n"
      "next\n"
      "info sharedlibrary\n"
      "info symbol Execute+5\n"
      // Set in flash before the shadow exists: both move to the shadow.
      "break *Execute\n"
      "break Execute\n"
      // A PEI service, called before the first command.
      "break PEI_service_LocatePpi\n"
      "continue\n"
      "bt\n"
      "delete 3\n"
      "continue\n"
      "printf \"at entry %#x\\n\", $pc\n"
      "bt\n"
      "stepi\n"
      "bt\n"
      "info sharedlibrary\n"
      "delete 1\n"
      "continue\n"
      "bt\n"
      "printf \"command: \"\n"
      "output/x *CommandBuffer@CommandSize\n"
      "printf \"\\n\"\n"
      "python import time; t0 = time.monotonic()\n"
      "next\nnext\n"
      "python print('next: %.1f ms per step' % ((time.monotonic() - t0) "
      "* 500))\n"
      // From the middle of the routine: the frame information finds the
      // caller anywhere.
      "finish\n"
      "delete\n"
      "watch *(unsigned int *)0xFEB0001C\n"
      "continue\n"
      "bt\n"
      "delete\n"
      "continue\n",
      SOURCE_DIR);
  std::filesystem::remove(ffs);
  const std::string &gdb = session.gdb;

  // The first stop is the module's entry in flash, with its source line.
  EXPECT_TRUE(matches(
      gdb,
      R"(\nModuleEntry \(.*\) at \./firmware/lifecycle/entry\.cpp:53\n[^\n]*\n#0  ModuleEntry \()"))
      << gdb;
  EXPECT_TRUE(matches(
      gdb,
      R"(Line 53 of "\./firmware/lifecycle/entry\.cpp" starts at address 0xfff0084d)"))
      << gdb;
  EXPECT_TRUE(matches(gdb, R"(\n54\t)")) << "next in flash steps a line\n"
                                         << gdb;
  // Each copy where it lies: the flash copy at the link base, the shadow at
  // its load address; the platform's page beside them.
  EXPECT_TRUE(matches(
      gdb, R"(0xfff00000  0xfff0[0-9a-f]{4}  Yes         \S+\.flash\.elf)"))
      << gdb;
  EXPECT_TRUE(matches(
      gdb, R"(0x00400000  0x0040[0-9a-f]{4}  Yes         \S+\.shadow\.elf)"))
      << gdb;
  EXPECT_TRUE(
      matches(gdb, R"(Reading symbols from \S+/platform-thunks-\d+\.elf)"))
      << gdb;
  EXPECT_TRUE(
      matches(gdb, R"(\nExecute \+ 5 in section \.text of \S+\.flash\.elf)"))
      << gdb;
  // A breakpoint on a PEI service stops in the platform's thunk, and the
  // backtrace goes from there through the module to the platform.
  EXPECT_TRUE(matches(
      gdb,
      R"(Breakpoint 3, 0x000200[0-9a-f]{2} in PEI_service_LocatePpi \(\)\n#0  0x000200[0-9a-f]{2} in PEI_service_LocatePpi \(\)\n#1  0x004[0-9a-f]{5} in LocateInterface \(.*\n(#\d  .*\n)*#\d  0x00020000 in platform_returns \(\)\n)"))
      << gdb;
  // The address breakpoint set in flash stops at the shadow's first
  // instruction of Execute, with the arguments of the first command
  // (TPM2_Startup, 12 bytes), and its caller is the platform, named.
  EXPECT_TRUE(matches(
      gdb,
      R"(Breakpoint 1, Execute \(This=0x0, Reserved=0x0, CommandBuffer=0x310000 "\\200\\001", CommandSize=12, .*\) at \./firmware/transport/exchange\.cpp:172\n172\t.*\nat entry 0x4006db\n#0  Execute \(.*\n#1  0x00020000 in platform_returns \(\))"))
      << gdb;
  // One instruction in, the stack pointer has moved; the caller is the same.
  EXPECT_TRUE(matches(
      gdb,
      R"(#0  0x004006de in Execute \(.*\n#1  0x00020000 in platform_returns \(\))"))
      << gdb;
  // The name breakpoint stops after the prologue, with the arguments: the
  // first command is TPM2_Startup(CLEAR): tag 8001, size 12, code 144.
  EXPECT_TRUE(matches(
      gdb,
      R"(Breakpoint 2, Execute \(This=0x0, .*CommandSize=12, .*\) at \./firmware/transport/exchange\.cpp:\d+)"))
      << gdb;
  EXPECT_NE(gdb.find("command: {0x80, 0x1, 0x0, 0x0, 0x0, 0xc, 0x0, 0x0, "
                     "0x1, 0x44, 0x0, 0x0}"),
            std::string::npos)
      << gdb;
  EXPECT_NE(gdb.find("Value returned is $1 = 0"), std::string::npos) << gdb;
  // The module raises Start for the next command; the watchpoint stops
  // right after the store, in an inlined routine named by its source name,
  // and the backtrace goes through its callers to the platform. (The
  // co-processor finishes at once, and its control area does not decode
  // while the module keeps memory space closed, so the values GDB shows say
  // little.)
  EXPECT_TRUE(matches(
      gdb,
      R"(Hardware watchpoint \d+: \*\(unsigned int \*\)0xFEB0001C\s+Old value = .*\s+New value = )"))
      << gdb;
  EXPECT_TRUE(matches(
      gdb,
      R"(#0  \(anonymous namespace\)::SendOpened \(.*\) at \./firmware/transport/exchange\.cpp:\d+\n#1  Send \(.*\n#2  0x004[0-9a-f]{5} in Execute \(.*\n#3  0x00020000 in platform_returns \(\))"))
      << gdb;
  EXPECT_EQ(gdb.find("Cannot access memory at address 0xe0e0e0e"),
            std::string::npos)
      << "a backtrace read the platform's canaries as frames\n"
      << gdb;
  EXPECT_FALSE(matches(gdb, R"(\?[A-Za-z]+@)")) << "a decorated name\n" << gdb;
  EXPECT_EQ(gdb.find("in ?? ()"), std::string::npos) << gdb;
  EXPECT_NE(gdb.find("exited normally"), std::string::npos) << gdb;
  EXPECT_NE(session.boot.find("boot: OK"), std::string::npos) << session.boot;
  EXPECT_EQ(session.status, 0) << session.boot;
}

INSTANTIATE_TEST_SUITE_P(Pe32AndTe, GdbSession, ::testing::Bool(),
                         [](const auto &info) {
                           return info.param ? "TeInAnFfsFile" : "Pe32";
                         });

// The README's GDB recipe, as it stands there: its boot and GDB command
// lines and its session, with each line it shows found in GDB's output in
// order ("..." standing for anything).
TEST(Gdb, TheReadmeSessionRunsAsTheReadmeShowsIt) {
  if (std::string(GDB_PATH).empty()) {
    GTEST_SKIP() << "gdb-multiarch is not installed";
  }
  std::ifstream file(SOURCE_DIR "/README.md");
  const std::string readme{std::istreambuf_iterator<char>(file), {}};
  const auto begin = readme.find("## Seeing inside the module");
  ASSERT_NE(begin, std::string::npos);
  const std::string section =
      readme.substr(begin, readme.find("\n## ", begin + 1) - begin);

  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      section, m,
      std::regex(
          R"(build/platform/pei-platform boot build/firmware/TpmTransportPei\.efi --gdb 1234\ngdb-multiarch ((-ex ('[^']*'|\S+) ?)+)\n)")))
      << section;
  std::string connect = m[1];
  ASSERT_TRUE(std::regex_search(
      connect, m, std::regex(R"(-ex 'target remote 127\.0\.0\.1:1234' ?)")))
      << connect;
  connect = m.suffix(); // the stub's port is the test's own

  ASSERT_TRUE(
      std::regex_search(section, m, std::regex(R"(```\n(\(gdb\) [^`]*)```)")));
  std::istringstream block(m[1].str());
  std::string commands;
  std::vector<std::string> shown;
  for (std::string line; std::getline(block, line);) {
    if (line.starts_with("(gdb) ")) {
      commands += line.substr(6) + "\n";
    } else {
      shown.push_back(line);
    }
  }
  ASSERT_GE(shown.size(), 5u) << m[1];

  std::string script;
  const std::regex option(R"(-ex ('([^']*)'|(\S+)))");
  for (auto ex = std::sregex_iterator(connect.begin(), connect.end(), option);
       ex != std::sregex_iterator(); ++ex) {
    script += ((*ex)[2].matched ? (*ex)[2].str() : (*ex)[3].str()) + "\n";
  }
  const Session session =
      debugSession(IMAGE_PATH, "", script + commands, SOURCE_DIR);
  std::size_t from = 0;
  for (const std::string &expected : shown) {
    std::string pattern;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      if (expected.compare(i, 3, "...") == 0) {
        pattern += ".*";
        i += 2;
      } else if (std::string_view(R"(\^$.|?*+()[]{})").find(expected[i]) !=
                 std::string_view::npos) {
        pattern += std::string("\\") + expected[i];
      } else {
        pattern += expected[i];
      }
    }
    std::smatch found;
    const std::string rest = session.gdb.substr(from);
    ASSERT_TRUE(std::regex_search(rest, found, std::regex(pattern)))
        << "the README shows \"" << expected << "\", GDB printed after "
        << "the lines before it:\n"
        << rest;
    from += static_cast<std::size_t>(found.position(0) + found.length(0));
  }
  EXPECT_EQ(session.status, 0) << session.boot;
}

// Without a companion GDB still debugs the machine's instructions: the
// entry point in flash, a step, a breakpoint by address in the shadow, and
// it is told that no symbols are loaded; the boot says how to name the
// companion. An explicit companion that is missing is refused.
TEST(Gdb, WithoutACompanionDebugsAtInstructionLevel) {
  if (std::string(GDB_PATH).empty()) {
    GTEST_SKIP() << "gdb-multiarch is not installed";
  }
  const std::filesystem::path directory = temporary("gdb-bare");
  std::filesystem::create_directories(directory);
  const std::filesystem::path copy = directory / "copy.efi";
  std::filesystem::copy_file(IMAGE_PATH, copy);
  const auto image = pei::PeImage::load(IMAGE_PATH);
  const std::uint32_t shadowEntry = 0x00400000 + image.entryRva();

  const Session session = debugSession(copy.string(), "",
                                       "printf \"eip %#x\\n\", $eip\n"
                                       "x/4xb $pc\n"
                                       "stepi\n"
                                       "printf \"eip %#x\\n\", $eip\n"
                                       "break *" +
                                           common::hex(shadowEntry) +
                                           "\n"
                                           "continue\n"
                                           "info registers eip\n"
                                           "delete\n"
                                           "continue\n");
  EXPECT_NE(session.gdb.find("eip " + gdbHex(image.entryAddress()) + "\n"),
            std::string::npos)
      << session.gdb;
  // Memory reads as the image holds it.
  const std::vector<std::uint8_t> memory = image.memoryImage();
  std::string bytes = gdbHex(image.entryAddress()) + ":";
  for (std::size_t i = 0; i < 4; ++i) {
    const std::uint8_t byte = memory.at(image.entryRva() + i);
    bytes += "\t0x" + gdbHex(byte).substr(2).insert(0, byte < 16 ? "0" : "");
  }
  EXPECT_NE(session.gdb.find(bytes + "\n"), std::string::npos) << bytes << "\n"
                                                               << session.gdb;
  // stepi moves on by one instruction (at most 15 bytes on IA-32).
  std::vector<std::uint32_t> eips;
  const std::regex eip(R"(eip 0x([0-9a-f]+)\n)");
  for (auto found =
           std::sregex_iterator(session.gdb.begin(), session.gdb.end(), eip);
       found != std::sregex_iterator(); ++found) {
    eips.push_back(
        static_cast<std::uint32_t>(std::stoul((*found)[1], nullptr, 16)));
  }
  ASSERT_EQ(eips.size(), 2u) << session.gdb;
  EXPECT_GT(eips[1], eips[0]);
  EXPECT_LE(eips[1] - eips[0], 15u);
  EXPECT_NE(session.gdb.find("no symbols are loaded"), std::string::npos)
      << session.gdb;
  EXPECT_TRUE(matches(session.gdb, "Breakpoint 1, 0x0*" +
                                       gdbHex(shadowEntry).substr(2) + " in"))
      << session.gdb;
  EXPECT_NE(session.gdb.find("exited normally"), std::string::npos)
      << session.gdb;
  EXPECT_NE(session.boot.find("no debug companion " +
                              (directory / "copy.debug.efi").string()),
            std::string::npos)
      << session.boot;
  EXPECT_NE(session.boot.find("--symbols FILE"), std::string::npos)
      << session.boot;
  EXPECT_EQ(session.status, 0) << session.boot;

  Pipe refused(
      popen((PLATFORM_PATH " boot " + copy.string() + " --gdb 0 --symbols " +
             (directory / "none.efi").string() + " 2>&1")
                .c_str(),
            "r"),
      pclose);
  const std::string said = readAll(refused.get());
  const int status = pclose(refused.release());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << said;
  EXPECT_NE(said.find("none.efi"), std::string::npos) << said;
  std::filesystem::remove_all(directory);
}

// run: every module a library GDB knows by name at its address, the
// module's own with its companion's symbols, so a breakpoint on Execute
// stops where another module calls it, and the backtrace names that module.
TEST(Gdb, RunShowsEveryModuleAndTheModulesThatCallTheTransport) {
  if (std::string(GDB_PATH).empty()) {
    GTEST_SKIP() << "gdb-multiarch is not installed";
  }
  const std::filesystem::path directory = temporary("gdb-run");
  std::filesystem::create_directories(directory);
  const std::filesystem::path consumer = directory / "consumer.ffs";
  Pipe packed(
      popen((PEI_FFS_PATH " " TRANSPORT_CONSUMER_IMAGE
                          " --name TransportConsumer --guid "
                          "6A1E0F2C-11D3-4C0A-9E41-527B0C3D9020 --depex "
                          "9D910B61-85BD-4473-8131-40959D60C7EE -o " +
             consumer.string() + " 2>&1")
                .c_str(),
            "r"),
      pclose);
  readAll(packed.get());
  ASSERT_EQ(pclose(packed.release()), 0);
  Pipe run(nullptr, pclose);
  std::string output;
  const std::string port = startPlatform(
      run,
      "run " IMAGE_PATH " " COMPANION_IMAGE_PATH " " + consumer.string() +
          " --gdb 0 --symbols TpmTransportPei=" DEBUG_IMAGE_PATH
          " --coverage " +
          (directory / "run.info").string(),
      output);
  ASSERT_FALSE(port.empty()) << output;
  const std::filesystem::path script = directory / "session.gdb";
  std::ofstream(script) << "set pagination off\nset confirm off\n"
                           "set breakpoint pending on\n"
                           "target remote 127.0.0.1:" +
                               port +
                               "\nbreak Execute\ncontinue\nbt\n"
                               "info sharedlibrary\ndelete\ncontinue\n";
  const std::string gdb = runGdb("-x " + script.string());
  output += readAll(run.get());
  const int status = pclose(run.release());
  EXPECT_TRUE(matches(gdb, R"(Breakpoint 1(\.\d+)?, Execute \(This=0x0)"))
      << gdb;
  EXPECT_EQ(gdb.find("no symbols are loaded"), std::string::npos) << gdb;
  EXPECT_TRUE(matches(gdb, R"(#1 +0x[0-9a-f]+ in TransportConsumer)")) << gdb;
  for (const char *library :
       {"TpmTransportPei.shadow", "TpmTransportCompanionPei",
        "TransportConsumer"}) {
    EXPECT_NE(gdb.find(library), std::string::npos) << library << "\n" << gdb;
  }
  // The run goes on to its end: the TPM session through the transport too.
  EXPECT_NE(output.find("TPM session: every command succeeded"),
            std::string::npos)
      << output;
  EXPECT_TRUE(WIFEXITED(status)) << output;
  // Coverage: lines of the module with a companion, blocks of the others.
  std::ifstream info(directory / "run.info");
  const std::string lines{std::istreambuf_iterator<char>(info), {}};
  EXPECT_NE(lines.find("SF:firmware/transport/exchange.cpp"), std::string::npos)
      << lines;
  EXPECT_TRUE(matches(lines, "FNDA:[1-9][0-9]*,Execute")) << lines;
  std::ifstream list(directory / "run.info.blocks");
  const std::string blocks{std::istreambuf_iterator<char>(list), {}};
  EXPECT_TRUE(matches(blocks, "\nTransportConsumer 0x[0-9A-F]{8} [0-9]+ 1\n"))
      << blocks;
  EXPECT_EQ(blocks.find("TpmTransportPei "), std::string::npos) << blocks;
  std::filesystem::remove_all(directory);
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
