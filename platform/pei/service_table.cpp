#include "service_table.h"

#include "hex.h"
#include "little_endian.h"

#include <memory>

namespace pei {

using common::hex;
using machine::ThunkCall;

namespace {

constexpr std::size_t kMaxNameLength = 512; // UTF-16 units

const char *what(const Parameter &parameter) {
  return parameter.what != nullptr ? parameter.what : parameter.name;
}

// A NUL-terminated UTF-16 name from guest memory.
std::u16string readName(const machine::Machine &machine, std::uint32_t address,
                        const std::string &what) {
  std::u16string name;
  for (std::size_t i = 0; i < kMaxNameLength; ++i) {
    const auto unit = machine.guestRead(
        address + static_cast<std::uint32_t>(2 * i), 2, what);
    const auto c = static_cast<char16_t>(common::le::load16(unit));
    if (c == 0) {
      return name;
    }
    name.push_back(c);
  }
  throw machine::GuestFault(what + " at " + hex(address, 8) +
                            " has no terminating NUL within " +
                            std::to_string(kMaxNameLength) + " characters");
}

// The name as ASCII, '?' for what is not printable.
std::string printable(const std::u16string &name) {
  std::string text;
  for (char16_t c : name) {
    text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return text;
}

// One parameter as the trace shows it; empty for one it does not show.
std::string shown(const ServiceCall &call, unsigned index) {
  const Parameter &parameter = call.signature().parameters[index];
  const std::string name = parameter.name;
  switch (parameter.kind) {
  case ParameterKind::Pointer:
    return name + "=" + hex(call.count(index), 8);
  case ParameterKind::Count:
    return name + " " + std::to_string(call.count(index));
  case ParameterKind::Wide:
    return name + " " + hex(call.wide(index), 16);
  case ParameterKind::Guid:
    return call.isNull(index) ? "null" : efi::guidName(call.guid(index));
  case ParameterKind::Name:
    return call.isNull(index) ? "null" : "\"" + printable(call.name()) + "\"";
  case ParameterKind::Size:
    return call.isNull(index) ? "null " + name
                              : name + " " + std::to_string(call.size(index));
  default:
    return {};
  }
}

std::string noted(Note note, std::uint32_t number) {
  if (note == nullptr) {
    return {};
  }
  const std::string_view text = note;
  const std::size_t at = text.find("{}");
  return at == std::string_view::npos
             ? std::string(text)
             : std::string(text.substr(0, at)) + std::to_string(number) +
                   std::string(text.substr(at + 2));
}

// "GetVariable("Setup", SetupVariable, DataSize 1024) = EFI_SUCCESS, ..."
std::string describe(const ServiceCall &call, const Answer &answer) {
  std::string text = std::string(call.signature().name) + "(";
  bool first = true;
  for (unsigned i = 0; i < call.signature().count; ++i) {
    const std::string part = shown(call, i);
    if (!part.empty()) {
      text += (first ? "" : ", ") + part;
      first = false;
    }
  }
  return text + ") = " + answer.status.name() +
         noted(answer.note, answer.noted);
}

void record(const ServiceCall &call, const Answer &answer) {
  const ThunkCall &thunk = call.thunk();
  machine::Trace &trace = thunk.machine().trace();
  trace.add({.kind = machine::TraceEvent::Kind::Service,
             .instruction = thunk.returnAddress(),
             .value = answer.status.value,
             .name = call.signature().name,
             .text = std::make_shared<const std::string>(describe(call, answer)),
             .duration = trace.now() - thunk.started()});
}

} // namespace

std::ostream &operator<<(std::ostream &out, GuestAddress address) {
  return out << hex(address.value, 8);
}
std::ostream &operator<<(std::ostream &out, GuestCallback callback) {
  return out << "callback " << hex(callback.entry, 8);
}
std::ostream &operator<<(std::ostream &out, EfiStatus status) {
  return out << status.name();
}

ServiceCall::ServiceCall(const ServiceSignature &signature, ThunkCall &call)
    : signature_(signature), call_(call) {
  const machine::Machine &machine = call.machine();
  unsigned slot = 0;
  for (unsigned i = 0; i < signature.count; ++i) {
    const Parameter &parameter = signature.parameters[i];
    Value &value = values_[i];
    value.raw = call.argument(slot++);
    if (parameter.kind == ParameterKind::Wide) {
      value.raw |= std::uint64_t{call.argument(slot++)} << 32;
    }
    const auto address = static_cast<std::uint32_t>(value.raw);
    if (address == 0) {
      continue;
    }
    if (parameter.kind == ParameterKind::Guid) {
      value.guid =
          efi::Guid::fromBytes(machine.guestRead(address, 16, what(parameter)));
    } else if (parameter.kind == ParameterKind::Name) {
      name_ = readName(machine, address, what(parameter));
    } else if (parameter.kind == ParameterKind::Size) {
      value.size = machine.guestRead32(address, what(parameter));
    }
  }
}

machine::ThunkHandler bindService(const ServiceSignature &signature,
                                  ServiceHandler handler, std::string refusal) {
  if (!handler) {
    return [refusal = std::move(refusal)](ThunkCall &call) -> std::uint32_t {
      refuse(call, refusal);
    };
  }
  return [&signature, handler = std::move(handler)](ThunkCall &call) {
    const ServiceCall decoded(signature, call);
    const Answer answer = handler(decoded);
    record(decoded, answer);
    return answer.status.value;
  };
}

void refuse(const ThunkCall &call, const std::string &what) {
  throw machine::GuestFault(call.machine().where(call.returnAddress()) +
                            ": unexpected service call: " + what);
}

} // namespace pei
