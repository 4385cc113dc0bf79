// The TPM simulator endpoint: loopback listeners for the mssim and swtpm
// protocols in front of one Backend. Single-threaded: the TPM runs one
// command at a time, and TPM connections are served in turn, oldest first,
// while the mssim platform port and the swtpm control port stay responsive
// to every client.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "backend.h"
#include "session.h"
#include "socket.h"

namespace serve {

struct ServerOptions {
  bool mssim = true;
  std::uint16_t mssimCommandPort = 2321;
  std::uint16_t mssimPlatformPort = 2322;
  bool swtpm = false;
  std::uint16_t swtpmDataPort = 2321;
  std::uint16_t swtpmControlPort = 2322;

  // A frame that has started must be complete within this time, or its
  // connection is closed so that it cannot hold up the clients behind it.
  std::chrono::milliseconds frameTimeout{10000};
  // Time a client gets to take an answer.
  std::chrono::milliseconds sendTimeout{10000};
  // A TPM connection that holds the TPM and sends no command for this long
  // is closed when another client waits for the TPM, so that an idle client
  // cannot keep the TPM from the clients behind it. With no one waiting it
  // stays open however long it is quiet (a resource manager keeps one
  // connection for good).
  std::chrono::milliseconds idleTimeout{10000};
  // Connections beyond this are closed at once, unless a platform or control
  // connection has been quiet for the idle timeout: that one gives its
  // place up.
  std::size_t maxConnections = 64;
  // One line per connection, per signal and per command.
  bool verbose = false;
};

class PollSet; // one round of the event loop's watched descriptors

class Server {
public:
  // Binds every listener; a port in use throws SocketError.
  Server(Backend &backend, ServerOptions options, std::ostream &log);
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Ports actually bound (differ from the options when those asked for 0).
  [[nodiscard]] std::uint16_t mssimCommandPort() const;
  [[nodiscard]] std::uint16_t mssimPlatformPort() const;
  [[nodiscard]] std::uint16_t swtpmDataPort() const;
  [[nodiscard]] std::uint16_t swtpmControlPort() const;

  // Serves until a stop is requested, then closes every connection and
  // stops the backend with its state saved. Returns false when the stop
  // failed (the state could not be saved); the log says why.
  [[nodiscard]] bool run();
  // Safe from any thread and from a signal handler.
  void requestStop() noexcept;
  // Routes SIGINT and SIGTERM to requestStop() of this server; restores
  // the previous handlers when the server is destroyed.
  void stopOnSignals();

private:
  enum class Kind { MssimCommand, MssimPlatform, SwtpmData, SwtpmControl };
  using OpenSession = std::unique_ptr<Session> (*)(unsigned id, Socket socket,
                                                   std::string peer,
                                                   SessionContext context);
  // A listening port and the session type of the connections it accepts.
  struct Endpoint {
    Kind kind;
    const char *name;
    Listener listener;
    OpenSession open;
  };

  template <class SessionType> void listen(Kind kind, std::uint16_t port);
  [[nodiscard]] std::uint16_t boundPort(Kind kind) const;

  void announcePorts();
  void watchAll(PollSet &watched, bool &stopping);
  [[nodiscard]] bool stopAll();
  void acceptAll(Endpoint &endpoint);
  // Closes connections that stall in the middle of a frame, and the TPM
  // connection in service when it sends no command within the idle timeout
  // while another TPM connection waits.
  void expireStalledConnections();
  [[nodiscard]] std::size_t openConnections() const;
  bool makeRoom();
  [[nodiscard]] int pollTimeoutMs() const;
  [[nodiscard]] std::optional<unsigned> tpmConnectionInService() const;
  // Whether an open TPM connection other than `inService` waits its turn.
  [[nodiscard]] bool tpmClientWaiting(unsigned inService) const;

  Backend &backend_;
  ServerOptions options_;
  ServerLog log_;
  std::vector<Endpoint> endpoints_;
  std::map<unsigned, std::unique_ptr<Session>> connections_;
  unsigned nextId_ = 1;
  Socket wakeRead_;
  Socket wakeWrite_;
  bool signalsRouted_ = false;
};

} // namespace serve
