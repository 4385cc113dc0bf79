#include "services.h"

#include "hex.h"

namespace pei {

using common::hex;
using machine::ThunkCall;

namespace {

constexpr std::size_t kMaxNameLength = 512; // UTF-16 units

// A NUL-terminated UTF-16 name from guest memory, as ASCII where possible.
std::u16string readName(machine::Machine &machine, std::uint32_t address) {
  std::u16string name;
  for (std::size_t i = 0; i < kMaxNameLength; ++i) {
    const auto unit = machine.guestRead(
        address + static_cast<std::uint32_t>(2 * i), 2, "variable name");
    const auto c = static_cast<char16_t>(unit[0] | unit[1] << 8);
    if (c == 0) {
      return name;
    }
    name.push_back(c);
  }
  throw machine::GuestFault("variable name at " + hex(address, 8) +
                            " has no terminating NUL within " +
                            std::to_string(kMaxNameLength) + " characters");
}

std::string printable(const std::u16string &name) {
  std::string text;
  for (char16_t c : name) {
    text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return text;
}

} // namespace

VariableService::VariableService(Foundation &foundation,
                                 std::optional<std::vector<std::uint8_t>> setup)
    : foundation_(foundation), setup_(std::move(setup)) {
  ppi_ = foundation.allocateFunctionTable(
      "ReadOnlyVariable2Ppi",
      {Foundation::FunctionSlot::answered(
           "GetVariable",
           [this](ThunkCall &call) { return getVariable(call); }),
       Foundation::FunctionSlot::notToBeCalled("NextVariableName")});
}

std::uint32_t VariableService::getVariable(ThunkCall &call) {
  machine::Machine &machine = foundation_.machine();
  const std::uint32_t nameAt = call.argument(1);
  const std::uint32_t guidAt = call.argument(2);
  const std::uint32_t attributesAt = call.argument(3);
  const std::uint32_t sizeAt = call.argument(4);
  const std::uint32_t dataAt = call.argument(5);

  std::string text = "GetVariable(";
  auto answer = [&](std::uint32_t status, const std::string &note = {}) {
    foundation_.traceService(call, service::kGetVariable, EfiStatus{status},
                             text + ") = " + efi::statusName(status) + note);
    return status;
  };
  if (nameAt == 0 || guidAt == 0 || sizeAt == 0) {
    text += "null name, GUID or size";
    return answer(efi::kInvalidParameter);
  }
  const std::u16string name = readName(machine, nameAt);
  const efi::Guid guid =
      efi::Guid::fromBytes(machine.guestRead(guidAt, 16, "variable GUID"));
  const std::uint32_t size = machine.guestRead32(sizeAt, "DataSize");
  text += "\"" + printable(name) + "\", " + efi::guidName(guid) +
          ", DataSize " + std::to_string(size);
  if (name != u"Setup" || guid != efi::guids::kSetupVariable || !setup_) {
    return answer(efi::kNotFound);
  }
  const auto needed = static_cast<std::uint32_t>(setup_->size());
  if (size < needed) {
    machine.guestWrite32(sizeAt, needed, "DataSize");
    return answer(efi::kBufferTooSmall,
                  ", DataSize set to " + std::to_string(needed));
  }
  if (dataAt == 0) {
    return answer(efi::kInvalidParameter, " (null buffer)");
  }
  machine.guestWrite(dataAt, *setup_, "the variable's data buffer");
  machine.guestWrite32(sizeAt, needed, "DataSize");
  if (attributesAt != 0) {
    machine.guestWrite32(attributesAt, kAttributes, "Attributes");
  }
  return answer(efi::kSuccess, ", " + std::to_string(needed) + " bytes");
}

PcdService::PcdService(Foundation &foundation, PcdConfig config)
    : foundation_(foundation), config_(config) {
  // EDK II's PCD_PPI, in order; the functions take no interface pointer.
  // The module only ever sets a pointer-sized token: every other slot stops
  // the run.
  const char *const kSlots[] = {"SetSku",
                                "Get8",
                                "Get16",
                                "Get32",
                                "Get64",
                                "GetPtr",
                                "GetBool",
                                "GetSize",
                                "Get8Ex",
                                "Get16Ex",
                                "Get32Ex",
                                "Get64Ex",
                                "GetPtrEx",
                                "GetBoolEx",
                                "GetSizeEx",
                                "Set8",
                                "Set16",
                                "Set32",
                                "Set64",
                                "SetPtr",
                                "SetBool",
                                "Set8Ex",
                                "Set16Ex",
                                "Set32Ex",
                                "Set64Ex",
                                "SetPtrEx",
                                "SetBoolEx",
                                "CallbackOnSet",
                                "CancelCallback",
                                "GetNextToken",
                                "GetNextTokenSpace"};
  std::vector<Foundation::FunctionSlot> slots;
  for (const std::string name : kSlots) {
    slots.push_back(
        name == "SetPtr"
            ? Foundation::FunctionSlot::answered(
                  name, [this](ThunkCall &call) { return setPtr(call); })
            : Foundation::FunctionSlot::notToBeCalled(name));
  }
  ppi_ = foundation.allocateFunctionTable("PcdPpi", std::move(slots));
}

std::uint32_t PcdService::setPtr(ThunkCall &call) {
  machine::Machine &machine = foundation_.machine();
  const std::uint32_t token = call.argument(0);
  const std::uint32_t sizeAt = call.argument(1);
  const std::uint32_t bufferAt = call.argument(2);
  std::string text = "SetPtr(token " + std::to_string(token);
  auto answer = [&](std::uint32_t status, const std::string &note = {}) {
    foundation_.traceService(call, service::kSetPtr, EfiStatus{status},
                             text + ") = " + efi::statusName(status) + note);
    return status;
  };
  if (sizeAt == 0) {
    text += ", null size";
    return answer(efi::kInvalidParameter);
  }
  const std::uint32_t size = machine.guestRead32(sizeAt, "SizeOfBuffer");
  text += ", size " + std::to_string(size);
  if (token != kInstanceToken) {
    return answer(efi::kNotFound);
  }
  if (size > config_.token11MaxSize) {
    machine.guestWrite32(sizeAt, config_.token11MaxSize, "SizeOfBuffer");
    return answer(efi::kInvalidParameter,
                  ", size set to the maximum " +
                      std::to_string(config_.token11MaxSize));
  }
  if (config_.setPtrFailure) {
    return answer(*config_.setPtrFailure, " (failure chosen by the scenario)");
  }
  if (bufferAt == 0 && size != 0) {
    return answer(efi::kInvalidParameter, " (null buffer)");
  }
  token11_ = size ? machine.guestRead(bufferAt, size, "SetPtr's buffer")
                  : std::vector<std::uint8_t>{};
  ++token11Writes_;
  return answer(efi::kSuccess);
}

} // namespace pei
