#include "trace.h"

#include "hex.h"

namespace bus {

using common::hex;

namespace {

// A line's tag in a column of its own: "pci  ", "mem  ".
std::string tagged(std::string_view tag) {
  constexpr std::size_t kWidth = 5;
  std::string text(tag);
  text.append(text.size() < kWidth ? kWidth - text.size() : 1, ' ');
  return text;
}

// "rep movsb backward from 0x00080000" (the line gives the range).
std::string stringDetail(const TraceEvent &event) {
  const bool move = event.flags & TraceEvent::kMove;
  std::string text =
      std::string(move ? "rep movs" : "rep stos") +
      (event.size == 4 ? "l " : "b ") +
      ((event.flags & TraceEvent::kBackward) ? "backward" : "forward");
  return move ? text + " from " + hex(event.source, 8) : text;
}

} // namespace

std::string TraceEvent::detail() const {
  if (decoder != nullptr && decoder->describe != nullptr) {
    return decoder->describe(*this);
  }
  switch (kind) {
  case Kind::String:
    return stringDetail(*this);
  case Kind::Call:
    return (flags & kReturned) && text ? *text + " returned " + hex(value, 8)
                                       : (text ? *text : std::string());
  default:
    break;
  }
  if (text) {
    return *text;
  }
  return name != nullptr ? std::string(name) : std::string();
}

const char *TraceEvent::category() const {
  switch (kind) {
  case Kind::Port:
    return "port";
  case Kind::Msr:
    return "msr";
  case Kind::Register:
  case Kind::Work:
    return decoder != nullptr ? decoder->category : "device";
  case Kind::String:
    return "string";
  default:
    return "memory";
  }
}

std::string format(const TraceEvent &event) {
  const unsigned bits = event.size * 8u;
  const std::string detail = event.detail();
  std::string line;
  switch (event.kind) {
  case TraceEvent::Kind::Port:
    line = std::string(event.write ? "out " : "in  ") + "port " +
           hex(event.address, 4) + " /" + std::to_string(bits) +
           (event.write ? " <- " : " -> ") + hex(event.value, event.size * 2);
    break;
  case TraceEvent::Kind::Msr:
    line = std::string(event.write ? "wrmsr " : "rdmsr ") +
           hex(event.address, 8) + (event.write ? " <- " : " -> ") +
           hex(event.value, 16);
    break;
  case TraceEvent::Kind::Register:
  case TraceEvent::Kind::Memory:
    line = tagged(event.decoder != nullptr ? event.decoder->tag : "mem") +
           (event.write ? "write " : "read  ") + hex(event.address, 8) + " /" +
           std::to_string(bits) + (event.write ? " <- " : " -> ") +
           hex(event.value, event.size * 2);
    break;
  case TraceEvent::Kind::String:
    line = "mem  " +
           std::string(event.flags & TraceEvent::kMove ? "copy  " : "fill  ") +
           hex(event.address, 8) + " +" + hex(event.value * event.size);
    break;
  case TraceEvent::Kind::Work:
    return tagged(event.decoder != nullptr ? event.decoder->tag : "work") +
           detail;
  case TraceEvent::Kind::Service:
    line = "call " + detail;
    return event.instruction != 0
               ? line + "  [from " + hex(event.instruction, 8) + "]"
               : line;
  case TraceEvent::Kind::Call:
    return "run  " + detail;
  }
  if (!detail.empty()) {
    line += "  " + detail;
  }
  if (event.instruction != 0) {
    line += "  [at " + hex(event.instruction, 8) + "]";
  }
  return line;
}

std::uint64_t Trace::now() const {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::steady_clock::now() - began_)
          .count());
}

void Trace::add(TraceEvent event) {
  if (!keeping()) {
    ++dropped_;
    return;
  }
  event.time = now();
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

std::vector<TraceEvent> Trace::of(const TraceDecoder &decoder) const {
  std::vector<TraceEvent> found;
  for (const TraceEvent &event : events_) {
    if (event.from(decoder)) {
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

} // namespace bus
