// TCP sockets on 127.0.0.1, for the simulator endpoint and the GDB stub
// alike: an owning descriptor, loopback listeners and the few receive/send
// helpers their protocols need.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

#include "file_descriptor.h"

namespace common::net {

// Every failure of the socket layer that the caller cannot retry.
class SocketError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A connected or listening socket (or a pipe end); closed when destroyed.
// Move-only.
class Socket {
public:
  Socket() = default;
  explicit Socket(int fd) noexcept : fd_(fd) {}

  [[nodiscard]] int fd() const noexcept { return fd_.get(); }
  [[nodiscard]] bool valid() const noexcept { return fd_.valid(); }
  void close() noexcept { fd_.reset(); }

private:
  common::FileDescriptor fd_;
};

// A listening socket bound to 127.0.0.1 only. Port 0 asks the kernel for a
// free port; port() then tells which one it chose. A port that is taken
// throws SocketError naming the port.
class Listener {
public:
  explicit Listener(std::uint16_t port);
  [[nodiscard]] std::uint16_t port() const noexcept { return port_; }
  [[nodiscard]] int fd() const noexcept { return socket_.fd(); }

  // Accepts one pending connection (non-blocking); an invalid Socket when
  // none is pending. `peer` receives "address:port" of the client.
  Socket accept(std::string &peer);

private:
  Socket socket_;
  std::uint16_t port_ = 0;
};

// Disables Nagle's algorithm and makes the socket non-blocking. The clients
// write a frame header and its body in two writes; with Nagle on either side
// each of those waits for a delayed acknowledgement.
void prepareConnection(const Socket &socket);

// Linux turns quick acknowledgements off again by itself after a while, so
// they are re-armed before and after every receive.
void armQuickAck(const Socket &socket) noexcept;

// Outcome of one non-blocking receive.
struct ReceiveResult {
  std::size_t bytes = 0; // bytes stored
  bool closed = false;   // end of stream (or connection reset)
  int error = 0;         // errno of a failure other than "would block"
};

// Receives what is available, at most into.size() bytes; with
// `armQuickAcks` quick acknowledgements are re-armed before and after, for a
// caller that does not know whether more bytes of a message are to come (a
// caller that knows arms them itself, only when they are).
ReceiveResult receiveSome(const Socket &socket, std::span<std::uint8_t> into,
                          bool armQuickAcks = true);

// Whether bytes (or the end of the stream) wait to be received, without
// receiving them.
[[nodiscard]] bool hasBytesWaiting(const Socket &socket) noexcept;

// Sends every byte, waiting for the socket to drain at most `timeout`
// overall. Returns an empty string on success, else the reason it failed.
std::string sendAll(const Socket &socket, std::span<const std::uint8_t> bytes,
                    std::chrono::milliseconds timeout);

} // namespace common::net
