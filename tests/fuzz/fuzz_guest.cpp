// The guest-level fuzzer: the shipped image booted on platforms whose
// "Setup", services and co-processor are drawn at random (completion at
// once, after polls, never or with an error code; control areas at 0, above
// 4 GiB or not set up; response sizes of 0), then its four transport
// functions called with random caller arguments: sizes around every
// boundary, null and overlapping pointers, buffers at the edge of mapped
// memory and in unmapped memory.
//
// The platform's machine invariants are checked after every guest call, and
// every boot must do what the platform predicts for its scenario. Every call
// must return the status the platform predicts from the co-processor's state
// and the arguments, or fault exactly when the caller's own arguments make
// the module touch memory that is not there; a response copied to the
// caller must be the co-processor's response.
//
// Everything comes from one seed, so a finding is reproduced by running the
// same seed again:
//   fuzz_guest [--seed N] [--calls N] [--image FILE]
// It prints calls per second at the end; a finding prints the seed, the
// scenario and the call, and exits 1.
#include "efi.h"
#include "platform.h"
#include "scenario.h"
#include "state_directory.h"
#include "suite_coverage.h"
#include "tpm_engine.h"
#include "tpm_header.h"
#include "transport_slot.h"

#include <chrono>
#include <cstdint>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Rng = std::mt19937_64;
using Completion = devices::CoprocessorConfig::Completion;

constexpr std::uint32_t kRegion = platform::Platform::kCallerBuffers;
constexpr std::uint32_t kRegionEnd =
    platform::Platform::kCallerBuffers + platform::Platform::kCallerBuffersSize;
// Between permanent memory and the caller buffers: nothing is mapped here.
constexpr std::uint32_t kUnmapped = 0x00300000;
constexpr std::uint32_t kAreaSize = devices::Coprocessor::kResponseSizeMax;
constexpr unsigned kCallsPerBoot = 400;

using Slot = common::TransportSlot;

std::uint64_t below(Rng &rng, std::uint64_t bound) { return rng() % bound; }
bool chance(Rng &rng, unsigned percent) { return below(rng, 100) < percent; }
template <typename T> T pick(Rng &rng, std::initializer_list<T> choices) {
  return *(choices.begin() + below(rng, choices.size()));
}
std::string hex(std::uint64_t value) {
  std::ostringstream out;
  out << "0x" << std::hex << std::uppercase << value;
  return out.str();
}

// Scenario options as a user gives them, so that only scenarios the
// platform can state an expectation for are drawn.
std::vector<std::string> drawScenario(Rng &rng) {
  std::vector<std::string> a;
  const auto add = [&](std::initializer_list<std::string> words) {
    a.insert(a.end(), words);
  };
  switch (below(rng, 6)) {
  case 0:
    add({"--no-setup"});
    break;
  case 1:
    add({"--setup-size",
         std::to_string(pick<unsigned>(
             rng, {0, 1, 256, 257, 458, 459, 1023, 1024, 1025, 4096}))});
    break;
  default:
    break;
  }
  if (chance(rng, 40)) {
    add({"--device-select",
         std::to_string(pick<unsigned>(rng, {0, 1, 2, 2, 3, 255}))});
  }
  if (chance(rng, 20)) {
    add({"--select-override",
         std::to_string(pick<unsigned>(rng, {0, 1, 255}))});
  }
  if (chance(rng, 10)) {
    add({"--setup-byte", std::to_string(below(rng, 1024)) + "=" +
                             std::to_string(below(rng, 256))});
  }
  if (chance(rng, 4)) {
    add({"--no-variable-ppi"});
  }
  if (chance(rng, 4)) {
    add({"--no-pcd-ppi"});
  }
  if (chance(rng, 8)) {
    add({"--token11-max",
         std::to_string(pick<unsigned>(rng, {0, 15, 16, 17, 64}))});
  }
  if (chance(rng, 4)) {
    add({"--setptr-status",
         hex(pick<std::uint32_t>(rng, {0x80000009, 0x80000002, 0x8000000E}))});
  }
  if (chance(rng, 8)) {
    add({"--trigger", std::to_string(below(rng, 3))});
  }
  if (chance(rng, 8)) {
    add({"--device-selected", std::to_string(below(rng, 3))});
  }
  if (chance(rng, 4)) {
    add({"--coprocessor", "absent"});
  }
  if (chance(rng, 25)) {
    add({"--base-source", "msr"});
    if (chance(rng, 30)) {
      add({"--msr-base", hex(pick<std::uint32_t>(rng, {0, 0xFFFFFFFF}))});
    }
  }
  if (chance(rng, 10)) {
    add({"--coprocessor-base",
         hex(pick<std::uint32_t>(rng, {0, 0xFE900000, 0xFE800000}))});
  }
  // Completion; a co-processor that never completes is waited for with a
  // timer that runs fast, so that its 120 s pass in a few reads.
  const unsigned completion = static_cast<unsigned>(below(rng, 100));
  if (completion < 50) {
    add({"--completion", "immediate"});
  } else if (completion < 78) {
    add({"--completion",
         "polls:" + std::to_string(pick<std::uint64_t>(
                        rng, {0, 1, 2, 3, 17, below(rng, 300)}))});
  } else if (completion < 95) {
    add({"--completion",
         "error:" + hex(pick<std::uint32_t>(
                        rng, {1, 0x80000000, 0xFFFFFFFF,
                              static_cast<std::uint32_t>(rng() | 1)}))});
  } else {
    add({"--completion", "never", "--ticks-per-read", "100000000"});
  }
  if (completion < 95 && chance(rng, 5)) {
    add({"--timer", "absent"});
  }
  if (chance(rng, 8)) {
    add({"--response-address-high",
         hex(pick<std::uint32_t>(rng, {1, 0x80000000, 0xFFFFFFFF}))});
  }
  if (chance(rng, 8)) {
    add({"--response-size-zero"});
  }
  if (chance(rng, 10)) {
    add({"--config-window", pick<std::string>(rng, {"off", "below", "above"})});
  }
  if (chance(rng, 8)) {
    add({"--pci-status", hex(below(rng, 0x10000))});
  }
  return a;
}

// A buffer of `length` bytes: null, unmapped, at the very end of the
// caller buffers (inside or crossing it), or anywhere in them.
std::uint32_t drawPointer(Rng &rng, std::uint64_t length) {
  switch (below(rng, 10)) {
  case 0:
    return 0;
  case 1:
    return kUnmapped + static_cast<std::uint32_t>(below(rng, 0x1000));
  case 2: {
    const std::uint64_t span = std::min<std::uint64_t>(length, kRegionEnd);
    return static_cast<std::uint32_t>(kRegionEnd - span + below(rng, 9)) - 4;
  }
  default:
    return kRegion +
           static_cast<std::uint32_t>(below(rng, kRegionEnd - kRegion));
  }
}

std::uint32_t drawSize(Rng &rng) {
  return pick<std::uint32_t>(
      rng, {0, 1, 9, 10, 11, 12, 0x3FFF, 0x4000, 0x4001, 0x8000, 0xFFFFFFFF,
            static_cast<std::uint32_t>(below(rng, 64)),
            static_cast<std::uint32_t>(below(rng, 0x4100)),
            static_cast<std::uint32_t>(rng())});
}

bool inRegion(std::uint64_t address, std::uint64_t length) {
  return address >= kRegion && address + length <= kRegionEnd;
}

// A TPM command: mostly well-formed ones, sometimes damaged or random.
std::vector<std::uint8_t> drawCommand(Rng &rng, std::size_t size) {
  std::vector<std::uint8_t> bytes(std::min<std::size_t>(size, 0x4100));
  for (auto &b : bytes) {
    b = static_cast<std::uint8_t>(rng());
  }
  if (bytes.size() >= tpm::kHeaderSize && chance(rng, 70)) {
    const std::vector<std::uint8_t> getRandom = {0x80, 0x01, 0,    0,    0, 12,
                                                 0,    0,    0x01, 0x7B, 0, 16};
    std::copy_n(getRandom.begin(), std::min(getRandom.size(), bytes.size()),
                bytes.begin());
    if (chance(rng, 80)) {
      // The header's size says how much of the buffer is the command.
      const auto stated =
          static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size(), 12));
      for (int i = 0; i < 4; ++i) {
        bytes[tpm::kSizeOffset + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(stated >> (24 - 8 * i));
      }
    }
  }
  return bytes;
}

// What a call does, worked out from the arguments and the co-processor's
// state before it.
struct Prediction {
  bool fault = false; // the caller's arguments make the module touch nothing
  std::uint32_t status = efi::kSuccess;
  bool copies = false; // a response is copied to the caller
  std::uint32_t copyLength = 0;
};

class Predictor {
public:
  Predictor(platform::Platform &platform, std::uint32_t transportStatus)
      : platform_(platform), transport_(transportStatus) {}

  Prediction send(std::uint32_t command, std::uint32_t size) const {
    Prediction p;
    if (command == 0 || size == 0 || size > kAreaSize) {
      p.status = efi::kInvalidParameter;
    } else if (transport_ == efi::kUnsupported) {
      p.status = efi::kUnsupported;
    } else if (!inRegion(command, size)) {
      p.fault = true;
    } else {
      p.status = transport_;
    }
    return p;
  }

  // `afterSend`: the call follows a successful Send of this same call.
  Prediction receive(std::uint32_t response, std::uint32_t lengthAt,
                     bool afterSend) const {
    Prediction p;
    if (response == 0 || lengthAt == 0) {
      p.status = efi::kInvalidParameter;
      return p;
    }
    if (!inRegion(lengthAt, 4)) {
      p.fault = true;
      return p;
    }
    const std::uint32_t length = platform_.machine().read32(lengthAt);
    devices::Coprocessor &coprocessor = platform_.chipset().coprocessor();
    const auto &config = coprocessor.config();
    if (length == 0) {
      p.status = efi::kInvalidParameter;
    } else if (transport_ == efi::kUnsupported) {
      p.status = efi::kUnsupported;
    } else if (!afterSend && coprocessor.start() != 0 &&
               config.completion == Completion::Never) {
      p.status = efi::kTimeout;
    } else if (!afterSend && coprocessor.start() != 0 &&
               config.completion == Completion::Fail) {
      p.status = efi::kDeviceError;
    } else {
      const bool sized = afterSend ? !config.responseSizeZero
                                   : coprocessor.responseSize() != 0;
      p.copies = sized;
      p.copyLength = std::min(length, kAreaSize);
      if (p.copies && !inRegion(response, p.copyLength)) {
        p.fault = true;
      }
    }
    return p;
  }

private:
  platform::Platform &platform_;
  std::uint32_t transport_;
};

struct Call {
  Slot slot = Slot::kProbe;
  std::vector<std::uint32_t> arguments;
  std::string describe() const {
    std::string text = std::string(common::name(slot)) + "(";
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      text += (i ? ", " : "") + hex(arguments[i]);
    }
    return text + ")";
  }
};

struct Totals {
  std::uint64_t calls = 0;
  std::uint64_t boots = 0;
  std::uint64_t faults = 0; // expected ones, caused by the caller
  std::uint64_t byStatus[5] = {};
};

class Finding : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class GuestFuzzer {
public:
  GuestFuzzer(pei::PeImage image, std::uint64_t seed)
      : image_(std::move(image)), rng_(seed), state_(""),
        engine_(state_.path()) {}

  void run(std::uint64_t calls, Totals &totals) {
    while (totals.calls < calls) {
      bootOne(calls, totals);
    }
  }

private:
  void bootOne(std::uint64_t calls, Totals &totals) {
    const std::vector<std::string> args = drawScenario(rng_);
    scenarioText_.clear();
    for (const std::string &arg : args) {
      scenarioText_ += arg + " ";
    }
    platform::Scenario scenario;
    try {
      for (std::size_t i = 0; i < args.size();) {
        if (!platform::parseScenarioOption(args, i, scenario)) {
          throw Finding("not a scenario option: " + args[i]);
        }
      }
    } catch (const platform::UsageError &) {
      return; // a combination the options refuse (a byte past "Setup" ...)
    }
    std::optional<platform::Platform> platform;
    try {
      platform.emplace(scenario, image_, engine_, test::suiteCoverage());
    } catch (const machine::MachineError &) {
      return; // a scenario the platform cannot build (stated at start)
    }
    const platform::BootReport report = platform->boot();
    ++totals.boots;
    if (!report.ok || !report.fault.empty()) {
      std::string problems = report.fault;
      for (const std::string &problem : report.problems) {
        problems += "; " + problem;
      }
      throw Finding("the boot did not do what the platform predicts: " +
                    problems);
    }
    // The access record is for people reading one run; here it only grows.
    platform->machine().trace().setLimit(0);
    if (report.transportPublished) {
      const platform::Expectations expected =
          platform::expectationsFor(scenario);
      const Predictor predictor(*platform, expected.transportStatus);
      for (unsigned n = 0; n < kCallsPerBoot && totals.calls < calls; ++n) {
        callOne(*platform, predictor, totals);
      }
    }
    platform.reset();
    engine_.powerOff();
  }

  void callOne(platform::Platform &platform, const Predictor &predictor,
               Totals &totals) {
    machine::Machine &m = platform.machine();
    Call call;
    call.slot = static_cast<Slot>(below(rng_, common::kTransportSlots));
    const std::uint32_t size = drawSize(rng_);
    const std::uint32_t command = drawPointer(rng_, size);
    std::uint32_t response = drawPointer(rng_, kAreaSize);
    if (call.slot == Slot::kExecute && chance(rng_, 15)) {
      response = command; // the response over the command
    }
    const std::uint32_t lengthAt = drawPointer(rng_, 4);
    // Fill whatever of the caller's buffers is mapped.
    if (command != 0) {
      const std::vector<std::uint8_t> bytes = drawCommand(rng_, size);
      const std::uint64_t from = std::max<std::uint64_t>(command, kRegion);
      const std::uint64_t to = std::min<std::uint64_t>(
          std::uint64_t{command} + bytes.size(), kRegionEnd);
      if (from < to) {
        m.write(static_cast<std::uint32_t>(from),
                std::span(bytes).subspan(from - command, to - from));
      }
    }
    if (inRegion(lengthAt, 4)) {
      m.write32(lengthAt, drawSize(rng_));
    }

    Prediction predicted;
    switch (call.slot) {
    case Slot::kExecute: {
      call.arguments = {command, size, response, lengthAt};
      predicted = predictor.send(command, size);
      if (!predicted.fault && predicted.status == efi::kSuccess) {
        predicted = predictor.receive(response, lengthAt, true);
      }
      break;
    }
    case Slot::kProbe:
      break;
    case Slot::kSend:
      call.arguments = {command, size};
      predicted = predictor.send(command, size);
      break;
    case Slot::kReceive:
      call.arguments = {response, lengthAt};
      predicted = predictor.receive(response, lengthAt, false);
      break;
    }

    ++totals.calls;
    std::uint32_t status = 0;
    try {
      status = platform.callTransport(call.slot, call.arguments);
    } catch (const machine::GuestFault &fault) {
      if (!predicted.fault) {
        throw Finding(call.describe() + " faulted: " + fault.what());
      }
      ++totals.faults;
      return;
    }
    if (predicted.fault) {
      throw Finding(call.describe() + " returned " + efi::statusName(status) +
                    " where it must touch memory that is not there");
    }
    if (status != predicted.status) {
      throw Finding(call.describe() + " returned " + efi::statusName(status) +
                    ", the platform predicts " +
                    efi::statusName(predicted.status));
    }
    ++totals.byStatus[statusIndex(status)];
    if (predicted.copies) {
      checkCopy(platform, call, response, predicted.copyLength);
    }
  }

  // The response the caller got is the co-processor's response area as the
  // command left it: the response, then zeros.
  static void checkCopy(platform::Platform &platform, const Call &call,
                        std::uint32_t response, std::uint32_t length) {
    const devices::Coprocessor &coprocessor = platform.chipset().coprocessor();
    std::vector<std::uint8_t> expected(length, 0);
    if (!coprocessor.responses().empty()) {
      const auto &last = coprocessor.responses().back();
      std::copy_n(last.begin(), std::min<std::size_t>(last.size(), length),
                  expected.begin());
    }
    if (platform.machine().read(response, length) != expected &&
        !coprocessor.responses().empty()) {
      throw Finding(call.describe() +
                    ": the caller's buffer does not hold the co-processor's "
                    "response");
    }
  }

  static unsigned statusIndex(std::uint32_t status) {
    switch (status) {
    case efi::kSuccess:
      return 0;
    case efi::kInvalidParameter:
      return 1;
    case efi::kUnsupported:
      return 2;
    case efi::kDeviceError:
      return 3;
    default:
      return 4;
    }
  }

public:
  const std::string &scenarioText() const { return scenarioText_; }

private:
  pei::PeImage image_;
  Rng rng_;
  platform::StateDirectory state_;
  tpm::TpmEngine engine_;
  std::string scenarioText_;
};

std::uint64_t number(const std::string &option, const std::string &text) {
  try {
    std::size_t used = 0;
    const std::uint64_t value = std::stoull(text, &used, 0);
    if (used == text.size()) {
      return value;
    }
  } catch (const std::exception &) {
  }
  throw std::invalid_argument(option + ": expected a number, found \"" + text +
                              "\"");
}

} // namespace

int main(int argc, char **argv) {
  std::uint64_t seed = 1;
  std::uint64_t calls = 10000;
  std::string imagePath = FIRMWARE_IMAGE;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (i + 1 >= argc) {
        throw std::invalid_argument(arg + ": expected a value (options: "
                                          "--seed N, --calls N, --image FILE)");
      }
      const std::string value = argv[++i];
      if (arg == "--seed") {
        seed = number(arg, value);
      } else if (arg == "--calls") {
        calls = number(arg, value);
      } else if (arg == "--image") {
        imagePath = value;
      } else {
        throw std::invalid_argument("unknown option \"" + arg +
                                    "\" (options: --seed N, --calls N, "
                                    "--image FILE)");
      }
    }
  } catch (const std::exception &error) {
    std::cerr << "fuzz_guest: " << error.what() << "\n";
    return 2;
  }

  std::optional<GuestFuzzer> fuzzer;
  try {
    fuzzer.emplace(pei::PeImage::load(imagePath), seed);
  } catch (const std::exception &error) {
    std::cerr << "fuzz_guest: " << error.what() << "\n";
    return 2;
  }
  Totals totals;
  const auto started = std::chrono::steady_clock::now();
  try {
    fuzzer->run(calls, totals);
  } catch (const std::exception &finding) {
    std::cerr << "fuzz_guest: FINDING with --seed " << seed << " at call "
              << totals.calls << " (boot " << totals.boots
              << "), scenario: " << fuzzer->scenarioText() << "\n  "
              << finding.what() << "\n";
    return 1;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started)
          .count();
  std::cout << "fuzz_guest --seed " << seed << ": " << totals.calls
            << " guest calls on " << totals.boots << " boots in " << seconds
            << " s, " << static_cast<std::uint64_t>(totals.calls / seconds)
            << " calls/s; EFI_SUCCESS " << totals.byStatus[0]
            << ", EFI_INVALID_PARAMETER " << totals.byStatus[1]
            << ", EFI_UNSUPPORTED " << totals.byStatus[2]
            << ", EFI_DEVICE_ERROR " << totals.byStatus[3] << ", other "
            << totals.byStatus[4] << ", caller faults " << totals.faults
            << "\n";
  return 0;
}
