#include "gdb_stub.h"

#include "hex.h"
#include "little_endian.h"
#include "number.h"

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdio>

namespace debug {

namespace {

// Signals as GDB numbers them in stop replies.
constexpr int kSigInt = 2;
constexpr int kSigTrap = 5;
constexpr int kSigSegv = 11;

constexpr std::size_t kPacketSize = 0x4000;
constexpr std::chrono::milliseconds kSendTimeout{10'000};
// How many instructions run between two looks for GDB's interrupt byte.
constexpr unsigned kInterruptCheckEvery = 4096;
constexpr std::uint8_t kInterrupt = 0x03;

// Registers after the sixteen the machine holds: eight 80-bit x87 data
// registers and eight 32-bit x87 control registers. The module uses no x87
// code; GDB's IA-32 description needs them, so they read as zero.
constexpr unsigned kX87Data = 8;
constexpr unsigned kX87DataBytes = 10;
constexpr unsigned kX87Control = 8;

// The registers GDB's IA-32 support expects, in its numbering.
constexpr const char *kTargetXml = R"(<?xml version="1.0"?>
<!DOCTYPE target SYSTEM "gdb-target.dtd">
<target version="1.0">
  <architecture>i386</architecture>
  <feature name="org.gnu.gdb.i386.core">
    <reg name="eax" bitsize="32" type="int32" regnum="0"/>
    <reg name="ecx" bitsize="32" type="int32"/>
    <reg name="edx" bitsize="32" type="int32"/>
    <reg name="ebx" bitsize="32" type="int32"/>
    <reg name="esp" bitsize="32" type="data_ptr"/>
    <reg name="ebp" bitsize="32" type="data_ptr"/>
    <reg name="esi" bitsize="32" type="int32"/>
    <reg name="edi" bitsize="32" type="int32"/>
    <reg name="eip" bitsize="32" type="code_ptr"/>
    <reg name="eflags" bitsize="32" type="int32"/>
    <reg name="cs" bitsize="32" type="int32"/>
    <reg name="ss" bitsize="32" type="int32"/>
    <reg name="ds" bitsize="32" type="int32"/>
    <reg name="es" bitsize="32" type="int32"/>
    <reg name="fs" bitsize="32" type="int32"/>
    <reg name="gs" bitsize="32" type="int32"/>
    <reg name="st0" bitsize="80" type="i387_ext"/>
    <reg name="st1" bitsize="80" type="i387_ext"/>
    <reg name="st2" bitsize="80" type="i387_ext"/>
    <reg name="st3" bitsize="80" type="i387_ext"/>
    <reg name="st4" bitsize="80" type="i387_ext"/>
    <reg name="st5" bitsize="80" type="i387_ext"/>
    <reg name="st6" bitsize="80" type="i387_ext"/>
    <reg name="st7" bitsize="80" type="i387_ext"/>
    <reg name="fctrl" bitsize="32" type="int" group="float"/>
    <reg name="fstat" bitsize="32" type="int" group="float"/>
    <reg name="ftag" bitsize="32" type="int" group="float"/>
    <reg name="fiseg" bitsize="32" type="int" group="float"/>
    <reg name="fioff" bitsize="32" type="int" group="float"/>
    <reg name="foseg" bitsize="32" type="int" group="float"/>
    <reg name="fooff" bitsize="32" type="int" group="float"/>
    <reg name="fop" bitsize="32" type="int" group="float"/>
  </feature>
</target>
)";

std::string hexByte(std::uint8_t byte) {
  static constexpr char digits[] = "0123456789abcdef";
  return {digits[byte >> 4], digits[byte & 0xF]};
}

std::string hexBytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (std::uint8_t byte : bytes) {
    text += hexByte(byte);
  }
  return text;
}

// A 32-bit value in target (little-endian) byte order.
std::string hexLittle32(std::uint32_t value) {
  std::array<std::uint8_t, 4> bytes{};
  common::le::store32(bytes, 0, value);
  return hexBytes(bytes);
}

// The protocol's numbers: bare hex digits, no prefix.
std::optional<std::uint64_t> parseHex(std::string_view text) {
  return common::numberAtMost(text, UINT64_MAX, common::Radix::Hex);
}

std::optional<std::vector<std::uint8_t>> parseHexBytes(std::string_view text) {
  if (text.size() % 2 != 0) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const auto byte = parseHex(text.substr(i, 2));
    if (!byte) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<std::uint8_t>(*byte));
  }
  return bytes;
}

// Splits "a,b" (or "a,b:c" for the caller to cut first).
std::optional<std::pair<std::uint64_t, std::uint64_t>>
parsePair(std::string_view text) {
  const auto comma = text.find(',');
  if (comma == std::string_view::npos) {
    return std::nullopt;
  }
  const auto first = parseHex(text.substr(0, comma));
  const auto second = parseHex(text.substr(comma + 1));
  if (!first || !second) {
    return std::nullopt;
  }
  return std::pair{*first, *second};
}

std::string signalReply(int signal, const std::string &reason = {}) {
  return "T" + hexByte(static_cast<std::uint8_t>(signal)) + reason +
         "thread:1;";
}

// A slice of an object GDB reads in pieces: 'm' and more, or 'l' and last.
std::string slice(const std::string &object, std::uint64_t offset,
                  std::uint64_t length) {
  if (offset >= object.size()) {
    return "l";
  }
  const std::string part = object.substr(offset, length);
  return (offset + part.size() < object.size() ? "m" : "l") + part;
}

} // namespace

GdbStub::GdbStub(std::uint16_t port, std::filesystem::path symbols,
                 std::size_t sectionCount, std::ostream &log)
    : listener_(port), symbols_(std::filesystem::absolute(symbols)),
      sectionCount_(sectionCount), log_(log) {}

GdbStub::~GdbStub() = default;

void GdbStub::attach(machine::Machine &machine) {
  machine_ = &machine;
  copies_.clear();
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
    connect();
  }
  if (!connection_.valid()) {
    return;
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
  sendPacket(
      "O" +
      hexBytes(std::span(reinterpret_cast<const std::uint8_t *>(message.data()),
                         message.size())) +
      "0a");
  stop(signalReply(kSigSegv));
}

void GdbStub::imageMapped(const std::string &name, std::uint32_t linkBase,
                          std::uint32_t base, std::uint32_t) {
  copies_[base] = {name, base - linkBase};
  if (!waited_) {
    connect(); // before the first guest instruction, with the copy listed
  } else if (connection_.valid()) {
    stop(signalReply(kSigTrap, "library:;"));
  }
}

void GdbStub::imageRetired(std::uint32_t base) {
  copies_.erase(base);
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

void GdbStub::stop(const std::string &reply) {
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

// --- packets ----------------------------------------------------------------

std::string GdbStub::handle(const std::string &packet,
                            std::optional<Resume> &resume) {
  if (packet.empty()) {
    return {};
  }
  const std::string args = packet.substr(1);
  switch (packet[0]) {
  case '?':
    return lastStop_;
  case 'g':
    return readRegisters();
  case 'G': {
    const auto bytes = parseHexBytes(args);
    if (!bytes || machine_ == nullptr ||
        bytes->size() < 4 * (machine::Machine::kDebugEflags + 1)) {
      return "E01";
    }
    for (unsigned n = 0; n <= machine::Machine::kDebugEflags; ++n) {
      machine_->setDebugRegister(n, common::le::load32(*bytes, 4 * n));
    }
    return "OK";
  }
  case 'p': {
    const auto n = parseHex(args);
    return n ? readRegister(static_cast<unsigned>(*n)) : "E01";
  }
  case 'P': {
    const auto equals = args.find('=');
    const auto n = parseHex(args.substr(0, equals));
    const auto bytes = equals == std::string::npos
                           ? std::nullopt
                           : parseHexBytes(args.substr(equals + 1));
    if (!n || !bytes || bytes->size() != 4 || machine_ == nullptr) {
      return "E01";
    }
    machine_->setDebugRegister(static_cast<unsigned>(*n),
                               common::le::load32(*bytes));
    return "OK";
  }
  case 'm':
    return readMemory(args);
  case 'M':
    return writeMemory(args);
  case 'Z':
  case 'z':
    return breakpoint(args, packet[0] == 'Z');
  case 'c':
  case 'C':
    resume = Resume::Continue;
    return {};
  case 's':
  case 'S':
    resume = Resume::Step;
    return {};
  case 'D':
    resume = Resume::Detach;
    return {};
  case 'k':
    resume = Resume::Kill;
    return {};
  case 'H':
  case 'T':
    return "OK";
  default:
    break;
  }
  if (packet.starts_with("vKill")) {
    resume = Resume::Kill;
    return {};
  }
  if (packet.starts_with("qSupported")) {
    return "PacketSize=" + common::hex(kPacketSize).substr(2) +
           ";qXfer:features:read+;qXfer:libraries:read+;QStartNoAckMode+;"
           "swbreak+;hwbreak+";
  }
  if (packet == "QStartNoAckMode") {
    return "OK"; // serve() stops acknowledging once this reply is sent
  }
  if (packet.starts_with("qXfer:")) {
    return transfer(packet.substr(6));
  }
  if (packet == "qAttached") {
    return "1";
  }
  if (packet == "qC") {
    return "QC1";
  }
  if (packet == "qfThreadInfo") {
    return "m1";
  }
  if (packet == "qsThreadInfo") {
    return "l";
  }
  if (packet.starts_with("qSymbol")) {
    return "OK";
  }
  return {}; // not supported
}

std::string GdbStub::readRegister(unsigned n) const {
  if (n < machine::Machine::kDebugRegisters) {
    return machine_ != nullptr ? hexLittle32(machine_->debugRegister(n))
                               : "E01";
  }
  n -= machine::Machine::kDebugRegisters;
  if (n < kX87Data) {
    return std::string(2 * kX87DataBytes, '0');
  }
  return n < kX87Data + kX87Control ? std::string(8, '0') : "E01";
}

std::string GdbStub::readRegisters() const {
  std::string text;
  const unsigned all =
      machine::Machine::kDebugRegisters + kX87Data + kX87Control;
  for (unsigned n = 0; n < all; ++n) {
    text += readRegister(n);
  }
  return text;
}

std::string GdbStub::readMemory(const std::string &args) const {
  const auto range = parsePair(args);
  if (!range || range->second > kPacketSize / 2 || machine_ == nullptr ||
      range->first > 0xFFFFFFFF) {
    return "E01";
  }
  const auto bytes = machine_->debugRead(
      static_cast<std::uint32_t>(range->first), range->second);
  return bytes ? hexBytes(*bytes) : "E14";
}

std::string GdbStub::writeMemory(const std::string &args) {
  const auto colon = args.find(':');
  const auto range = parsePair(args.substr(0, colon));
  const auto bytes = colon == std::string::npos
                         ? std::nullopt
                         : parseHexBytes(args.substr(colon + 1));
  if (!range || !bytes || bytes->size() != range->second ||
      machine_ == nullptr || range->first > 0xFFFFFFFF) {
    return "E01";
  }
  return machine_->debugWrite(static_cast<std::uint32_t>(range->first), *bytes)
             ? "OK"
             : "E14";
}

// Z0/Z1 (breakpoints, both kept by the stub), Z2 (write watchpoints). Read
// and access watchpoints are not offered: the empty reply tells GDB so.
std::string GdbStub::breakpoint(const std::string &args, bool insert) {
  if (args.size() < 2 || args[1] != ',') {
    return "E01";
  }
  const auto where = parsePair(args.substr(2));
  if (!where) {
    return "E01";
  }
  switch (args[0]) {
  case '0':
  case '1': {
    const auto address = static_cast<std::uint32_t>(where->first);
    if (insert) {
      breakpoints_.insert(address);
    } else {
      breakpoints_.erase(address);
    }
    return "OK";
  }
  case '2':
    if (insert) {
      watches_.push_back({where->first, where->second});
    } else {
      std::erase_if(watches_, [&](const Watch &watch) {
        return watch.address == where->first && watch.length == where->second;
      });
    }
    return "OK";
  default:
    return {};
  }
}

// qXfer:<object>:read:<annex>:<offset>,<length>
std::string GdbStub::transfer(const std::string &args) const {
  const auto read = args.find(":read:");
  if (read == std::string::npos) {
    return {};
  }
  const std::string object = args.substr(0, read);
  const std::string rest = args.substr(read + 6);
  const auto colon = rest.find(':');
  if (colon == std::string::npos) {
    return "E00";
  }
  const std::string annex = rest.substr(0, colon);
  const auto range = parsePair(rest.substr(colon + 1));
  if (!range) {
    return "E00";
  }
  if (object == "features" && annex == "target.xml") {
    return slice(kTargetXml, range->first, range->second);
  }
  if (object == "libraries" && annex.empty()) {
    return slice(libraries(), range->first, range->second);
  }
  return "E00";
}

// Each copy of the module as a library, with one entry per loaded section
// of the companion: for these GDB takes each "address" as the amount to add
// to the section's link address, so every entry is the copy's distance from
// the link base. GDB tells libraries apart by name, so the copies get
// different spellings of the same file.
std::string GdbStub::libraries() const {
  std::string xml = "<library-list>";
  for (const auto &[base, copy] : copies_) {
    const std::filesystem::path file =
        copy.name == "flash"
            ? symbols_
            : symbols_.parent_path() / "." / symbols_.filename();
    xml += "<library name=\"" + file.string() + "\">";
    for (std::size_t i = 0; i < sectionCount_; ++i) {
      xml += "<section address=\"" + common::hex(copy.delta) + "\"/>";
    }
    xml += "</library>";
  }
  return xml + "</library-list>";
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
