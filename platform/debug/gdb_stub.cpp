#include "gdb_stub.h"

#include "gdb_protocol.h"
#include "symbol_files.h"

#include "hex.h"
#include "little_endian.h"
#include "number.h"

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace debug {

using namespace gdb;

ScratchDirectory::ScratchDirectory() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "pei-gdb-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot create a directory for GDB's symbol "
                            "files like " +
                                pattern);
  }
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

namespace {

void writeFile(const std::filesystem::path &path,
               const std::vector<std::uint8_t> &bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot write GDB's symbol file " + path.string());
  }
}

} // namespace

GdbStub::GdbStub(std::uint16_t port, std::optional<ModuleSymbols> symbols,
                 std::ostream &log)
    : listener_(port), symbols_(std::move(symbols)), log_(log) {}

GdbStub::~GdbStub() = default;

void GdbStub::attach(machine::Machine &machine) {
  machine_ = &machine;
  copies_.clear();
  platformThunks_ = 0;
  machine.addAgent(this);
}

void GdbStub::detach(machine::Machine &machine) {
  machine.removeAgent(this);
  if (machine_ == &machine) {
    machine_ = nullptr;
  }
}

void GdbStub::finished(int status) {
  if (connection_.valid()) {
    sendPacket("W" + hexByte(static_cast<std::uint8_t>(status)));
    disconnect();
  }
}

void GdbStub::connect() {
  waited_ = true;
  log_ << "gdb: waiting for GDB on 127.0.0.1:" << port() << std::endl;
  pollfd wait{listener_.fd(), POLLIN, 0};
  while (::poll(&wait, 1, -1) < 0 && errno == EINTR) {
  }
  std::string peer;
  connection_ = listener_.accept(peer);
  if (!connection_.valid()) {
    log_ << "gdb: the connection was lost before it was accepted; running "
            "on without a debugger"
         << std::endl;
    return;
  }
  log_ << "gdb: connected from " << peer << std::endl;
  refreshPlatformSymbols();
  executable_ = platformFile_;
  librariesChanged_ = false;
  lastStop_ = signalReply(kSigTrap);
  stop({});
}

void GdbStub::disconnect() {
  connection_.close();
  breakpoints_.clear();
  watches_.clear();
  stepping_ = false;
  watchHit_.reset();
}

// --- stops ------------------------------------------------------------------

void GdbStub::instruction(std::uint32_t address) {
  if (killed_) {
    throw machine::GuestFault("the run was ended by the debugger (kill)");
  }
  if (!waited_) {
    // Waited for at the first guest instruction: the copy in flash is
    // listed by then, and EIP is the module's entry point. GDB resumes
    // from that stop with this instruction still to run.
    connect();
    return;
  }
  if (!connection_.valid()) {
    return;
  }
  if (librariesChanged_) {
    librariesChanged_ = false;
    stop(signalReply(kSigTrap, "library:;"));
  }
  checkAtStop(address);
  if (connection_.valid() &&
      ++sinceInterruptCheck_ % kInterruptCheckEvery == 0 && interrupted()) {
    stop(signalReply(kSigInt));
  }
}

void GdbStub::checkAtStop(std::uint32_t address) {
  if (watchHit_) {
    const std::uint64_t at = *watchHit_;
    watchHit_.reset();
    stepping_ = false;
    stop(signalReply(kSigTrap, "watch:" + common::hex(at).substr(2) + ";"));
  } else if (stepping_) {
    stepping_ = false;
    stop(signalReply(kSigTrap));
  } else if (breakpoints_.contains(address)) {
    stop(signalReply(kSigTrap, "swbreak:;"));
  }
  if (killed_) {
    throw machine::GuestFault("the run was ended by the debugger (kill)");
  }
}

void GdbStub::wrote(std::uint64_t address, unsigned size) {
  for (const Watch &watch : watches_) {
    if (address < watch.address + watch.length &&
        watch.address < address + size) {
      watchHit_ = std::max(address, watch.address);
    }
  }
}

std::vector<machine::AddressRange> GdbStub::watchedStores() const {
  std::vector<machine::AddressRange> ranges;
  for (const Watch &watch : watches_) {
    ranges.push_back({watch.address, watch.length});
  }
  return ranges;
}

void GdbStub::returned() {
  // Back at the return sentinel: where GDB's `finish` puts its breakpoint.
  if (connection_.valid() && machine_ != nullptr) {
    checkAtStop(machine_->debugRegister(machine::Machine::kDebugEip));
  }
}

void GdbStub::faulted(const std::string &message) {
  if (!connection_.valid()) {
    return;
  }
  // GDB prints console output packets as they come.
  sendConsole(message + "\n");
  stop(signalReply(kSigSegv));
}

void GdbStub::imageMapped(const std::string &name, std::uint32_t,
                          std::uint32_t base, std::uint32_t) {
  std::filesystem::path file;
  if (symbols_) {
    // GDB tells libraries apart by name: each copy gets a file of its own.
    file = scratch_.path() / (symbols_->stem + "." + name + ".elf");
    if (!std::filesystem::exists(file)) {
      writeFile(file, symbols_->file);
    }
  }
  copies_[base] = {name, file};
  librariesChanged_ = true;
}

// A copy that goes is the end of a change (the shadow arrives, then the
// flash copy goes, between two guest calls): GDB hears of both at once, so
// that it sets its breakpoints again with only the shadow's symbols, and
// one set by address on a routine (break *Execute) moves to the shadow's
// copy of it. A copy that arrives alone is told at the next guest
// instruction.
void GdbStub::imageRetired(std::uint32_t base) {
  copies_.erase(base);
  librariesChanged_ = false;
  if (connection_.valid()) {
    stop(signalReply(kSigTrap, "library:;"));
  }
}

bool GdbStub::interrupted() {
  pollfd ready{connection_.fd(), POLLIN, 0};
  if (::poll(&ready, 1, 0) <= 0) {
    return false;
  }
  std::uint8_t byte = 0;
  if (!receiveByte(byte)) {
    return false;
  }
  if (byte == kInterrupt) {
    return true;
  }
  pending_.insert(pending_.begin(), byte); // part of a packet: keep it
  return false;
}

bool GdbStub::refreshPlatformSymbols() {
  if (machine_ == nullptr || machine_->thunks().size() == platformThunks_) {
    return false;
  }
  using machine::Machine;
  // A caller's frame is looked up at its return address less one, so the
  // symbols and frame descriptions of the places the guest returns to (the
  // sentinel, where the platform called the module, and where a thunk that
  // called into the module resumes) begin a few bytes early.
  std::vector<NamedAddress> pieces = {
      {kPlatformFileBase, Machine::kResume - 1 - kPlatformFileBase,
       "platform_returns"},
      {Machine::kResume - 1, Machine::kFirstThunk - (Machine::kResume - 1),
       "platform_resumes_thunk"}};
  const std::vector<NamedAddress> outermost = pieces;
  for (const auto &[address, name] : machine_->thunks()) {
    pieces.push_back({address, Machine::kThunkSpacing, name});
  }
  platformThunks_ = machine_->thunks().size();
  // A new name for each version: GDB reads a library it already has only
  // once.
  platformFile_ = scratch_.path() / ("platform-thunks-" +
                                     std::to_string(platformThunks_) + ".elf");
  writeFile(platformFile_,
            platformSymbolFile(kPlatformFileBase,
                               Machine::kThunkBase + Machine::kThunkSize -
                                   kPlatformFileBase,
                               pieces, outermost));
  return true;
}

void GdbStub::sendConsole(const std::string &text) {
  sendPacket("O" + hexBytes(std::span(
                       reinterpret_cast<const std::uint8_t *>(text.data()),
                       text.size())));
}

void GdbStub::stop(const std::string &given) {
  stepping_ = false; // any stop ends a step
  std::string reply = given;
  if (!reply.empty() && refreshPlatformSymbols() &&
      reply.find("library:") == std::string::npos) {
    reply.insert(3, "library:;"); // after "T" and the signal
  }
  if (!reply.empty()) {
    lastStop_ = reply;
    sendPacket(reply);
  }
  // A stop inside the machine's hook comes before the instruction runs, so
  // resuming runs it: a breakpoint there does not fire again.
  switch (serve()) {
  case Resume::Continue:
    break;
  case Resume::Step:
    stepping_ = true;
    break;
  case Resume::Detach:
    log_ << "gdb: detached" << std::endl;
    disconnect();
    break;
  case Resume::Kill:
    log_ << "gdb: killed the run" << std::endl;
    killed_ = true;
    disconnect();
    break;
  }
}

GdbStub::Resume GdbStub::serve() {
  while (true) {
    const auto packet = receivePacket();
    if (!packet) {
      log_ << "gdb: the debugger went away; running on without it" << std::endl;
      return Resume::Detach;
    }
    std::optional<Resume> resume;
    const std::string reply = handle(*packet, resume);
    if (resume && !symbols_ && !noticeSent_ &&
        (*resume == Resume::Continue || *resume == Resume::Step)) {
      // GDB shows console output while the target runs, so the notice
      // goes with the first resume.
      noticeSent_ = true;
      sendConsole("pei-platform: no debug companion, so no symbols are "
                  "loaded: debugging at instruction level\n");
    }
    if (resume) {
      if (*resume == Resume::Detach || packet->starts_with("vKill")) {
        sendPacket("OK");
      }
      return *resume;
    }
    sendPacket(reply);
    if (*packet == "QStartNoAckMode") {
      noAck_ = true;
    }
  }
}

std::optional<std::string> GdbStub::receivePacket() {
  std::uint8_t byte = 0;
  while (true) {
    if (!receiveByte(byte)) {
      return std::nullopt;
    }
    if (byte != '$') {
      continue; // acknowledgements, and an interrupt while already stopped
    }
    std::string payload;
    while (receiveByte(byte) && byte != '#') {
      payload += static_cast<char>(byte);
    }
    std::uint8_t sum[2];
    if (byte != '#' || !receiveByte(sum[0]) || !receiveByte(sum[1])) {
      return std::nullopt;
    }
    std::uint8_t expected = 0;
    for (char c : payload) {
      expected = static_cast<std::uint8_t>(expected + c);
    }
    const auto got = parseHex(
        std::string{static_cast<char>(sum[0]), static_cast<char>(sum[1])});
    if (!noAck_) {
      const char ack = got && *got == expected ? '+' : '-';
      common::net::sendAll(
          connection_,
          std::span(reinterpret_cast<const std::uint8_t *>(&ack), 1),
          kSendTimeout);
      if (ack == '-') {
        continue;
      }
    }
    return payload;
  }
}

void GdbStub::sendPacket(const std::string &payload) {
  if (!connection_.valid()) {
    return;
  }
  std::uint8_t sum = 0;
  std::string escaped;
  for (char c : payload) {
    if (c == '$' || c == '#' || c == '}' || c == '*') {
      escaped += '}';
      c = static_cast<char>(c ^ 0x20);
    }
    escaped += c;
  }
  for (char c : escaped) {
    sum = static_cast<std::uint8_t>(sum + c);
  }
  const std::string frame = "$" + escaped + "#" + hexByte(sum);
  const std::string failed = common::net::sendAll(
      connection_,
      std::span(reinterpret_cast<const std::uint8_t *>(frame.data()),
                frame.size()),
      kSendTimeout);
  if (!failed.empty()) {
    log_ << "gdb: cannot send to the debugger (" << failed
         << "); running on without it" << std::endl;
    disconnect();
  }
}

bool GdbStub::receiveByte(std::uint8_t &byte) {
  if (!pending_.empty()) {
    byte = pending_.front();
    pending_.erase(pending_.begin());
    return true;
  }
  std::uint8_t buffer[4096];
  while (connection_.valid()) {
    pollfd ready{connection_.fd(), POLLIN, 0};
    if (::poll(&ready, 1, -1) < 0 && errno != EINTR) {
      return false;
    }
    const auto got = common::net::receiveSome(connection_, buffer);
    if (got.closed || got.error != 0) {
      return false;
    }
    if (got.bytes != 0) {
      pending_.assign(buffer + 1, buffer + got.bytes);
      byte = buffer[0];
      return true;
    }
  }
  return false;
}

} // namespace debug
