// A TSS2 TCTI whose transmit and receive go through a host-supplied
// transport: in the emulated platform, the TpmTransportPpi the module
// publishes in the guest. ESAPI or SAPI run on top of it unchanged.
#pragma once

#include <tss2/tss2_tcti.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace tpm {

// What one exchange through the transport gave: the EFI status the transport
// returned (0 is EFI_SUCCESS) and the bytes it delivered as the response.
// The bytes may run past the TPM response (a reader that copies a fixed
// count); the TCTI keeps only the size the response header states.
struct TransportResult {
  std::uint32_t efiStatus;
  std::vector<std::uint8_t> response;
};

using TransportFunction =
    std::function<TransportResult(std::span<const std::uint8_t>)>;

// The TCTI. transmit runs the whole exchange through the transport (the
// transport is synchronous); receive hands out the response it produced.
//
// Errors: a non-zero EFI status becomes TSS2_TCTI_RC_IO_ERROR (never
// TRY_AGAIN: ESAPI would resubmit a command that the firmware already gave
// up on, e.g. after its two-minute completion wait), a transport that
// throws likewise, and a response that is too short for a header, shorter
// than its own size field, larger than the largest TPM response or has no
// TPM 2.0 response tag becomes TSS2_TCTI_RC_MALFORMED_RESPONSE. The EFI
// status and a sentence about the fault stay available for the log.
class TransportTcti {
public:
  // The largest response a TPM 2.0 sends through the co-processor's
  // response area.
  static constexpr std::size_t kMaxResponseSize = 0x4000;

  explicit TransportTcti(TransportFunction transport);
  ~TransportTcti() = default;

  // ESAPI keeps the context pointer; the object must not move.
  TransportTcti(const TransportTcti &) = delete;
  TransportTcti &operator=(const TransportTcti &) = delete;

  // Valid for the lifetime of this object. Tss2_Tcti_Finalize on it is
  // harmless: the object owns the context and stops using the transport.
  TSS2_TCTI_CONTEXT *context();

  // Of the last exchange: whether the transport answered at all (not when
  // its call was stopped, by a bound, a fault or a debugger, before it
  // returned), the EFI status it answered, and why it failed (empty when it
  // did not).
  bool lastAnswered() const { return lastAnswered_; }
  std::uint32_t lastEfiStatus() const { return lastEfiStatus_; }
  const std::string &lastError() const { return lastError_; }
  std::size_t exchangeCount() const { return exchangeCount_; }

private:
  enum class State { ReadyToTransmit, ResponseReady, Finalized };

  // The common TCTI header must be the first member: the TSS reaches the
  // function table by casting the context pointer.
  struct Context {
    TSS2_TCTI_CONTEXT_COMMON_V2 common;
    TransportTcti *owner;
  };

  static TransportTcti *from(TSS2_TCTI_CONTEXT *context);
  static TSS2_RC transmitEntry(TSS2_TCTI_CONTEXT *context, size_t size,
                               const uint8_t *command);
  static TSS2_RC receiveEntry(TSS2_TCTI_CONTEXT *context, size_t *size,
                              uint8_t *response, int32_t timeout);
  static void finalizeEntry(TSS2_TCTI_CONTEXT *context);
  static TSS2_RC cancelEntry(TSS2_TCTI_CONTEXT *context);
  static TSS2_RC getPollHandlesEntry(TSS2_TCTI_CONTEXT *context,
                                     TSS2_TCTI_POLL_HANDLE *handles,
                                     size_t *count);
  static TSS2_RC setLocalityEntry(TSS2_TCTI_CONTEXT *context, uint8_t locality);
  static TSS2_RC makeStickyEntry(TSS2_TCTI_CONTEXT *context,
                                 TPM2_HANDLE *handle, uint8_t sticky);

  TSS2_RC transmit(std::span<const std::uint8_t> command);
  TSS2_RC receive(size_t *size, uint8_t *response);
  TSS2_RC fail(TSS2_RC rc, std::string why);

  Context context_;
  TransportFunction transport_;
  State state_ = State::ReadyToTransmit;
  std::vector<std::uint8_t> response_;
  bool lastAnswered_ = false;
  std::uint32_t lastEfiStatus_ = 0;
  std::string lastError_;
  std::size_t exchangeCount_ = 0;
};

} // namespace tpm
