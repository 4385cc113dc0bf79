// One client connection of the simulator endpoint: the bytes it sent that
// are not yet a whole frame, its timing, and the one log line it gets when
// it ends. Each protocol port has its own session type, which says how its
// frames are cut and what a frame does.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "backend.h"
#include "framing.h"
#include "socket.h"

namespace serve {

using Clock = std::chrono::steady_clock;

// The server's log: every line is prefixed with "serve: "; the verbose lines
// (one per connection, signal and command) only when asked for.
class ServerLog {
public:
  ServerLog(std::ostream &out, bool verbose) : out_(out), verbose_(verbose) {}
  void line(const std::string &text) const;
  void verboseLine(const std::string &text) const;
  // Whether verbose lines are written: a caller whose line costs something
  // to make (a command's, made for every command) makes it only then.
  [[nodiscard]] bool verbose() const { return verbose_; }

private:
  std::ostream &out_;
  bool verbose_;
};

// What a session uses of the server that owns it.
struct SessionContext {
  Backend &backend;
  const ServerLog &log;
  // Time a client gets to take an answer.
  std::chrono::milliseconds sendTimeout;
};

// The fixed facts of one protocol port.
struct PortKind {
  // Names the port in the log ("mssim command", ...).
  const char *name;
  // What one of its frames is called ("command", "signal", "control code").
  const char *frameName;
  // Whether the port carries TPM commands, which the TPM takes from one
  // client at a time, rather than platform signals or control codes.
  bool carriesTpmCommands;
  // Cuts the next frame off the bytes received.
  Parse (*parse)(std::span<const std::uint8_t> bytes,
                 std::uint32_t maxCommandSize);
};

class Session {
public:
  Session(const PortKind &port, unsigned id, Socket socket, std::string peer,
          SessionContext context);
  virtual ~Session() = default;
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  [[nodiscard]] bool carriesTpmCommands() const {
    return port_.carriesTpmCommands;
  }

  // Receives what the client sent and handles every complete frame in it;
  // a malformed frame, a failed receive or the client's close ends the
  // session.
  void receive();
  // Ends the session with its one log line (logged even when not verbose
  // when `fault`). Does nothing on a session already closed.
  void close(const std::string &reason, bool fault);

  [[nodiscard]] unsigned id() const { return id_; }
  [[nodiscard]] bool open() const { return open_; }
  [[nodiscard]] const Socket &socket() const { return socket_; }
  [[nodiscard]] std::size_t pendingBytes() const { return pending_.size(); }
  // When the incomplete frame now pending started, if one is.
  [[nodiscard]] std::optional<Clock::time_point> frameStarted() const {
    return frameStarted_;
  }
  // The last bytes received, or the last answer sent.
  [[nodiscard]] Clock::time_point lastHeard() const { return lastHeard_; }
  void heardAt(Clock::time_point when) { lastHeard_ = when; }

protected:
  // Handles one complete frame; may close the session.
  virtual void handleFrame(std::span<const std::uint8_t> frame) = 0;

  // Sends an answer; a client that does not take it within the send
  // timeout is closed.
  void answer(std::span<const std::uint8_t> bytes);
  // Runs one TPM command on the backend and logs it; every failure becomes
  // a TPM error response, so the client always gets an answer.
  [[nodiscard]] std::vector<std::uint8_t>
  runCommand(std::span<const std::uint8_t> command);
  // The big-endian 32-bit code a frame starts with (0 for a shorter frame).
  [[nodiscard]] static std::uint32_t
  leadingCode(std::span<const std::uint8_t> frame);
  // "#<id> ", the start of every log line about this session.
  [[nodiscard]] std::string prefix() const;

  Backend &backend() const { return context_.backend; }
  const ServerLog &log() const { return context_.log; }

private:
  void processFrames();

  const PortKind &port_;
  unsigned id_;
  Socket socket_;
  std::string peer_;
  SessionContext context_;
  Clock::time_point opened_;
  Clock::time_point lastHeard_;
  std::size_t frames_ = 0; // commands, signals or control codes handled
  std::vector<std::uint8_t> pending_;
  std::optional<Clock::time_point> frameStarted_;
  bool open_ = true;
};

} // namespace serve
