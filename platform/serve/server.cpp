#include "server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <iomanip>
#include <poll.h>
#include <sstream>
#include <unistd.h>

#include "framing.h"
#include "tpm_header.h"

namespace serve {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReceiveChunk = 16384;
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

std::string milliseconds(Clock::duration elapsed) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(2)
       << std::chrono::duration<double, std::milli>(elapsed).count() << " ms";
  return text.str();
}

} // namespace

Server::Server(Backend &backend, ServerOptions options, std::ostream &log)
    : backend_(backend), options_(options), log_(log) {
  if (!options_.mssim && !options_.swtpm) {
    throw SocketError("no protocol selected");
  }
  if (options_.mssim) {
    endpoints_.push_back(
        {Kind::MssimCommand, Listener(options_.mssimCommandPort)});
    endpoints_.push_back(
        {Kind::MssimPlatform, Listener(options_.mssimPlatformPort)});
  }
  if (options_.swtpm) {
    endpoints_.push_back({Kind::SwtpmData, Listener(options_.swtpmDataPort)});
    endpoints_.push_back(
        {Kind::SwtpmControl, Listener(options_.swtpmControlPort)});
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

const Server::Endpoint *Server::endpoint(Kind kind) const {
  for (const Endpoint &each : endpoints_) {
    if (each.kind == kind) {
      return &each;
    }
  }
  return nullptr;
}

std::uint16_t Server::mssimCommandPort() const {
  const Endpoint *found = endpoint(Kind::MssimCommand);
  return found ? found->listener.port() : 0;
}
std::uint16_t Server::mssimPlatformPort() const {
  const Endpoint *found = endpoint(Kind::MssimPlatform);
  return found ? found->listener.port() : 0;
}
std::uint16_t Server::swtpmDataPort() const {
  const Endpoint *found = endpoint(Kind::SwtpmData);
  return found ? found->listener.port() : 0;
}
std::uint16_t Server::swtpmControlPort() const {
  const Endpoint *found = endpoint(Kind::SwtpmControl);
  return found ? found->listener.port() : 0;
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

bool Server::carriesTpmCommands(Kind kind) {
  return kind == Kind::MssimCommand || kind == Kind::SwtpmData;
}

const char *Server::kindName(Kind kind) {
  switch (kind) {
  case Kind::MssimCommand:
    return "mssim command";
  case Kind::MssimPlatform:
    return "mssim platform";
  case Kind::SwtpmData:
    return "swtpm data";
  case Kind::SwtpmControl:
    return "swtpm control";
  }
  return "?";
}

void Server::logLine(const std::string &text) const {
  log_ << "serve: " << text << std::endl;
}

void Server::verboseLine(const std::string &text) const {
  if (options_.verbose) {
    logLine(text);
  }
}

std::optional<unsigned> Server::tpmConnectionInService() const {
  for (const auto &[id, connection] : connections_) {
    if (connection.open && carriesTpmCommands(connection.kind)) {
      return id;
    }
  }
  return std::nullopt;
}

int Server::pollTimeoutMs() const {
  int timeout = kIdleWakeMs;
  const auto now = Clock::now();
  const auto until = [&](Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    timeout = std::clamp(static_cast<int>(left.count()) + 1, 0, timeout);
  };
  for (const auto &[id, connection] : connections_) {
    if (connection.frameStarted) {
      until(*connection.frameStarted + options_.frameTimeout);
    } else if (carriesTpmCommands(connection.kind)) {
      until(connection.lastHeard + options_.idleTimeout);
    }
  }
  return timeout;
}

bool Server::run() {
  if (options_.mssim) {
    logLine("mssim protocol on 127.0.0.1:" +
            std::to_string(mssimCommandPort()) + " (TPM commands) and " +
            "127.0.0.1:" + std::to_string(mssimPlatformPort()) +
            " (platform signals)");
  }
  if (options_.swtpm) {
    logLine("swtpm protocol on 127.0.0.1:" + std::to_string(swtpmDataPort()) +
            " (TPM commands) and 127.0.0.1:" +
            std::to_string(swtpmControlPort()) + " (control)");
  }

  bool stopping = false;
  std::vector<pollfd> fds;
  std::vector<unsigned> ids; // connection id per entry after the listeners
  while (!stopping) {
    fds.clear();
    ids.clear();
    fds.push_back({wakeRead_.fd(), POLLIN, 0});
    for (const Endpoint &each : endpoints_) {
      fds.push_back({each.listener.fd(), POLLIN, 0});
    }
    const auto inService = tpmConnectionInService();
    for (const auto &[id, connection] : connections_) {
      // TPM connections behind the one in service wait, unread, for their
      // turn; the TPM takes one client's commands at a time.
      if (carriesTpmCommands(connection.kind) && id != inService) {
        continue;
      }
      fds.push_back({connection.socket.fd(), POLLIN, 0});
      ids.push_back(id);
    }

    const int ready = ::poll(fds.data(), fds.size(), pollTimeoutMs());
    if (ready < 0 && errno != EINTR) {
      logLine(std::string("poll failed: ") + std::strerror(errno));
      break;
    }
    if (ready > 0) {
      if (fds[0].revents != 0) {
        std::array<char, 64> drain;
        while (::read(wakeRead_.fd(), drain.data(), drain.size()) > 0) {
        }
        stopping = true;
        break;
      }
      for (std::size_t i = 0; i < endpoints_.size(); ++i) {
        if (fds[1 + i].revents != 0) {
          acceptAll(endpoints_[i]);
        }
      }
      const std::size_t first = 1 + endpoints_.size();
      for (std::size_t i = 0; i < ids.size(); ++i) {
        if (fds[first + i].revents == 0) {
          continue;
        }
        auto found = connections_.find(ids[i]);
        if (found != connections_.end() && found->second.open) {
          receive(found->second);
        }
      }
    }
    expireStalledConnections();
    std::erase_if(connections_,
                  [](const auto &entry) { return !entry.second.open; });
  }

  for (auto &[id, connection] : connections_) {
    if (connection.open) {
      close(connection, "server stopping", false);
    }
  }
  connections_.clear();
  try {
    const Backend::StopOutcome outcome = backend_.stop();
    logLine("stopped; " + outcome.text);
    return outcome.ok;
  } catch (const std::exception &error) {
    logLine(std::string("stopping the platform failed: ") + error.what());
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
    if (connections_.size() >= options_.maxConnections) {
      logLine("#" + std::to_string(id) + " " + kindName(endpoint.kind) +
              " connection from " + peer + " refused: already " +
              std::to_string(connections_.size()) + " connections");
      continue;
    }
    try {
      prepareConnection(socket);
    } catch (const SocketError &error) {
      logLine("#" + std::to_string(id) + " dropped: " + error.what());
      continue;
    }
    Connection connection;
    connection.id = id;
    connection.kind = endpoint.kind;
    connection.socket = std::move(socket);
    connection.peer = peer;
    connection.opened = Clock::now();
    connection.lastHeard = connection.opened;
    connections_.emplace(id, std::move(connection));
  }
}

void Server::receive(Connection &connection) {
  std::array<std::uint8_t, kReceiveChunk> chunk;
  const ReceiveResult got = receiveSome(connection.socket, chunk);
  if (got.error != 0) {
    close(connection,
          std::string("receive failed: ") + std::strerror(got.error), true);
    return;
  }
  if (got.closed) {
    if (connection.pending.empty()) {
      close(connection, "closed by the client", false);
    } else {
      close(connection,
            "client disconnected in the middle of a frame (" +
                std::to_string(connection.pending.size()) + " bytes received)",
            true);
    }
    return;
  }
  if (got.bytes == 0) {
    return;
  }
  connection.lastHeard = Clock::now();
  connection.pending.insert(connection.pending.end(), chunk.begin(),
                            chunk.begin() + static_cast<long>(got.bytes));
  processFrames(connection);
}

void Server::processFrames(Connection &connection) {
  const std::uint32_t maxSize = backend_.maxCommandSize();
  std::size_t offset = 0;
  while (connection.open && offset < connection.pending.size()) {
    const std::span<const std::uint8_t> rest =
        std::span(connection.pending).subspan(offset);
    Parse parse;
    switch (connection.kind) {
    case Kind::MssimCommand:
      parse = mssim::parseCommandPort(rest, maxSize);
      break;
    case Kind::MssimPlatform:
      parse = mssim::parsePlatformPort(rest);
      break;
    case Kind::SwtpmData:
      parse = swtpm::parseDataPort(rest, maxSize);
      break;
    case Kind::SwtpmControl:
      parse = swtpm::parseControlPort(rest);
      break;
    }
    if (parse.status == ParseStatus::Malformed) {
      close(connection, parse.reason, true);
      return;
    }
    if (parse.status == ParseStatus::NeedMore) {
      if (!connection.frameStarted) {
        connection.frameStarted = Clock::now();
      }
      break;
    }
    connection.frameStarted.reset();
    ++connection.frames;
    if (!handleFrame(connection, rest.first(parse.size))) {
      return;
    }
    // The time the command took is not the client's idleness.
    connection.lastHeard = Clock::now();
    offset += parse.size;
  }
  if (connection.open) {
    connection.pending.erase(connection.pending.begin(),
                             connection.pending.begin() +
                                 static_cast<long>(offset));
  }
}

bool Server::handleFrame(Connection &connection,
                         std::span<const std::uint8_t> frame) {
  const std::uint32_t code =
      frame.size() >= 4 ? tpm::readBe32(frame, 0) : std::uint32_t{0};
  switch (connection.kind) {
  case Kind::MssimCommand: {
    if (code == mssim::kSessionEnd) {
      close(connection, "session end", false);
      return false;
    }
    // The locality byte (frame[4]) goes nowhere: the module's transport
    // has no notion of locality, and the firmware issues every command as
    // it comes.
    const auto command = frame.subspan(mssim::kCommandHeaderSize);
    const auto response = runCommand(connection, command);
    answer(connection, mssim::commandAnswer(response));
    break;
  }
  case Kind::MssimPlatform:
    if (code == mssim::kSessionEnd) {
      close(connection, "session end", false);
      return false;
    }
    handlePlatformSignal(connection, code);
    break;
  case Kind::SwtpmData:
    answer(connection, runCommand(connection, frame));
    break;
  case Kind::SwtpmControl:
    handleControl(connection, code, frame.subspan(4));
    break;
  }
  return connection.open;
}

void Server::handlePlatformSignal(Connection &connection, std::uint32_t code) {
  const std::string prefix = "#" + std::to_string(connection.id) + " ";
  const bool wasOn = backend_.isOn();
  try {
    switch (code) {
    case mssim::kPowerOn:
      backend_.powerOn();
      break;
    case mssim::kPowerOff:
      backend_.powerOff();
      break;
    case mssim::kReset:
      backend_.reset();
      break;
    case mssim::kNvOn:
      backend_.nvOn();
      break;
    default:
      break; // acknowledged, without effect on this platform
    }
  } catch (const std::exception &error) {
    logLine(prefix + mssim::platformSignalName(code) +
            " failed: " + error.what());
    std::vector<std::uint8_t> failed;
    tpm::appendBe32(failed, 1);
    answer(connection, failed);
    return;
  }
  std::string note;
  if (code == mssim::kPowerOn && wasOn) {
    note = " (already on, nothing changed)";
  }
  verboseLine(prefix + mssim::platformSignalName(code) + note);
  answer(connection, mssim::platformAnswer());
}

void Server::handleControl(Connection &connection, std::uint32_t code,
                           std::span<const std::uint8_t> input) {
  const std::string prefix = "#" + std::to_string(connection.id) + " ";
  if (!swtpm::isKnownControlCode(code)) {
    answer(connection, swtpm::controlAnswer(swtpm::kResultBadOrdinal));
    close(connection, "unknown control code " + tpm::hex32(code), true);
    return;
  }
  std::uint32_t result = swtpm::kResultSuccess;
  std::string note;
  try {
    switch (code) {
    case swtpm::kSetLocality:
      if (input[0] > swtpm::kMaxLocality) {
        result = swtpm::kResultBadLocality;
        note = " refused: locality " + std::to_string(input[0]);
      } else {
        // The transport has no notion of locality; every command reaches
        // the TPM at locality 0, as the firmware issues it.
        note = " " + std::to_string(input[0]);
      }
      break;
    case swtpm::kInit:
      note = " (flags " + tpm::hex32(tpm::readBe32(input, 0)) +
             "): platform reboot";
      if (backend_.isOn()) {
        backend_.reset();
      } else {
        backend_.powerOn();
      }
      break;
    default:
      result = swtpm::kResultFail;
      note = " not supported by this platform";
      break;
    }
  } catch (const std::exception &error) {
    result = swtpm::kResultFail;
    note = std::string(" failed: ") + error.what();
  }
  const std::string line = prefix + swtpm::controlName(code) + note;
  if (result == swtpm::kResultSuccess) {
    verboseLine(line);
  } else {
    logLine(line);
  }
  answer(connection, swtpm::controlAnswer(result));
}

std::vector<std::uint8_t>
Server::runCommand(const Connection &connection,
                   std::span<const std::uint8_t> command) {
  const std::string prefix = "#" + std::to_string(connection.id) + " ";
  const auto code = tpm::commandCodeOf(command);
  const std::string name =
      code ? backend_.commandName(*code) : std::string("short command");
  const auto started = Clock::now();

  std::vector<std::uint8_t> response;
  const auto declared = tpm::headerSizeOf(command);
  if (!declared || *declared != command.size()) {
    // The co-processor takes the length from the command's header, so a
    // header that disagrees with the frame would run other bytes than the
    // client sent.
    logLine(prefix + name + ": frame holds " + std::to_string(command.size()) +
            " bytes but the command header says " +
            (declared ? std::to_string(*declared) : std::string("nothing")));
    response = tpm::errorResponse(tpm::kRcCommandSize);
  } else if (!backend_.isOn()) {
    logLine(prefix + name + ": the platform is powered off");
    response = tpm::errorResponse(tpm::kRcFailure);
  } else {
    try {
      response = backend_.transact(command);
    } catch (const std::exception &error) {
      logLine(prefix + name + " failed: " + error.what());
      response = tpm::errorResponse(tpm::kRcFailure);
    }
  }
  const auto rc = tpm::responseCodeOf(response);
  verboseLine(prefix + name + " -> " +
              (rc ? backend_.responseCodeText(*rc) : std::string("no header")) +
              ", " + milliseconds(Clock::now() - started));
  return response;
}

void Server::answer(Connection &connection,
                    std::span<const std::uint8_t> bytes) {
  const std::string failure =
      sendAll(connection.socket, bytes, options_.sendTimeout);
  if (!failure.empty()) {
    close(connection, failure, true);
  }
}

void Server::close(Connection &connection, const std::string &reason,
                   bool fault) {
  if (!connection.open) {
    return;
  }
  // The one line a connection gets: who, how much, how long, how it ended.
  const char *unit = carriesTpmCommands(connection.kind)      ? " command"
                     : connection.kind == Kind::MssimPlatform ? " signal"
                                                              : " control code";
  const std::string line =
      "#" + std::to_string(connection.id) + " " + kindName(connection.kind) +
      " connection from " + connection.peer + ": " +
      std::to_string(connection.frames) + unit +
      (connection.frames == 1 ? "" : "s") + " in " +
      milliseconds(Clock::now() - connection.opened) + ", " + reason;
  if (fault) {
    logLine(line);
  } else {
    verboseLine(line);
  }
  connection.socket.close();
  connection.open = false;
  connection.pending.clear();
  connection.frameStarted.reset();
}

void Server::expireStalledConnections() {
  const auto now = Clock::now();
  const auto inService = tpmConnectionInService();
  for (auto &[id, connection] : connections_) {
    if (!connection.open) {
      continue;
    }
    if (connection.frameStarted) {
      if (now - *connection.frameStarted >= options_.frameTimeout) {
        close(connection,
              "incomplete frame: " + std::to_string(connection.pending.size()) +
                  " bytes received, nothing more within " +
                  std::to_string(options_.frameTimeout.count()) + " ms",
              true);
      }
      continue;
    }
    if (!carriesTpmCommands(connection.kind) ||
        now - connection.lastHeard < options_.idleTimeout) {
      continue;
    }
    if (id != inService && hasBytesWaiting(connection.socket)) {
      // A client waiting its turn with its command sent is not idle.
      connection.lastHeard = now;
      continue;
    }
    close(connection,
          std::string(id == inService ? "held the TPM" : "waited") +
              " without sending a command for " +
              std::to_string(options_.idleTimeout.count()) +
              " ms (idle timeout)",
          true);
  }
}

} // namespace serve
