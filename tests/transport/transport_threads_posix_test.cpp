// The library's threads end with its last server (counted from /proc).

#include <gtest/gtest.h>

#include <filesystem>

#include "transport_lib.h"

namespace {

using namespace TransportTest;

size_t ThreadCount() {
  size_t N = 0;
  for ([[maybe_unused]] const auto& E : std::filesystem::directory_iterator("/proc/self/task")) ++N;
  return N;
}

TEST(TransportLibThreads, EndWithTheLastServer) {
  ASSERT_TRUE(Lib().Loaded());
  // One round first: sanitizers start helper threads of their own on the
  // first thread a program creates.
  const TStarted Warm = StartServer("", false);
  ASSERT_NE(Warm.Id, -1);
  EXPECT_EQ(Lib().Stop(Warm.Id), 0);
  const size_t Before = ThreadCount();
  const TStarted U = StartServer(",LAYER=UDP", true);
  const TStarted T = StartServer("", false);
  ASSERT_NE(U.Id, -1);
  ASSERT_NE(T.Id, -1);
  EXPECT_GT(ThreadCount(), Before);
  EXPECT_EQ(Lib().Stop(U.Id), 0);
  EXPECT_GT(ThreadCount(), Before);
  EXPECT_EQ(Lib().Stop(T.Id), 0);
  EXPECT_EQ(ThreadCount(), Before);
}

}  // namespace
