// pei-platform's command lines as a user meets them: the help names exactly
// the options each parser takes, bad command lines and bad files are
// refused (status 2) before any work, a port in use is a failure to start
// (status 1) for boot and serve alike, and a signal ends boot without
// leaving its temporary state behind.
#include "commands.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string output; // stdout and stderr
};

// Runs pei-platform with `arguments` (shell words) in `where`, at most 60 s.
Outcome platform(const std::string &arguments,
                 const std::filesystem::path &where = ".") {
  const std::string command = "cd " + where.string() + " && timeout 60 " +
                              std::string(PEI_PLATFORM_PATH) + " " + arguments +
                              " 2>&1 </dev/null";
  std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"),
                                              pclose);
  Outcome outcome;
  char chunk[4096];
  while (const std::size_t got = fread(chunk, 1, sizeof chunk, pipe.get())) {
    outcome.output.append(chunk, got);
  }
  const int status = pclose(pipe.release());
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

std::string fileText(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A directory of its own for each test, removed afterwards.
class CommandLine : public ::testing::Test {
protected:
  CommandLine()
      : dir(fs::path(testing::TempDir()) /
            ("pei-platform-cli-" + std::to_string(::getpid()))) {
    fs::create_directories(dir);
    fs::copy_file(FIRMWARE_IMAGE_PATH, image);
    fs::copy_file(FIRMWARE_DEBUG_IMAGE_PATH, dir / "module.debug.efi");
  }
  ~CommandLine() override { fs::remove_all(dir); }

  const fs::path dir;
  const fs::path image = dir / "module.efi";
};

TEST_F(CommandLine, HelpNamesExactlyTheOptionsEachParserTakes) {
  const std::pair<const char *, std::vector<std::string>> commands[] = {
      {"boot", cli::bootOptionNames()}, {"serve", cli::serveOptionNames()}};
  const std::regex option("--[a-z][a-z0-9-]*");
  for (const auto &[command, names] : commands) {
    SCOPED_TRACE(command);
    const Outcome help = platform(std::string(command) + " --help");
    EXPECT_EQ(help.status, 0);
    std::set<std::string> named;
    for (auto it = std::sregex_iterator(help.output.begin(), help.output.end(),
                                        option);
         it != std::sregex_iterator(); ++it) {
      named.insert(it->str());
    }
    EXPECT_EQ(named, std::set<std::string>(names.begin(), names.end()));
  }
  // One default for serve's state directory, in the text and in the option.
  const std::string serve = platform("serve --help").output;
  EXPECT_EQ(serve.find("temporary directory"), std::string::npos) << serve;
  EXPECT_TRUE(
      std::regex_search(serve, std::regex(R"(default:\s+\./tpm-state)")))
      << serve;
  EXPECT_EQ(platform("boot --help").output.find("PE32 module image"),
            std::string::npos);
}

// Each refusal comes before the run: status 2, one line naming the option
// or file as given, no boot log, and no file written or changed.
TEST_F(CommandLine, BadCombinationsAndFilesAreRefusedBeforeTheRun) {
  const fs::path notLcov = dir / "notes.txt";
  std::ofstream(notLcov) << "my notes\n";
  const fs::path fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path json = dir / "run.json";
  const std::string img = image.string();
  const std::pair<std::string, std::string> refused[] = {
      {"boot " + img + " --trace-json " + img,
       "--trace-json: expected a file other than the image, found \"" + img},
      {"serve " + img + " --trace-json " + img,
       "--trace-json: expected a file other than the image"},
      {"boot " + img + " --coverage " + notLcov.string(),
       "--coverage: expected an lcov tracefile"},
      {"boot " + img + " --trace-json " + json.string() + " --coverage " +
           json.string(),
       "--coverage: expected a file other than --trace-json"},
      {"boot " + img + " --coverage " + (dir / "none" / "c.info").string(),
       "--coverage: expected a writable file, found \"" +
           (dir / "none" / "c.info").string()},
      {"boot " + img + " --coverage " + img,
       "--coverage: expected an lcov tracefile"},
      {"boot " + img + " --symbols " + img,
       "--symbols: has no effect without --gdb or --coverage"},
      {"serve " + img + " --protocol swtpm --swtpm-port 7000",
       "--swtpm-port: has no effect without --protocol both"},
      {"boot " + fifo.string(),
       fifo.string() + ": not a regular file (a FIFO)"},
      {"boot " + img + " --setup-file " + fifo.string(),
       fifo.string() + ": not a regular file (a FIFO)"},
      {"boot " + img + " --setup-file " + (dir / "missing").string(),
       (dir / "missing").string() + ": cannot open it (No such file"},
  };
  const std::string before = fileText(image);
  for (const auto &[arguments, message] : refused) {
    SCOPED_TRACE(arguments);
    const Outcome outcome = platform(arguments, dir);
    EXPECT_EQ(outcome.status, 2) << outcome.output;
    EXPECT_NE(outcome.output.find(message), std::string::npos)
        << outcome.output;
    EXPECT_EQ(std::count(outcome.output.begin(), outcome.output.end(), '\n'), 1)
        << outcome.output;
  }
  EXPECT_EQ(fileText(image), before);
  EXPECT_EQ(fileText(notLcov), "my notes\n");
  EXPECT_FALSE(fs::exists(json));
  EXPECT_FALSE(fs::exists(dir / "tpm-state"))
      << "serve refused before making its state directory";
}

// A port in use is no fault of the command line: both commands fail to
// start with status 1 and the same words.
TEST_F(CommandLine, AGdbPortInUseIsAFailureToStartForBootAndServe) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), length),
            0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(
      ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length),
      0);
  const std::string port = std::to_string(ntohs(address.sin_port));
  const std::string words =
      ": --gdb: port " + port + " on 127.0.0.1 is already in use";
  for (const std::string command : {"boot", "serve"}) {
    const Outcome outcome =
        platform(command + " " + image.string() + " --gdb " + port +
                 " --state-dir " + (dir / "state").string());
    EXPECT_EQ(outcome.status, 1) << outcome.output;
    EXPECT_NE(outcome.output.find("pei-platform " + command + words),
              std::string::npos)
        << outcome.output;
  }
  ::close(listener);
}

// SIGTERM while boot waits for GDB ends it at once with 128 + SIGTERM and
// removes the temporary TPM state directory it had made.
TEST_F(CommandLine, SigtermEndsBootAndRemovesItsTemporaryState) {
  const fs::path log = dir / "boot.log";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::freopen(log.c_str(), "w", stdout);
    ::dup2(STDOUT_FILENO, STDERR_FILENO);
    ::execl(PEI_PLATFORM_PATH, PEI_PLATFORM_PATH, "boot", image.c_str(),
            "--gdb", "0", nullptr);
    ::_exit(127);
  }
  const std::regex stateLine(R"(TPM state in (\S+), temporary\))");
  std::smatch match;
  std::string text;
  for (int i = 0; i < 300 && text.find("waiting for GDB") == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    text = fileText(log);
  }
  ASSERT_TRUE(std::regex_search(text, match, stateLine)) << text;
  const fs::path state = match[1].str();
  EXPECT_TRUE(fs::is_directory(state));
  // The GDB stub's symbol files are the run's too.
  ASSERT_TRUE(std::regex_search(
      text, match, std::regex(R"(the symbol files GDB reads are in (\S+))")))
      << text;
  const fs::path scratch = match[1].str();
  EXPECT_TRUE(fs::is_directory(scratch));
  ASSERT_EQ(::kill(child, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << fileText(log);
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
  EXPECT_FALSE(fs::exists(state)) << state;
  EXPECT_FALSE(fs::exists(scratch)) << scratch;
  EXPECT_NE(fileText(log).find("pei-platform boot: stopped by SIGTERM"),
            std::string::npos);
}

} // namespace
