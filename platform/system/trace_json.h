// The platform's access record in the Chrome trace event format: a JSON array
// of events that Perfetto (ui.perfetto.dev) and chrome://tracing open.
//
// Guest calls (dispatches, notifications, transport calls) are duration
// slices with their result; the service calls the module made and the TPM
// commands the co-processor ran are slices inside them with their status;
// hardware accesses and string instructions are instant events named by the
// register they decode to.
#pragma once

#include "trace.h"

#include <chrono>
#include <cstddef>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>

namespace platform {

class TraceJson {
public:
  // Opens (truncates) the file; throws std::runtime_error when it cannot.
  explicit TraceJson(const std::string &path);
  // Closes the array.
  ~TraceJson();
  TraceJson(const TraceJson &) = delete;
  TraceJson &operator=(const TraceJson &) = delete;

  // Appends the events of a trace (and a note of those it dropped). Times
  // count from one origin, whichever trace they came from, so that the
  // records of several boots line up: the opening of the file, or the start
  // of the first trace appended if that was earlier.
  void append(const bus::Trace &trace);
  // Puts each event on the track of the module it came from (a guest
  // call: the module its entry lies in), one track per module, named;
  // events no module claims stay on track 1.
  struct Track {
    int id = 1;
    std::string name;
  };
  void setTracks(std::function<std::optional<Track>(std::uint32_t)> tracks) {
    tracks_ = std::move(tracks);
  }
  // Events written so far.
  std::size_t written() const { return written_; }

private:
  void write(const std::string &object);

  std::ofstream out_;
  std::chrono::steady_clock::time_point began_;
  std::size_t written_ = 0;
  std::function<std::optional<Track>(std::uint32_t)> tracks_;
  std::set<int> named_;
};

} // namespace platform
