// The functions the platform hands the guest (the PEI services, the
// functions of the platform's PPIs) as tables. Each entry names a function,
// declares its parameters once (how each is passed and how the trace shows
// it) and binds the handler that answers it; an entry without a handler is a
// refusal: a call stops the run naming the function. One binding serves every
// entry: it decodes a call's arguments as the entry declares them, runs the
// handler and records the call and its answer in the trace.
#pragma once

#include "efi.h"
#include "machine.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <ostream>
#include <stdexcept>
#include <string>

namespace pei {

// The guest values the platform's services take and answer with, each its
// own type so that a guest address, a callback's entry point and an EFI
// status cannot stand in for one another. On the guest's side each is one
// UINT32.
struct GuestAddress {
  std::uint32_t value = 0;
  bool operator==(const GuestAddress &) const = default;
};
struct GuestCallback {
  std::uint32_t entry = 0;
  bool operator==(const GuestCallback &) const = default;
};
struct EfiStatus {
  std::uint32_t value = 0;
  bool operator==(const EfiStatus &) const = default;
  bool isError() const { return efi::isError(value); }
  std::string name() const { return efi::statusName(value); }
};
std::ostream &operator<<(std::ostream &out, GuestAddress address);
std::ostream &operator<<(std::ostream &out, GuestCallback callback);
std::ostream &operator<<(std::ostream &out, EfiStatus status);

// How a parameter is passed (one 32-bit stack slot, or two for Wide) and
// how the trace shows it.
enum class ParameterKind : std::uint8_t {
  None,      // past the last parameter
  Pointer,   // an address, shown "name=0x00060088"
  Count,     // a UINTN or narrower value, shown "name 11"
  Wide,      // a UINT64, shown "name 0x0000000100000000"
  Guid,      // CONST EFI_GUID *: the GUID, shown by name, or "null"
  Name,      // CONST CHAR16 *: the NUL-terminated name, shown quoted, or "null"
  Size,      // UINTN * in and out: its value on entry, "name 1024"; "null name"
  Interface, // the function's own PPI (This): not shown
  Out,       // where the function stores a result: not shown
  Buffer,    // bytes the function reads or fills: not shown
};

struct Parameter {
  const char *name = nullptr; // as the trace labels it
  ParameterKind kind = ParameterKind::None;
  // How faults name the memory it points at (Guid, Name, Size); null: name.
  const char *what = nullptr;
};

inline constexpr std::size_t kMaxParameters = 6;
inline constexpr std::size_t kMaxNotes = 4;

// What an answer adds after its status in the trace, "{}" standing for the
// answer's number: ", {} bytes".
using Note = const char *;

// How the trace shows a call of the function whose signature the event's
// decoder is.
std::string describeServiceCall(const bus::TraceEvent &event);

// A function as the guest calls it: its name, its parameters in order, and
// the notes its answers may carry. It is also how the trace decodes the calls
// recorded of it, so it must outlive the trace: a signature in a table of
// static storage.
struct ServiceSignature : bus::TraceDecoder {
  constexpr ServiceSignature(const char *name,
                             std::initializer_list<Parameter> parameters = {},
                             std::initializer_list<Note> notes = {})
      : bus::TraceDecoder{"call", "service", &describeServiceCall},
        name(name) {
    if (parameters.size() > kMaxParameters || notes.size() > kMaxNotes) {
      throw std::logic_error("a service with too many parameters or notes");
    }
    unsigned names = 0;
    std::size_t words = 0;
    for (const Parameter &parameter : parameters) {
      this->words[count] = static_cast<std::uint8_t>(words);
      words += kept(parameter.kind);
      names += parameter.kind == ParameterKind::Name ? 1 : 0;
      this->parameters[count++] = parameter;
    }
    if (names > 1 || words > bus::TraceEvent::kArguments) {
      throw std::logic_error("a service whose arguments the trace cannot keep");
    }
    std::size_t note = 0;
    for (Note text : notes) {
      this->notes[note++] = text;
    }
  }
  // How many 32-bit words of TraceEvent::arguments a parameter's value takes
  // (a name is kept as the event's text).
  static constexpr std::size_t kept(ParameterKind kind) {
    switch (kind) {
    case ParameterKind::Pointer:
    case ParameterKind::Count:
    case ParameterKind::Size:
      return 1;
    case ParameterKind::Wide:
      return 2;
    case ParameterKind::Guid:
      return 4;
    default:
      return 0;
    }
  }

  const char *name;
  std::array<Parameter, kMaxParameters> parameters{};
  std::size_t count = 0;
  std::array<Note, kMaxNotes> notes{};
  // Where each parameter's value lies in TraceEvent::arguments.
  std::array<std::uint8_t, kMaxParameters> words{};
};

// What a handler answers: the status for EAX, and the note (one of its
// signature's) the trace adds after it, with its number.
struct Answer {
  Answer(EfiStatus status) : status(status) {}
  Answer(std::uint32_t status, Note note = nullptr, std::uint32_t noted = 0)
      : status{status}, note(note), noted(noted) {}
  EfiStatus status;
  Note note = nullptr;
  std::uint32_t noted = 0;
};

// One call's arguments, read as its signature declares them: the raw value
// of each and, for Guid, Name and Size parameters that are not null, what
// they point at.
class ServiceCall {
public:
  // Throws machine::GuestFault, naming the parameter's `what`, when a
  // parameter points at memory the guest could not read itself.
  ServiceCall(const ServiceSignature &signature, machine::ThunkCall &call);

  const ServiceSignature &signature() const { return signature_; }
  machine::ThunkCall &thunk() const { return call_; }
  machine::Machine &machine() const { return call_.machine(); }

  bool isNull(unsigned index) const { return values_.at(index).raw == 0; }
  GuestAddress pointer(unsigned index) const {
    return GuestAddress{static_cast<std::uint32_t>(values_.at(index).raw)};
  }
  std::uint32_t count(unsigned index) const {
    return static_cast<std::uint32_t>(values_.at(index).raw);
  }
  std::uint64_t wide(unsigned index) const { return values_.at(index).raw; }
  // A Guid parameter's GUID, a Size parameter's value on entry, the Name
  // parameter's name (each only when the parameter is not null).
  const efi::Guid &guid(unsigned index) const { return values_.at(index).guid; }
  std::uint32_t size(unsigned index) const { return values_.at(index).size; }
  const std::u16string &name() const { return name_; }

private:
  struct Value {
    std::uint64_t raw = 0;
    std::uint32_t size = 0;
    efi::Guid guid;
  };

  const ServiceSignature &signature_;
  machine::ThunkCall &call_;
  std::array<Value, kMaxParameters> values_{};
  std::u16string name_;
};

// An entry of a table of functions that Owner answers.
template <class Owner> struct ServiceEntry {
  ServiceSignature signature;
  Answer (*handler)(Owner &, const ServiceCall &) = nullptr; // null: refusal
};

// The handler of a thunk that answers calls of `signature` (which must
// outlive the machine) through `handler`, recording each call and its answer
// in the machine's trace: numbers, and the text of a name only when it
// differs from the last call's. With no handler, every call stops the run as
// an unexpected call of `refusal`.
using ServiceHandler = std::function<Answer(const ServiceCall &)>;
machine::ThunkHandler bindService(const ServiceSignature &signature,
                                  ServiceHandler handler, std::string refusal);
template <class Owner>
machine::ThunkHandler bindService(const ServiceEntry<Owner> &entry,
                                  Owner &owner, std::string refusal) {
  ServiceHandler handler;
  if (entry.handler != nullptr) {
    handler = [&owner, answer = entry.handler](const ServiceCall &call) {
      return answer(owner, call);
    };
  }
  return bindService(entry.signature, std::move(handler), std::move(refusal));
}

// Stops the run: the guest called what the platform does not answer.
[[noreturn]] void refuse(const machine::ThunkCall &call,
                         const std::string &what);

} // namespace pei
