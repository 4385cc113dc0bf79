// The bench: any set of IA-32 PEI modules run as the PI PEI Foundation runs
// them, from flash images, firmware volumes, FFS files and PE32 or TE
// images, on the emulated machine with the platform's chipset and
// co-processor behind it.
//
// A bench finds every volume in its inputs (nested ones too), places each
// where its images are linked to run, or copies and relocates them, and
// dispatches: the apriori file's modules first, then passes over the rest,
// each module dispatched once its dependency expression holds, until a pass
// dispatches nothing. Permanent memory is what a module installs (or, if
// none does before the dispatch stalls, what the bench installs as a
// memory-initialisation module would), and modules that registered for
// shadowing run again from a copy in it. The run ends at the DXE IPL PPI,
// at a reset, or when nothing more can be dispatched.
//
// Hardware that no device models is recorded and answered, not fatal: each
// access is listed with the module and instruction that made it. A module
// that faults or runs past its bounds is reported and the run goes on.
//
// The guest's physical memory, besides the machine's own pages:
//   0x00060000  PEI Foundation data: services table, platform PPIs    r--
//   0x00080000  temporary RAM: HOB list from the bottom, stack on top  rw-
//   0x00C00000  the bench volume: FFS files and images given alone      rw-
//   0x00D00000  copies of images that cannot run where they lie        rwx
//   0x04000000  permanent memory the bench installs (--memory)         rwx
//   link base   volumes decompressed from flash, as RAM copies         rwx
//   top of 4 GiB  the flash images, the last one given ending at 4 GiB r-x
#pragma once

#include "chipset.h"
#include "foundation.h"
#include "machine.h"
#include "pe_image.h"
#include "volume.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// An input the bench cannot use: the message names the file, the offset
// and what was expected.
class InputError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A value declared for a register nobody models (--registers).
struct RegisterAnswer {
  bus::Space space = bus::Space::Port;
  std::uint64_t address = 0;
  unsigned width = 1;
  std::vector<std::uint64_t> values; // in turn, the last one for good
};

struct BenchOptions {
  std::vector<std::filesystem::path> inputs;
  std::optional<std::filesystem::path> vars; // placed below the flash image
  std::uint64_t memorySize = 64ull << 20;    // what the bench installs
  machine::CallLimits limits;                // for each module
  std::vector<RegisterAnswer> registers;
  // Told of each image before it is placed (by name, its UI name or GUID),
  // so that a debugger can be given its symbols; every copy is announced to
  // the machine's agents as "<name>" or "<name>.shadow".
  std::function<void(const std::string &, const efi::Guid &,
                     const pei::PeImage &)>
      imagePlaced;
  // What the co-processor's TPM answers a command with.
  std::function<std::vector<std::uint8_t>(std::span<const std::uint8_t>)> tpm;
};

enum class Outcome {
  NotDispatched, // its dependency expression never held
  BadDepex,      // a malformed expression: skipped
  NoImage,       // no image the bench can run
  Returned,      // the entry returned (status in PeimReport::status)
  Faulted,       // stopped the machine
  Bound,         // ran past the instruction or time bound
  Reset,         // asked for a reset, which ended the run
};
const char *outcomeName(Outcome outcome);

struct PeimReport {
  efi::Guid name;
  std::string uiName;
  std::string volume;        // the origin of the volume that holds it
  std::uint32_t file = 0;    // its file handle: the FFS header's address
  std::uint32_t address = 0; // the image it ran from, 0 if it never ran
  std::uint32_t size = 0;
  std::uint32_t linkBase = 0;    // where the image is linked to run
  bool inPlace = false;          // ran where it lies in its volume
  std::optional<unsigned> order; // dispatch order, from 1
  std::optional<std::uint32_t> status;
  Outcome outcome = Outcome::NotDispatched;
  std::string detail; // the fault, the bound, the failing expression
  std::string depex;  // as infix text; "TRUE" without one
  bool apriori = false;
  bool shadowRequested = false;
  std::optional<std::uint32_t> shadowAddress;
  std::optional<std::uint32_t> shadowStatus;
  std::vector<efi::Guid> ppisInstalled;
  std::map<std::string, unsigned> services; // name -> calls
  std::vector<bus::UnmodelledAccess> unmodelled;
  std::uint64_t unmodelledCount = 0;
  std::vector<std::string> debugOutput; // its lines on the debug console
};

// A configuration token a module set through the PCD PPI's SetPtr, as the
// genuine PCD module answered it.
struct TokenWrite {
  std::string module;
  std::uint32_t token = 0;
  std::uint32_t sizeAsked = 0;
  std::optional<std::uint32_t> status;    // once SetPtr returned
  std::optional<std::uint32_t> sizeAfter; // *SizeOfBuffer then
};

// What the PCD database holds for a token at the end, read through its
// GetSize and GetPtr.
struct TokenValue {
  std::uint32_t token = 0;
  std::uint32_t size = 0;
  std::vector<std::uint8_t> bytes;
  // From the same address, as many bytes as the largest write asked for:
  // what a write longer than the token did to its neighbours.
  std::vector<std::uint8_t> reach;
};

// How the bench names a module: its UI name, else its file GUID.
inline std::string displayName(const PeimReport &peim) {
  return peim.uiName.empty() ? peim.name.text() : peim.uiName;
}

struct PpiReport {
  efi::Guid guid;
  std::uint32_t descriptor = 0;
  std::uint32_t interface = 0;
  std::string installer; // the module, or "platform"
};

struct RunReport {
  std::vector<std::string> volumes; // origin and where each was placed
  std::vector<PeimReport> peims;    // in volume order
  std::vector<std::string> log;
  std::string ending;  // how the run ended
  bool dxeIpl = false; // it ended at the DXE IPL PPI
  std::optional<pei::Foundation::MemoryRange> memory;
  bool memoryByBench = false;
  std::vector<std::uint8_t> hobList; // as it stands at the end
  std::vector<PpiReport> ppis;
  std::uint64_t unmodelledCount = 0;
  std::vector<TokenWrite> tokenWrites;
  std::vector<TokenValue> tokens; // the ones written
  double seconds = 0;
};

class Bench {
public:
  static constexpr std::uint32_t kTemporaryRam = 0x00080000;
  static constexpr std::uint32_t kTemporaryRamSize = 0x00040000;
  static constexpr std::uint32_t kStackSize = 0x00020000;
  static constexpr std::uint32_t kBenchVolume = 0x00C00000;
  static constexpr std::uint32_t kBenchVolumeMax = 0x00100000;
  static constexpr std::uint32_t kLoadArea = 0x00D00000;
  static constexpr std::uint32_t kLoadAreaSize = 0x00300000;
  static constexpr std::uint32_t kInstalledMemory = 0x04000000;
  // Buffers of the bench's own calls into a published transport.
  static constexpr std::uint32_t kCallerBuffers = 0x00B00000;
  static constexpr std::uint32_t kCallerCommandSize = 0x8000;
  static constexpr std::uint32_t kCallerResponseSize = 0x4000;
  static constexpr std::uint32_t kPermanentStack = 0x00020000;
  // The debug console: QEMU's debug port and the first serial port.
  static constexpr std::uint16_t kDebugPort = 0x402;
  static constexpr std::uint16_t kSerialPort = 0x3F8;

  // Reads and walks every input, and builds the machine. Throws InputError
  // (or volume::FormatError) naming the file for input it cannot use.
  explicit Bench(BenchOptions options);
  ~Bench();
  Bench(const Bench &) = delete;
  Bench &operator=(const Bench &) = delete;

  // Places the volumes and dispatches. Call once.
  RunReport run();

  // After the run: whether a module published TpmTransportPpi, and one
  // command through its Execute, from buffers of the bench's own (the
  // response cut to the size its header states). Guest faults are thrown
  // as machine::GuestFault.
  bool transportPublished() const;
  struct Exchange {
    std::uint32_t efiStatus = 0;
    std::vector<std::uint8_t> response;
  };
  Exchange execute(std::span<const std::uint8_t> command);

  machine::Machine &machine() { return *machine_; }
  pei::Foundation &foundation() { return *foundation_; }
  // The module whose image (either copy) holds address: its index in the
  // report's module list and its name.
  std::optional<std::pair<std::size_t, std::string>>
  moduleOf(std::uint32_t address);

private:
  struct Module;
  struct Placed;
  void readInputs();
  void addFlash(const std::filesystem::path &path, volume::Bytes bytes,
                std::uint32_t top);
  void addAlone(const std::filesystem::path &path, volume::Bytes bytes);
  void placeVolumes(RunReport &report);
  void collectModules(const Placed &placed);
  void announceVolumes();
  bool placeImage(Module &module);
  std::uint32_t loadCopy(const pei::PeImage &image, const std::string &name);
  void dispatchPasses(RunReport &report);
  bool dispatchable(Module &module);
  void dispatch(Module &module, RunReport &report);
  void runEntry(Module &module, std::uint32_t entry, bool shadow,
                RunReport &report);
  void switchMemory(RunReport &report);
  void shadowRegistered(RunReport &report);
  Module *moduleAt(std::uint32_t address);
  std::string lastTouched(const Module &module) const;
  std::string where(std::uint32_t address);
  Module *moduleWithFile(std::uint32_t file);
  void watchPcd(const pei::Foundation::Ppi &ppi);
  void readTokens(RunReport &report);
  void mapConsole();
  void consoleByte(std::uint8_t byte);
  void finish(RunReport &report);

  BenchOptions options_;
  std::unique_ptr<machine::Machine> machine_;
  std::unique_ptr<devices::Chipset> chipset_;
  std::unique_ptr<pei::Foundation> foundation_;
  std::vector<Placed> placed_;
  std::vector<Module> modules_;
  std::uint32_t loadNext_ = kLoadArea;
  Module *current_ = nullptr;
  unsigned order_ = 0;
  bool ended_ = false;
  std::string console_; // the debug console's line being written
  std::vector<std::string> *log_ = nullptr; // the run's log, while it runs
  std::uint32_t stackTop_ = kTemporaryRam + kTemporaryRamSize;
  std::vector<TokenWrite> tokenWrites_;
  std::optional<std::uint32_t> pcdPpi_; // the genuine PCD PPI's interface
};

} // namespace bench
