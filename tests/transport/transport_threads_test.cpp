// The library's threads end with its last server: the network thread and
// the helpers its timers need (counted by the system).

#include <gtest/gtest.h>

#include "platform/process.h"
#include "transport_lib.h"

namespace {

using namespace TransportTest;

TEST(TransportLibThreads, EndWithTheLastServer) {
  ASSERT_TRUE(Lib().Loaded());
  // One round first: sanitizers start helper threads of their own on the
  // first thread a program creates.
  const TStarted Warm = StartServer("", false);
  ASSERT_NE(Warm.Id, -1);
  EXPECT_EQ(Lib().Stop(Warm.Id), 0);
  const size_t Before = Platform::ThreadCount();
  // Rounds: a thread left behind may still end by chance on its own.
  for (int Round = 0; Round < 5; ++Round) {
    const TStarted U = StartServer(",LAYER=UDP", true);
    const TStarted T = StartServer("", false);
    ASSERT_NE(U.Id, -1);
    ASSERT_NE(T.Id, -1);
    EXPECT_GT(Platform::ThreadCount(), Before);
    EXPECT_EQ(Lib().Stop(U.Id), 0);
    EXPECT_GT(Platform::ThreadCount(), Before);
    EXPECT_EQ(Lib().Stop(T.Id), 0);
    ASSERT_EQ(Platform::ThreadCount(), Before) << "round " << Round;
  }
}

}  // namespace
