#include "trace.h"

#include "hex.h"

namespace machine {

std::string format(const TraceEvent &event) {
  std::string line;
  switch (event.kind) {
  case TraceEvent::Kind::Port:
    line = std::string(event.write ? "out " : "in  ") + "port " +
           hex(event.address, 4) + " /" + std::to_string(event.size * 8) +
           (event.write ? " <- " : " -> ") + hex(event.value, event.size * 2);
    break;
  case TraceEvent::Kind::Msr:
    line = std::string(event.write ? "wrmsr " : "rdmsr ") +
           hex(event.address, 8) + (event.write ? " <- " : " -> ") +
           hex(event.value, 16);
    break;
  case TraceEvent::Kind::PciConfig:
  case TraceEvent::Kind::ControlArea:
  case TraceEvent::Kind::Memory:
    line =
        std::string(event.kind == TraceEvent::Kind::PciConfig     ? "pci  "
                    : event.kind == TraceEvent::Kind::ControlArea ? "ctrl "
                                                                  : "mem  ") +
        (event.write ? "write " : "read  ") + hex(event.address, 8) + " /" +
        std::to_string(event.size * 8) + (event.write ? " <- " : " -> ") +
        hex(event.value, event.size * 2);
    break;
  case TraceEvent::Kind::Service:
    line = "call " + event.detail;
    return event.instruction != 0
               ? line + "  [from " + hex(event.instruction, 8) + "]"
               : line;
  case TraceEvent::Kind::Call:
    return "run  " + event.detail;
  }
  if (!event.detail.empty()) {
    line += "  " + event.detail;
  }
  if (event.instruction != 0) {
    line += "  [at " + hex(event.instruction, 8) + "]";
  }
  return line;
}

void Trace::add(TraceEvent event) {
  if (events_.size() >= limit_) {
    ++dropped_;
    return;
  }
  events_.push_back(std::move(event));
}

void Trace::clear() {
  events_.clear();
  dropped_ = 0;
}

std::vector<TraceEvent> Trace::of(TraceEvent::Kind kind) const {
  std::vector<TraceEvent> found;
  for (const TraceEvent &event : events_) {
    if (event.kind == kind) {
      found.push_back(event);
    }
  }
  return found;
}

std::vector<std::string> Trace::lines() const {
  std::vector<std::string> out;
  out.reserve(events_.size() + 1);
  for (const TraceEvent &event : events_) {
    out.push_back(format(event));
  }
  if (dropped_ != 0) {
    out.push_back("... " + std::to_string(dropped_) +
                  " further events not kept (trace limit reached)");
  }
  return out;
}

} // namespace machine
