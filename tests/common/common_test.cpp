// The shared library's pieces whose faults would show far from their
// cause: a descriptor closed twice closes someone else's file; a number
// read wrongly becomes a wrong address or port in every program.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "file_descriptor.h"
#include "number.h"
#include "usage.h"

namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(FileDescriptor, EachDescriptorIsClosedOnceByItsLastOwner) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const int readEnd = ends[0];
  const int writeEnd = ends[1];
  {
    common::FileDescriptor first(readEnd);
    common::FileDescriptor second(std::move(first));
    EXPECT_FALSE(first.valid());
    first = common::FileDescriptor(); // a moved-from owner closes nothing
    EXPECT_TRUE(isOpen(readEnd));

    common::FileDescriptor other(writeEnd);
    other = std::move(second); // the write end it held is closed
    EXPECT_FALSE(isOpen(writeEnd));
    EXPECT_EQ(other.get(), readEnd);
    EXPECT_TRUE(isOpen(readEnd));

    const int kept = other.release();
    EXPECT_EQ(kept, readEnd);
  }
  EXPECT_TRUE(isOpen(readEnd)); // released, so not closed by its owner
  common::FileDescriptor again(readEnd);
  EXPECT_TRUE(again.close());
  EXPECT_FALSE(isOpen(readEnd));
  EXPECT_TRUE(again.close()); // holding nothing: nothing to fail
}

TEST(FileDescriptor, WriteAllWritesEveryByteOrSaysWhyNot) {
  // More than a pipe takes at once: the short writes are carried on.
  std::vector<std::byte> bytes(256 * 1024);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::byte>(i * 7);
  }
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  common::FileDescriptor readEnd(ends[0]), writeEnd(ends[1]);
  std::vector<std::byte> received;
  std::thread reader([&] {
    std::byte chunk[4096];
    ssize_t got;
    while ((got = ::read(readEnd.get(), chunk, sizeof chunk)) > 0) {
      received.insert(received.end(), chunk, chunk + got);
    }
  });
  std::size_t written = 0;
  EXPECT_TRUE(writeEnd.writeAll(bytes, written));
  writeEnd.reset();
  reader.join();
  EXPECT_EQ(written, bytes.size());
  EXPECT_EQ(received, bytes);

  // A full device stops it at once, with the cause in errno.
  common::FileDescriptor full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(full.valid());
  errno = 0;
  EXPECT_FALSE(full.writeAll(bytes, written));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(written, 0u);
}

TEST(Number, EveryRadixTakesItsDigitsOnlyAndNeverWraps) {
  using common::numberAtMost;
  using common::Radix;
  constexpr std::uint64_t kAll = ~0ull;
  // A leading zero is not octal; 0x selects hex only where hex may be.
  EXPECT_EQ(numberAtMost("010", kAll, Radix::DecimalOrHex), 10u);
  EXPECT_EQ(numberAtMost("0x1F", kAll, Radix::DecimalOrHex), 31u);
  EXPECT_EQ(numberAtMost("0X1f", kAll, Radix::DecimalOrHex), 31u);
  EXPECT_EQ(numberAtMost("ff", kAll, Radix::Hex), 255u);
  for (const char *bad : {"", "0x", "+1", "-1", " 1", "1 ", "1e3", "ff"}) {
    EXPECT_EQ(numberAtMost(bad, kAll, Radix::DecimalOrHex), std::nullopt)
        << bad;
  }
  EXPECT_EQ(numberAtMost("0x10", kAll, Radix::Decimal), std::nullopt);
  // The 64-bit edge, in both radices, and the caller's bound.
  EXPECT_EQ(numberAtMost("18446744073709551615", kAll, Radix::Decimal), kAll);
  EXPECT_EQ(numberAtMost("0xFFFFFFFFFFFFFFFF", kAll, Radix::DecimalOrHex),
            kAll);
  EXPECT_EQ(common::readNumber("18446744073709551616", Radix::Decimal).fault,
            common::NumberReading::Fault::TooLarge);
  EXPECT_EQ(
      common::readNumber("0x10000000000000000", Radix::DecimalOrHex).fault,
      common::NumberReading::Fault::TooLarge);
  EXPECT_EQ(numberAtMost("65535", 65535, Radix::Decimal), 65535u);
  EXPECT_EQ(numberAtMost("65536", 65535, Radix::Decimal), std::nullopt);
}

TEST(Number, ParseNumberSaysWhichWayANumberIsWrong) {
  const auto refusal = [](std::string_view text) -> std::string {
    try {
      (void)common::parseNumber(text, 0xFF, "--byte");
    } catch (const common::UsageError &error) {
      return error.what();
    }
    return "(accepted)";
  };
  EXPECT_EQ(refusal("0xFF"), "(accepted)");
  EXPECT_EQ(refusal("0x1g"), "--byte: expected a number, found \"0x1g\"");
  EXPECT_EQ(refusal("256"), "--byte: expected at most 255, found 256");
  EXPECT_EQ(refusal("99999999999999999999"),
            "--byte: expected at most 255, found 99999999999999999999");
  // More digits than any 64-bit number has: not a number at all.
  EXPECT_EQ(refusal("000000000000000000001"),
            "--byte: expected a number, found \"000000000000000000001\"");
}

} // namespace
