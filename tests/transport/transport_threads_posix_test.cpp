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
