// The whole /metrics page, with a call running and two finished, as promtool
// (Prometheus's own checker) reads it: names, types, units and histograms
// by the conventions.

#include <gtest/gtest.h>

#include <cstdlib>

#include "finished_calls_test_data.h"
#include "host/bridge_metrics.h"
#include "test_support.h"

namespace {

TEST(BridgeMetrics, PromtoolFindsNothingToSay) {
  TSessionMetrics M;
  M.Active = true;
  M.Calls = MetricsTest::TwoFinishedCalls();
  M.Calls.Live = TCallFigures{1.25, 3.06, 0.8, 41, 0.5, 12, 88.4, 4.27, true};
  const TestSupport::TTempDir Dir;
  TestSupport::WriteFile(Dir.Path() / "page.txt", TBridgeMetrics::RenderMetrics(M, true, "1.2.3", 1000, {}, {}));
  const std::string Out = (Dir.Path() / "promtool.out").string();
  const std::string Check = "promtool check metrics < '" + (Dir.Path() / "page.txt").string() + "' > '" + Out + "' 2>&1";
  EXPECT_EQ(std::system(Check.c_str()), 0) << TestSupport::ReadFile(Out);
  EXPECT_EQ(TestSupport::ReadFile(Out), "");
}

}  // namespace
