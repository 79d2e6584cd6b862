// The start's check of the settings where the RTP layer sizes the packets.
#include <gtest/gtest.h>

#include "config/start_values.h"
#include "host/service.h"
#include "log_capture.h"

namespace {

TEST(AcceptStartValues, SentPacketsMustFitTheSendersBuffer) {
  const struct {
    uint16_t Time;
    uint8_t Multiple;
    std::string Refusal;
  } Cases[] = {
      {510, 1, ""},  // 12 + 4080 bytes
      {511, 1, "Error: SendPayloadTime=511: packets of 4100 bytes exceed the sender's 4096"},
      {510, 200, "Error: SendPayloadTime=510: packets of 4200 bytes exceed the sender's 4096"},  // padded
  };
  for (const auto& C : Cases) {
    TestSupport::TLogCapture Log;
    ResetStartValues();
    StartValues.SendPayloadTime = C.Time;
    StartValues.RtpBufSizeMultiple = C.Multiple;
    TRTPService Service;
    EXPECT_EQ(Service.AcceptStartValues(), C.Refusal.empty()) << C.Time;
    EXPECT_EQ(Log.Lines(), C.Refusal.empty() ? std::vector<std::string>{} : std::vector<std::string>{C.Refusal});
    EXPECT_EQ(Service.FStartFailure, C.Refusal) << "the reason the service reports";
  }
  ResetStartValues();
}

}  // namespace
