#include "boot_log.h"

#include "hex.h"

namespace platform {

using common::hex;
using devices::Coprocessor;
using devices::RootComplex;
using bus::TraceEvent;

std::string onOff(bool value) { return value ? "yes" : "no"; }

std::string describeSetup(const Scenario &s) {
  if (!s.variablePpi) {
    return "\"Setup\": no read-only variable PPI installed";
  }
  if (!s.setup) {
    return "\"Setup\": absent";
  }
  const auto &b = *s.setup;
  auto byteAt = [&](std::size_t offset) {
    return offset < b.size() ? hex(b[offset], 2) : std::string("(beyond it)");
  };
  return "\"Setup\": " + std::to_string(b.size()) +
         " bytes, DeviceSelect (byte 256) " + byteAt(Scenario::kDeviceSelect) +
         ", SelectOverride (byte 458) " + byteAt(Scenario::kSelectOverride);
}

std::vector<std::string> describeUnmodelled(const bus::AddressSpace &space) {
  std::vector<std::string> lines;
  for (const bus::UnmodelledAccess &a : space.unmodelledAccesses()) {
    const std::string access =
        bus::describeAccess(a.space, a.write, a.address, a.size, a.value);
    lines.push_back("unmodelled: " + access +
                    (a.write ? " dropped" : " answered " + hex(a.value)) +
                    ", by the instruction at " + hex(a.instruction, 8) +
                    (a.image.empty() ? "" : " in " + a.image));
  }
  if (space.unmodelledCount() > space.unmodelledAccesses().size()) {
    lines.push_back("unmodelled: " +
                    std::to_string(space.unmodelledCount() -
                                   space.unmodelledAccesses().size()) +
                    " more accesses not listed");
  }
  return lines;
}

std::string describeChipset(devices::Chipset &chipset) {
  const devices::ChipsetConfig &c = chipset.config();
  std::string text = "chipset: PCI configuration ";
  if (const devices::ConfigWindow &window = chipset.configWindow();
      window.enabled()) {
    const std::uint64_t base = window.base();
    text += "window at " + hex(base, 8) +
            (base >= (1ull << 32) ? " (above 4 GiB)" : " (below 4 GiB)");
  } else {
    text += "through ports 0xCF8/0xCFC (window off)";
  }
  text += "; ACPI PM timer ";
  text += c.pmTimerPort ? "at port " + hex(*c.pmTimerPort, 4) + ", " +
                              std::to_string(c.ticksPerRead) + " ticks per read"
                        : std::string("absent");
  return text;
}

std::string describeCoprocessor(const devices::CoprocessorConfig &c) {
  using Completion = devices::CoprocessorConfig::Completion;
  if (!c.present) {
    return "co-processor: absent (presence bit clear)";
  }
  std::string text =
      "co-processor 0:8.0: control area at " + hex(c.base, 8) + ", base from ";
  text += c.baseSource == devices::CoprocessorConfig::BaseSource::Bar
              ? "its base address register"
              : "MSR 0xC00110A2 (" + hex(c.msrBase.value_or(c.base), 8) + ")";
  switch (c.completion) {
  case Completion::Immediately:
    text += ", completes at once";
    break;
  case Completion::AfterPolls:
    text += ", completes after " + std::to_string(c.polls) + " polls of Start";
    break;
  case Completion::Never:
    text += ", never completes";
    break;
  case Completion::Fail:
    text += ", fails with Error " + hex(c.error);
    break;
  }
  if (c.responseAddressHigh != 0) {
    text += ", ResponseAddress high half " + hex(c.responseAddressHigh, 8);
  }
  if (c.responseSizeZero) {
    text += ", leaves ResponseSize 0";
  }
  return text;
}

std::vector<std::string>
describeTrigger(const std::vector<bus::TraceEvent> &events,
                std::size_t traceFrom) {
  std::vector<std::string> lines;
  std::optional<std::uint32_t> presence, select, base;
  std::string baseFrom;
  bool installed = false;
  for (std::size_t i = traceFrom; i < events.size(); ++i) {
    const TraceEvent &e = events[i];
    if (e.kind == TraceEvent::Kind::Service &&
        e.named(pei::service::kGetVariable)) {
      lines.push_back("  " + e.detail());
    } else if (e.kind == TraceEvent::Kind::Service &&
               e.named(pei::service::kInstallPpi) && e.value == efi::kSuccess) {
      installed = true;
    } else if (e.from(devices::kPciConfigTrace) && !e.write) {
      if (e.address ==
          RootComplex::kLocation.windowOffset(RootComplex::kData)) {
        presence = static_cast<std::uint32_t>(e.value);
      } else if (e.address == Coprocessor::kLocation.windowOffset(
                                  Coprocessor::kBaseSelect)) {
        select = static_cast<std::uint32_t>(e.value);
      } else if (e.address ==
                 Coprocessor::kLocation.windowOffset(Coprocessor::kBar)) {
        base = static_cast<std::uint32_t>(e.value) & Coprocessor::kBarBaseMask;
        baseFrom = "base address register";
      }
    } else if (e.kind == TraceEvent::Kind::Msr && !e.write &&
               e.address == Coprocessor::kMsrBase) {
      base = static_cast<std::uint32_t>(e.value);
      baseFrom = "MSR 0xC00110A2";
    }
  }
  if (!presence) {
    lines.push_back("  probe: not run");
  } else if ((*presence & RootComplex::kCoprocessorPresent) == 0) {
    lines.push_back("  probe: root complex reports no co-processor "
                    "(index 0xC0018000 data " +
                    hex(*presence, 8) + ")");
  } else {
    std::string text = "  probe: co-processor present";
    if (base) {
      text += ", base " + hex(*base, 8) + " from the " + baseFrom;
    }
    if (select) {
      text += " (register 0x48 = " + hex(*select, 8) + ")";
    }
    lines.push_back(text);
  }
  lines.push_back(
      std::string("\"Setup\" decision: ") +
      (installed ? "transport published" : "declined, nothing installed"));
  return lines;
}

std::string describeTransport(std::uint32_t ppi,
                              const common::TransportAddresses &slots) {
  std::string line = "TpmTransportPpi at " + hex(ppi, 8) + ":";
  for (std::size_t slot = 0; slot < slots.size(); ++slot) {
    line += std::string(slot == 0 ? " " : ", ") +
            common::name(common::TransportSlot(slot)) + " " +
            hex(slots[slot], 8);
  }
  return line;
}

std::string describeToken11(const std::vector<std::uint8_t> &value) {
  return "token 11 = " +
         (value.size() == 16
              ? efi::Guid::fromBytes(value).text() + " (" +
                    efi::guidName(efi::Guid::fromBytes(value)) + ")"
              : std::to_string(value.size()) + " bytes");
}

} // namespace platform
