// The variable store parser on arbitrary bytes: a store is refused with
// VarsError, or its variables lie in order inside it and each one readers
// take is found again; a variable written into it is then read back with
// its data, its old copies no longer taken, and a deletion leaves none.
#include "variable_store.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using vars_format::VariableStore;

// A broken property names its line, so a crash artifact says which one.
void checkAt(bool condition, int line) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_vars_store: the check at line %d failed\n",
                 line);
    std::abort();
  }
}
#define CHECK(condition) checkAt((condition), __LINE__)

void checkWalk(const VariableStore &store) {
  CHECK(store.storeEnd() <= store.bytes().size());
  CHECK(store.freeOffset() <= store.storeEnd());
  std::uint32_t next = store.storeOffset() + 28;
  for (const vars_format::Variable &variable : store.variables()) {
    CHECK(variable.offset >= next && variable.offset % 4 == 0);
    CHECK(variable.offset + store.headerSize() <= variable.dataOffset);
    CHECK(variable.dataOffset + std::uint64_t{variable.dataSize} ==
          variable.end);
    CHECK(variable.end <= store.storeEnd());
    next = variable.end;
    if (variable.live()) {
      const vars_format::Variable *taken =
          store.find(variable.name, variable.vendor);
      CHECK(taken != nullptr && taken->live() && taken->name == variable.name &&
            taken->vendor == variable.vendor);
    }
  }
  CHECK(next <= store.freeOffset());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  try {
    VariableStore store =
        VariableStore::parse(std::vector<std::uint8_t>(data, data + size));
    checkWalk(store);
    // A name, vendor and data drawn from the input's last bytes: the name
    // of a variable already there when the input says so.
    const std::uint8_t choice = size > 0 ? data[size - 1] : 0;
    std::u16string name = u"Setup";
    vars_format::Guid vendor =
        vars_format::Guid::parse(vars_format::kSetupVendorGuid);
    if (!store.variables().empty() && (choice & 1) != 0) {
      const auto &pick = store.variables()[choice % store.variables().size()];
      if (!pick.name.empty()) {
        name = pick.name;
        vendor = pick.vendor;
      }
    }
    const std::size_t length = 1 + choice % 64;
    const std::vector<std::uint8_t> bytes(data + size - std::min(size, length),
                                          data + size);
    if (bytes.empty()) {
      return 0;
    }
    vars_format::WriteOutcome outcome{};
    try {
      outcome = store.write(name, vendor, 0x7, bytes);
    } catch (const vars_format::StoreRefusal &) {
      return 0;
    }
    const VariableStore again = VariableStore::parse(store.bytes());
    checkWalk(again);
    const vars_format::Variable *written = again.find(name, vendor);
    CHECK(written != nullptr);
    const auto read = again.data(*written);
    CHECK(std::equal(read.begin(), read.end(), bytes.begin(), bytes.end()));
    // A new copy is added and is the only one readers may take.
    if (outcome != vars_format::WriteOutcome::Unchanged) {
      CHECK(written->state == vars_format::kStateAdded);
      for (const vars_format::Variable &variable : again.variables()) {
        CHECK(!variable.live() || &variable == written ||
              variable.name != name || variable.vendor != vendor);
      }
    }
    store.remove(name, vendor);
    CHECK(VariableStore::parse(store.bytes()).find(name, vendor) == nullptr);
  } catch (const vars_format::VarsError &) {
  }
  return 0;
}
