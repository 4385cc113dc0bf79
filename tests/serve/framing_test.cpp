// The simulator endpoint's framing, exercised over real loopback sockets by
// well-behaved and malformed clients, with a test backend behind it that
// answers every command with a recognisable response.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "framing.h"
#include "server.h"
#include "socket.h"
#include "tpm_header.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Counts what the server asked of it. A command is answered with a success
// response that carries the command's code, so a test can tell which
// command a response belongs to.
class RecordingBackend : public serve::Backend {
public:
  void powerOn() override {
    if (!on_) {
      ++boots_;
      on_ = true;
    }
  }
  void powerOff() override { on_ = false; }
  void reset() override {
    on_ = false;
    powerOn();
  }
  void nvOn() override { ++nvOns_; }
  bool isOn() const override { return on_; }
  Bytes transact(std::span<const std::uint8_t> command) override {
    std::lock_guard lock(mutex_);
    commands_.emplace_back(command.begin(), command.end());
    Bytes response(14);
    response[0] = 0x80;
    response[1] = 0x01;
    response[5] = 14;
    std::copy(command.begin() + 6, command.begin() + 10, response.begin() + 10);
    return response;
  }
  StopOutcome stop() override {
    stopped_ = true;
    return {};
  }

  int boots() const { return boots_; }
  int nvOns() const { return nvOns_; }
  bool stopped() const { return stopped_; }
  std::size_t commandCount() const {
    std::lock_guard lock(mutex_);
    return commands_.size();
  }
  // While held, a command keeps the server busy inside transact().
  std::mutex &busy() { return mutex_; }

private:
  std::atomic<bool> on_ = false;
  std::atomic<int> boots_ = 0;
  std::atomic<int> nvOns_ = 0;
  std::atomic<bool> stopped_ = false;
  mutable std::mutex mutex_;
  std::vector<Bytes> commands_;
};

Bytes be32(std::uint32_t value) {
  Bytes out;
  tpm::appendBe32(out, value);
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &part : parts) {
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

// A TPM command of the given code and total size (at least a header).
Bytes tpmCommand(std::uint32_t code, std::uint32_t size = 12) {
  Bytes out{0x80, 0x01};
  tpm::appendBe32(out, size);
  tpm::appendBe32(out, code);
  out.resize(size, 0xA5);
  return out;
}

// The response RecordingBackend gives to a command of this code.
Bytes echoResponse(std::uint32_t code) {
  return concat({Bytes{0x80, 0x01, 0, 0, 0, 14, 0, 0, 0, 0}, be32(code)});
}

// A blocking client whose every operation gives up after two seconds.
class Client {
public:
  explicit Client(std::uint16_t port) {
    socket_ = serve::Socket(::socket(AF_INET, SOCK_STREAM, 0));
    timeval limit{2, 0};
    ::setsockopt(socket_.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(socket_.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ =
        ::connect(socket_.fd(), reinterpret_cast<const sockaddr *>(&address),
                  sizeof address) == 0;
  }
  bool connected() const { return connected_; }

  void send(const Bytes &bytes) {
    ASSERT_EQ(::send(socket_.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  // Exactly `count` bytes, or nothing when the peer closed or went quiet.
  std::optional<Bytes> receive(std::size_t count) {
    Bytes out(count);
    std::size_t have = 0;
    while (have < count) {
      const ssize_t got =
          ::recv(socket_.fd(), out.data() + have, count - have, 0);
      if (got <= 0) {
        return std::nullopt;
      }
      have += static_cast<std::size_t>(got);
    }
    return out;
  }

  // True when the server closed the connection without sending anything
  // (a timeout, or any data, is false).
  bool closedByServer() {
    std::uint8_t byte;
    return ::recv(socket_.fd(), &byte, 1, 0) == 0;
  }

  // True when nothing arrives within `wait`, and the connection is open.
  bool silentFor(std::chrono::milliseconds wait) {
    timeval limit{0, static_cast<suseconds_t>(wait.count() * 1000)};
    ::setsockopt(socket_.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::uint8_t byte;
    const ssize_t got = ::recv(socket_.fd(), &byte, 1, MSG_PEEK);
    const bool silent = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    limit = {2, 0};
    ::setsockopt(socket_.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return silent;
  }

  void close() { socket_.close(); }

private:
  serve::Socket socket_;
  bool connected_ = false;
};

// What tpm2-tss's mssim TCTI does at initialisation.
void mssimHandshake(Client &platform) {
  platform.send(be32(serve::mssim::kPowerOn));
  EXPECT_EQ(platform.receive(4), be32(0));
  platform.send(be32(serve::mssim::kNvOn));
  EXPECT_EQ(platform.receive(4), be32(0));
}

// One command on the mssim command port: the 9-byte header and the body in
// separate writes, as the client writes them.
std::optional<Bytes> mssimCommand(Client &client, const Bytes &command) {
  client.send(concat({be32(serve::mssim::kSendCommand), Bytes{0},
                      be32(static_cast<std::uint32_t>(command.size()))}));
  client.send(command);
  const auto size = client.receive(4);
  if (!size) {
    return std::nullopt;
  }
  auto response = client.receive(tpm::readBe32(*size, 0));
  const auto trailer = client.receive(4);
  if (!response || trailer != be32(0)) {
    return std::nullopt;
  }
  return response;
}

class ServerTest : public ::testing::Test {
protected:
  void start(bool mssim, bool swtpm) {
    serve::ServerOptions options;
    options.mssim = mssim;
    options.swtpm = swtpm;
    options.mssimCommandPort = options.mssimPlatformPort = 0;
    options.swtpmDataPort = options.swtpmControlPort = 0;
    options.frameTimeout = 300ms;
    options.idleTimeout = idleTimeout_;
    options.maxConnections = maxConnections_;
    options.verbose = true;
    server_ = std::make_unique<serve::Server>(backend_, options, log_);
    thread_ = std::thread([this] { (void)server_->run(); });
  }
  void stop() {
    if (thread_.joinable()) {
      server_->requestStop();
      thread_.join();
    }
  }
  void TearDown() override { stop(); }
  std::string log() {
    stop();
    return log_.str();
  }

  std::chrono::milliseconds idleTimeout_ = 10s;
  std::size_t maxConnections_ = 64;
  RecordingBackend backend_;
  std::ostringstream log_;
  std::unique_ptr<serve::Server> server_;
  std::thread thread_;
};

TEST_F(ServerTest, MssimClientSessionAsTpm2TssRunsIt) {
  start(true, false);
  Client command(server_->mssimCommandPort());
  Client platform(server_->mssimPlatformPort());
  ASSERT_TRUE(command.connected() && platform.connected());
  mssimHandshake(platform);
  EXPECT_EQ(mssimCommand(command, tpmCommand(0x17B)), echoResponse(0x17B));
  EXPECT_EQ(mssimCommand(command, tpmCommand(0x17E, 300)), echoResponse(0x17E));

  // A second client initialises while the platform is on: nothing reboots.
  Client platform2(server_->mssimPlatformPort());
  mssimHandshake(platform2);
  EXPECT_EQ(backend_.boots(), 1);
  EXPECT_EQ(backend_.nvOns(), 2);

  // Power off, then commands get a TPM failure until power returns.
  platform2.send(be32(serve::mssim::kPowerOff));
  EXPECT_EQ(platform2.receive(4), be32(0));
  EXPECT_EQ(mssimCommand(command, tpmCommand(0x17B)),
            tpm::errorResponse(tpm::kRcFailure));
  platform2.send(be32(serve::mssim::kPowerOn));
  EXPECT_EQ(platform2.receive(4), be32(0));
  EXPECT_EQ(backend_.boots(), 2);

  // Any other platform code is acknowledged; session end closes silently.
  platform2.send(be32(0x03));
  EXPECT_EQ(platform2.receive(4), be32(0));
  platform2.send(be32(serve::mssim::kSessionEnd));
  EXPECT_TRUE(platform2.closedByServer());
  command.send(be32(serve::mssim::kSessionEnd));
  EXPECT_TRUE(command.closedByServer());
  EXPECT_EQ(backend_.commandCount(), 2u);

  const std::string text = log();
  EXPECT_NE(text.find("power on (already on, nothing changed)"),
            std::string::npos);
  EXPECT_TRUE(backend_.stopped());
}

TEST_F(ServerTest, MalformedMssimClientsAreClosedAndTheNextIsServed) {
  start(true, false);
  const std::uint16_t port = server_->mssimCommandPort();
  Client platform(server_->mssimPlatformPort());
  mssimHandshake(platform);
  {
    Client client(port); // larger than any TPM command
    client.send(concat({be32(8), Bytes{0}, be32(0x10000)}));
    EXPECT_TRUE(client.closedByServer());
  }
  {
    Client client(port); // not a code of the command port
    client.send(be32(0x12345678));
    EXPECT_TRUE(client.closedByServer());
  }
  {
    Client client(port); // half a command, then gone
    client.send(concat({be32(8), Bytes{0}, be32(64), Bytes(20, 0x80)}));
    client.close();
  }
  {
    Client client(port); // half a header, then silence
    client.send(Bytes{0, 0, 0, 8, 0});
    EXPECT_TRUE(client.closedByServer());
  }
  for (const std::uint32_t code : {0u, 31u, 0xB83705D1u, 6u, 8u}) {
    // Not a platform signal: no answer could keep the stream in step.
    Client other(server_->mssimPlatformPort());
    other.send(be32(code));
    EXPECT_TRUE(other.closedByServer()) << code;
  }
  {
    // Frame and command header disagree: a TPM error, the connection stays.
    Client client(port);
    Bytes command = tpmCommand(0x17B, 12);
    command[5] = 40;
    EXPECT_EQ(mssimCommand(client, command),
              tpm::errorResponse(tpm::kRcCommandSize));
    // Shorter than a TPM header, though its size field agrees: it never
    // reaches the TPM either.
    const Bytes stub{0x80, 0x01, 0, 0, 0, 8, 0, 0};
    EXPECT_EQ(mssimCommand(client, stub),
              tpm::errorResponse(tpm::kRcCommandSize));
    EXPECT_EQ(mssimCommand(client, tpmCommand(0x17B)), echoResponse(0x17B));
  }
  Client good(port);
  EXPECT_EQ(mssimCommand(good, tpmCommand(0x17A)), echoResponse(0x17A));
  EXPECT_EQ(backend_.commandCount(), 2u);

  const std::string text = log();
  EXPECT_NE(text.find("exceeds the maximum command size of 4096"),
            std::string::npos);
  EXPECT_NE(text.find("unexpected code 0x12345678"), std::string::npos);
  EXPECT_NE(text.find("disconnected in the middle of a frame (29 bytes"),
            std::string::npos);
  EXPECT_NE(text.find("incomplete frame: 5 bytes"), std::string::npos);
  EXPECT_NE(text.find("unknown code 0xB83705D1 on the platform port"),
            std::string::npos);
  EXPECT_EQ(backend_.boots(), 1);
}

TEST_F(ServerTest, TpmClientsAreServedInTurn) {
  start(true, true);
  Client platform(server_->mssimPlatformPort());
  mssimHandshake(platform);
  Client first(server_->mssimCommandPort());
  ASSERT_TRUE(first.connected());
  EXPECT_EQ(mssimCommand(first, tpmCommand(0x17B)), echoResponse(0x17B));

  // A second client's command waits while the first holds the TPM...
  Client second(server_->swtpmDataPort());
  second.send(tpmCommand(0x17E));
  EXPECT_TRUE(second.silentFor(300ms));
  // ...and is answered once the first has gone.
  first.close();
  EXPECT_EQ(second.receive(14), echoResponse(0x17E));
}

TEST_F(ServerTest, ABurstOfConnectsIsQueuedWhileTheServerIsBusy) {
  start(true, false);
  Client platform(server_->mssimPlatformPort());
  mssimHandshake(platform);
  Client first(server_->mssimCommandPort());
  std::unique_lock busy(backend_.busy());
  std::thread command([&] { (void)mssimCommand(first, tpmCommand(0x17B)); });
  std::this_thread::sleep_for(100ms); // the server is now inside transact()
  // Clients connect back to back, as tools do; the kernel must take every
  // connection at once, not drop the SYNs beyond a short backlog.
  constexpr int kBurst = 100;
  std::vector<serve::Socket> sockets;
  std::vector<pollfd> pending;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(server_->mssimCommandPort());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < kBurst; ++i) {
    sockets.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    (void)::connect(sockets.back().fd(),
                    reinterpret_cast<const sockaddr *>(&address),
                    sizeof address);
    pending.push_back({sockets.back().fd(), POLLOUT, 0});
  }
  const auto deadline = std::chrono::steady_clock::now() + 500ms;
  int connected = 0;
  while (std::chrono::steady_clock::now() < deadline && connected < kBurst) {
    ::poll(pending.data(), pending.size(), 50);
    connected = 0;
    for (const pollfd &entry : pending) {
      connected += (entry.revents & POLLOUT) != 0 ? 1 : 0;
    }
  }
  busy.unlock();
  command.join();
  EXPECT_EQ(connected, kBurst);
}

TEST_F(ServerTest, AnIdleClientKeepsTheTpmOnlyWhileNoOneWaits) {
  idleTimeout_ = 300ms;
  start(true, false);
  Client platform(server_->mssimPlatformPort());
  mssimHandshake(platform);
  // A lone client (a resource manager) keeps its connection however long it
  // is quiet, and its next command is answered.
  Client idle(server_->mssimCommandPort());
  ASSERT_TRUE(idle.connected());
  EXPECT_TRUE(idle.silentFor(600ms) && idle.silentFor(600ms))
      << "closed with no one waiting";
  EXPECT_EQ(mssimCommand(idle, tpmCommand(0x17B)), echoResponse(0x17B));
  // Once another client waits, the idle one gives the TPM up after the idle
  // timeout, counted from its last command.
  std::this_thread::sleep_for(100ms);
  Client waiting(server_->mssimCommandPort());
  const auto sent = std::chrono::steady_clock::now();
  EXPECT_EQ(mssimCommand(waiting, tpmCommand(0x17B)), echoResponse(0x17B));
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 2s);
  EXPECT_TRUE(idle.closedByServer());
  // A client waiting its turn holds nothing, and the one in service keeps
  // the TPM while it keeps sending; when it falls quiet, the waiting one
  // gets its turn, and then, alone, keeps it.
  Client silent(server_->mssimCommandPort());
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(mssimCommand(waiting, tpmCommand(0x17B)), echoResponse(0x17B));
  }
  EXPECT_TRUE(waiting.closedByServer());
  EXPECT_TRUE(silent.silentFor(900ms));
  EXPECT_EQ(mssimCommand(silent, tpmCommand(0x17B)), echoResponse(0x17B));
  const std::string text = log();
  EXPECT_NE(text.find("held the TPM without sending a command for 300 ms "
                      "while another client waited"),
            std::string::npos)
      << text;
}

TEST_F(ServerTest, QuietPlatformConnectionsCannotFillTheTable) {
  idleTimeout_ = 1s;
  maxConnections_ = 3;
  start(true, false);
  std::vector<std::unique_ptr<Client>> quiet;
  for (int i = 0; i < 3; ++i) {
    quiet.push_back(std::make_unique<Client>(server_->mssimPlatformPort()));
    mssimHandshake(*quiet.back());
  }
  // Within the idle timeout the limit holds: the next one is refused.
  Client early(server_->mssimCommandPort());
  EXPECT_TRUE(early.closedByServer());
  // Past it, the quiet connection heard from longest ago gives way, and
  // only that one: the newcomer is served.
  std::this_thread::sleep_for(1200ms);
  mssimHandshake(*quiet[1]);
  mssimHandshake(*quiet[2]);
  Client late(server_->mssimCommandPort());
  EXPECT_EQ(mssimCommand(late, tpmCommand(0x17B)), echoResponse(0x17B));
  EXPECT_TRUE(quiet[0]->closedByServer());
  EXPECT_TRUE(quiet[1]->silentFor(100ms));
  EXPECT_TRUE(quiet[2]->silentFor(100ms));
  const std::string text = log();
  EXPECT_NE(text.find("refused: already 3 connections"), std::string::npos)
      << text;
  EXPECT_NE(text.find("while the connection limit is reached"),
            std::string::npos)
      << text;
}

TEST_F(ServerTest, SwtpmClientAsTpm2TssRunsIt) {
  start(false, true);
  backend_.powerOn();
  {
    Client probe(server_->swtpmDataPort()); // liveness check
    ASSERT_TRUE(probe.connected());
  }
  {
    Client control(server_->swtpmControlPort());
    control.send(Bytes{0, 0, 0, 5, 0});
    EXPECT_EQ(control.receive(4), be32(0));
  }
  for (std::uint32_t code : {0x17Bu, 0x182u}) {
    Client data(server_->swtpmDataPort());
    const Bytes command = tpmCommand(code, 30);
    data.send(Bytes(command.begin(), command.begin() + 10));
    data.send(Bytes(command.begin() + 10, command.end()));
    EXPECT_EQ(data.receive(14), echoResponse(code));
  }
  EXPECT_EQ(backend_.commandCount(), 2u);
}

TEST_F(ServerTest, SwtpmControlCodes) {
  start(false, true);
  backend_.powerOn();
  Client control(server_->swtpmControlPort());
  // Locality 5 does not exist; the connection stays for the next code.
  control.send(Bytes{0, 0, 0, 5, 5});
  EXPECT_EQ(control.receive(4), be32(serve::swtpm::kResultBadLocality));
  // Init reboots the platform.
  control.send(concat({be32(serve::swtpm::kInit), be32(1)}));
  EXPECT_EQ(control.receive(4), be32(0));
  EXPECT_EQ(backend_.boots(), 2);
  // Known codes this platform does not carry out fail, with their input
  // consumed so that the stream stays in step.
  control.send(
      concat({be32(serve::swtpm::kHashData), be32(3), Bytes{1, 2, 3}}));
  EXPECT_EQ(control.receive(4), be32(serve::swtpm::kResultFail));
  control.send(be32(serve::swtpm::kGetCapability));
  EXPECT_EQ(control.receive(4), be32(serve::swtpm::kResultFail));
  // An unknown code: an error, then the connection is closed.
  control.send(be32(0x77));
  EXPECT_EQ(control.receive(4), be32(serve::swtpm::kResultBadOrdinal));
  EXPECT_TRUE(control.closedByServer());
  EXPECT_EQ(backend_.boots(), 2);
}

TEST_F(ServerTest, MalformedSwtpmClientsAreClosedAndTheNextIsServed) {
  start(false, true);
  backend_.powerOn();
  const std::uint16_t port = server_->swtpmDataPort();
  {
    Client client(port);
    client.send(Bytes{0x80, 0x01, 0, 0, 0, 4, 0, 0, 1, 0x7B});
    EXPECT_TRUE(client.closedByServer());
  }
  {
    Client client(port);
    client.send(tpmCommand(0x17B, 5000));
    EXPECT_TRUE(client.closedByServer());
  }
  {
    Client client(port);
    client.send(Bytes{0x80, 0x01, 0, 0});
    EXPECT_TRUE(client.closedByServer()); // after the frame timeout
  }
  {
    Client control(server_->swtpmControlPort());
    control.send(concat({be32(serve::swtpm::kHashData), be32(0x100000)}));
    EXPECT_TRUE(control.closedByServer());
  }
  {
    // Gone before its answer: the command has run, the answer goes nowhere.
    Client client(port);
    client.send(tpmCommand(0x17E));
    client.close();
  }
  Client good(port);
  good.send(tpmCommand(0x17B));
  EXPECT_EQ(good.receive(14), echoResponse(0x17B));
  EXPECT_EQ(backend_.commandCount(), 2u);
}

TEST_F(ServerTest, PortInUseIsAClearError) {
  start(true, false);
  serve::ServerOptions options;
  options.mssimCommandPort = server_->mssimCommandPort();
  options.mssimPlatformPort = 0;
  RecordingBackend other;
  std::ostringstream otherLog;
  try {
    serve::Server second(other, options, otherLog);
    FAIL() << "a second server bound a port already in use";
  } catch (const serve::SocketError &error) {
    EXPECT_NE(std::string(error.what())
                  .find("port " + std::to_string(options.mssimCommandPort) +
                        " on 127.0.0.1 is already in use"),
              std::string::npos)
        << error.what();
  }
}

TEST(Framing, MssimCommandPortFramesAndLimits) {
  using serve::ParseStatus;
  const Bytes frame = concat({be32(8), Bytes{3}, be32(12), tpmCommand(0x17B)});
  for (std::size_t cut = 0; cut < frame.size(); ++cut) {
    const auto parse =
        serve::mssim::parseCommandPort(std::span(frame).first(cut), 4096);
    EXPECT_EQ(parse.status, ParseStatus::NeedMore) << cut;
  }
  const Bytes two = concat({frame, be32(20)});
  const auto parse = serve::mssim::parseCommandPort(two, 4096);
  EXPECT_EQ(parse.status, ParseStatus::Complete);
  EXPECT_EQ(parse.size, frame.size());
  EXPECT_EQ(serve::mssim::parseCommandPort(
                concat({be32(8), Bytes{0}, be32(4097)}), 4096)
                .status,
            ParseStatus::Malformed);
  EXPECT_EQ(serve::mssim::parseCommandPort(
                concat({be32(8), Bytes{0}, be32(4096)}), 4096)
                .size,
            4096u + 9u);
}

TEST(Framing, SwtpmControlInputSizes) {
  using serve::ParseStatus;
  // Set locality: code and one byte. Init: code and 4 bytes of flags.
  EXPECT_EQ(serve::swtpm::parseControlPort(Bytes{0, 0, 0, 5}).status,
            ParseStatus::NeedMore);
  EXPECT_EQ(serve::swtpm::parseControlPort(Bytes{0, 0, 0, 5, 0, 9}).size, 5u);
  EXPECT_EQ(serve::swtpm::parseControlPort(concat({be32(2), be32(0)})).size,
            8u);
  // Set state blob: three words, the last the length of the data after them.
  const Bytes blob = concat({be32(13), be32(0), be32(1), be32(6), Bytes(6, 7)});
  EXPECT_EQ(serve::swtpm::parseControlPort(blob).size, blob.size());
  EXPECT_EQ(serve::swtpm::parseControlPort(std::span(blob).first(20)).status,
            ParseStatus::NeedMore);
}

} // namespace
