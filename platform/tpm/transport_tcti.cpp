#include "transport_tcti.h"

#include "efi.h"
#include "tpm_names.h"

#include <cstring>
#include <exception>

namespace tpm {
namespace {

// Identifies contexts made here ("pei-tcti"), so a foreign context passed to
// these entry points is refused instead of misread.
constexpr std::uint64_t kMagic = 0x7065692D74636974ULL;
constexpr std::uint32_t kVersion = 2;

// What a TPM 2.0 answers to a TPM 1.2 command.
constexpr std::uint16_t kTagRspCommand = 0x00C4;

} // namespace

TransportTcti::TransportTcti(TransportFunction transport)
    : context_{}, transport_(std::move(transport)) {
  TSS2_TCTI_CONTEXT_COMMON_V1 &common = context_.common.v1;
  common.magic = kMagic;
  common.version = kVersion;
  common.transmit = transmitEntry;
  common.receive = receiveEntry;
  common.finalize = finalizeEntry;
  common.cancel = cancelEntry;
  common.getPollHandles = getPollHandlesEntry;
  common.setLocality = setLocalityEntry;
  context_.common.makeSticky = makeStickyEntry;
  context_.owner = this;
}

TSS2_TCTI_CONTEXT *TransportTcti::context() {
  return reinterpret_cast<TSS2_TCTI_CONTEXT *>(&context_);
}

TransportTcti *TransportTcti::from(TSS2_TCTI_CONTEXT *context) {
  if (context == nullptr)
    return nullptr;
  auto *own = reinterpret_cast<Context *>(context);
  if (own->common.v1.magic != kMagic)
    return nullptr;
  return own->owner;
}

TSS2_RC TransportTcti::transmitEntry(TSS2_TCTI_CONTEXT *context, size_t size,
                                     const uint8_t *command) {
  TransportTcti *self = from(context);
  if (self == nullptr)
    return context == nullptr ? TSS2_TCTI_RC_BAD_REFERENCE
                              : TSS2_TCTI_RC_BAD_CONTEXT;
  if (command == nullptr)
    return TSS2_TCTI_RC_BAD_REFERENCE;
  return self->transmit({command, size});
}

TSS2_RC TransportTcti::receiveEntry(TSS2_TCTI_CONTEXT *context, size_t *size,
                                    uint8_t *response, int32_t /*timeout*/) {
  // The transport is synchronous: by the time receive is called the
  // response is complete, so the timeout never matters.
  TransportTcti *self = from(context);
  if (self == nullptr)
    return context == nullptr ? TSS2_TCTI_RC_BAD_REFERENCE
                              : TSS2_TCTI_RC_BAD_CONTEXT;
  if (size == nullptr)
    return TSS2_TCTI_RC_BAD_REFERENCE;
  return self->receive(size, response);
}

void TransportTcti::finalizeEntry(TSS2_TCTI_CONTEXT *context) {
  if (TransportTcti *self = from(context)) {
    self->state_ = State::Finalized;
    self->response_.clear();
  }
}

TSS2_RC TransportTcti::cancelEntry(TSS2_TCTI_CONTEXT *context) {
  // A command runs to completion inside transmit; nothing is left to cancel.
  return from(context) ? TSS2_TCTI_RC_NOT_IMPLEMENTED
                       : TSS2_TCTI_RC_BAD_CONTEXT;
}

TSS2_RC TransportTcti::getPollHandlesEntry(TSS2_TCTI_CONTEXT *context,
                                           TSS2_TCTI_POLL_HANDLE *, size_t *) {
  return from(context) ? TSS2_TCTI_RC_NOT_IMPLEMENTED
                       : TSS2_TCTI_RC_BAD_CONTEXT;
}

TSS2_RC TransportTcti::setLocalityEntry(TSS2_TCTI_CONTEXT *context,
                                        uint8_t locality) {
  // The transport carries no locality: the co-processor's TPM service runs
  // every command at locality 0.
  if (from(context) == nullptr)
    return TSS2_TCTI_RC_BAD_CONTEXT;
  return locality == 0 ? TSS2_RC_SUCCESS : TSS2_TCTI_RC_BAD_VALUE;
}

TSS2_RC TransportTcti::makeStickyEntry(TSS2_TCTI_CONTEXT *context,
                                       TPM2_HANDLE *, uint8_t) {
  return from(context) ? TSS2_TCTI_RC_NOT_IMPLEMENTED
                       : TSS2_TCTI_RC_BAD_CONTEXT;
}

TSS2_RC TransportTcti::fail(TSS2_RC rc, std::string why) {
  lastError_ = std::move(why);
  response_.clear();
  state_ = State::ReadyToTransmit;
  return rc;
}

TSS2_RC TransportTcti::transmit(std::span<const std::uint8_t> command) {
  if (state_ == State::Finalized)
    return TSS2_TCTI_RC_BAD_CONTEXT;
  if (state_ != State::ReadyToTransmit)
    return TSS2_TCTI_RC_BAD_SEQUENCE;
  const auto declared = headerSizeOf(command);
  if (!declared || *declared != command.size())
    return TSS2_TCTI_RC_BAD_VALUE;

  ++exchangeCount_;
  lastAnswered_ = false;
  lastEfiStatus_ = 0;
  lastError_.clear();
  TransportResult result;
  try {
    result = transport_(command);
  } catch (const std::exception &error) {
    return fail(TSS2_TCTI_RC_IO_ERROR,
                std::string("transport failed: ") + error.what());
  }
  lastAnswered_ = true;
  lastEfiStatus_ = result.efiStatus;
  if (result.efiStatus != 0)
    return fail(TSS2_TCTI_RC_IO_ERROR,
                "transport returned " + efi::statusName(result.efiStatus));

  const std::vector<std::uint8_t> &bytes = result.response;
  const auto size = headerSizeOf(bytes);
  if (!size)
    return fail(TSS2_TCTI_RC_MALFORMED_RESPONSE,
                "response of " + std::to_string(bytes.size()) +
                    " bytes is shorter than a TPM header");
  const std::uint16_t tag =
      static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
  if (tag != kStNoSessions && tag != kStSessions && tag != kTagRspCommand)
    return fail(TSS2_TCTI_RC_MALFORMED_RESPONSE,
                "response tag " + hex32(tag) + " is not a TPM 2.0 tag");
  if (*size < kHeaderSize || *size > kMaxResponseSize)
    return fail(TSS2_TCTI_RC_MALFORMED_RESPONSE,
                "response header states " + std::to_string(*size) +
                    " bytes, outside 10.." + std::to_string(kMaxResponseSize));
  if (*size > bytes.size())
    return fail(TSS2_TCTI_RC_MALFORMED_RESPONSE,
                "response truncated: header states " + std::to_string(*size) +
                    " bytes, transport delivered " +
                    std::to_string(bytes.size()));
  response_.assign(bytes.begin(), bytes.begin() + *size);
  state_ = State::ResponseReady;
  return TSS2_RC_SUCCESS;
}

TSS2_RC TransportTcti::receive(size_t *size, uint8_t *response) {
  if (state_ == State::Finalized)
    return TSS2_TCTI_RC_BAD_CONTEXT;
  if (state_ != State::ResponseReady)
    return TSS2_TCTI_RC_BAD_SEQUENCE;
  // A null buffer asks only for the size; a short one gets the size and an
  // error, and the response stays for a second try.
  if (response == nullptr) {
    *size = response_.size();
    return TSS2_RC_SUCCESS;
  }
  if (*size < response_.size()) {
    *size = response_.size();
    return TSS2_TCTI_RC_INSUFFICIENT_BUFFER;
  }
  std::memcpy(response, response_.data(), response_.size());
  *size = response_.size();
  response_.clear();
  state_ = State::ReadyToTransmit;
  return TSS2_RC_SUCCESS;
}

} // namespace tpm
