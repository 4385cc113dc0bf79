// The record of everything the guest did at the platform's edges, in order:
// port, MSR, PCI configuration and co-processor control-area accesses with
// their values, and each service call with its answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace machine {

struct TraceEvent {
  enum class Kind {
    Port,        // IN / OUT
    Msr,         // RDMSR / WRMSR
    PciConfig,   // a configuration register, decoded to bus:dev.fn + register
    ControlArea, // the co-processor's control area
    Memory,      // other modelled memory-mapped registers and the high window
    Service,     // a PEI service or PPI function the platform provides
    Call,        // a host-to-guest call and its result
  };
  Kind kind = Kind::Port;
  bool write = false;
  std::uint32_t instruction = 0; // guest address of the instruction, 0 if none
  std::uint64_t address = 0;     // port, MSR index, register or address
  unsigned size = 0;             // access width in bytes, 0 when not an access
  std::uint64_t value = 0;
  std::string detail; // decoded name, or the service call and its answer
};

// One line per event, for people.
std::string format(const TraceEvent &event);

class Trace {
public:
  // Events past the limit are counted but not kept, so a guest that polls for
  // a long time cannot exhaust the host's memory.
  explicit Trace(std::size_t limit = 500'000) : limit_(limit) {}

  void add(TraceEvent event);
  void clear();

  const std::vector<TraceEvent> &events() const { return events_; }
  std::size_t dropped() const { return dropped_; }
  void setLimit(std::size_t limit) { limit_ = limit; }

  // The events of one kind, in order.
  std::vector<TraceEvent> of(TraceEvent::Kind kind) const;
  // Every event formatted, one per line, plus a note of dropped events.
  std::vector<std::string> lines() const;

private:
  std::size_t limit_;
  std::size_t dropped_ = 0;
  std::vector<TraceEvent> events_;
};

} // namespace machine
