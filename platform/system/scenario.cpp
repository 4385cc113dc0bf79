#include "scenario.h"

#include "files.h"
#include "hex.h"
#include "number.h"

#include <optional>

namespace platform {

namespace {

using common::parseNumber;
using Completion = devices::CoprocessorConfig::Completion;
using BaseSource = devices::CoprocessorConfig::BaseSource;

constexpr std::size_t kMaxSetupSize = 1 << 20;

// One option: its name, whether it takes a value, and what it does.
struct Option {
  const char *name;
  const char *value; // null: a flag
  const char *help;
  void (*apply)(Scenario &, std::string_view value);
};

std::vector<std::uint8_t> &setupBytes(Scenario &s) {
  if (!s.setup) {
    s.setup.emplace();
  }
  return *s.setup;
}

void setByte(Scenario &s, std::size_t offset, std::uint8_t value) {
  auto &bytes = setupBytes(s);
  if (bytes.size() <= offset) {
    bytes.resize(offset + 1, 0);
  }
  bytes[offset] = value;
}

unsigned installCount(std::string_view value, const std::string &what) {
  return static_cast<unsigned>(parseNumber(value, 2, what));
}

const Option kOptions[] = {
    {"--no-setup", nullptr,
     "No \"Setup\" variable: GetVariable answers EFI_NOT_FOUND.",
     [](Scenario &s, std::string_view) { s.setup.reset(); }},
    {"--setup-size", "N",
     "Make \"Setup\" N bytes long (cut, or padded with zeros); sizes above "
     "1024 make the module's read fail with EFI_BUFFER_TOO_SMALL.",
     [](Scenario &s, std::string_view v) {
       setupBytes(s).resize(parseNumber(v, kMaxSetupSize, "--setup-size"), 0);
     }},
    {"--setup-byte", "OFFSET=VALUE",
     "Set one byte of \"Setup\" (growing it if needed); repeatable.",
     [](Scenario &s, std::string_view v) {
       const auto eq = v.find('=');
       if (eq == std::string_view::npos) {
         throw common::badValue("--setup-byte", "OFFSET=VALUE",
                                common::inQuotes(v));
       }
       setByte(s,
               parseNumber(v.substr(0, eq), kMaxSetupSize - 1,
                           "--setup-byte offset"),
               static_cast<std::uint8_t>(
                   parseNumber(v.substr(eq + 1), 0xFF, "--setup-byte value")));
     }},
    {"--device-select", "VALUE",
     "Set DeviceSelect, byte 256 of \"Setup\" (2 selects this transport).",
     [](Scenario &s, std::string_view v) {
       setByte(
           s, Scenario::kDeviceSelect,
           static_cast<std::uint8_t>(parseNumber(v, 0xFF, "--device-select")));
     }},
    {"--select-override", "VALUE",
     "Set SelectOverride, byte 458 of \"Setup\" (non-zero declines).",
     [](Scenario &s, std::string_view v) {
       setByte(s, Scenario::kSelectOverride,
               static_cast<std::uint8_t>(
                   parseNumber(v, 0xFF, "--select-override")));
     }},
    {"--setup-file", "FILE", "Take the contents of \"Setup\" from FILE.",
     [](Scenario &s, std::string_view v) {
       const std::string path(v);
       // One byte more than allowed at most: a huge file is not read whole.
       std::vector<std::uint8_t> bytes = common::readUpTo(
           common::openRegularFile(path), kMaxSetupSize + 1, path);
       if (bytes.size() > kMaxSetupSize) {
         throw UsageError(path + ": expected at most " +
                          std::to_string(kMaxSetupSize) +
                          " bytes of \"Setup\", found more");
       }
       s.setup = std::move(bytes);
       s.setupFile = path;
     }},
    {"--no-variable-ppi", nullptr,
     "Leave the read-only variable PPI out (the module's read then fails).",
     [](Scenario &s, std::string_view) { s.variablePpi = false; }},
    {"--no-pcd-ppi", nullptr, "Leave the PCD PPI out.",
     [](Scenario &s, std::string_view) { s.pcdPpi = false; }},
    {"--token11-max", "N",
     "Largest size token 11 accepts (default 16); SetPtr with more answers "
     "EFI_INVALID_PARAMETER and writes N back.",
     [](Scenario &s, std::string_view v) {
       s.pcd.token11MaxSize =
           static_cast<std::uint32_t>(parseNumber(v, 0xFFFF, "--token11-max"));
     }},
    {"--setptr-status", "STATUS",
     "Make SetPtr fail with STATUS (e.g. 0x80000009) after its size check.",
     [](Scenario &s, std::string_view v) {
       s.pcd.setPtrFailure = static_cast<std::uint32_t>(
           parseNumber(v, 0xFFFFFFFF, "--setptr-status"));
     }},
    {"--trigger", "N",
     "Install the trigger PPI N times (0, 1 or 2; default 1).",
     [](Scenario &s, std::string_view v) {
       s.triggerInstalls = installCount(v, "--trigger");
     }},
    {"--device-selected", "N",
     "Install the device-selected PPI N times (0, 1 or 2; default 1).",
     [](Scenario &s, std::string_view v) {
       s.deviceSelectedInstalls = installCount(v, "--device-selected");
     }},
    {"--shadow-address", "ADDRESS",
     "Where the shadow copy goes (page aligned; default 0x00400000).",
     [](Scenario &s, std::string_view v) {
       s.shadowAddress = static_cast<std::uint32_t>(
           parseNumber(v, 0xFFFFF000, "--shadow-address"));
     }},
    {"--coprocessor", "present|absent",
     "Whether the root complex reports the co-processor (default present).",
     [](Scenario &s, std::string_view v) {
       if (v != "present" && v != "absent") {
         throw common::badValue("--coprocessor", "present or absent",
                                common::inQuotes(v));
       }
       s.chipset.coprocessor.present = v == "present";
     }},
    {"--base-source", "bar|msr",
     "Where the co-processor's base comes from: its base address register "
     "(default) or MSR 0xC00110A2.",
     [](Scenario &s, std::string_view v) {
       if (v != "bar" && v != "msr") {
         throw common::badValue("--base-source", "bar or msr",
                                common::inQuotes(v));
       }
       s.chipset.coprocessor.baseSource =
           v == "bar" ? BaseSource::Bar : BaseSource::Msr;
     }},
    {"--coprocessor-base", "ADDRESS",
     "Where the control area lies (default 0xFEB00000; 1 MiB aligned).",
     [](Scenario &s, std::string_view v) {
       s.chipset.coprocessor.base = static_cast<std::uint32_t>(
           parseNumber(v, 0xFFF00000, "--coprocessor-base"));
     }},
    {"--msr-base", "VALUE",
     "What MSR 0xC00110A2 reads (default: the base); 0xFFFFFFFF means none.",
     [](Scenario &s, std::string_view v) {
       s.chipset.coprocessor.msrBase =
           static_cast<std::uint32_t>(parseNumber(v, 0xFFFFFFFF, "--msr-base"));
     }},
    {"--completion", "immediate|polls:N|never|error[:CODE]",
     "How the co-processor completes a command: at once (default), after N "
     "reads of Start, never, or by setting Error (default code 1).",
     [](Scenario &s, std::string_view v) {
       auto &c = s.chipset.coprocessor;
       if (v == "immediate") {
         c.completion = Completion::Immediately;
       } else if (v == "never") {
         c.completion = Completion::Never;
       } else if (v.starts_with("polls:")) {
         c.completion = Completion::AfterPolls;
         c.polls = static_cast<unsigned>(
             parseNumber(v.substr(6), 1'000'000, "--completion polls"));
       } else if (v == "error" || v.starts_with("error:")) {
         c.completion = Completion::Fail;
         c.error = v == "error"
                       ? 1
                       : static_cast<std::uint32_t>(parseNumber(
                             v.substr(6), 0xFFFFFFFF, "--completion error"));
         if (c.error == 0) {
           throw common::badValue("--completion error", "a non-zero code",
                                  common::inQuotes(v.substr(6)));
         }
       } else {
         throw common::badValue("--completion",
                                "immediate, polls:N, never or error[:CODE]",
                                common::inQuotes(v));
       }
     }},
    {"--response-address-high", "VALUE",
     "High half of ResponseAddress (default 0; non-zero puts the response "
     "area above 4 GiB, which the module refuses).",
     [](Scenario &s, std::string_view v) {
       s.chipset.coprocessor.responseAddressHigh = static_cast<std::uint32_t>(
           parseNumber(v, 0xFFFFFFFF, "--response-address-high"));
     }},
    {"--response-size-zero", nullptr,
     "The co-processor leaves ResponseSize 0 when done (nothing to copy).",
     [](Scenario &s, std::string_view) {
       s.chipset.coprocessor.responseSizeZero = true;
     }},
    {"--pci-status", "VALUE",
     "Initial status register of 0:8.0 (default 0x0010); bits 8 and 11-15 "
     "are write-one-to-clear.",
     [](Scenario &s, std::string_view v) {
       s.chipset.coprocessor.status =
           static_cast<std::uint16_t>(parseNumber(v, 0xFFFF, "--pci-status"));
     }},
    {"--config-window", "off|below|above|MSR",
     "The memory-mapped configuration window: off (default: port 0xCF8/0xCFC "
     "mechanism), below 4 GiB (0xE0000000), above 4 GiB (0x10E0000000), or "
     "the raw value of MSR 0xC0010058.",
     [](Scenario &s, std::string_view v) {
       if (v == "off") {
         s.chipset.mmioConfigMsr = 0;
       } else if (v == "below") {
         s.chipset.mmioConfigMsr = Scenario::kWindowBelow;
       } else if (v == "above") {
         s.chipset.mmioConfigMsr = Scenario::kWindowAbove;
       } else {
         const auto msr =
             common::numberAtMost(v, ~0ull, common::Radix::DecimalOrHex);
         if (!msr) {
           throw common::badValue("--config-window",
                                  "off, below, above or an MSR value",
                                  common::inQuotes(v));
         }
         s.chipset.mmioConfigMsr = *msr;
       }
     }},
    {"--timer", "PORT|absent",
     "I/O port of the ACPI power-management timer (default 0x808), or absent "
     "(its register reads 0 and the module counts reads of port 0xEB). With "
     "--completion never the counted wait is 60 million reads, more than "
     "the default bounds allow: add --max-instructions 0 --timeout-ms "
     "300000.",
     [](Scenario &s, std::string_view v) {
       if (v == "absent") {
         s.chipset.pmTimerPort.reset();
         return;
       }
       const auto port = parseNumber(v, 0xFFFC, "--timer");
       if (port == 0) {
         throw common::badValue("--timer", "a port from 1 to 65532, or absent",
                                common::inQuotes(v));
       }
       s.chipset.pmTimerPort = static_cast<std::uint16_t>(port);
     }},
    {"--ticks-per-read", "N",
     "How far the timer moves between two reads (default 3580, about 1 ms).",
     [](Scenario &s, std::string_view v) {
       s.chipset.ticksPerRead = static_cast<std::uint32_t>(
           parseNumber(v, 0xFFFFFFFF, "--ticks-per-read"));
     }},
    {"--timer-start", "N", "The timer's first reading (default 0).",
     [](Scenario &s, std::string_view v) {
       s.chipset.pmTimerStart = static_cast<std::uint32_t>(
           parseNumber(v, 0xFFFFFFFF, "--timer-start"));
     }},
    {"--state-dir", "DIR",
     "Keep the TPM's non-volatile state in DIR (created if missing); "
     "default: STATE_DIR_DEFAULT. One process at a time (boot or serve) may "
     "use a directory.",
     [](Scenario &s, std::string_view v) {
       if (v.empty()) {
         throw common::badValue("--state-dir", "a directory", "\"\"");
       }
       s.tpmStateDir = std::string(v);
     }},
    {"--max-instructions", "N",
     "Instruction bound of each guest call (default 200000000; 0: none).",
     [](Scenario &s, std::string_view v) {
       s.limits.instructions = parseNumber(v, ~0ull, "--max-instructions");
     }},
    {"--unmodelled", "stop|record",
     "What an access to a port, MSR or address that no device models does: "
     "stop the run naming the guest address (default), or be recorded and "
     "answered (reads of ports and memory give all ones, MSR reads 0, "
     "writes are dropped), each listed in the log.",
     [](Scenario &s, std::string_view v) {
       if (v == "stop") {
         s.unmodelled = bus::Unmodelled::Stop;
       } else if (v == "record") {
         s.unmodelled = bus::Unmodelled::Record;
       } else {
         throw common::badValue("--unmodelled", "stop or record",
                                common::inQuotes(v));
       }
     }},
    {"--timeout-ms", "N",
     "Time bound of each guest call in milliseconds (default 30000).",
     [](Scenario &s, std::string_view v) {
       const auto ms = parseNumber(v, 24ull * 3600 * 1000, "--timeout-ms");
       if (ms == 0) {
         throw common::badValue("--timeout-ms", "at least 1",
                                common::inQuotes(v));
       }
       s.limits.time = std::chrono::milliseconds(ms);
     }},
};

} // namespace

std::vector<std::uint8_t> Scenario::defaultSetup() {
  std::vector<std::uint8_t> setup(kSetupBuffer, 0);
  setup[kDeviceSelect] = 2;
  return setup;
}

bool parseScenarioOption(std::span<const std::string> args, std::size_t &index,
                         Scenario &scenario) {
  const std::string &arg = args[index];
  const auto eq = arg.find('=');
  const std::string name = arg.substr(0, eq);
  for (const Option &option : kOptions) {
    if (name != option.name) {
      continue;
    }
    std::string value;
    std::size_t next = index + 1;
    if (option.value == nullptr) {
      if (eq != std::string::npos) {
        throw common::badValue(name, "no value",
                               common::inQuotes(arg.substr(eq + 1)));
      }
    } else if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
    } else if (next < args.size()) {
      value = args[next++];
    } else {
      throw common::missingValue(name, option.value);
    }
    option.apply(scenario, value);
    index = next;
    return true;
  }
  return false;
}

std::vector<std::string> scenarioOptionNames() {
  std::vector<std::string> names;
  for (const Option &option : kOptions) {
    names.emplace_back(option.name);
  }
  return names;
}

std::string scenarioOptionsHelp(std::string_view stateDirDefault) {
  constexpr std::string_view kPlaceholder = "STATE_DIR_DEFAULT";
  std::string text;
  for (const Option &option : kOptions) {
    std::string help = option.help;
    if (const auto at = help.find(kPlaceholder); at != std::string::npos) {
      help.replace(at, kPlaceholder.size(), stateDirDefault);
    }
    std::string head = "  " + std::string(option.name);
    if (option.value) {
      head += " " + std::string(option.value);
    }
    text += head + "\n";
    // The help text wrapped at 78 columns, indented by 6.
    std::string line;
    std::string_view rest = help;
    while (!rest.empty()) {
      const auto space = rest.find(' ');
      const std::string_view word = rest.substr(0, space);
      if (!line.empty() && line.size() + 1 + word.size() > 72) {
        text += "      " + line + "\n";
        line.clear();
      }
      line += (line.empty() ? "" : " ") + std::string(word);
      rest = space == std::string_view::npos ? std::string_view()
                                             : rest.substr(space + 1);
    }
    text += "      " + line + "\n";
  }
  return text;
}

pei::PeImage loadScenarioImage(const std::filesystem::path &path,
                               const Scenario &scenario) {
  std::optional<pei::PeImage> image;
  try {
    image = pei::PeImage::load(path);
  } catch (const std::exception &error) {
    throw UsageError(error.what());
  }
  if (scenario.shadowAddress % 0x1000 != 0 ||
      scenario.shadowAddress == image->imageBase()) {
    throw common::badValue("--shadow-address",
                           "a page-aligned address other than the link base " +
                               common::hex(image->imageBase(), 8),
                           common::hex(scenario.shadowAddress, 8));
  }
  return std::move(*image);
}

} // namespace platform
