#include "server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <unistd.h>

#include "mssim_session.h"
#include "swtpm_session.h"

namespace serve {

namespace {

// Interval at which the loop wakes without traffic, so that a stalled
// frame is noticed even when nothing else happens.
constexpr int kIdleWakeMs = 1000;

// Write end of the wake pipe of the server whose stopOnSignals() ran.
std::atomic<int> signalWakeFd{-1};
struct sigaction previousInt {};
struct sigaction previousTerm {};

// Asks the server to stop, and hands the signal back to its default action,
// so that a second Ctrl-C ends a stop that does not finish.
extern "C" void onStopSignal(int signal) {
  const int saved = errno;
  const int fd = signalWakeFd.load();
  if (fd >= 0) {
    const char byte = 1;
    (void)!::write(fd, &byte, 1);
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  ::sigaction(signal, &fallback, nullptr);
  errno = saved;
}

} // namespace

// The descriptors one round of the loop waits on, each with what to do
// when it is ready.
class PollSet {
public:
  // `onReady` returns false to end the round: the entries after it are not
  // handled.
  void add(int fd, std::function<bool()> onReady) {
    fds_.push_back({fd, POLLIN, 0});
    handlers_.push_back(std::move(onReady));
  }
  void clear() {
    fds_.clear();
    handlers_.clear();
  }
  // poll(2) on every entry: the number ready, 0 on timeout, -1 with errno.
  int wait(int timeoutMs) {
    return ::poll(fds_.data(), fds_.size(), timeoutMs);
  }
  // Runs the handlers of the ready entries, in the order they were added.
  void dispatch() {
    for (std::size_t i = 0; i < fds_.size(); ++i) {
      if (fds_[i].revents != 0 && !handlers_[i]()) {
        return;
      }
    }
  }

private:
  std::vector<pollfd> fds_;
  std::vector<std::function<bool()>> handlers_;
};

namespace {

template <class SessionType>
std::unique_ptr<Session> openSession(unsigned id, Socket socket,
                                     std::string peer, SessionContext context) {
  return std::make_unique<SessionType>(
      SessionType::kPort, id, std::move(socket), std::move(peer), context);
}

} // namespace

Server::Server(Backend &backend, ServerOptions options, std::ostream &log)
    : backend_(backend), options_(options), log_(log, options.verbose) {
  if (!options_.mssim && !options_.swtpm) {
    throw SocketError("no protocol selected");
  }
  if (options_.mssim) {
    listen<MssimCommandSession>(Kind::MssimCommand, options_.mssimCommandPort);
    listen<MssimPlatformSession>(Kind::MssimPlatform,
                                 options_.mssimPlatformPort);
  }
  if (options_.swtpm) {
    listen<SwtpmDataSession>(Kind::SwtpmData, options_.swtpmDataPort);
    listen<SwtpmControlSession>(Kind::SwtpmControl, options_.swtpmControlPort);
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw SocketError(std::string("cannot create the wake pipe: ") +
                      std::strerror(errno));
  }
  wakeRead_ = Socket(fds[0]);
  wakeWrite_ = Socket(fds[1]);
}

Server::~Server() {
  if (signalsRouted_) {
    ::sigaction(SIGINT, &previousInt, nullptr);
    ::sigaction(SIGTERM, &previousTerm, nullptr);
    signalWakeFd.store(-1);
  }
}

template <class SessionType>
void Server::listen(Kind kind, std::uint16_t port) {
  endpoints_.push_back({kind, SessionType::kPort.name, Listener(port),
                        &openSession<SessionType>});
}

std::uint16_t Server::boundPort(Kind kind) const {
  for (const Endpoint &each : endpoints_) {
    if (each.kind == kind) {
      return each.listener.port();
    }
  }
  return 0;
}

std::uint16_t Server::mssimCommandPort() const {
  return boundPort(Kind::MssimCommand);
}
std::uint16_t Server::mssimPlatformPort() const {
  return boundPort(Kind::MssimPlatform);
}
std::uint16_t Server::swtpmDataPort() const {
  return boundPort(Kind::SwtpmData);
}
std::uint16_t Server::swtpmControlPort() const {
  return boundPort(Kind::SwtpmControl);
}

void Server::requestStop() noexcept {
  const char byte = 1;
  (void)!::write(wakeWrite_.fd(), &byte, 1);
}

void Server::stopOnSignals() {
  signalWakeFd.store(wakeWrite_.fd());
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &previousInt);
  ::sigaction(SIGTERM, &action, &previousTerm);
  signalsRouted_ = true;
}

std::optional<unsigned> Server::tpmConnectionInService() const {
  for (const auto &[id, session] : connections_) {
    if (session->open() && session->carriesTpmCommands()) {
      return id;
    }
  }
  return std::nullopt;
}

int Server::pollTimeoutMs() const {
  int timeout = kIdleWakeMs;
  const auto now = Clock::now();
  const auto inService = tpmConnectionInService();
  const auto until = [&](Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    timeout = std::clamp(static_cast<int>(left.count()) + 1, 0, timeout);
  };
  for (const auto &[id, session] : connections_) {
    if (const auto started = session->frameStarted()) {
      until(*started + options_.frameTimeout);
    } else if (id == inService && tpmClientWaiting(id)) {
      until(session->lastHeard() + options_.idleTimeout);
    }
  }
  return timeout;
}

bool Server::tpmClientWaiting(unsigned inService) const {
  return std::ranges::any_of(connections_, [inService](const auto &entry) {
    return entry.first != inService && entry.second->open() &&
           entry.second->carriesTpmCommands();
  });
}

bool Server::run() {
  announcePorts();
  bool stopping = false;
  PollSet watched;
  while (!stopping) {
    watchAll(watched, stopping);
    const int ready = watched.wait(pollTimeoutMs());
    if (ready < 0 && errno != EINTR) {
      log_.line(std::string("poll failed: ") + std::strerror(errno));
      break;
    }
    if (ready > 0) {
      watched.dispatch();
    }
    if (stopping) {
      break;
    }
    expireStalledConnections();
    std::erase_if(connections_,
                  [](const auto &entry) { return !entry.second->open(); });
  }
  return stopAll();
}

void Server::announcePorts() {
  if (options_.mssim) {
    log_.line("mssim protocol on 127.0.0.1:" +
              std::to_string(mssimCommandPort()) + " (TPM commands) and " +
              "127.0.0.1:" + std::to_string(mssimPlatformPort()) +
              " (platform signals)");
  }
  if (options_.swtpm) {
    log_.line("swtpm protocol on 127.0.0.1:" + std::to_string(swtpmDataPort()) +
              " (TPM commands) and 127.0.0.1:" +
              std::to_string(swtpmControlPort()) + " (control)");
  }
}

// What the next poll watches: the wake-up pipe, the listeners, and every
// connection but the TPM connections waiting for their turn.
void Server::watchAll(PollSet &watched, bool &stopping) {
  watched.clear();
  // A stop request wins over everything else that is ready.
  watched.add(wakeRead_.fd(), [&] {
    std::array<char, 64> drain;
    while (::read(wakeRead_.fd(), drain.data(), drain.size()) > 0) {
    }
    stopping = true;
    return false;
  });
  for (Endpoint &each : endpoints_) {
    watched.add(each.listener.fd(), [this, &each] {
      acceptAll(each);
      return true;
    });
  }
  const auto inService = tpmConnectionInService();
  for (const auto &[id, session] : connections_) {
    // TPM connections behind the one in service wait, unread, for their
    // turn; the TPM takes one client's commands at a time.
    if (session->carriesTpmCommands() && id != inService) {
      continue;
    }
    watched.add(session->socket().fd(), [&client = *session] {
      if (client.open()) {
        client.receive();
      }
      return true;
    });
  }
}

bool Server::stopAll() {
  for (auto &[id, session] : connections_) {
    session->close("server stopping", false);
  }
  connections_.clear();
  try {
    const Backend::StopOutcome outcome = backend_.stop();
    log_.line("stopped; " + outcome.text);
    return outcome.ok;
  } catch (const std::exception &error) {
    log_.line(std::string("stopping the platform failed: ") + error.what());
    return false;
  }
}

void Server::acceptAll(Endpoint &endpoint) {
  for (;;) {
    std::string peer;
    Socket socket = endpoint.listener.accept(peer);
    if (!socket.valid()) {
      return;
    }
    const unsigned id = nextId_++;
    if (openConnections() >= options_.maxConnections && !makeRoom()) {
      log_.line("#" + std::to_string(id) + " " + endpoint.name +
                " connection from " + peer + " refused: already " +
                std::to_string(connections_.size()) + " connections");
      continue;
    }
    try {
      prepareConnection(socket);
    } catch (const SocketError &error) {
      log_.line("#" + std::to_string(id) + " dropped: " + error.what());
      continue;
    }
    connections_.emplace(
        id,
        endpoint.open(id, std::move(socket), peer,
                      SessionContext{backend_, log_, options_.sendTimeout}));
  }
}

std::size_t Server::openConnections() const {
  return static_cast<std::size_t>(
      std::count_if(connections_.begin(), connections_.end(),
                    [](const auto &entry) { return entry.second->open(); }));
}

// The idle timeout closes TPM connections only: a platform or control
// connection may rightly stay quiet for a client's whole life. But a table
// full of quiet ones would refuse every new client, so when the table is
// full, the one quiet longest, beyond the idle timeout, gives its place up.
// It is closed here and erased with the other closed ones after this round.
bool Server::makeRoom() {
  const auto now = Clock::now();
  Session *quietest = nullptr;
  for (const auto &[id, session] : connections_) {
    if (session->open() && !session->carriesTpmCommands() &&
        !session->frameStarted() &&
        now - session->lastHeard() >= options_.idleTimeout &&
        (quietest == nullptr || session->lastHeard() < quietest->lastHeard())) {
      quietest = session.get();
    }
  }
  if (quietest == nullptr) {
    return false;
  }
  quietest->close("quiet for more than " +
                      std::to_string(options_.idleTimeout.count()) +
                      " ms while the connection limit is reached: its place "
                      "goes to a new connection",
                  true);
  return true;
}

void Server::expireStalledConnections() {
  const auto now = Clock::now();
  const auto inService = tpmConnectionInService();
  for (auto &[id, session] : connections_) {
    if (!session->open()) {
      continue;
    }
    if (const auto started = session->frameStarted()) {
      if (now - *started >= options_.frameTimeout) {
        session->close(
            "incomplete frame: " + std::to_string(session->pendingBytes()) +
                " bytes received, nothing more within " +
                std::to_string(options_.frameTimeout.count()) + " ms",
            true);
      }
      continue;
    }
    if (!session->carriesTpmCommands()) {
      continue;
    }
    if (id != inService) {
      // A client waiting its turn is not idle: its idle time counts from
      // the moment it gets the TPM.
      session->heardAt(now);
      continue;
    }
    if (now - session->lastHeard() >= options_.idleTimeout &&
        tpmClientWaiting(id)) {
      session->close("held the TPM without sending a command for " +
                         std::to_string(options_.idleTimeout.count()) +
                         " ms while another client waited (idle timeout)",
                     true);
    }
  }
}

} // namespace serve
