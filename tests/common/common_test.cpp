// The shared library's pieces whose faults would show far from their
// cause: a descriptor closed twice closes someone else's file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "file_descriptor.h"

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

} // namespace
