// The TPM 2.0 behind the co-processor: libtpms, with its non-volatile state
// kept in files of a state directory so that it survives restarts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace tpm {

// Thrown when the engine cannot be set up or started: a second engine in the
// process, a state directory that cannot be created, state libtpms refuses.
class TpmEngineError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// One TPM 2.0. libtpms keeps its whole state in process-global variables, so
// at most one engine may exist at a time in a process; constructing a second
// throws TpmEngineError. Engines may follow one another: the next one picks
// up the non-volatile state the previous one left in the directory.
//
// All members are safe to call from several threads; commands run one at a
// time, as on a real TPM.
class TpmEngine {
public:
  // The non-volatile state lives in stateDir (created if missing) in files
  // named as libtpms names them ("tpm2-00.permall" ...). The engine starts
  // powered off.
  explicit TpmEngine(std::filesystem::path stateDir);
  // Powers off. Non-volatile state is written as the TPM changes it, so
  // nothing is lost here; volatile state is lost, as on a power cut.
  ~TpmEngine();

  TpmEngine(const TpmEngine &) = delete;
  TpmEngine &operator=(const TpmEngine &) = delete;

  // Applies power and _TPM_Init: libtpms loads the non-volatile state (or
  // manufactures a fresh TPM when there is none). The TPM then needs
  // TPM2_Startup. Does nothing when already on. Throws TpmEngineError when
  // libtpms refuses to start, e.g. from a damaged state file.
  void powerOn();
  // Removes power: volatile state (PCRs, loaded objects, sessions) is lost.
  // Does nothing when already off.
  void powerOff();
  bool isOn() const;

  // Runs one command and returns the TPM's response bytes. When the engine
  // is off, or libtpms fails to produce a response, the answer is a
  // well-formed 10-byte error response with TPM_RC_FAILURE.
  std::vector<std::uint8_t> process(std::span<const std::uint8_t> command);

  const std::filesystem::path &stateDir() const { return stateDir_; }
  // The last problem the engine met that a response code cannot carry (a
  // state file that could not be written, a libtpms failure); empty if none.
  std::string lastError() const;

private:
  struct FreeDeleter {
    void operator()(unsigned char *buffer) const;
  };

  std::filesystem::path stateDir_;
  mutable std::mutex mutex_;
  bool on_ = false;
  // libtpms grows this buffer with realloc and reuses it for every response.
  std::unique_ptr<unsigned char, FreeDeleter> responseBuffer_;
  std::uint32_t responseBufferSize_ = 0;
};

} // namespace tpm
