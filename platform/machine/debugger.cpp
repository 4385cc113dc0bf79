// What debuggers and other agents see of the processor: the agents
// themselves and the images they are told of, the registers as a debugger
// numbers them, and memory as a debugger reads and writes it.
#include "engine.h"

#include <algorithm>

namespace machine {

void Machine::addAgent(DebugAgent *agent) {
  agents_.push_back(agent);
  if (agent->wantsInstructions() && !everyInstruction_) {
    // A debugger sees every instruction and every store. String
    // instructions keep their fast path, so that a run counts the same
    // instructions with a debugger as without; one that reaches a watched
    // store pauses after that element, as the processor's debug trap does.
    for (auto [type, callback] :
         {std::pair{UC_HOOK_CODE,
                    reinterpret_cast<void *>(&HookEntry::everyInstruction)},
          std::pair{UC_HOOK_MEM_WRITE,
                    reinterpret_cast<void *>(&HookEntry::agentWrite)}}) {
      hooks_.push_back(hook(type, callback, 1, 0));
    }
    everyInstruction_ = true;
  }
}

void Machine::removeAgent(DebugAgent *agent) { std::erase(agents_, agent); }

void Machine::announceImage(const std::string &name, std::uint32_t linkBase,
                            std::uint32_t base, std::uint32_t size) {
  toAgents([&](DebugAgent &agent) {
    agent.imageMapped(name, linkBase, base, size);
  });
}

void Machine::announceRetired(std::uint32_t base) {
  toAgents([&](DebugAgent &agent) { agent.imageRetired(base); });
}

namespace {
constexpr int kDebugRegisterIds[Machine::kDebugRegisters] = {
    UC_X86_REG_EAX, UC_X86_REG_ECX,    UC_X86_REG_EDX, UC_X86_REG_EBX,
    UC_X86_REG_ESP, UC_X86_REG_EBP,    UC_X86_REG_ESI, UC_X86_REG_EDI,
    UC_X86_REG_EIP, UC_X86_REG_EFLAGS, UC_X86_REG_CS,  UC_X86_REG_SS,
    UC_X86_REG_DS,  UC_X86_REG_ES,     UC_X86_REG_FS,  UC_X86_REG_GS};
} // namespace

std::uint32_t Machine::debugRegister(unsigned n) const {
  return n < kDebugRegisters ? readReg(kDebugRegisterIds[n]) : 0;
}

void Machine::setDebugRegister(unsigned n, std::uint32_t value) {
  // Segment registers stay as the platform set them: the flat segments are
  // part of the machine, not of what a debugger may change.
  if (n <= kDebugEflags) {
    writeReg(kDebugRegisterIds[n], value);
  }
}

std::optional<std::vector<std::uint8_t>>
Machine::debugRead(std::uint32_t address, std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size;) {
    const std::uint64_t at = std::uint64_t{address} + i;
    const bus::Region *region = space_.find(at);
    if (region == nullptr) {
      return std::nullopt;
    }
    const std::size_t chunk = static_cast<std::size_t>(
        std::min<std::uint64_t>(size - i, region->base + region->size - at));
    if (region->mmio()) {
      // One byte at a time would be refused by models with 32-bit
      // registers; whole aligned words are what the guest reads.
      for (std::size_t j = 0; j < chunk; ++j) {
        const std::uint64_t word = (at + j) & ~std::uint64_t{3};
        std::uint64_t value = 0;
        try {
          value = space_.registerRead(*region, word - region->base, 4);
        } catch (const std::exception &) {
          return std::nullopt; // the model refuses the access
        }
        bytes[i + j] = static_cast<std::uint8_t>(value >> (8 * ((at + j) & 3)));
      }
    } else if (uc_mem_read(engine_.get(), at, bytes.data() + i, chunk) !=
               UC_ERR_OK) {
      return std::nullopt;
    }
    i += chunk;
  }
  return bytes;
}

bool Machine::debugWrite(std::uint32_t address,
                         std::span<const std::uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const bus::Region *region = space_.find(std::uint64_t{address} + i);
    if (region == nullptr || region->mmio()) {
      return false;
    }
  }
  return uc_mem_write(engine_.get(), address, bytes.data(), bytes.size()) ==
         UC_ERR_OK;
}

} // namespace machine
