// The TPM 2.0 behind the co-processor: libtpms, with its non-volatile state
// kept in files of a state directory so that it survives restarts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
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
  // Shuts the TPM down in order and powers off (powerOffOrderly): the
  // state is saved, and the next engine on the directory starts cleanly.
  ~TpmEngine();

  TpmEngine(const TpmEngine &) = delete;
  TpmEngine &operator=(const TpmEngine &) = delete;

  // Applies power and _TPM_Init: libtpms loads the non-volatile state (or
  // manufactures a fresh TPM when there is none). The TPM then needs
  // TPM2_Startup. Does nothing when already on. Throws TpmEngineError when
  // libtpms refuses to start, e.g. from a damaged state file.
  void powerOn();
  // Removes power at once, as a power cut: volatile state (PCRs, loaded
  // objects, sessions) is lost, and the TPM counts the cut as an unorderly
  // shutdown. After three such cuts in which dictionary-attack protected
  // authorisations were used, the TPM locks those out (TPM_RC_LOCKOUT), as
  // a real TPM does. Does nothing when already off.
  void powerOff();
  // The TPM's answers to an orderly shutdown: to TPM2_Shutdown(STATE), and
  // to the TPM2_Shutdown(CLEAR) that follows when the TPM refused to save a
  // state to resume from (see needsClearShutdown).
  struct ShutdownAnswers {
    std::uint32_t state = 0;
    std::optional<std::uint32_t> clear;
  };
  // Whether this answer to TPM2_Shutdown(STATE) is the TPM declining to save
  // a state to resume from, so that the shutdown is to be made with
  // TPM2_Shutdown(CLEAR) instead: TPM_RC_TYPE for the shutdown type, what a
  // TPM answers while a change of its PCR allocation (TPM2_PCR_Allocate) is
  // pending. That change takes effect at the next TPM2_Startup(CLEAR), so
  // there is nothing to resume; the CLEAR shutdown still writes what the
  // TPM keeps in memory until an orderly shutdown (the clock, the data of
  // orderly NV indices) and spares the next boot the penalties of an
  // unorderly one.
  static bool needsClearShutdown(std::uint32_t stateRc);
  // What an operating system does before turning the power off: sends
  // TPM2_Shutdown(TPM_SU_STATE) (and TPM2_Shutdown(TPM_SU_CLEAR) when that
  // is refused, see needsClearShutdown), then removes power. The shutdown
  // is orderly, so no dictionary-attack penalty follows, and a later
  // TPM2_Startup(STATE) could resume. Returns the TPM's answers
  // (TPM_RC_INITIALIZE when the TPM had not been started; 0 when the engine
  // was already off).
  ShutdownAnswers powerOffOrderly();
  bool isOn() const;

  // What the answers to the orderly shutdown (powerOffOrderly(), or the
  // same commands sent through the firmware) mean for the state on disk.
  // `ok` is false when the state should have been saved and was not; `text`
  // says which, with the cause (a full disk ...) when there is one.
  struct SaveOutcome {
    bool ok;
    std::string text;
  };
  SaveOutcome describeShutdown(const ShutdownAnswers &answers) const;

  // Why the TPM cannot serve commands: off, or in failure mode since a
  // command of this power cycle was answered with TPM_RC_FAILURE (with the
  // command and the cause: a state file that could not be written ...);
  // empty when it can.
  std::string unusable() const;

  // Runs one command and returns the TPM's response bytes. When the engine
  // is off, or libtpms fails to produce a response, the answer is a
  // well-formed 10-byte error response with TPM_RC_FAILURE.
  std::vector<std::uint8_t> process(std::span<const std::uint8_t> command);

  const std::filesystem::path &stateDir() const { return stateDir_; }
  // The last problem the engine met that a response code cannot carry (a
  // state file that could not be written, a libtpms failure); empty if none.
  std::string lastError() const;

private:
  void powerOffLocked();
  std::vector<std::uint8_t>
  processLocked(std::span<const std::uint8_t> command);

  struct FreeDeleter {
    void operator()(unsigned char *buffer) const;
  };

  std::filesystem::path stateDir_;
  mutable std::mutex mutex_;
  bool on_ = false;
  // The copy of the command libtpms runs (it wants a mutable buffer).
  std::vector<unsigned char> request_;
  // libtpms grows this buffer with realloc and reuses it for every response.
  std::unique_ptr<unsigned char, FreeDeleter> responseBuffer_;
  std::uint32_t responseBufferSize_ = 0;
  // Set by the first TPM_RC_FAILURE answer after power on.
  bool failureMode_ = false;
};

} // namespace tpm
