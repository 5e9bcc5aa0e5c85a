#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "unique_posix.h"

namespace {

TEST(UniquePosixTest, ADescriptorIsClosedOnceAndMinusOneHoldsNothing) {
  int ends[2] = {-1, -1};
  ASSERT_EQ(::pipe(ends), 0);
  tarn::UniqueFd readEnd(ends[0]);
  tarn::UniqueFd writeEnd(ends[1]);
  readEnd.reset();
  EXPECT_FALSE(readEnd);
  EXPECT_EQ(::fcntl(ends[0], F_GETFD), -1);
  EXPECT_NE(::fcntl(ends[1], F_GETFD), -1);
  EXPECT_FALSE(tarn::UniqueFd(-1));
}

TEST(UniquePosixTest, ClosingKeepsErrnoOfTheFailureBeforeIt) {
  int ends[2] = {-1, -1};
  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[1]);
  tarn::UniqueFd readEnd(ends[0]);
  // A descriptor closed behind the owner's back: its close fails with EBADF.
  tarn::UniqueFd stale(ends[1]);
  errno = ENOENT;
  stale.reset();
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
