#include "services.h"

namespace pei {

using enum ParameterKind;

namespace {

constexpr Note kDataSizeSet = ", DataSize set to {}";
constexpr Note kNullBuffer = " (null buffer)";
constexpr Note kCopied = ", {} bytes";
constexpr Note kSizeSet = ", size set to the maximum {}";
constexpr Note kScenarioFailure = " (failure chosen by the scenario)";

// GetVariable's parameters, by position.
enum : unsigned {
  kVariableName = 1,
  kVariableGuid,
  kAttributesOut,
  kDataSize,
  kData
};
// SetPtr's.
enum : unsigned { kTokenNumber = 0, kSizeOfBuffer, kBuffer };

// The signatures of the PCD PPI's functions by what they take.
constexpr ServiceSignature byToken(const char *name) {
  return {name, {{"token", Count}}};
}
constexpr ServiceSignature byTokenEx(const char *name) {
  return {name, {{"GUID", Guid, "token space GUID"}, {"token", Count}}};
}
constexpr ServiceSignature setToken(const char *name, ParameterKind value) {
  return {name, {{"token", Count}, {"value", value}}};
}
constexpr ServiceSignature setTokenEx(const char *name, ParameterKind value) {
  return {name,
          {{"GUID", Guid, "token space GUID"},
           {"token", Count},
           {"value", value}}};
}
constexpr ServiceSignature onSet(const char *name) {
  return {name,
          {{"GUID", Guid, "token space GUID"},
           {"token", Count},
           {"callback", Pointer}}};
}

} // namespace

constinit const std::array<ServiceEntry<VariableService>, 2>
    VariableService::kFunctions = {{
        {{service::kGetVariable,
          {{"This", Interface},
           {"name", Name, "variable name"},
           {"GUID", Guid, "variable GUID"},
           {"Attributes", Out},
           {"DataSize", Size, "DataSize"},
           {"Data", Buffer}},
          {kDataSizeSet, kNullBuffer, kCopied}},
         [](VariableService &s, const ServiceCall &call) {
           return s.getVariable(call);
         }},
        {{"NextVariableName",
          {{"This", Interface},
           {"NameSize", Size, "VariableNameSize"},
           {"name", Buffer},
           {"GUID", Buffer}}}},
    }};

constinit const std::array<ServiceEntry<PcdService>, 31>
    PcdService::kFunctions = {{
    {{"SetSku", {{"SKU", Count}}}},
    {byToken("Get8")},
    {byToken("Get16")},
    {byToken("Get32")},
    {byToken("Get64")},
    {byToken("GetPtr")},
    {byToken("GetBool")},
    {byToken("GetSize")},
    {byTokenEx("Get8Ex")},
    {byTokenEx("Get16Ex")},
    {byTokenEx("Get32Ex")},
    {byTokenEx("Get64Ex")},
    {byTokenEx("GetPtrEx")},
    {byTokenEx("GetBoolEx")},
    {byTokenEx("GetSizeEx")},
    {setToken("Set8", Count)},
    {setToken("Set16", Count)},
    {setToken("Set32", Count)},
    {setToken("Set64", Wide)},
    {{service::kSetPtr,
      {{"token", Count}, {"size", Size, "SizeOfBuffer"}, {"buffer", Buffer}},
      {kSizeSet, kScenarioFailure, kNullBuffer}},
     [](PcdService &s, const ServiceCall &call) { return s.setPtr(call); }},
    {setToken("SetBool", Count)},
    {setTokenEx("Set8Ex", Count)},
    {setTokenEx("Set16Ex", Count)},
    {setTokenEx("Set32Ex", Count)},
    {setTokenEx("Set64Ex", Wide)},
    {{"SetPtrEx",
      {{"GUID", Guid, "token space GUID"},
       {"token", Count},
       {"size", Size, "SizeOfBuffer"},
       {"buffer", Buffer}}}},
    {setTokenEx("SetBoolEx", Count)},
    {onSet("CallbackOnSet")},
    {onSet("CancelCallback")},
    {{"GetNextToken",
      {{"GUID", Guid, "token space GUID"}, {"token", Size, "TokenNumber"}}}},
    {{"GetNextTokenSpace", {{"GUID", Out}}}},
}};

VariableService::VariableService(Foundation &foundation,
                                 std::optional<std::vector<std::uint8_t>> setup)
    : setup_(std::move(setup)) {
  ppi_ = foundation.allocateFunctionTable("ReadOnlyVariable2Ppi", kFunctions,
                                          *this);
}

Answer VariableService::getVariable(const ServiceCall &call) {
  if (call.isNull(kVariableName) || call.isNull(kVariableGuid) || call.isNull(kDataSize)) {
    return {efi::kInvalidParameter};
  }
  if (call.name() != u"Setup" || call.guid(kVariableGuid) != efi::guids::kSetupVariable ||
      !setup_) {
    return {efi::kNotFound};
  }
  machine::Machine &machine = call.machine();
  const std::uint32_t sizeAt = call.pointer(kDataSize).value;
  const auto needed = static_cast<std::uint32_t>(setup_->size());
  if (call.size(kDataSize) < needed) {
    machine.guestWrite32(sizeAt, needed, "DataSize");
    return {efi::kBufferTooSmall, kDataSizeSet, needed};
  }
  if (call.isNull(kData)) {
    return {efi::kInvalidParameter, kNullBuffer};
  }
  machine.guestWrite(call.pointer(kData).value, *setup_,
                     "the variable's data buffer");
  machine.guestWrite32(sizeAt, needed, "DataSize");
  if (!call.isNull(kAttributesOut)) {
    machine.guestWrite32(call.pointer(kAttributesOut).value, kAttributes,
                         "Attributes");
  }
  return {efi::kSuccess, kCopied, needed};
}

PcdService::PcdService(Foundation &foundation, PcdConfig config)
    : config_(config) {
  ppi_ = foundation.allocateFunctionTable("PcdPpi", kFunctions, *this);
}

Answer PcdService::setPtr(const ServiceCall &call) {
  if (call.isNull(kSizeOfBuffer)) {
    return {efi::kInvalidParameter};
  }
  if (call.count(kTokenNumber) != kInstanceToken) {
    return {efi::kNotFound};
  }
  machine::Machine &machine = call.machine();
  const std::uint32_t size = call.size(kSizeOfBuffer);
  if (size > config_.token11MaxSize) {
    machine.guestWrite32(call.pointer(kSizeOfBuffer).value, config_.token11MaxSize,
                         "SizeOfBuffer");
    return {efi::kInvalidParameter, kSizeSet, config_.token11MaxSize};
  }
  if (config_.setPtrFailure) {
    return {*config_.setPtrFailure, kScenarioFailure};
  }
  if (call.isNull(kBuffer) && size != 0) {
    return {efi::kInvalidParameter, kNullBuffer};
  }
  token11_ = size ? machine.guestRead(call.pointer(kBuffer).value, size,
                                      "SetPtr's buffer")
                  : std::vector<std::uint8_t>{};
  ++token11Writes_;
  return {efi::kSuccess};
}

} // namespace pei
