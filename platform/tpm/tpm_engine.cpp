#include "tpm_engine.h"

#include "file_descriptor.h"
#include "tpm_names.h"

#include <libtpms/tpm_error.h>
#include <libtpms/tpm_library.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <system_error>

namespace tpm {
namespace {

// libtpms calls back into plain C functions without a context pointer, so
// the one live engine's storage settings sit here. Only the engine that
// claimed the slot touches them, and only while holding its mutex (libtpms
// calls the storage callbacks from inside MainInit and Process).
std::atomic<bool> engineExists{false};
// libtpms's whole NV is some tens of KiB; a state file larger than this is
// not one it wrote.
constexpr off_t kMaxStateFileSize = 1024 * 1024;
std::filesystem::path activeStateDir;
std::string engineError;

// File names follow libtpms's own file backend ("tpm2-00.permall"), so a
// state directory can also be inspected or reused with libtpms's tools.
std::filesystem::path stateFile(std::uint32_t tpmNumber, const char *name) {
  std::array<char, 16> prefix{};
  std::snprintf(prefix.data(), prefix.size(), "tpm2-%02x.",
                static_cast<unsigned>(tpmNumber & 0xFF));
  return activeStateDir / (std::string(prefix.data()) + name);
}

std::string errnoText(const std::filesystem::path &path) {
  return path.string() + ": " + std::strerror(errno);
}

TPM_RESULT nvramInit() {
  std::error_code error;
  std::filesystem::create_directories(activeStateDir, error);
  if (error) {
    engineError = "cannot create TPM state directory " +
                  activeStateDir.string() + ": " + error.message();
    return TPM_FAIL;
  }
  return TPM_SUCCESS;
}

// libtpms frees what this returns with free(), so the data is malloc'ed.
// TPM_RETRY tells libtpms that there is no such state yet.
TPM_RESULT nvramLoad(unsigned char **data, uint32_t *length, uint32_t tpmNumber,
                     const char *name) {
  *data = nullptr;
  *length = 0;
  const std::filesystem::path path = stateFile(tpmNumber, name);
  common::FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) {
    if (errno == ENOENT)
      return TPM_RETRY;
    engineError = "cannot open TPM state " + errnoText(path);
    return TPM_FAIL;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) {
    engineError = "cannot size TPM state " + errnoText(path);
    return TPM_FAIL;
  }
  if (!S_ISREG(info.st_mode) || info.st_size > kMaxStateFileSize) {
    engineError =
        "TPM state " + path.string() + ": expected a regular file of at most " +
        std::to_string(kMaxStateFileSize) + " bytes, found " +
        (S_ISREG(info.st_mode) ? std::to_string(info.st_size) + " bytes"
                               : std::string("something else"));
    return TPM_FAIL;
  }
  const auto size = static_cast<std::size_t>(info.st_size);
  auto *buffer = static_cast<unsigned char *>(std::malloc(size ? size : 1));
  if (buffer == nullptr) {
    engineError = "out of memory reading " + path.string();
    return TPM_FAIL;
  }
  std::size_t done = 0;
  while (done < size) {
    ssize_t got = ::read(file.get(), buffer + done, size - done);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0) {
      std::free(buffer);
      engineError = "cannot read TPM state " + errnoText(path);
      return TPM_FAIL;
    }
    done += static_cast<std::size_t>(got);
  }
  *data = buffer;
  *length = static_cast<uint32_t>(size);
  return TPM_SUCCESS;
}

// Written to a temporary file in the same directory, flushed to disk and
// renamed over the old one, and the directory flushed after it, so that a
// crash or power cut leaves either the old or the new state, never a torn
// file. A write that fails (a full disk) leaves no temporary file behind and
// the cause in engineError.
TPM_RESULT nvramStore(const unsigned char *data, uint32_t length,
                      uint32_t tpmNumber, const char *name) {
  const std::filesystem::path path = stateFile(tpmNumber, name);
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  common::FileDescriptor file(::open(
      temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!file.valid()) {
    engineError = "cannot write TPM state " + errnoText(temporary);
    return TPM_FAIL;
  }
  const auto fail = [&](const char *what) {
    engineError = what + errnoText(temporary);
    ::unlink(temporary.c_str());
    return TPM_FAIL;
  };
  std::size_t written = 0;
  if (!file.writeAll(std::as_bytes(std::span(data, length)), written))
    return fail("cannot write TPM state ");
  if (::fsync(file.get()) != 0 || !file.close())
    return fail("cannot flush TPM state ");
  if (::rename(temporary.c_str(), path.c_str()) != 0)
    return fail("cannot replace TPM state with ");
  common::FileDescriptor directory(
      ::open(activeStateDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid() || ::fsync(directory.get()) != 0) {
    engineError =
        "cannot flush TPM state directory " + errnoText(activeStateDir);
    return TPM_FAIL;
  }
  return TPM_SUCCESS;
}

TPM_RESULT nvramDelete(uint32_t tpmNumber, const char *name,
                       TPM_BOOL mustExist) {
  const std::filesystem::path path = stateFile(tpmNumber, name);
  if (::unlink(path.c_str()) == 0)
    return TPM_SUCCESS;
  if (errno == ENOENT && !mustExist)
    return TPM_SUCCESS;
  engineError = "cannot delete TPM state " + errnoText(path);
  return TPM_FAIL;
}

// libtpms prints its diagnostics to a file descriptor, and on failure mode
// the diagnostics include a dump of the failing command, whose parameters
// may be secrets (the data of an NV write, a key's sensitive part). They go
// nowhere; the engine reports failure mode itself, by command and response
// code.
int diagnosticsSink() {
  static const common::FileDescriptor sink(
      ::open("/dev/null", O_WRONLY | O_CLOEXEC));
  return sink.get();
}

} // namespace

void TpmEngine::FreeDeleter::operator()(unsigned char *buffer) const {
  std::free(buffer);
}

TpmEngine::TpmEngine(std::filesystem::path stateDir)
    : stateDir_(std::move(stateDir)) {
  if (engineExists.exchange(true))
    throw TpmEngineError(
        "a TPM engine already exists in this process (libtpms keeps its "
        "state in process-global variables, so only one TPM can run at a "
        "time); destroy it before creating one for " +
        stateDir_.string());
  std::error_code error;
  std::filesystem::create_directories(stateDir_, error);
  if (!error && !std::filesystem::is_directory(stateDir_, error))
    error = std::make_error_code(std::errc::not_a_directory);
  if (error) {
    engineExists = false;
    throw TpmEngineError("cannot use TPM state directory " +
                         stateDir_.string() + ": " + error.message());
  }
}

TpmEngine::~TpmEngine() {
  powerOffOrderly();
  engineExists = false;
}

void TpmEngine::powerOn() {
  std::lock_guard lock(mutex_);
  if (on_)
    return;
  activeStateDir = stateDir_;
  engineError.clear();
  libtpms_callbacks callbacks{};
  callbacks.sizeOfStruct = sizeof(callbacks);
  callbacks.tpm_nvram_init = nvramInit;
  callbacks.tpm_nvram_loaddata = nvramLoad;
  callbacks.tpm_nvram_storedata = nvramStore;
  callbacks.tpm_nvram_deletename = nvramDelete;
  TPMLIB_SetDebugFD(diagnosticsSink());
  failureMode_ = false;
  TPM_RESULT result = TPMLIB_ChooseTPMVersion(TPMLIB_TPM_VERSION_2);
  if (result == TPM_SUCCESS)
    result = TPMLIB_RegisterCallbacks(&callbacks);
  if (result == TPM_SUCCESS)
    result = TPMLIB_MainInit();
  if (result != TPM_SUCCESS) {
    // Leave libtpms clean for a later attempt.
    TPMLIB_Terminate();
    std::string reason = "libtpms could not power on the TPM from state "
                         "directory " +
                         stateDir_.string() + " (TPM_RESULT " + hex32(result) +
                         ")";
    if (!engineError.empty())
      reason += ": " + engineError;
    throw TpmEngineError(reason);
  }
  on_ = true;
}

void TpmEngine::powerOff() {
  std::lock_guard lock(mutex_);
  powerOffLocked();
}

void TpmEngine::powerOffLocked() {
  if (!on_)
    return;
  TPMLIB_Terminate();
  on_ = false;
}

bool TpmEngine::needsClearShutdown(std::uint32_t stateRc) {
  // TPM_RC_TYPE, for parameter 1 (the shutdown type).
  return stateRc == 0x1CA;
}

TpmEngine::ShutdownAnswers TpmEngine::powerOffOrderly() {
  std::lock_guard lock(mutex_);
  if (!on_)
    return {};
  ShutdownAnswers answers;
  answers.state = responseCodeOf(processLocked(shutdownCommand(kSuState)))
                      .value_or(kRcFailure);
  if (needsClearShutdown(answers.state)) {
    answers.clear = responseCodeOf(processLocked(shutdownCommand(kSuClear)))
                        .value_or(kRcFailure);
  }
  powerOffLocked();
  return answers;
}

TpmEngine::SaveOutcome
TpmEngine::describeShutdown(const ShutdownAnswers &answers) const {
  if (answers.state == kRcSuccess)
    return {true, "TPM state saved"};
  if (answers.state == kRcInitialize)
    return {true, "the TPM was never started (TPM2_Startup), so its saved "
                  "state is unchanged"};
  if (answers.clear == kRcSuccess)
    return {true, "TPM2_Shutdown(STATE) refused with " +
                      responseCodeName(answers.state) +
                      ", the answer while a PCR allocation change "
                      "(tpm2_pcrallocate) is pending: it takes effect at the "
                      "next TPM2_Startup(CLEAR), so there is no state to "
                      "resume; shut down with TPM2_Shutdown(CLEAR) instead, "
                      "and the NV state on disk is current"};
  std::string text = "the TPM state was not saved: TPM2_Shutdown(STATE) "
                     "answered " +
                     responseCodeName(answers.state);
  if (answers.clear)
    text += ", and TPM2_Shutdown(CLEAR) after it " +
            responseCodeName(*answers.clear);
  const std::string cause = lastError();
  if (!cause.empty())
    text += " (" + cause + ")";
  return {false, text};
}

std::string TpmEngine::unusable() const {
  std::lock_guard lock(mutex_);
  if (!on_)
    return "the TPM is powered off";
  return failureMode_ ? engineError : std::string();
}

bool TpmEngine::isOn() const {
  std::lock_guard lock(mutex_);
  return on_;
}

std::string TpmEngine::lastError() const {
  std::lock_guard lock(mutex_);
  return engineError;
}

std::vector<std::uint8_t>
TpmEngine::process(std::span<const std::uint8_t> command) {
  std::lock_guard lock(mutex_);
  return processLocked(command);
}

std::vector<std::uint8_t>
TpmEngine::processLocked(std::span<const std::uint8_t> command) {
  if (!on_)
    return errorResponse(kRcFailure);
  if (command.size() > UINT32_MAX) {
    engineError = "command of " + std::to_string(command.size()) +
                  " bytes is too large for libtpms";
    return errorResponse(kRcFailure);
  }
  // libtpms takes a mutable command buffer; give it a copy, in a buffer
  // kept from command to command so that a command allocates nothing for it.
  request_.assign(command.begin(), command.end());
  unsigned char *buffer = responseBuffer_.release();
  std::uint32_t responseSize = 0;
  const TPM_RESULT result =
      TPMLIB_Process(&buffer, &responseSize, &responseBufferSize_,
                     request_.data(), static_cast<uint32_t>(request_.size()));
  responseBuffer_.reset(buffer);
  if (result != TPM_SUCCESS || buffer == nullptr ||
      responseSize < kHeaderSize || responseSize > responseBufferSize_) {
    engineError = "libtpms produced no response (TPM_RESULT " + hex32(result) +
                  ", " + std::to_string(responseSize) + " bytes)";
    return errorResponse(kRcFailure);
  }
  std::vector<std::uint8_t> response(buffer, buffer + responseSize);
  const std::uint32_t rc = responseCodeOf(response).value_or(kRcFailure);
  if (rc == kRcFailure && !failureMode_) {
    // Only a TPM in failure mode answers TPM_RC_FAILURE.
    failureMode_ = true;
    const std::uint32_t code = commandCodeOf(command).value_or(0);
    const std::string cause =
        engineError.empty() ? "" : " after: " + engineError;
    engineError = "the TPM entered failure mode in " + commandName(code) +
                  " (command code " + hex32(code) + ", response code " +
                  hex32(rc) + ")" + cause;
    std::cerr << "libtpms: " << engineError << std::endl;
  }
  return response;
}

} // namespace tpm
