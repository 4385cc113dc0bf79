// Prints what TPM commands cost at the simulator endpoint, in one run:
// - the mssim framing over loopback alone (a backend that answers at once);
// - TPM2_GetRandom (16 bytes) and TPM2_NV_Write of 1 KiB through the
//   module's transport in the emulated platform;
// - when swtpm and tpm2-tools are installed, 100 separate tpm2_getrandom
//   processes against a fresh swtpm and against a fresh `pei-platform serve`,
//   and the ratio of the two;
// - when swtpm is installed, the latency of one TPM2_GetRandom(16) through
//   a raw client of the swtpm protocol (one TCP command connection: send the
//   command, read the response) against a `swtpm socket` and against a
//   `pei-platform serve --protocol swtpm`, both started here, in five
//   alternating rounds of 1,000 commands, and the ratio serve/swtpm;
// - the resident memory of a `serve` process after 1,000 and after 100,000
//   commands.
//
// usage: serve_benchmark [commands]   (default 200)
//        serve_benchmark --latency [PEI_PLATFORM [IMAGE]]
//          (the raw-client comparison alone, optionally of another build of
//          pei-platform and the image, e.g. one saved before a change)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "firmware_backend.h"
#include "framing.h"
#include "server.h"
#include "suite_coverage.h"
#include "tpm_command.h"
#include "tpm_header.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point started) {
  return std::chrono::duration<double, std::milli>(Clock::now() - started)
      .count();
}

// Answers every command with a fixed success response, at once.
class InstantBackend : public serve::Backend {
public:
  void powerOn() override { on_ = true; }
  void powerOff() override { on_ = false; }
  void reset() override {}
  void nvOn() override {}
  bool isOn() const override { return on_; }
  Bytes transact(std::span<const std::uint8_t>) override {
    Bytes response = tpm::errorResponse(tpm::kRcSuccess);
    response[5] = 28;
    response.resize(28, 0x5A);
    return response;
  }
  StopOutcome stop() override { return {}; }

private:
  bool on_ = false;
};

serve::Socket connectTo(std::uint16_t port) {
  serve::Socket socket(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(socket.fd(), reinterpret_cast<const sockaddr *>(&address),
                sizeof address) != 0) {
    throw std::runtime_error("cannot connect to port " + std::to_string(port));
  }
  return socket;
}

void sendBytes(const serve::Socket &socket, const Bytes &bytes) {
  if (::send(socket.fd(), bytes.data(), bytes.size(), 0) !=
      static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("send failed");
  }
}

Bytes receiveBytes(const serve::Socket &socket, std::size_t count) {
  Bytes out(count);
  std::size_t have = 0;
  while (have < count) {
    const ssize_t got = ::recv(socket.fd(), out.data() + have, count - have, 0);
    if (got <= 0) {
      throw std::runtime_error("the endpoint closed the connection");
    }
    have += static_cast<std::size_t>(got);
  }
  return out;
}

// --- commands
// -----------------------------------------------------------------

constexpr std::uint32_t kNvIndex = 0x01500000;
constexpr std::uint16_t kNvSize = 1024;

using serve_test::command;

Bytes getRandom(std::uint16_t count) {
  Bytes body;
  tpm::appendBe16(body, count);
  return command(tpm::kStNoSessions, 0x17B, body);
}

// The authorisation area of one empty password session.
void appendPassword(Bytes &body) {
  tpm::appendBe32(body, 9);
  tpm::appendBe32(body, 0x40000009);        // TPM_RS_PW
  body.insert(body.end(), {0, 0, 0, 0, 0}); // nonce, attributes, hmac
}

// TPM2_NV_DefineSpace of kNvSize bytes at kNvIndex, written and read with
// its own (empty) authorisation or the owner's.
Bytes nvDefineSpace() {
  Bytes body;
  tpm::appendBe32(body, 0x40000001); // TPM_RH_OWNER
  appendPassword(body);
  tpm::appendBe16(body, 0);  // no authorisation value
  tpm::appendBe16(body, 14); // TPMS_NV_PUBLIC
  tpm::appendBe32(body, kNvIndex);
  tpm::appendBe16(body, 0x000B);     // SHA-256
  tpm::appendBe32(body, 0x02060006); // OWNER/AUTH WRITE and READ, NO_DA
  tpm::appendBe16(body, 0);          // no policy
  tpm::appendBe16(body, kNvSize);
  return command(0x8002, 0x12A, body);
}

Bytes nvWrite() {
  Bytes body;
  tpm::appendBe32(body, kNvIndex); // authorised by the index itself
  tpm::appendBe32(body, kNvIndex);
  appendPassword(body);
  tpm::appendBe16(body, kNvSize);
  for (unsigned i = 0; i < kNvSize; ++i) {
    body.push_back(static_cast<std::uint8_t>(i));
  }
  tpm::appendBe16(body, 0); // offset
  return command(0x8002, 0x137, body);
}

// --- an mssim client
// ----------------------------------------------------------

// A client of the mssim protocol as tpm2-tss's TCTI talks it: power on and NV
// on first, then each command's header and body in separate writes.
class MssimClient {
public:
  MssimClient(std::uint16_t commandPort, std::uint16_t platformPort)
      : command_(connectTo(commandPort)), platform_(connectTo(platformPort)) {
    for (const std::uint32_t signal :
         {serve::mssim::kPowerOn, serve::mssim::kNvOn}) {
      Bytes code;
      tpm::appendBe32(code, signal);
      sendBytes(platform_, code);
      receiveBytes(platform_, 4);
    }
  }
  // The response code of the command's answer.
  std::uint32_t transact(const Bytes &command) {
    Bytes header;
    tpm::appendBe32(header, serve::mssim::kSendCommand);
    header.push_back(0);
    tpm::appendBe32(header, static_cast<std::uint32_t>(command.size()));
    sendBytes(command_, header);
    sendBytes(command_, command);
    const Bytes size = receiveBytes(command_, 4);
    const Bytes response = receiveBytes(command_, tpm::readBe32(size, 0) + 4);
    return response.size() >= 14 ? tpm::readBe32(response, 6) : 0xFFFFFFFF;
  }

private:
  serve::Socket command_;
  serve::Socket platform_;
};

// Mean milliseconds per command over `count` of them, against an in-process
// server on `backend`; `setUp` runs first, untimed.
double measure(serve::Backend &backend, const Bytes &timed, int count,
               const std::optional<Bytes> &setUp = std::nullopt) {
  serve::ServerOptions options;
  options.mssimCommandPort = options.mssimPlatformPort = 0;
  std::ostringstream log;
  serve::Server server(backend, options, log);
  std::thread thread([&server] { (void)server.run(); });
  double perCommand = 0;
  try {
    MssimClient client(server.mssimCommandPort(), server.mssimPlatformPort());
    if (setUp && client.transact(*setUp) != 0) {
      throw std::runtime_error("the set-up command failed");
    }
    const auto started = Clock::now();
    for (int i = 0; i < count; ++i) {
      if (const std::uint32_t rc = client.transact(timed); rc != 0) {
        throw std::runtime_error("a timed command answered " +
                                 std::to_string(rc));
      }
    }
    perCommand = millisecondsSince(started) / count;
  } catch (...) {
    server.requestStop();
    thread.join();
    throw;
  }
  server.requestStop();
  thread.join();
  return perCommand;
}

// --- child processes
// ------------------------------------------------------------

// A program run without a shell, its output discarded. The destructor stops
// it (SIGTERM) if it still runs and always reaps it.
class Child {
public:
  explicit Child(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const std::string &arg : args) {
      argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
      throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
      const int devNull = open("/dev/null", O_RDWR);
      dup2(devNull, STDIN_FILENO);
      dup2(devNull, STDOUT_FILENO);
      dup2(devNull, STDERR_FILENO);
      execvp(argv[0], argv.data());
      _exit(127);
    }
  }
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      wait();
    }
  }
  pid_t pid() const { return pid_; }
  // Waits for the end; the exit status, or -1 when it did not exit.
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

private:
  pid_t pid_ = -1;
};

bool onPath(const std::string &program) {
  Child which({"sh", "-c", "command -v " + program});
  return which.wait() == 0;
}

// A port pair nothing listens on, from the range above the default ones.
std::uint16_t freePorts() {
  for (std::uint16_t port = 23210; port < 24000; port += 2) {
    bool taken = false;
    for (std::uint16_t p : {port, static_cast<std::uint16_t>(port + 1)}) {
      try {
        connectTo(p);
        taken = true;
      } catch (const std::runtime_error &) {
      }
    }
    if (!taken) {
      return port;
    }
  }
  throw std::runtime_error("no free port pair between 23210 and 24000");
}

// Waits until something accepts connections on the port (10 s at most).
void awaitListener(std::uint16_t port) {
  const auto until = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < until) {
    try {
      connectTo(port);
      return;
    } catch (const std::runtime_error &) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  throw std::runtime_error("nothing listens on port " + std::to_string(port));
}

// Seconds for `count` tpm2_getrandom processes, one after the other.
double getRandomProcesses(const std::string &tcti, int count) {
  const auto started = Clock::now();
  for (int i = 0; i < count; ++i) {
    Child tool({"tpm2_getrandom", "-T", tcti, "16"});
    if (tool.wait() != 0) {
      throw std::runtime_error("tpm2_getrandom -T " + tcti + " failed");
    }
  }
  return millisecondsSince(started) / 1000;
}

std::filesystem::path freshDirectory(const std::string &what) {
  const auto path =
      std::filesystem::temp_directory_path() /
      ("serve-benchmark-" + what + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
  return path;
}

void compareWithSwtpm(int processes) {
  if (!onPath("swtpm") || !onPath("tpm2_getrandom")) {
    std::printf("swtpm or tpm2_getrandom not installed: no comparison\n");
    return;
  }
  double swtpm = 0;
  {
    const auto state = freshDirectory("swtpm");
    const std::uint16_t port = freePorts();
    Child server({"swtpm", "socket", "--tpm2", "--server",
                  "type=tcp,port=" + std::to_string(port), "--ctrl",
                  "type=tcp,port=" + std::to_string(port + 1), "--tpmstate",
                  "dir=" + state.string(), "--flags",
                  "not-need-init,startup-clear"});
    awaitListener(port);
    swtpm = getRandomProcesses(
        "swtpm:host=127.0.0.1,port=" + std::to_string(port), processes);
    std::filesystem::remove_all(state);
  }
  // serve through the mssim TCTI (which opens a second connection for its
  // platform signals) and through the swtpm TCTI that swtpm itself is
  // measured with.
  for (const std::string protocol : {"mssim", "swtpm"}) {
    const auto state = freshDirectory("serve");
    const std::uint16_t port = freePorts();
    Child server({PEI_PLATFORM, "serve", SERVE_FIRMWARE_IMAGE, "--port",
                  std::to_string(port), "--protocol", protocol, "--state-dir",
                  state.string()});
    awaitListener(port);
    const double ours = getRandomProcesses(
        protocol + ":host=127.0.0.1,port=" + std::to_string(port), processes);
    std::filesystem::remove_all(state);
    std::printf("%d tpm2_getrandom processes: swtpm %.2f s, pei-platform "
                "serve (%s TCTI) %.2f s, ratio %.2f\n",
                processes, swtpm, protocol.c_str(), ours, ours / swtpm);
  }
}

// --- raw swtpm-protocol clients
// ------------------------------------------------

// A client of the swtpm protocol's data port at its barest: one TCP
// connection, each command written whole, its response read back whole (the
// size from the response header). No TCTI, no process start: what is left is
// the endpoint's own cost per command.
class RawSwtpmClient {
public:
  explicit RawSwtpmClient(std::uint16_t port) : socket_(connectTo(port)) {
    const int on = 1;
    ::setsockopt(socket_.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  // The response code of the command's answer.
  std::uint32_t transact(const Bytes &command) {
    sendBytes(socket_, command);
    receiveInto(tpm::kHeaderSize, 0);
    const std::uint32_t size = tpm::readBe32(response_, tpm::kSizeOffset);
    if (size < tpm::kHeaderSize || size > 0x10000) {
      throw std::runtime_error("a response header states " +
                               std::to_string(size) + " bytes");
    }
    receiveInto(size - tpm::kHeaderSize, tpm::kHeaderSize);
    return tpm::readBe32(response_, 6);
  }

private:
  // Reads `count` bytes into response_ from `at` on; the buffer is kept from
  // one command to the next so that the client allocates nothing per command.
  void receiveInto(std::size_t count, std::size_t at) {
    response_.resize(at + count);
    std::size_t have = 0;
    while (have < count) {
      const ssize_t got =
          ::recv(socket_.fd(), response_.data() + at + have, count - have, 0);
      if (got <= 0) {
        throw std::runtime_error("the endpoint closed the connection");
      }
      have += static_cast<std::size_t>(got);
    }
  }

  serve::Socket socket_;
  Bytes response_;
};

struct Latency {
  double median = 0; // microseconds per command
  double mean = 0;
};

// `count` commands, one after the other, on a fresh connection (opened
// before the clock starts); the per-command latency, median and mean.
Latency rawRound(std::uint16_t port, const Bytes &timed, int count) {
  RawSwtpmClient client(port);
  std::vector<double> each;
  each.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const auto started = Clock::now();
    if (const std::uint32_t rc = client.transact(timed); rc != 0) {
      throw std::runtime_error("TPM2_GetRandom answered " + std::to_string(rc));
    }
    each.push_back(millisecondsSince(started) * 1000);
  }
  Latency latency;
  for (const double us : each) {
    latency.mean += us;
  }
  latency.mean /= count;
  std::nth_element(each.begin(), each.begin() + count / 2, each.end());
  latency.median = each[static_cast<std::size_t>(count / 2)];
  return latency;
}

double medianOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One TPM2_GetRandom(16) through a raw swtpm-protocol client against swtpm
// and against `serve --protocol swtpm`, side by side in one run: both are
// started first, then five alternating rounds of 1,000 commands each (after
// 200 untimed commands to each, so that neither pays for first touches).
void rawLatencyAgainstSwtpm(const std::string &platform = PEI_PLATFORM,
                            const std::string &image = SERVE_FIRMWARE_IMAGE) {
  if (!onPath("swtpm")) {
    std::printf("swtpm not installed: no raw-client comparison\n");
    return;
  }
  constexpr int kRounds = 5;
  constexpr int kPerRound = 1000;
  constexpr int kWarmUp = 200;
  const Bytes timed = getRandom(16);

  const auto swtpmState = freshDirectory("raw-swtpm");
  const std::uint16_t swtpmPort = freePorts();
  Child swtpm({"swtpm", "socket", "--tpm2", "--server",
               "type=tcp,port=" + std::to_string(swtpmPort), "--ctrl",
               "type=tcp,port=" + std::to_string(swtpmPort + 1), "--tpmstate",
               "dir=" + swtpmState.string(), "--flags",
               "not-need-init,startup-clear"});
  awaitListener(swtpmPort);
  const auto serveState = freshDirectory("raw-serve");
  const std::uint16_t servePort = freePorts();
  Child serve({platform, "serve", image, "--port", std::to_string(servePort),
               "--protocol", "swtpm", "--state-dir", serveState.string()});
  awaitListener(servePort);

  rawRound(swtpmPort, timed, kWarmUp);
  rawRound(servePort, timed, kWarmUp);
  std::vector<double> swtpmMedians, serveMedians, swtpmMeans, serveMeans;
  std::printf("TPM2_GetRandom(16), raw swtpm-protocol client over loopback, "
              "%d alternating rounds of %d commands (us per command, median "
              "/ mean):\n",
              kRounds, kPerRound);
  for (int round = 1; round <= kRounds; ++round) {
    const Latency theirs = rawRound(swtpmPort, timed, kPerRound);
    const Latency ours = rawRound(servePort, timed, kPerRound);
    swtpmMedians.push_back(theirs.median);
    swtpmMeans.push_back(theirs.mean);
    serveMedians.push_back(ours.median);
    serveMeans.push_back(ours.mean);
    std::printf("  round %d: swtpm %.1f / %.1f, serve %.1f / %.1f, ratio "
                "%.2f / %.2f\n",
                round, theirs.median, theirs.mean, ours.median, ours.mean,
                ours.median / theirs.median, ours.mean / theirs.mean);
  }
  double swtpmMean = 0, serveMean = 0;
  for (int i = 0; i < kRounds; ++i) {
    swtpmMean += swtpmMeans[static_cast<std::size_t>(i)] / kRounds;
    serveMean += serveMeans[static_cast<std::size_t>(i)] / kRounds;
  }
  const double swtpmMedian = medianOf(swtpmMedians);
  const double serveMedian = medianOf(serveMedians);
  std::printf("  overall (median of the rounds' medians / mean): swtpm %.1f "
              "/ %.1f us, serve %.1f / %.1f us, serve/swtpm %.2f / %.2f\n",
              swtpmMedian, swtpmMean, serveMedian, serveMean,
              serveMedian / swtpmMedian, serveMean / swtpmMean);
  std::filesystem::remove_all(swtpmState);
  std::filesystem::remove_all(serveState);
}

// VmRSS of the process, in KiB.
long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::atol(line.c_str() + 6);
    }
  }
  throw std::runtime_error("no VmRSS for process " + std::to_string(pid));
}

void residentMemory() {
  const auto state = freshDirectory("rss");
  const std::uint16_t port = freePorts();
  Child server({PEI_PLATFORM, "serve", SERVE_FIRMWARE_IMAGE, "--port",
                std::to_string(port), "--state-dir", state.string()});
  awaitListener(port);
  MssimClient client(port, static_cast<std::uint16_t>(port + 1));
  // Commands of 4 KiB: a TPM2_GetRandom followed by padding, which the TPM
  // refuses for its size; the firmware and the platform carry every byte.
  Bytes large = getRandom(16);
  large.resize(4096, 0xA5);
  large[2] = 0x00;
  large[3] = 0x00;
  large[4] = 0x10;
  large[5] = 0x00;
  long after1k = 0;
  const auto started = Clock::now();
  for (int i = 1; i <= 100'000; ++i) {
    client.transact(i % 2 ? large : getRandom(16));
    if (i == 1'000) {
      after1k = residentKiB(server.pid());
    }
  }
  const long after100k = residentKiB(server.pid());
  std::printf("resident memory of serve: %.1f MiB after 1,000 commands, %.1f "
              "MiB after 100,000 (%+.1f%%; half of them 4 KiB, %.1f s)\n",
              after1k / 1024.0, after100k / 1024.0,
              100.0 * (after100k - after1k) / after1k,
              millisecondsSince(started) / 1000);
  std::filesystem::remove_all(state);
}

} // namespace

int main(int argc, char **argv) {
  if (argc > 1 && std::string(argv[1]) == "--latency") {
    try {
      rawLatencyAgainstSwtpm(argc > 2 ? argv[2] : PEI_PLATFORM,
                             argc > 3 ? argv[3] : SERVE_FIRMWARE_IMAGE);
    } catch (const std::exception &error) {
      std::fprintf(stderr, "serve_benchmark: %s\n", error.what());
      return 1;
    }
    return 0;
  }
  const int count = argc > 1 ? std::atoi(argv[1]) : 200;
  if (count <= 0) {
    std::fprintf(stderr, "usage: serve_benchmark [commands] | serve_benchmark "
                         "--latency\n");
    return 2;
  }
  try {
    InstantBackend instant;
    instant.powerOn();
    const double framing = measure(instant, getRandom(16), count * 10);
    std::printf("mssim framing over loopback, instant backend: %.3f ms per "
                "command (%d commands)\n",
                framing, count * 10);

    const auto state = freshDirectory("module");
    {
      platform::Scenario scenario;
      scenario.tpmStateDir = state;
      serve::FirmwareBackend backend(
          scenario, pei::PeImage::load(SERVE_FIRMWARE_IMAGE), true,
          test::suiteCoverage());
      backend.powerOn();
      const double random = measure(backend, getRandom(16), count);
      std::printf("TPM2_GetRandom (16 bytes) through the module's transport: "
                  "%.3f ms per command (%d commands)\n",
                  random, count);
      const double write = measure(backend, nvWrite(), count, nvDefineSpace());
      std::printf("TPM2_NV_Write (1 KiB) through the module's transport: "
                  "%.3f ms per command (%d commands)\n",
                  write, count);
    }
    std::filesystem::remove_all(state);

    compareWithSwtpm(100);
    rawLatencyAgainstSwtpm();
    residentMemory();
  } catch (const std::exception &error) {
    std::fprintf(stderr, "serve_benchmark: %s\n", error.what());
    return 1;
  }
  return 0;
}
