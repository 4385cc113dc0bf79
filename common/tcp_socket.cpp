#include "tcp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace common::net {

namespace {

std::string errnoText(int error) { return std::strerror(error); }

void setFlag(int fd, int level, int option, int value) {
  if (::setsockopt(fd, level, option, &value, sizeof value) != 0) {
    throw SocketError("setsockopt failed: " + errnoText(errno));
  }
}

void makeNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    throw SocketError("cannot make socket non-blocking: " + errnoText(errno));
  }
}

} // namespace

Listener::Listener(std::uint16_t port) {
  socket_ = Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket_.valid()) {
    throw SocketError("cannot create a TCP socket: " + errnoText(errno));
  }
  // Lets a restarted server take its port back while connections of the
  // previous run are still in TIME_WAIT; it does not allow two listeners.
  setFlag(socket_.fd(), SOL_SOCKET, SO_REUSEADDR, 1);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(socket_.fd(), reinterpret_cast<const sockaddr *>(&address),
             sizeof address) != 0) {
    const int error = errno;
    if (error == EADDRINUSE) {
      throw SocketError("port " + std::to_string(port) +
                        " on 127.0.0.1 is already in use (is another "
                        "simulator running?)");
    }
    throw SocketError("cannot bind 127.0.0.1:" + std::to_string(port) + ": " +
                      errnoText(error));
  }
  // Clients connect in bursts (a tool per command, each with two
  // connections); a short backlog drops their SYNs and each retry costs a
  // second.
  if (::listen(socket_.fd(), SOMAXCONN) != 0) {
    throw SocketError("cannot listen on 127.0.0.1:" + std::to_string(port) +
                      ": " + errnoText(errno));
  }
  makeNonBlocking(socket_.fd());

  socklen_t length = sizeof address;
  if (::getsockname(socket_.fd(), reinterpret_cast<sockaddr *>(&address),
                    &length) != 0) {
    throw SocketError("getsockname failed: " + errnoText(errno));
  }
  port_ = ntohs(address.sin_port);
}

Socket Listener::accept(std::string &peer) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  Socket client(::accept4(socket_.fd(), reinterpret_cast<sockaddr *>(&address),
                          &length, SOCK_CLOEXEC));
  if (!client.valid()) {
    return client;
  }
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  peer = std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
  return client;
}

void prepareConnection(const Socket &socket) {
  setFlag(socket.fd(), IPPROTO_TCP, TCP_NODELAY, 1);
  makeNonBlocking(socket.fd());
  armQuickAck(socket);
}

void armQuickAck(const Socket &socket) noexcept {
  const int on = 1;
  // Best effort: a socket that refuses it still works, only slower.
  (void)::setsockopt(socket.fd(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

bool hasBytesWaiting(const Socket &socket) noexcept {
  pollfd entry{socket.fd(), POLLIN, 0};
  return ::poll(&entry, 1, 0) > 0 && entry.revents != 0;
}

ReceiveResult receiveSome(const Socket &socket, std::span<std::uint8_t> into,
                          bool armQuickAcks) {
  ReceiveResult result;
  if (armQuickAcks) {
    armQuickAck(socket);
  }
  const ssize_t got = ::recv(socket.fd(), into.data(), into.size(), 0);
  if (armQuickAcks) {
    armQuickAck(socket);
  }
  if (got > 0) {
    result.bytes = static_cast<std::size_t>(got);
  } else if (got == 0) {
    result.closed = true;
  } else if (errno == ECONNRESET) {
    result.closed = true;
  } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    result.error = errno;
  }
  return result;
}

std::string sendAll(const Socket &socket, std::span<const std::uint8_t> bytes,
                    std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!bytes.empty()) {
    const ssize_t sent =
        ::send(socket.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      return "send failed: " + errnoText(errno);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return "client did not take the answer within " +
             std::to_string(timeout.count()) + " ms";
    }
    pollfd waiting{socket.fd(), POLLOUT, 0};
    (void)::poll(&waiting, 1, static_cast<int>(left.count()));
  }
  return {};
}

} // namespace common::net
