// The platform's own calls into the transport the module published: the
// caller buffers staged in guest memory, one guest call per slot.
#include "platform.h"

#include "tpm_header.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

std::uint32_t Platform::callTransport(common::TransportSlot slot,
                                      std::span<const std::uint32_t> args) {
  if (transportPpi_ == 0) {
    throw std::logic_error("the module has not published TpmTransportPpi");
  }
  if (common::index(slot) >= slots_.size()) {
    throw std::invalid_argument("TpmTransportPpi has 4 slots");
  }
  // Every command makes one or two of these calls, so neither the call's
  // name nor its argument list is built per call: the names are made once,
  // and the arguments (the two leading ones, unread, are 0) sit on the stack
  // unless a test passes more than the transport's functions take.
  static const std::array<std::string, common::kTransportSlots> kCallNames =
      [] {
        std::array<std::string, common::kTransportSlots> names;
        for (std::size_t i = 0; i < names.size(); ++i) {
          names[i] = std::string("TpmTransportPpi.") +
                     common::name(static_cast<common::TransportSlot>(i));
        }
        return names;
      }();
  constexpr std::size_t kLeading = 2;
  std::array<std::uint32_t, 8> few{};
  std::vector<std::uint32_t> many;
  std::span<const std::uint32_t> all;
  if (kLeading + args.size() <= few.size()) {
    std::copy(args.begin(), args.end(), few.begin() + kLeading);
    all = std::span(few).first(kLeading + args.size());
  } else {
    many.assign(kLeading, 0);
    many.insert(many.end(), args.begin(), args.end());
    all = many;
  }
  return machine_->call(kCallNames[common::index(slot)],
                        slots_[common::index(slot)], all);
}

namespace {
// The response as a caller sees it: cut to the size its header states when
// that is within the buffer. The header is read first, so that a response of
// a few bytes does not cost a copy of the whole 16 KiB buffer.
std::vector<std::uint8_t> responseFrom(machine::Machine &m) {
  const std::uint32_t size =
      tpm::readBe32(m.read(Platform::kCallerResponse, tpm::kSizeOffset + 4),
                    tpm::kSizeOffset);
  if (size >= tpm::kHeaderSize && size <= Platform::kCallerResponseSize) {
    return m.read(Platform::kCallerResponse, size);
  }
  return m.read(Platform::kCallerResponse, Platform::kCallerResponseSize);
}

void stage(machine::Machine &m, std::span<const std::uint8_t> command) {
  if (command.size() > Platform::kCallerCommandSize) {
    throw std::invalid_argument(
        "command of " + std::to_string(command.size()) +
        " bytes: the platform's caller buffer holds at most " +
        std::to_string(Platform::kCallerCommandSize));
  }
  // Zeros to clear the response buffer with, made once rather than per
  // command.
  static const std::array<std::uint8_t, Platform::kCallerResponseSize> kZeros{};
  m.write(Platform::kCallerCommand, command);
  m.write(Platform::kCallerResponse, kZeros);
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
