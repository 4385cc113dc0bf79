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

// A parameter's value as an event keeps it.
struct Kept {
  const bus::TraceEvent &event;
  unsigned index;
  std::size_t word;

  bool null() const { return (event.flags >> index & 1) != 0; }
  std::uint32_t at(std::size_t n = 0) const {
    return event.arguments[word + n];
  }
  std::uint64_t wide() const { return at() | std::uint64_t{at(1)} << 32; }
  efi::Guid guid() const {
    efi::Guid guid;
    for (std::size_t n = 0; n < 4; ++n) {
      common::le::store32(guid.bytes, 4 * n, at(n));
    }
    return guid;
  }
};

// One parameter as the trace shows it; empty for one it does not show.
std::string shown(const Parameter &parameter, const Kept &kept) {
  const std::string name = parameter.name;
  switch (parameter.kind) {
  case ParameterKind::Pointer:
    return name + "=" + hex(kept.at(), 8);
  case ParameterKind::Count:
    return name + " " + std::to_string(kept.at());
  case ParameterKind::Wide:
    return name + " " + hex(kept.wide(), 16);
  case ParameterKind::Guid:
    return kept.null() ? "null" : efi::guidName(kept.guid());
  case ParameterKind::Name:
    return kept.null() || !kept.event.text ? "null"
                                           : "\"" + *kept.event.text + "\"";
  case ParameterKind::Size:
    return kept.null() ? "null " + name
                       : name + " " + std::to_string(kept.at());
  default:
    return {};
  }
}

std::string noted(Note note, std::uint64_t number) {
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

// Which of the signature's notes the answer carries: 1 + its index, 0 for
// none.
std::uint64_t noteIndex(const ServiceSignature &signature, Note note) {
  if (note == nullptr) {
    return 0;
  }
  for (std::size_t i = 0; i < kMaxNotes; ++i) {
    if (signature.notes[i] == note) {
      return i + 1;
    }
  }
  throw std::logic_error(std::string(signature.name) +
                         " answered with a note its entry does not declare");
}

// Records a function's calls in the trace as numbers. The name a call
// carries becomes text once, and is shared while calls keep to it.
class Recorder {
public:
  explicit Recorder(const ServiceSignature &signature)
      : signature_(signature) {}

  void record(const ServiceCall &call, const Answer &answer) {
    const ThunkCall &thunk = call.thunk();
    bus::Trace &trace = thunk.machine().trace();
    if (!trace.keeping()) {
      trace.drop();
      return;
    }
    bus::TraceEvent event{.kind = bus::TraceEvent::Kind::Service,
                              .instruction = thunk.returnAddress(),
                              .address = noteIndex(signature_, answer.note),
                              .value = answer.status.value,
                              .source = answer.noted,
                              .name = signature_.name,
                              .decoder = &signature_,
                              .duration = trace.now() - thunk.started()};
    keep(call, event);
    trace.add(event);
  }

private:
  void keep(const ServiceCall &call, bus::TraceEvent &event) {
    for (unsigned i = 0; i < signature_.count; ++i) {
      const ParameterKind kind = signature_.parameters[i].kind;
      std::uint32_t *word = &event.arguments[signature_.words[i]];
      if (call.isNull(i)) {
        event.flags |= static_cast<std::uint8_t>(1u << i);
      }
      if (kind == ParameterKind::Guid) {
        for (std::size_t n = 0; n < 4; ++n) {
          word[n] = common::le::load32(call.guid(i).bytes, 4 * n);
        }
      } else if (kind == ParameterKind::Size) {
        word[0] = call.size(i);
      } else if (kind == ParameterKind::Name && !call.isNull(i)) {
        event.text = nameText(call.name());
      } else if (ServiceSignature::kept(kind) != 0) {
        word[0] = call.count(i);
        if (kind == ParameterKind::Wide) {
          word[1] = static_cast<std::uint32_t>(call.wide(i) >> 32);
        }
      }
    }
  }
  std::shared_ptr<const std::string> nameText(const std::u16string &name) {
    if (!lastText_ || name != lastName_) {
      lastName_ = name;
      lastText_ = std::make_shared<const std::string>(printable(name));
    }
    return lastText_;
  }

  const ServiceSignature &signature_;
  std::u16string lastName_;
  std::shared_ptr<const std::string> lastText_;
};

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
  return [&signature, handler = std::move(handler),
          recorder = Recorder(signature)](ThunkCall &call) mutable {
    const ServiceCall decoded(signature, call);
    const Answer answer = handler(decoded);
    recorder.record(decoded, answer);
    return answer.status.value;
  };
}

// "GetVariable("Setup", SetupVariable, DataSize 1024) = EFI_SUCCESS, ..."
std::string describeServiceCall(const bus::TraceEvent &event) {
  const auto &signature = static_cast<const ServiceSignature &>(*event.decoder);
  std::string text = std::string(signature.name) + "(";
  bool first = true;
  for (unsigned i = 0; i < signature.count; ++i) {
    const std::string part =
        shown(signature.parameters[i], Kept{event, i, signature.words[i]});
    if (!part.empty()) {
      text += (first ? "" : ", ") + part;
      first = false;
    }
  }
  const Note note =
      event.address != 0 ? signature.notes[event.address - 1] : nullptr;
  return text + ") = " +
         efi::statusName(static_cast<std::uint32_t>(event.value)) +
         noted(note, event.source);
}

void refuse(const ThunkCall &call, const std::string &what) {
  throw machine::GuestFault(call.machine().where(call.returnAddress()) +
                            ": unexpected service call: " + what);
}

} // namespace pei
