#include "volume.h"

#include "ffs_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

using volume::Bytes;
using volume::FormatError;
using volume::Guid;

const Guid kMemory = Guid::parse("F894643D-C449-42D1-8EA8-85BDD8C65BDE");
const Guid kOther = Guid::parse("11111111-2222-3333-4444-555555555555");

Bytes push(const Guid &guid) {
  // Sized once: growing a 1-byte vector makes GCC 12 report a bogus
  // out-of-bounds copy.
  Bytes code(1 + guid.bytes.size(), 0x02);
  std::copy(guid.bytes.begin(), guid.bytes.end(), code.begin() + 1);
  return code;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

// The message of the FormatError that parsing `code` throws.
std::string errorOf(const Bytes &code) {
  try {
    volume::parseDepex(code);
  } catch (const FormatError &error) {
    return error.what();
  }
  return "no error";
}

TEST(Depex, EvaluatesAndDescribesEveryOpcode) {
  // (memory AND NOT other) OR (FALSE AND TRUE)
  const Bytes code = join({push(kMemory),
                           push(kOther),
                           {0x05, 0x03},
                           {0x07, 0x06, 0x03, 0x04, 0x08}});
  const volume::Depex depex = volume::parseDepex(code);
  EXPECT_EQ(volume::describe(depex),
            "((gEfiPeiMemoryDiscoveredPpiGuid AND NOT " + kOther.text() +
                ") OR (FALSE AND TRUE))");
  for (const bool memory : {false, true}) {
    for (const bool other : {false, true}) {
      const std::set<Guid> installed = [&] {
        std::set<Guid> s;
        if (memory)
          s.insert(kMemory);
        if (other)
          s.insert(kOther);
        return s;
      }();
      EXPECT_EQ(
          volume::evaluate(
              depex, [&](const Guid &g) { return installed.count(g) != 0; }),
          memory && !other)
          << memory << other;
    }
  }
  // What pei-ffs writes for the module parses back to the same PPIs.
  const std::vector<Guid> ppis{kMemory, kOther};
  EXPECT_EQ(volume::describe(volume::parseDepex(ffs_format::makeDepex(ppis))),
            "(gEfiPeiMemoryDiscoveredPpiGuid AND " + kOther.text() + ")");
  EXPECT_EQ(volume::describe(volume::parseDepex(ffs_format::makeDepex({}))),
            "TRUE");
}

TEST(Depex, RefusesMalformedExpressionsNamingTheOffset) {
  const Bytes memory = push(kMemory); // 17 bytes
  struct Case {
    Bytes code;
    const char *expected;
  } cases[] = {
      {{0x06, 0x00, 0x08}, "at 0x1: expected a PEI opcode, found 0x0"},
      {{0x01, 0x08}, "at 0x0: expected a PEI opcode, found 0x1"},
      {{0x06, 0x09, 0x08}, "at 0x1: expected a PEI opcode, found 0x9"},
      {{0x06, 0x0A, 0x08}, "at 0x1: expected an opcode from 0x2 to 0x8"},
      {{0x02, 0x01, 0x02}, "at 0x0: expected a 16-byte GUID after PUSH"},
      {join({memory, {0x03, 0x08}}), "at 0x11: expected 2 values"},
      {{0x05, 0x08}, "at 0x0: expected 1 values"},
      {{0x06}, "at 0x1: expected END"},
      {{}, "at 0x0: expected END"},
      {{0x06, 0x06, 0x08}, "at 0x2: expected END to leave one value, found 2"},
      {{0x08}, "at 0x0: expected END to leave one value, found 0"},
      {{0x06, 0x08, 0x08}, "at 0x1: expected END as the last byte"},
  };
  for (const Case &c : cases) {
    EXPECT_NE(errorOf(c.code).find(c.expected), std::string::npos)
        << errorOf(c.code) << " / " << c.expected;
  }
}

} // namespace
