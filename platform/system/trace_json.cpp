#include "trace_json.h"

#include "coprocessor.h"
#include "efi.h"
#include "hex.h"
#include "tpm_names.h"

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <vector>

namespace platform {

namespace {

using bus::TraceEvent;
using common::hex;
using Json = nlohmann::json;

// Chrome trace times are microseconds.
double micros(std::uint64_t nanoseconds) { return nanoseconds / 1000.0; }

Json slice(const std::string &name, const char *category, std::uint64_t begin,
           std::uint64_t end, Json args, int track = 1) {
  return {{"name", name},
          {"cat", category},
          {"ph", "X"},
          {"ts", micros(begin)},
          {"dur", micros(end > begin ? end - begin : 0)},
          {"pid", 1},
          {"tid", track},
          {"args", std::move(args)}};
}

Json instant(const std::string &name, const char *category, std::uint64_t at,
             Json args, int track = 1) {
  return {{"name", name}, {"cat", category},        {"ph", "i"},
          {"s", "t"},     {"ts", micros(at)},       {"pid", 1},
          {"tid", track}, {"args", std::move(args)}};
}

// Every event but a guest call, as one slice or instant; end is its time
// in this file.
Json eventJson(const TraceEvent &e, std::uint64_t end, int track) {
  const std::uint64_t begin = end - std::min(end, e.duration);
  switch (e.kind) {
  case TraceEvent::Kind::Service:
    return slice(
        e.name ? e.name : "service", "service", begin, end,
        {{"call", e.detail()},
         {"status", efi::statusName(static_cast<std::uint32_t>(e.value))}},
        track);
  case TraceEvent::Kind::Work:
    if (e.from(devices::kTpmCommandTrace)) {
      return slice(tpm::commandName(static_cast<std::uint32_t>(e.address)),
                   e.category(), begin, end,
                   {{"command code", hex(e.address, 8)},
                    {"response", tpm::describeResponseCode(
                                     static_cast<std::uint32_t>(e.value))}},
                   track);
    }
    return slice(e.detail(), e.category(), begin, end, Json::object(), track);
  default: {
    const std::string detail = e.detail();
    return instant(detail.empty() ? e.category() : detail, e.category(), end,
                   {{"access", bus::format(e)}}, track);
  }
  }
}

} // namespace

TraceJson::TraceJson(const std::string &path)
    : out_(path, std::ios::trunc), began_(std::chrono::steady_clock::now()) {
  if (!out_) {
    throw std::runtime_error(path + ": cannot be written");
  }
  out_ << "[";
}

TraceJson::~TraceJson() { out_ << "\n]\n"; }

void TraceJson::write(const std::string &object) {
  out_ << (written_ == 0 ? "\n" : ",\n") << object;
  ++written_;
}

void TraceJson::append(const bus::Trace &trace) {
  // The trace's own times count from its start; this file's from the
  // earliest trace it holds (a trace may have begun before the file).
  if (written_ == 0) {
    began_ = std::min(began_, trace.began());
  }
  const auto offset = static_cast<std::int64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(trace.began() -
                                                           began_)
          .count());
  auto at = [offset](std::uint64_t time) {
    const std::int64_t shifted = static_cast<std::int64_t>(time) + offset;
    return static_cast<std::uint64_t>(shifted > 0 ? shifted : 0);
  };
  // The guest call that has started and not yet returned (calls do not
  // nest): it becomes one slice when it returns.
  const TraceEvent *open = nullptr;
  std::uint64_t last = 0;
  // The track of an event: the module its instruction (a call: its entry)
  // lies in, when tracks are set; each named once, as it first appears.
  auto trackOf = [this](std::uint32_t address) {
    if (!tracks_) {
      return 1;
    }
    const std::optional<Track> track = tracks_(address);
    if (!track) {
      return 1;
    }
    if (named_.insert(track->id).second) {
      write(Json{{"name", "thread_name"},
                 {"ph", "M"},
                 {"pid", 1},
                 {"tid", track->id},
                 {"args", {{"name", track->name}}}}
                .dump());
    }
    return track->id;
  };
  int callTrack = 1;
  for (const TraceEvent &e : trace.events()) {
    last = at(e.time);
    switch (e.kind) {
    case TraceEvent::Kind::Call:
      if (!(e.flags & TraceEvent::kReturned)) {
        open = &e;
        callTrack = trackOf(static_cast<std::uint32_t>(e.address));
      } else if (open != nullptr) {
        write(slice(e.text ? *e.text : "guest call", "guest call",
                    at(open->time), at(e.time),
                    {{"call", open->detail()}, {"returned", hex(e.value, 8)}},
                    callTrack)
                  .dump());
        open = nullptr;
      }
      break;
    default:
      write(eventJson(e, at(e.time),
                      e.instruction ? trackOf(e.instruction) : callTrack)
                .dump());
    }
  }
  if (open != nullptr) {
    write(slice(open->detail(), "guest call", at(open->time), last,
                {{"call", open->detail()}, {"returned", "never (stopped)"}},
                callTrack)
              .dump());
  }
  if (trace.dropped() != 0) {
    write(instant("trace limit reached", "trace", last,
                  {{"events not kept", trace.dropped()}})
              .dump());
  }
  out_.flush();
}

} // namespace platform
