#include "config/access_values.h"

#include <gtest/gtest.h>

#include "config/ini_file.h"

namespace {

TEST(AccessValues, AbsentSectionLeavesEveryoneInAndTheDefaultLimits) {
  const TAccessValues V = ReadAccessValues(TIniFile::FromText("[Options]\r\nPeers=10.0.0.1\r\nMaxPeers=2\r\n"));
  EXPECT_EQ(V.Peers, "");
  EXPECT_EQ(V.RecordingClients, "");
  EXPECT_EQ(V.MaxPeers, 16u);
  EXPECT_EQ(V.NewPeersPerSecond, 10u);
}

TEST(AccessValues, KeysAreReadByTheProfileRulesAndLimitsBelowOneKeepTheirDefault) {
  const TAccessValues V = ReadAccessValues(TIniFile::FromText(
      "[access]\r\n"
      "peers = 10.1.0.0/16, 192.168.1.250,::1 \r\n"
      "RecordingClients=\"127.0.0.1\"\r\n"
      "MaxPeers=0x20\r\n"
      "NewPeersPerSecond=3\r\n"));
  EXPECT_EQ(V.Peers, "10.1.0.0/16, 192.168.1.250,::1");
  EXPECT_EQ(V.RecordingClients, "127.0.0.1");
  EXPECT_EQ(V.MaxPeers, 32u);
  EXPECT_EQ(V.NewPeersPerSecond, 3u);

  for (const char* Bad : {"0", "-5", "many", "99999999999"}) {
    const TAccessValues B = ReadAccessValues(TIniFile::FromText(
        std::string("[Access]\r\nMaxPeers=") + Bad + "\r\nNewPeersPerSecond=" + Bad + "\r\n"));
    EXPECT_EQ(B.MaxPeers, 16u) << Bad << ": a limit cannot be switched off";
    EXPECT_EQ(B.NewPeersPerSecond, 10u) << Bad;
  }
}

}  // namespace
