// The packets the stub answers: registers, memory, breakpoints and
// watchpoints, resuming, and the queries GDB makes (features, libraries,
// threads).
#include "gdb_stub.h"

#include "gdb_protocol.h"
#include "hex.h"
#include "little_endian.h"

namespace debug {

using namespace gdb;

std::string GdbStub::handle(const std::string &packet,
                            std::optional<Resume> &resume) {
  if (packet.empty()) {
    return {};
  }
  if (auto reply = command(packet[0], packet.substr(1), resume)) {
    return *reply;
  }
  return query(packet, resume);
}

// The one-letter packets; none for a packet that is a query.
std::optional<std::string> GdbStub::command(char letter,
                                            const std::string &args,
                                            std::optional<Resume> &resume) {
  switch (letter) {
  case '?':
    return lastStop_;
  case 'g':
    return readRegisters();
  case 'G':
    return writeRegisters(args);
  case 'p': {
    const auto n = parseHex(args);
    return n ? readRegister(static_cast<unsigned>(*n)) : "E01";
  }
  case 'P':
    return writeRegister(args);
  case 'm':
    return readMemory(args);
  case 'M':
    return writeMemory(args);
  case 'Z':
  case 'z':
    return breakpoint(args, letter == 'Z');
  case 'c':
  case 'C':
    resume = Resume::Continue;
    return std::string();
  case 's':
  case 'S':
    resume = Resume::Step;
    return std::string();
  case 'D':
    resume = Resume::Detach;
    return std::string();
  case 'k':
    resume = Resume::Kill;
    return std::string();
  case 'H':
  case 'T':
    return "OK";
  default:
    return std::nullopt;
  }
}

std::string GdbStub::query(const std::string &packet,
                           std::optional<Resume> &resume) {
  if (packet.starts_with("vKill")) {
    resume = Resume::Kill;
    return {};
  }
  if (packet.starts_with("qSupported")) {
    return "PacketSize=" + common::hex(kPacketSize).substr(2) +
           ";qXfer:features:read+;qXfer:libraries:read+;qXfer:exec-file:read+;"
           "QStartNoAckMode+;"
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

std::string GdbStub::writeRegisters(const std::string &args) {
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

std::string GdbStub::writeRegister(const std::string &args) {
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
  if (object == "exec-file") {
    return slice(executable_.string(), range->first, range->second);
  }
  if (object == "libraries" && annex.empty()) {
    return slice(libraries(), range->first, range->second);
  }
  return "E00";
}

// Each copy of the module as a library, and the platform's thunks when they
// are not the executable's any more (thunks added since): for a
// segment GDB takes the address as where the file's first loadable segment
// lies (each file has one, from the image's first byte, or the thunk page's).
std::string GdbStub::libraries() const {
  std::string xml = "<library-list>";
  auto library = [&](const std::filesystem::path &file, std::uint32_t at) {
    xml += "<library name=\"" + file.string() + "\"><segment address=\"" +
           common::hex(at) + "\"/></library>";
  };
  for (const auto &[base, copy] : copies_) {
    if (!copy.file.empty()) {
      library(copy.file, base);
    }
  }
  if (!platformFile_.empty() && platformFile_ != executable_) {
    library(platformFile_, kPlatformFileBase);
  }
  return xml + "</library-list>";
}

} // namespace debug
