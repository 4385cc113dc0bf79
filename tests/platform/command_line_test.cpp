// pei-platform's command lines as a user meets them: the help names exactly
// the options each parser takes, bad command lines and bad files are
// refused (status 2) before any work, a port in use is a failure to start
// (status 1) for boot and serve alike, a serve that cannot start leaves no
// state behind, and a signal ends boot without leaving its temporary state
// behind.
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
      {"boot", cli::bootOptionNames()},
      {"serve", cli::serveOptionNames()},
      {"run", cli::runOptionNames()}};
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
      {"run", "expected at least one INPUT"},
      {"run " + img + " --report " + img,
       "--report: expected a file other than"},
      {"run " + fifo.string(), fifo.string() + ": not a regular file (a FIFO)"},
      {"run " + img + " --memory 3", "--memory: expected a size from 1M"},
      {"run " + notLcov.string(),
       notLcov.string() + ": expected a flash image, firmware volume, FFS "
                          "file or PE32/TE image, found none of these"},
      {"run " + img + " --registers " + notLcov.string(),
       notLcov.string() + ":1: expected port, mmio or msr, found \"my\""},
      {"run " + img + " --device-select 0",
       "--device-select: has no effect with run"},
      {"run " + img + " --vars " + img,
       img + ": expected a variable store volume"},
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

// A socket listening on 127.0.0.1, on `port` or (0) any free one.
class Listener {
public:
  explicit Listener(std::uint16_t port = 0) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (fd_ < 0 ||
        ::bind(fd_, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::listen(fd_, 1) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) !=
            0) {
      return;
    }
    port_ = ntohs(address.sin_port);
  }
  ~Listener() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  Listener(const Listener &) = delete;
  Listener &operator=(const Listener &) = delete;
  // 0 when the port could not be had.
  std::uint16_t port() const { return port_; }

private:
  int fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  std::uint16_t port_ = 0;
};

// A port P such that P and P + 1 were free on 127.0.0.1 a moment ago, as
// serve's mssim ports; 0 when none was found.
std::uint16_t freePortPair() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const Listener first;
    if (first.port() != 0 && first.port() < 65535 &&
        Listener(first.port() + 1).port() != 0) {
      return first.port();
    }
  }
  return 0;
}

// A port in use is no fault of the command line: both commands fail to
// start with status 1 and the same words.
TEST_F(CommandLine, AGdbPortInUseIsAFailureToStartForBootAndServe) {
  const Listener listener;
  ASSERT_NE(listener.port(), 0);
  const std::string port = std::to_string(listener.port());
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
}

std::set<std::string> entries(const fs::path &directory) {
  std::set<std::string> names;
  for (const auto &entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// A serve that cannot start fails with status 1 and the cause, and leaves
// the state directory as it found it: one it made is gone, one that was
// there holds what it held, without a lock file. Here the TPM enters
// failure mode at the firmware's TPM2_Startup because its state cannot be
// written (a directory stands where the new state file goes, which stops
// root as well as a full disk does), and then the port is in use.
TEST_F(CommandLine, AServeThatCannotStartLeavesTheStateAsItWas) {
  const fs::path full = dir / "full";
  fs::create_directories(full / "tpm2-00.permall.tmp");
  const std::uint16_t free = freePortPair();
  ASSERT_NE(free, 0);
  const Outcome dead = platform("serve " + image.string() + " --port " +
                                    std::to_string(free) + " --state-dir full",
                                dir);
  EXPECT_EQ(dead.status, 1) << dead.output;
  for (const std::string words :
       {"pei-platform serve: the TPM is unusable, so the server does not "
        "start: the TPM entered failure mode in TPM2_Startup",
        "cannot write TPM state full/tpm2-00.permall.tmp: Is a directory"}) {
    EXPECT_NE(dead.output.find(words), std::string::npos) << dead.output;
  }
  EXPECT_EQ(entries(full), std::set<std::string>{"tpm2-00.permall.tmp"});

  const Listener taken;
  ASSERT_NE(taken.port(), 0);
  const std::string port = std::to_string(taken.port());
  const Outcome busy =
      platform("serve " + image.string() + " --port " + port, dir);
  EXPECT_EQ(busy.status, 1) << busy.output;
  EXPECT_NE(
      busy.output.find("port " + port + " on 127.0.0.1 is already in use"),
      std::string::npos)
      << busy.output;
  EXPECT_FALSE(fs::exists(dir / "tpm-state")) << "the default ./tpm-state";
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
