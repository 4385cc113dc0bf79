// Figures, not a test: the deepest stack each entry of the shipped image
// uses, measured on the emulated platform. Run it as
//   build/tests/conformance/stack_depth
// It boots the image with the configuration window below 4 GiB, above 4 GiB
// (every access through the FS window) and off (the ports), drives a
// TPM2_Startup through Execute, and prints, for each kind of guest call, how
// far below the caller's stack pointer the call wrote: its return address,
// its frames and the arguments it pushed for the calls it made.
#include "machine.h"
#include "pe_image.h"
#include "platform.h"
#include "scenario.h"
#include "suite_coverage.h"
#include "tpm_engine.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

// Paints the stack below the caller's stack pointer before each guest call
// and, afterwards, finds the lowest byte the call changed: the depth of the
// call's return address, frames and the arguments it pushed, per call name.
class StackDepth : public machine::CallObserver {
public:
  explicit StackDepth(machine::Machine &machine) : machine_(machine) {}

  void beforeCall(const machine::CallRecord &call) override {
    const std::vector<std::uint8_t> paint(kReach, kPaint);
    machine_.write(call.before.esp - kReach, paint);
  }
  void afterCall(const machine::CallRecord &call) override {
    const auto stack = machine_.read(call.before.esp - kReach, kReach);
    const auto used = std::find_if(stack.begin(), stack.end(),
                                   [](std::uint8_t b) { return b != kPaint; });
    // At the first instruction ESP points at the return address.
    const auto depth = static_cast<std::uint64_t>(stack.end() - used) + 4;
    const std::string name = call.name.substr(0, call.name.find(" -> "));
    deepest_[name] = std::max(deepest_[name], depth);
  }
  const std::map<std::string, std::uint64_t> &deepest() const {
    return deepest_;
  }

private:
  static constexpr std::uint32_t kReach = 0x2000; // twice the largest frame
  static constexpr std::uint8_t kPaint = 0xA5;
  machine::Machine &machine_;
  std::map<std::string, std::uint64_t> deepest_;
};

// TPM2_Startup(CLEAR): tag, size, command code, startup type.
const std::uint8_t kStartup[] = {0x80, 0x01, 0x00, 0x00, 0x00, 0x0C,
                                 0x00, 0x00, 0x01, 0x44, 0x00, 0x00};

} // namespace

int main() {
  const struct {
    const char *name;
    std::uint64_t windowMsr;
  } variants[] = {{"window below 4 GiB", platform::Scenario::kWindowBelow},
                  {"window above 4 GiB", platform::Scenario::kWindowAbove},
                  {"ports", 0}};
  try {
    std::map<std::string, std::uint64_t> overall;
    for (const auto &variant : variants) {
      const auto state = std::filesystem::temp_directory_path() /
                         ("stack-depth-" + std::to_string(::getpid()));
      {
        platform::Scenario scenario;
        scenario.chipset.mmioConfigMsr = variant.windowMsr;
        tpm::TpmEngine engine(state);
        platform::Platform platform(scenario,
                                    pei::PeImage::load(FIRMWARE_IMAGE_PATH),
                                    engine, test::suiteCoverage());
        StackDepth depth(platform.machine());
        platform.machine().addObserver(&depth);
        platform.boot();
        platform.execute(kStartup);
        platform.machine().removeObserver(&depth);
        std::printf("%s:\n", variant.name);
        for (const auto &[name, bytes] : depth.deepest()) {
          std::printf("  %-36s %5llu bytes\n", name.c_str(),
                      static_cast<unsigned long long>(bytes));
          overall[name] = std::max(overall[name], bytes);
        }
      }
      std::filesystem::remove_all(state);
    }
    std::uint64_t peak = 0;
    for (const auto &entry : overall) {
      peak = std::max(peak, entry.second);
    }
    std::printf("peak stack of any entry: %llu bytes\n",
                static_cast<unsigned long long>(peak));
  } catch (const std::exception &error) {
    std::fprintf(stderr, "stack_depth: %s\n", error.what());
    return 1;
  }
  return 0;
}
