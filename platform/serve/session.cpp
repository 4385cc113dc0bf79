#include "session.h"

#include <array>
#include <cstring>
#include <exception>
#include <iomanip>
#include <sstream>

#include "tpm_header.h"

namespace serve {

namespace {

constexpr std::size_t kReceiveChunk = 16384;

std::string milliseconds(Clock::duration elapsed) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(2)
       << std::chrono::duration<double, std::milli>(elapsed).count() << " ms";
  return text.str();
}

} // namespace

void ServerLog::line(const std::string &text) const {
  out_ << "serve: " << text << std::endl;
}

void ServerLog::verboseLine(const std::string &text) const {
  if (verbose_) {
    line(text);
  }
}

Session::Session(const PortKind &port, unsigned id, Socket socket,
                 std::string peer, SessionContext context)
    : port_(port), id_(id), socket_(std::move(socket)), peer_(std::move(peer)),
      context_(context), opened_(Clock::now()), lastHeard_(opened_) {}

std::uint32_t Session::leadingCode(std::span<const std::uint8_t> frame) {
  return frame.size() >= 4 ? tpm::readBe32(frame, 0) : std::uint32_t{0};
}

std::string Session::prefix() const { return "#" + std::to_string(id_) + " "; }

void Session::receive() {
  std::array<std::uint8_t, kReceiveChunk> chunk;
  const ReceiveResult got = receiveSome(socket_, chunk, false);
  if (got.error != 0) {
    close(std::string("receive failed: ") + std::strerror(got.error), true);
    return;
  }
  if (got.closed) {
    if (pending_.empty()) {
      close("closed by the client", false);
    } else {
      close("client disconnected in the middle of a frame (" +
                std::to_string(pending_.size()) + " bytes received)",
            true);
    }
    return;
  }
  if (got.bytes == 0) {
    return;
  }
  lastHeard_ = Clock::now();
  pending_.insert(pending_.end(), chunk.begin(),
                  chunk.begin() + static_cast<long>(got.bytes));
  processFrames();
  // Quick acknowledgements matter only while a frame is incomplete: a client
  // that writes a frame's header and body apart (tpm2-tss's mssim TCTI), with
  // Nagle on, holds the body back until the header is acknowledged, and a
  // delayed acknowledgement would stall it for tens of milliseconds. Arming
  // them now, after the receive, also sends the acknowledgement the kernel
  // held back. A whole frame is answered at once, and the answer carries the
  // acknowledgement, so a command that came in one piece costs no system
  // call for it (two setsockopt calls per command were a tenth of the
  // endpoint's system calls).
  if (open_ && !pending_.empty()) {
    armQuickAck(socket_);
  }
}

void Session::processFrames() {
  const std::uint32_t maxSize = backend().maxCommandSize();
  std::size_t offset = 0;
  while (open_ && offset < pending_.size()) {
    const std::span<const std::uint8_t> rest =
        std::span(pending_).subspan(offset);
    const Parse parsed = port_.parse(rest, maxSize);
    if (parsed.status == ParseStatus::Malformed) {
      close(parsed.reason, true);
      return;
    }
    if (parsed.status == ParseStatus::NeedMore) {
      if (!frameStarted_) {
        frameStarted_ = Clock::now();
      }
      break;
    }
    frameStarted_.reset();
    ++frames_;
    handleFrame(rest.first(parsed.size));
    if (!open_) {
      return;
    }
    // The time the command took is not the client's idleness.
    lastHeard_ = Clock::now();
    offset += parsed.size;
  }
  if (open_) {
    pending_.erase(pending_.begin(),
                   pending_.begin() + static_cast<long>(offset));
  }
}

std::vector<std::uint8_t>
Session::runCommand(std::span<const std::uint8_t> command) {
  const auto code = tpm::commandCodeOf(command);
  // The command's name and its verbose line are text for the log: they are
  // made only when a line is written, not for every command served.
  const auto name = [&] {
    return code ? backend().commandName(*code) : std::string("short command");
  };
  const bool verbose = log().verbose();
  const auto started = verbose ? Clock::now() : Clock::time_point{};

  std::vector<std::uint8_t> response;
  const auto declared = tpm::headerSizeOf(command);
  if (!declared || *declared != command.size()) {
    // The co-processor takes the length from the command's header, so a
    // header that disagrees with the frame would run other bytes than the
    // client sent.
    log().line(prefix() + name() + ": frame holds " +
               std::to_string(command.size()) +
               " bytes but the command header says " +
               (declared ? std::to_string(*declared) : std::string("nothing")));
    response = tpm::errorResponse(tpm::kRcCommandSize);
  } else if (!backend().isOn()) {
    log().line(prefix() + name() + ": the platform is powered off");
    response = tpm::errorResponse(tpm::kRcFailure);
  } else {
    try {
      response = backend().transact(command);
    } catch (const std::exception &error) {
      log().line(prefix() + name() + " failed: " + error.what());
      response = tpm::errorResponse(tpm::kRcFailure);
    }
  }
  if (verbose) {
    const auto rc = tpm::responseCodeOf(response);
    log().verboseLine(
        prefix() + name() + " -> " +
        (rc ? backend().responseCodeText(*rc) : std::string("no header")) +
        ", " + milliseconds(Clock::now() - started));
  }
  return response;
}

void Session::answer(std::span<const std::uint8_t> bytes) {
  const std::string failure = sendAll(socket_, bytes, context_.sendTimeout);
  if (!failure.empty()) {
    close(failure, true);
  }
}

void Session::close(const std::string &reason, bool fault) {
  if (!open_) {
    return;
  }
  // The one line a connection gets: who, how much, how long, how it ended.
  const std::string line = prefix() + port_.name + " connection from " + peer_ +
                           ": " + std::to_string(frames_) + " " +
                           port_.frameName + (frames_ == 1 ? "" : "s") +
                           " in " + milliseconds(Clock::now() - opened_) +
                           ", " + reason;
  if (fault) {
    log().line(line);
  } else {
    log().verboseLine(line);
  }
  socket_.close();
  open_ = false;
  pending_.clear();
  frameStarted_.reset();
}

} // namespace serve
