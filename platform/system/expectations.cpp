#include "expectations.h"

#include "coprocessor.h"

namespace platform {

using devices::Coprocessor;

Expectations expectationsFor(const Scenario &s) {
  Expectations e;
  bool publish = true;
  if (!s.variablePpi) {
    e.setupDecision = "no variable service: the module cannot read \"Setup\" "
                      "and publishes";
  } else if (!s.setup) {
    e.setupDecision = "no \"Setup\" variable: the module publishes";
  } else if (s.setup->size() > Scenario::kSetupBuffer) {
    e.setupDecision = "\"Setup\" is larger than the module's 1024-byte "
                      "buffer: the read fails and the module publishes";
  } else {
    const auto &b = *s.setup;
    const std::uint8_t select =
        b.size() > Scenario::kDeviceSelect ? b[Scenario::kDeviceSelect] : 0;
    const std::uint8_t override =
        b.size() > Scenario::kSelectOverride ? b[Scenario::kSelectOverride] : 0;
    const std::uint8_t effective = override ? 0 : select;
    publish = effective == 2;
    e.setupDecision =
        "DeviceSelect " + std::to_string(select) + ", SelectOverride " +
        std::to_string(override) + ": " +
        (publish ? "the module publishes" : "the module declines");
  }
  if (publish && s.triggerInstalls == 0) {
    // The decision is only taken in the trigger's notification.
    e.setupDecision += " once triggered, but the trigger PPI is never "
                       "installed: nothing is published";
  }
  e.published = publish && s.triggerInstalls > 0;
  e.publications = e.published ? s.triggerInstalls : 0;
  const bool setPtrStores =
      s.pcdPpi && s.pcd.token11MaxSize >= 16 && !s.pcd.setPtrFailure;
  e.token11Writes =
      setPtrStores ? e.publications * s.deviceSelectedInstalls : 0;

  using Completion = devices::CoprocessorConfig::Completion;
  const auto &c = s.chipset.coprocessor;
  const std::uint32_t base =
      c.baseSource == devices::CoprocessorConfig::BaseSource::Msr
          ? c.msrBase.value_or(c.base)
          : (c.barUnassigned ? 0 : c.base & Coprocessor::kBarBaseMask);
  if (!c.present || base == 0 || base == 0xFFFFFFFF ||
      c.responseAddressHigh != 0 || c.commandAddressZero) {
    e.transportStatus = efi::kUnsupported;
  } else if (c.completion == Completion::Never) {
    e.transportStatus = efi::kTimeout;
  } else if (c.completion == Completion::Fail) {
    e.transportStatus = efi::kDeviceError;
  } else {
    e.transportStatus = efi::kSuccess;
    e.sessionWorks = !c.responseSizeZero;
  }
  return e;
}

} // namespace platform
