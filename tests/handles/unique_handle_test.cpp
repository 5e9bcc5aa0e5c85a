#include <gtest/gtest.h>

#include <windows.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "unique_handle.h"

namespace {

constexpr DWORD kErrorOfClose = ERROR_ACCESS_DENIED;
constexpr int kErrnoOfClose = EIO;

// A kind whose values are plain numbers (0 holds nothing) and whose close
// records the value and, as a failing system call would, changes the thread's
// error values.
struct CountingTraits {
  using pointer = int;
  static inline std::vector<int> closed;
  static pointer Invalid() noexcept { return 0; }
  static void Close(pointer value) noexcept {
    closed.push_back(value);
    SetLastError(kErrorOfClose);
    errno = kErrnoOfClose;
  }
};
using Counted = tarn::UniqueAny<CountingTraits, tarn::KeepLastError>;

class UniqueAnyTest : public ::testing::Test {
 protected:
  void SetUp() override { CountingTraits::closed.clear(); }
  static const std::vector<int>& Closed() { return CountingTraits::closed; }
};

TEST_F(UniqueAnyTest, ResetClosesOnceAndTheDestructorDoesNotCloseAgain) {
  {
    Counted held(7);
    ASSERT_TRUE(held);
    held.reset();
    EXPECT_FALSE(held);
    EXPECT_EQ(Closed(), std::vector<int>{7});
  }
  EXPECT_EQ(Closed(), std::vector<int>{7});
}

TEST_F(UniqueAnyTest, ResetToAnotherValueClosesTheOldOneAndTheDestructorTheNewOne) {
  {
    Counted held(7);
    held.reset(8);
    EXPECT_EQ(held.get(), 8);
    EXPECT_EQ(Closed(), std::vector<int>{7});
  }
  EXPECT_EQ(Closed(), (std::vector<int>{7, 8}));
}

TEST_F(UniqueAnyTest, NothingHeldIsNeverClosed) {
  { Counted empty; }
  { Counted failed(CountingTraits::Invalid()); }
  Counted reset;
  reset.reset();
  EXPECT_TRUE(Closed().empty());
}

TEST_F(UniqueAnyTest, MoveTransfersOwnershipAndAssignmentClosesWhatTheTargetHeld) {
  {
    Counted source(7);
    Counted moved(std::move(source));
    EXPECT_FALSE(source);
    EXPECT_EQ(moved.get(), 7);

    Counted target(9);
    target = std::move(moved);
    EXPECT_FALSE(moved);
    EXPECT_EQ(target.get(), 7);
    EXPECT_EQ(Closed(), std::vector<int>{9});
  }
  EXPECT_EQ(Closed(), (std::vector<int>{9, 7}));
}

TEST_F(UniqueAnyTest, ReleaseGivesTheValueUpWithoutClosingIt) {
  {
    Counted held(7);
    EXPECT_EQ(held.release(), 7);
    EXPECT_FALSE(held);
  }
  EXPECT_TRUE(Closed().empty());
}

TEST_F(UniqueAnyTest, PutClosesTheOldValueAndLetsTheCallFillTheStorage) {
  Counted held(7);
  int* storage = held.put();
  EXPECT_EQ(Closed(), std::vector<int>{7});
  EXPECT_EQ(*storage, CountingTraits::Invalid());
  *storage = 8;  // as an out parameter is filled
  EXPECT_EQ(held.get(), 8);
  held.reset();
  EXPECT_EQ(Closed(), (std::vector<int>{7, 8}));
}

TEST_F(UniqueAnyTest, ClosingKeepsTheLastErrorAndErrnoOfTheFailureBeforeIt) {
  Counted held(7);
  SetLastError(ERROR_FILE_NOT_FOUND);
  errno = ENOENT;
  held.reset();
  ASSERT_EQ(Closed(), std::vector<int>{7});
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(errno, ENOENT);
}

// The kinds' invalid values, with a close that only counts.
int g_handleCloses = 0;
BOOL CountHandleClose(HANDLE) {
  ++g_handleCloses;
  return TRUE;
}

TEST(UniqueHandleKindsTest, EachKindTakesItsFailureValueForNothingHeld) {
  g_handleCloses = 0;
  {
    tarn::UniqueNullInvalid<HANDLE, &CountHandleClose> failedOpen(nullptr);
    EXPECT_FALSE(failedOpen);
    tarn::UniqueInvalidHandleValue<HANDLE, &CountHandleClose> failedCreate(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(failedCreate);
    EXPECT_TRUE(failedCreate == nullptr);
    tarn::UniqueInvalidHandleValue<HANDLE, &CountHandleClose> defaulted;
    EXPECT_EQ(defaulted.get(), INVALID_HANDLE_VALUE);
  }
  EXPECT_EQ(g_handleCloses, 0);
}

TEST(UniqueHandleKindsTest, AKernelHandleIsClosedWithCloseHandle) {
  tarn::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  const HANDLE raw = event.get();
  event.reset();
  // The handle is gone: closing it again fails.
  EXPECT_FALSE(CloseHandle(raw));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
