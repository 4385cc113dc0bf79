// The HOB list as CreateHob grows it in guest memory, and the walk that
// refuses a malformed list with the offset at fault.
#include "efi.h"
#include "hob_list.h"
#include "little_endian.h"
#include "machine.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using pei::HobList;
namespace hob = pei::hob;

constexpr std::uint32_t kBottom = 0x00100000;
constexpr std::uint32_t kTop = 0x00100200; // room for a few blocks only

TEST(HobList, CreateAppendsAlignedBlocksUntilTheFreeMemoryIsGone) {
  machine::Machine m;
  m.space().mapMemory(kBottom, 0x1000, "memory", machine::kReadWrite);
  HobList list = HobList::create(m, kBottom, kTop, 0x11);
  EXPECT_EQ(list.field(hob::kBootMode), 0x11u);

  const HobList::Created pool = list.append(hob::kMemoryPool, 13);
  ASSERT_EQ(pool.status, efi::kSuccess);
  EXPECT_EQ(pool.address, kBottom + hob::kHandoffSize) << "at the old end";
  const HobList::Created guid = list.append(hob::kGuidExtension, 24);
  ASSERT_EQ(guid.status, efi::kSuccess);
  EXPECT_EQ(guid.address, pool.address + 16) << "13 rounded up to 16";
  EXPECT_EQ(list.append(hob::kCpu, 4).status, efi::kInvalidParameter);

  // The PHIT follows: the end block after the last block, free memory
  // after the end block.
  EXPECT_EQ(list.field(hob::kEndOfHobList), guid.address + 24u);
  EXPECT_EQ(list.field(hob::kFreeMemoryBottom), guid.address + 32u);
  const std::vector<std::uint8_t> bytes = list.bytes();
  std::vector<std::uint16_t> types;
  for (const pei::Hob &block : pei::walkHobList(bytes)) {
    types.push_back(block.type);
  }
  EXPECT_EQ(types,
            (std::vector<std::uint16_t>{hob::kHandoff, hob::kMemoryPool,
                                        hob::kGuidExtension, hob::kEndOfList}));

  // Blocks go on until one and a new end block no longer fit below the top.
  std::uint32_t status = efi::kSuccess;
  unsigned appended = 0;
  while (status == efi::kSuccess && appended < 100) {
    status = list.append(hob::kMemoryPool, 64).status;
    appended += status == efi::kSuccess;
  }
  EXPECT_EQ(status, efi::kOutOfResources);
  EXPECT_LE(list.field(hob::kFreeMemoryBottom), kTop);
  EXPECT_EQ(pei::walkHobList(list.bytes()).size(), 4u + appended);
  EXPECT_EQ(list.append(hob::kMemoryPool, 0x10000 - 4).status,
            efi::kOutOfResources)
      << "a length the 16-bit field cannot hold";
}

TEST(HobList, AMalformedListIsRefusedAtTheOffsetAtFault) {
  machine::Machine m;
  m.space().mapMemory(kBottom, 0x1000, "memory", machine::kReadWrite);
  HobList list = HobList::create(m, kBottom, kTop, 0);
  list.append(hob::kMemoryPool, 16);
  const std::vector<std::uint8_t> good = list.bytes();
  const std::uint32_t second = hob::kHandoffSize; // the pool block

  struct Case {
    const char *what;
    std::uint32_t offset;
    std::uint16_t value; // stored at offset
    std::size_t keep;    // bytes of the list kept
    const char *expected;
  };
  const Case cases[] = {
      {"not a PHIT first", 0, hob::kCpu, good.size(),
       "0x00000000: expected the HANDOFF"},
      {"shorter than its header", second + 2, 4, good.size(),
       "0x00000038: MEMORY_POOL block of 4"},
      {"not a multiple of 8", second + 2, 20, good.size(),
       "0x00000038: MEMORY_POOL block of 20"},
      {"past the bytes", second + 2, 0x800, good.size(), "runs past"},
      {"shorter than its type needs", second, hob::kResourceDescriptor,
       good.size(), "RESOURCE_DESCRIPTOR block of 16"},
      {"no end", 0, hob::kHandoff, good.size() - 8, "no END_OF_HOB_LIST"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> bad(good.begin(), good.begin() + c.keep);
    common::le::store(bad.data() + c.offset, 2, c.value);
    try {
      pei::walkHobList(bad);
      ADD_FAILURE() << "accepted";
    } catch (const pei::HobFormatError &error) {
      EXPECT_NE(std::string(error.what()).find(c.expected), std::string::npos)
          << error.what();
    }
  }
}

} // namespace
