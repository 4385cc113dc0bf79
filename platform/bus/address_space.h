// The platform's address spaces as the processor and the devices meet them:
// the 64-bit physical memory map (RAM and ROM with the guest's rights,
// devices' memory-mapped registers below and above 4 GiB), the 64 Ki I/O
// ports and the model-specific registers. Devices place register blocks in
// it; the processor's hooks hand it every access they cannot carry out
// themselves. It checks each access against the register table, words the
// refusals, records the trace and applies the policy for accesses that no
// device models. It knows nothing of the processor but what Backing gives.
#pragma once

#include "registers.h"
#include "trace.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace bus {

// Rights of the guest on a region, a set of bits. The host reads and writes
// any mapped region regardless.
enum class Rights : std::uint32_t {
  kNone = 0,
  kRead = 1,
  kWrite = 2,
  kExecute = 4,
  kReadWrite = kRead | kWrite,
  kReadExecute = kRead | kExecute,
};
using enum Rights;
constexpr Rights operator|(Rights a, Rights b) {
  return static_cast<Rights>(static_cast<std::uint32_t>(a) |
                             static_cast<std::uint32_t>(b));
}
constexpr Rights operator&(Rights a, Rights b) {
  return static_cast<Rights>(static_cast<std::uint32_t>(a) &
                             static_cast<std::uint32_t>(b));
}
// Whether rights include every right in wanted.
constexpr bool allows(Rights rights, Rights wanted) {
  return (rights & wanted) == wanted;
}

inline constexpr std::uint64_t k4GiB = 1ull << 32;

// A range of guest physical addresses.
struct AddressRange {
  std::uint64_t base = 0;
  std::uint64_t size = 0;
  auto operator<=>(const AddressRange &) const = default;
};

// One entry of the physical memory map.
struct Region {
  std::uint64_t base = 0;
  std::uint64_t size = 0;
  std::string name = {};
  Rights rights = kNone;
  std::string protection = {}; // why rights were taken away, if they were
  // Device registers: the block, and where the region starts in it (a block
  // that straddles 4 GiB is two regions). None: RAM or ROM.
  const RegisterBlock *block = nullptr;
  std::uint64_t blockOffset = 0;
  bool unmodelled = false; // a page nobody models, answered by the policy
  bool mmio() const { return block != nullptr || unmodelled; }
};

// Which address space an access went to.
enum class Space : std::uint8_t { Port, Memory, Msr };

// What happens to an access that no device models: the run stops, naming
// the guest address, or the access is recorded and answered (reads of ports
// and memory give all ones, MSR reads 0, writes are dropped) unless a value
// was declared for it.
enum class Unmodelled : std::uint8_t { Stop, Record };

struct UnmodelledAccess {
  Space space = Space::Port;
  bool write = false;
  std::uint64_t address = 0;
  unsigned size = 0;
  std::uint64_t value = 0;       // written, or answered
  std::uint32_t instruction = 0; // the guest instruction that made it
  std::string image;             // the region that instruction lies in
};

// What the processor's emulator does for the address space: it holds the
// bytes of RAM and ROM, mirrors the map, and knows which instruction runs.
class Backing {
public:
  virtual ~Backing() = default;
  virtual void mapRam(const Region &region) = 0;
  virtual void mapRegisters(const Region &region) = 0; // below 4 GiB
  virtual void unmapRegion(const Region &region) = 0;
  virtual void protectRegion(const Region &region) = 0;
  // False when some byte is not RAM or ROM.
  virtual bool readRam(std::uint64_t address,
                       std::span<std::uint8_t> bytes) const = 0;
  virtual bool writeRam(std::uint64_t address,
                        std::span<const std::uint8_t> bytes) = 0;
  // The address of the guest instruction being carried out, 0 if none.
  virtual std::uint32_t instruction() const = 0;
};

class AddressSpace {
public:
  explicit AddressSpace(Backing &backing) : backing_(backing) {}
  AddressSpace(const AddressSpace &) = delete;
  AddressSpace &operator=(const AddressSpace &) = delete;

  // --- the memory map -----------------------------------------------------
  // RAM (or ROM, by rights) below 4 GiB, page aligned, zero filled.
  void mapMemory(std::uint32_t base, std::uint32_t size, std::string name,
                 Rights rights);
  // A device's registers at [base, base + size): page aligned below 4 GiB,
  // anywhere above; a range that straddles 4 GiB is split there, the upper
  // part named "<name> (above 4 GiB)". Above 4 GiB the guest reaches it only
  // through the FS window.
  void mapRegisters(std::uint64_t base, std::uint64_t size,
                    RegisterBlock block);
  void unmap(std::uint32_t base);
  // Changes what the guest may do with the region that starts at base; the
  // reason is given in faults ("flash is no longer accessible ...").
  void protect(std::uint32_t base, Rights rights, std::string reason = {});
  const Region *find(std::uint64_t address) const;
  // The name of the region holding address, or empty.
  std::string regionName(std::uint64_t address) const;

  // --- ports and MSRs -----------------------------------------------------
  void mapPorts(std::uint16_t first, std::uint16_t count, RegisterBlock block);
  // Each register's offset is an MSR index, its length 1.
  void mapMsrs(RegisterBlock block);
  // One MSR; no write handler makes it read-only.
  void mapMsr(std::uint32_t index, const char *name, ReadHandler read,
              WriteHandler write);

  // --- host access ----------------------------------------------------------
  // Mapped RAM and ROM, whatever the guest's rights.
  std::vector<std::uint8_t> read(std::uint32_t address, std::size_t size) const;
  void write(std::uint32_t address, std::span<const std::uint8_t> bytes);
  std::uint32_t read32(std::uint32_t address) const;
  void write32(std::uint32_t address, std::uint32_t value);
  // On the guest's behalf (a service reading its arguments, writing its
  // out-parameters): refused with GuestFault, naming `what`, when the guest
  // itself could not do it.
  std::vector<std::uint8_t> guestRead(std::uint32_t address, std::size_t size,
                                      const std::string &what) const;
  // The same refusal, before a service builds what it is about to write.
  void checkGuestAccess(std::uint32_t address, std::size_t size, Rights right,
                        const std::string &what) const;
  void guestWrite(std::uint32_t address, std::span<const std::uint8_t> bytes,
                  const std::string &what);

  // --- guest accesses the processor hands on --------------------------------
  std::uint32_t portRead(std::uint16_t port, unsigned size);
  void portWrite(std::uint16_t port, unsigned size, std::uint32_t value);
  std::uint64_t msrRead(std::uint32_t index);
  void msrWrite(std::uint32_t index, std::uint64_t value);
  std::uint64_t registerRead(const Region &region, std::uint64_t offset,
                             unsigned size);
  void registerWrite(const Region &region, std::uint64_t offset, unsigned size,
                     std::uint64_t value);
  // The 64-bit physical address space as a bus master sees it (the FS
  // window): RAM, ROM and registers below 4 GiB, registers above.
  std::uint64_t physicalRead(std::uint64_t address, unsigned size);
  void physicalWrite(std::uint64_t address, unsigned size, std::uint64_t value);
  // A guest load or store reached an address where nothing is mapped: under
  // the record policy the page is mapped as unmodelled (true: the access
  // can be retried), else nothing happens.
  bool answerUnmapped(std::uint64_t address);

  // --- accesses nobody models
  // -------------------------------------------------
  void setUnmodelled(Unmodelled policy) { policy_ = policy; }
  Unmodelled unmodelled() const { return policy_; }
  // Reads of this register answer these values in turn, the last one for
  // good (under the record policy).
  void declare(Space space, std::uint64_t address,
               std::vector<std::uint64_t> values);
  // The first kUnmodelledKept accesses, and how many there were.
  static constexpr std::size_t kUnmodelledKept = 10'000;
  const std::vector<UnmodelledAccess> &unmodelledAccesses() const {
    return unmodelled_;
  }
  std::uint64_t unmodelledCount() const { return unmodelledCount_; }

  // --- faults and the trace -------------------------------------------------
  // "guest at 0x00401234 (shadow (module image) +0x1234)": how messages name
  // a guest address.
  std::string where(std::uint32_t address) const;
  // Throws GuestFault naming the instruction being carried out.
  [[noreturn]] void fault(const std::string &what) const;
  // How a fault message ends when region refuses the guest an access:
  // " into flash (r-x), which the guest may not write: <why>".
  static std::string refusal(const Region &region, Rights right);
  std::uint32_t instruction() const { return backing_.instruction(); }
  // Records an access event, stamped with the instruction that made it.
  void recordAccess(bus::TraceEvent event);
  bus::Trace &trace() { return trace_; }
  const bus::Trace &trace() const { return trace_; }

private:
  struct Target {
    const RegisterBlock *block;
    const Register *reg;
  };
  struct PortRange {
    std::uint16_t first, count;
    const RegisterBlock *block;
  };
  const RegisterBlock &keep(RegisterBlock block);
  Region &addRegion(Region region);
  // Carries out one access to a device register: finds the register, checks
  // the access against it, records it and calls its handler.
  std::uint64_t dispatch(Space space, const RegisterBlock *block,
                         std::uint64_t address, std::uint64_t offset,
                         unsigned size, bool write, std::uint64_t value);
  const Register *registerAt(Space space, const RegisterBlock &block,
                             std::uint64_t offset, unsigned size) const;
  void check(Space space, const RegisterBlock &block, const Register &reg,
             std::uint64_t address, std::uint64_t offset, unsigned size,
             bool write, std::uint64_t value) const;
  void record(Space space, const RegisterBlock &block, const Register &reg,
              std::uint64_t address, unsigned size, bool write,
              std::uint64_t value);
  // Stops the run, or records and answers, an access nobody models.
  std::uint64_t unmodelledAccess(Space space, std::uint64_t address,
                                 unsigned size, bool write, std::uint64_t value,
                                 const RegisterBlock *block);

  Backing &backing_;
  std::vector<std::unique_ptr<Region>> regions_; // stable addresses
  std::vector<std::unique_ptr<RegisterBlock>> blocks_;
  std::vector<PortRange> ports_;
  std::map<std::uint32_t, Target> msrs_;
  Unmodelled policy_ = Unmodelled::Stop;
  std::map<std::pair<Space, std::uint64_t>, std::deque<std::uint64_t>>
      declared_;
  std::vector<UnmodelledAccess> unmodelled_;
  std::uint64_t unmodelledCount_ = 0;
  bus::Trace trace_;
};

// "read of port 0x0CF8 (32 bits)", "wrmsr of 0x1 to MSR 0xC0010015",
// "write of 0x6 (32 bits) to 0xFEB0001C": how refusals name an access.
std::string describeAccess(Space space, bool write, std::uint64_t address,
                           unsigned size, std::uint64_t value);

} // namespace bus
