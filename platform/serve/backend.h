// What the simulator endpoint drives: a platform with a TPM behind it. The
// protocols only frame commands and signals; everything a command does
// happens in the backend.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace serve {

class Backend {
public:
  virtual ~Backend() = default;

  // Power on: when the platform is off, boot it; when it is on already,
  // change nothing (every client initialisation sends this).
  virtual void powerOn() = 0;
  // Power off, like pulling the plug: no orderly TPM shutdown.
  virtual void powerOff() = 0;
  // A platform reset: power off, then on again.
  virtual void reset() = 0;
  // The simulator's "NV available" signal; the TPM's NV is always there.
  virtual void nvOn() = 0;
  [[nodiscard]] virtual bool isOn() const = 0;

  // Runs one TPM command and returns its response. Never throws for a
  // command the TPM cannot run: the answer is then a TPM error response,
  // and the reason goes to the log.
  virtual std::vector<std::uint8_t>
  transact(std::span<const std::uint8_t> command) = 0;

  // What a stop did with the TPM's state: `ok` is false when the state
  // should have been saved and was not; `text` says which, and why.
  struct StopOutcome {
    bool ok = true;
    std::string text;
  };
  // Stop of the server: leave the TPM state saved.
  virtual StopOutcome stop() = 0;

  // Largest TPM command the backend accepts, in bytes.
  [[nodiscard]] virtual std::uint32_t maxCommandSize() const { return 4096; }

  // Names for the log.
  [[nodiscard]] virtual std::string commandName(std::uint32_t code) const;
  [[nodiscard]] virtual std::string responseCodeText(std::uint32_t rc) const;

  // Where the backend writes its own log lines (boot report, reasons) and,
  // when `trace` is set, the platform's record of each command.
  void setLog(std::ostream *log, bool verbose, bool trace) {
    log_ = log;
    verbose_ = verbose;
    trace_ = trace;
  }

protected:
  std::ostream *log_ = nullptr;
  bool verbose_ = false;
  bool trace_ = false;
};

} // namespace serve
