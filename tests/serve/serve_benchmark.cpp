// Prints what one TPM command costs at the simulator endpoint: the mssim
// framing over loopback alone (a backend that answers at once), and the
// whole path through the module's transport in the emulated platform.
//
// usage: serve_benchmark [commands]   (default 200)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "firmware_backend.h"
#include "framing.h"
#include "server.h"
#include "tpm_header.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

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
    throw std::runtime_error("cannot connect to the endpoint");
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

// Runs `count` TPM2_GetRandom commands as tpm2-tss's mssim TCTI sends them
// (power on and NV on first; each command's header and body in separate
// writes) and returns the mean time per command in milliseconds.
double measure(serve::Backend &backend, int count) {
  serve::ServerOptions options;
  options.mssimCommandPort = options.mssimPlatformPort = 0;
  std::ostringstream log;
  serve::Server server(backend, options, log);
  std::thread thread([&server] { (void)server.run(); });

  double perCommand = 0;
  try {
    const serve::Socket command = connectTo(server.mssimCommandPort());
    const serve::Socket platform = connectTo(server.mssimPlatformPort());
    for (const std::uint32_t signal :
         {serve::mssim::kPowerOn, serve::mssim::kNvOn}) {
      Bytes code;
      tpm::appendBe32(code, signal);
      sendBytes(platform, code);
      receiveBytes(platform, 4);
    }
    Bytes getRandom;
    tpm::appendBe16(getRandom, tpm::kStNoSessions);
    tpm::appendBe32(getRandom, 12);
    tpm::appendBe32(getRandom, 0x17B);
    tpm::appendBe16(getRandom, 16);
    Bytes header;
    tpm::appendBe32(header, serve::mssim::kSendCommand);
    header.push_back(0);
    tpm::appendBe32(header, static_cast<std::uint32_t>(getRandom.size()));

    const auto started = Clock::now();
    for (int i = 0; i < count; ++i) {
      sendBytes(command, header);
      sendBytes(command, getRandom);
      const Bytes size = receiveBytes(command, 4);
      receiveBytes(command, tpm::readBe32(size, 0) + 4);
    }
    perCommand =
        std::chrono::duration<double, std::milli>(Clock::now() - started)
            .count() /
        count;
  } catch (...) {
    server.requestStop();
    thread.join();
    throw;
  }
  server.requestStop();
  thread.join();
  return perCommand;
}

} // namespace

int main(int argc, char **argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 200;
  if (count <= 0) {
    std::fprintf(stderr, "usage: serve_benchmark [commands]\n");
    return 2;
  }
  try {
    InstantBackend instant;
    instant.powerOn();
    const double framing = measure(instant, count * 10);
    std::printf("mssim framing over loopback, instant backend: %.3f ms per "
                "command (%d commands)\n",
                framing, count * 10);

    const std::filesystem::path state =
        std::filesystem::temp_directory_path() /
        ("serve-benchmark-" + std::to_string(::getpid()));
    double firmware = 0;
    {
      emu::Scenario scenario;
      scenario.tpmStateDir = state;
      serve::FirmwareBackend backend(
          scenario, pei::PeImage::load(SERVE_FIRMWARE_IMAGE), true);
      backend.powerOn();
      firmware = measure(backend, count);
    }
    std::filesystem::remove_all(state);
    std::printf("TPM2_GetRandom through the module's transport: %.3f ms per "
                "command (%d commands), of which framing %.1f%%\n",
                firmware, count, 100.0 * framing / firmware);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "serve_benchmark: %s\n", error.what());
    return 1;
  }
  return 0;
}
