// The platform's own calls into the transport the module published: the
// caller buffers staged in guest memory, one guest call per slot.
#include "platform.h"

#include "tpm_header.h"

#include <stdexcept>

namespace platform {

std::uint32_t Platform::callTransport(common::TransportSlot slot,
                                      std::span<const std::uint32_t> args) {
  if (transportPpi_ == 0) {
    throw std::logic_error("the module has not published TpmTransportPpi");
  }
  if (common::index(slot) >= slots_.size()) {
    throw std::invalid_argument("TpmTransportPpi has 4 slots");
  }
  std::vector<std::uint32_t> all = {0, 0};
  all.insert(all.end(), args.begin(), args.end());
  return machine_->call(std::string("TpmTransportPpi.") + common::name(slot),
                        slots_[common::index(slot)], all);
}

namespace {
// The response as a caller sees it: cut to the size its header states when
// that is within the buffer.
std::vector<std::uint8_t> responseFrom(machine::Machine &m) {
  std::vector<std::uint8_t> bytes =
      m.read(Platform::kCallerResponse, Platform::kCallerResponseSize);
  const std::uint32_t size = tpm::readBe32(bytes, tpm::kSizeOffset);
  if (size >= tpm::kHeaderSize && size <= bytes.size()) {
    bytes.resize(size);
  }
  return bytes;
}

void stage(machine::Machine &m, std::span<const std::uint8_t> command) {
  if (command.size() > Platform::kCallerCommandSize) {
    throw std::invalid_argument(
        "command of " + std::to_string(command.size()) +
        " bytes: the platform's caller buffer holds at most " +
        std::to_string(Platform::kCallerCommandSize));
  }
  m.write(Platform::kCallerCommand, command);
  m.write(Platform::kCallerResponse,
          std::vector<std::uint8_t>(Platform::kCallerResponseSize, 0));
  m.write32(Platform::kCallerLength, Platform::kCallerResponseSize);
}
} // namespace

Exchange Platform::execute(std::span<const std::uint8_t> command) {
  stage(*machine_, command);
  const std::uint32_t args[] = {kCallerCommand,
                                static_cast<std::uint32_t>(command.size()),
                                kCallerResponse, kCallerLength};
  Exchange result;
  result.efiStatus = callTransport(common::TransportSlot::kExecute, args);
  result.response = responseFrom(*machine_);
  return result;
}

Exchange Platform::sendReceive(std::span<const std::uint8_t> command) {
  stage(*machine_, command);
  const std::uint32_t send[] = {kCallerCommand,
                                static_cast<std::uint32_t>(command.size())};
  Exchange result;
  result.efiStatus = callTransport(common::TransportSlot::kSend, send);
  if (!efi::isError(result.efiStatus)) {
    const std::uint32_t receive[] = {kCallerResponse, kCallerLength};
    result.efiStatus = callTransport(common::TransportSlot::kReceive, receive);
  }
  result.response = responseFrom(*machine_);
  return result;
}

} // namespace platform
