// The access lists: which addresses each written form admits, and what a
// mistyped list does (it closes rather than opens).
#include "access/access_list.h"

#include <gtest/gtest.h>

#include "access/access_policy.h"
#include "log_capture.h"

namespace {

struct TCase {
  const char* List;
  const char* Address;
  bool Admitted;
};

TEST(AccessList, WrittenFormsAdmitTheirAddressesAndNoOthers) {
  const TCase Cases[] = {
      {"", "192.0.2.1", true},
      {"", "not an address", true},
      {"10.1.0.0/16,192.168.1.250,::1", "10.1.255.7", true},
      {"10.1.0.0/16,192.168.1.250,::1", "10.2.0.1", false},
      {"10.1.0.0/16,192.168.1.250,::1", "192.168.1.250", true},
      {"10.1.0.0/16,192.168.1.250,::1", "192.168.1.251", false},
      {"10.1.0.0/16,192.168.1.250,::1", "::1", true},
      {"10.1.0.0/16,192.168.1.250,::1", "::2", false},
      {"10.1.0.0/16,192.168.1.250,::1", "::ffff:10.1.2.3", true},  // IPv4 seen on a dual-stack socket
      {"10.1.0.0/16,192.168.1.250,::1", "not an address", false},
      {"10.1.0.0/16,192.168.1.250,::1", "", false},
      {"10.1.2.3/16", "10.1.9.9", true},  // host bits set: the network is meant
      {"127.0.0.0/8", "127.200.3.4", true},
      {"127.0.0.0/8", "128.0.0.1", false},
      {"0.0.0.0/0", "203.0.113.9", true},
      {"0.0.0.0/0", "2001:db8::1", false},  // all of IPv4 is no IPv6
      {"fd00:1::/32", "fd00:1:2::5", true},
      {"fd00:1::/32", "fd00:2::5", false},
      {"fe80::/10", "fe80::1%1", true},  // the scope of a link-local peer does not matter
      {"::ffff:192.168.0.0/120", "192.168.0.77", true},  // an IPv4-mapped network is IPv4
      {"::ffff:192.168.0.0/120", "192.168.1.1", false},
      {"::ffff:192.168.0.5", "192.168.0.5", true},
      {" 10.0.0.1 , 10.0.0.2,,", "10.0.0.2", true},
      {"10.0.0.1 10.0.0.2", "10.0.0.2", true},  // blanks separate too
      {"10.0.0.256", "10.0.0.1", false},        // mistyped: nobody
      {"10.0.0.0/33", "10.0.0.1", false},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(TAccessList::Parse(C.List).Admits(C.Address), C.Admitted) << C.List << " / " << C.Address;
}

TEST(AccessList, InvalidEntriesAreNamedAndTheListStillRestricts) {
  std::vector<std::string> Invalid;
  const TAccessList L = TAccessList::Parse(
      "10.0.0.256,10.0.0.0/33,::/129,host.example,10.0.0.0/,10.0.0.0/x,::ffff:1.2.3.4/95,10.0.0.0/0016,10.5.0.0/16",
      &Invalid);
  EXPECT_EQ(Invalid, (std::vector<std::string>{"10.0.0.256", "10.0.0.0/33", "::/129", "host.example", "10.0.0.0/",
                                               "10.0.0.0/x", "::ffff:1.2.3.4/95", "10.0.0.0/0016"}));
  EXPECT_TRUE(L.Restricts());
  EXPECT_EQ(L.Text(), "10.5.0.0/16");
  EXPECT_TRUE(L.Admits("10.5.1.1"));
  EXPECT_FALSE(L.Admits("10.0.0.1"));

  const TAccessList OnlyInvalid = TAccessList::Parse("localhost");
  EXPECT_TRUE(OnlyInvalid.Restricts());
  EXPECT_FALSE(OnlyInvalid.Admits("127.0.0.1"));
  EXPECT_FALSE(TAccessList::Parse(",, ").Restricts()) << "only separators: no list";
  EXPECT_EQ(TAccessList::Parse("192.168.1.250,::1,fd00::/8").Text(), "192.168.1.250/32,::1/128,fd00::/8");
}

TEST(AccessPolicy, InvalidEntriesAreLoggedAndRecordingClientsAreCheckedAgainstTheirList) {
  TestSupport::TLogCapture Log;
  TAccessValues V;
  V.Peers = "10.0.0.1,10.0.0.300";
  V.RecordingClients = "127.0.0.1,::1,bad/1";
  V.MaxPeers = 4;
  const TAccessPolicy P = MakeAccessPolicy(V);
  EXPECT_EQ(P.MaxPeers, 4u);
  EXPECT_EQ(Log.Lines(), (std::vector<std::string>{
                             "[Access] Peers: \"10.0.0.300\" is neither an address nor a network; it admits nobody",
                             "[Access] RecordingClients: \"bad/1\" is neither an address nor a network; it admits nobody"}));

  const TAccessPolicy Before = AccessPolicy();
  InstallAccessPolicy(P);
  EXPECT_TRUE(AdmitRecordingClient("127.0.0.1", 40000));
  EXPECT_TRUE(AdmitRecordingClient("::1", 40001));
  EXPECT_FALSE(AdmitRecordingClient("127.0.0.2", 40002));
  EXPECT_FALSE(AdmitRecordingClient("127.0.0.2", 40003)) << "refused again, but not logged again this minute";
  InstallAccessPolicy(Before);
  EXPECT_TRUE(AdmitRecordingClient("127.0.0.2", 40004)) << "no list: anyone";
  const auto Lines = Log.Lines();
  ASSERT_EQ(Lines.size(), 3u);
  EXPECT_EQ(Lines[2], "REFUSED RECORDING CLIENT: [IP=<127.0.0.2>,Port=<40002>] not in [Access] RecordingClients");
}

}  // namespace
