// The record of everything the guest did at the platform's edges, in order:
// port, MSR and device register accesses with their values, string
// instructions the machine carried out at once, work a device did (each TPM
// command the co-processor ran), and each service call with its answer.
//
// An event is a small record of numbers and references to names that live as
// long as the platform's models: recording one formats nothing and allocates
// nothing. Text is made only when somebody asks for it (format(), detail()).
// The machine knows no device: a device's events carry the device's own
// TraceDecoder, which says how they are tagged and described.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bus {

struct TraceEvent;

// How the events of one kind of device register, or of a device's work,
// read in the trace. A device defines one for each kind it records (in
// static storage, since events point at it) and puts it in those events;
// the trace formats them through it.
struct TraceDecoder {
  const char *tag;      // starts the event's line ("pci", "ctrl", "tpm")
  const char *category; // what the events are, in the JSON trace
  // The event's description; null: its name.
  std::string (*describe)(const TraceEvent &) = nullptr;
};

struct TraceEvent {
  enum class Kind : std::uint8_t {
    Port,     // IN / OUT; name: the port range
    Msr,      // RDMSR / WRMSR; name: the MSR
    Register, // a device's register; decoder: the device's, flags: its own
    Memory,   // other modelled memory-mapped registers and the high window
    String,   // a rep stos / rep movs carried out at once (see below)
    Work,     // work a device did, lasting `duration`; decoder: the device's
    Service,  // a PEI service or PPI function the platform provides
    Call,     // a host-to-guest call, and its return (returned set)
  };
  // Flag of Call events: the call has returned (value: EAX).
  static constexpr std::uint8_t kReturned = 1;
  // Flags of String events: address is the destination, value the count of
  // elements of `size` bytes, source the source of a move.
  static constexpr std::uint8_t kMove = 1;     // rep movs, else rep stos
  static constexpr std::uint8_t kBackward = 2; // direction flag set

  // Service events: how many 32-bit words of decoded arguments they keep.
  static constexpr std::size_t kArguments = 8;

  Kind kind = Kind::Port;
  bool write = false;
  std::uint8_t size = 0; // access width in bytes, 0 when not an access
  std::uint8_t flags = 0;
  std::uint32_t instruction = 0; // guest address of the instruction, 0 if none
  std::uint64_t address = 0;     // port, MSR index, register or address; Work:
                                 // what was done (a TPM command's code)
  std::uint64_t value = 0;       // Service: its EFI status; Work: its outcome
  std::uint64_t source = 0;      // String: where a move reads
  // A static name: the decoded register or field, or the service.
  const char *name = nullptr;
  // A name or text made by the platform's models (a port range, an MSR, a
  // name a service was called with, a guest call); shared, not copied.
  std::shared_ptr<const std::string> text = nullptr;
  // Register and Work events: how the device that recorded them decodes them.
  const TraceDecoder *decoder = nullptr;
  // When the event happened (its end, for one that lasts), and how long it
  // lasted, in nanoseconds since the trace began.
  std::uint64_t time = 0;
  std::uint64_t duration = 0;
  // Service events: the call's decoded arguments, as the decoder (the
  // called function's table entry) lays them out. Their flags have bit n set
  // when argument n was null, address is the note of the answer (1 + its
  // index among the decoder's notes, 0 for none), source the number the note
  // shows, and text a name the call passed.
  std::array<std::uint32_t, kArguments> arguments{};

  // The decoded name or description, as format() shows it.
  std::string detail() const;
  // Whether the static name is `what` (names are compared as text: the same
  // name may be stored at different addresses).
  bool named(std::string_view what) const {
    return name != nullptr && what == name;
  }
  // Whether a device recorded the event through decoder.
  bool from(const TraceDecoder &which) const { return decoder == &which; }
  // What the event is, for grouping: the decoder's category, or one the
  // kind gives ("port", "msr", "string", "memory", ...).
  const char *category() const;
};

// One line per event, for people.
std::string format(const TraceEvent &event);

class Trace {
public:
  // Events past the limit are counted but not kept, so a guest that polls for
  // a long time cannot exhaust the host's memory.
  static constexpr std::size_t kDefaultLimit = 500'000;
  explicit Trace(std::size_t limit = kDefaultLimit) : limit_(limit) {}

  // Stamps the event's time and keeps it (or counts it past the limit).
  void add(TraceEvent event);
  void clear();

  // True when the next event would be kept: callers that would have to make
  // text for an event skip it when nobody keeps the event.
  bool keeping() const { return events_.size() < limit_; }
  // Counts an event that was not made because keeping() was false.
  void drop() { ++dropped_; }

  const std::vector<TraceEvent> &events() const { return events_; }
  std::size_t dropped() const { return dropped_; }
  void setLimit(std::size_t limit) { limit_ = limit; }
  // Nanoseconds since the trace began.
  std::uint64_t now() const;
  std::chrono::steady_clock::time_point began() const { return began_; }

  // The events of one kind, or recorded through one decoder, in order.
  std::vector<TraceEvent> of(TraceEvent::Kind kind) const;
  std::vector<TraceEvent> of(const TraceDecoder &decoder) const;
  // Every event formatted, one per line, plus a note of dropped events.
  std::vector<std::string> lines() const;

private:
  std::size_t limit_;
  std::size_t dropped_ = 0;
  std::vector<TraceEvent> events_;
  std::chrono::steady_clock::time_point began_ =
      std::chrono::steady_clock::now();
};

} // namespace bus
