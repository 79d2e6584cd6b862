// The main procedure's session operations: create and configure the one RTP
// session from the settings, check it every 300 ms, stop and free it.

#include "config/metrics_settings.h"
#include "config/quality_settings.h"
#include "config/receive_settings.h"
#include "config/rtcp_settings.h"
#include "config/srtp_settings.h"
#include "config/start_values.h"
#include "host/bridge_metrics.h"
#include "host/service.h"
#include "log/log.h"
#include "platform/exception.h"
#include "rtp/rtp_codec.h"
#include "rtp/rtp_session.h"

bool TRTPService::AcceptStartValues() {
  uint16_t Time = StartValues.SendPayloadTime;
  const int32_t Payload = RtpPayloadBytes(Time, ALawFormatInfo.Format);
  // An encrypted packet grows by its tag in the same buffer.
  const uint32_t Limit = RtpPacketBufferBytes - (StartValues.Srtp.On ? SrtpMaxOverhead : 0);
  const TStartValueReport Report =
      CheckStartValues(RtpPacketBytes(static_cast<uint32_t>(Payload), StartValues.RtpBufSizeMultiple), Limit);
  for (const std::string& Line : Report.Warnings) WriteLog(Line);
  for (const std::string& Line : Report.Refusals) WriteLog(Line);
  if (Report.Refusals.empty()) return true;
  FStartFailure = Report.Refusals.front();
  return false;
}

bool TRTPService::StartRTPSession() {
  StartMetrics();
  if (DoLog) WriteLog("RTP Session starting...");
  const bool Result = CreateRTPSession();
  if (DoLog) WriteLog(Result ? "RTP Session started successfully" : "RTP Session failed to start");
  PublishMetrics();
  return Result;
}

void TRTPService::StartMetrics() {
  if (FMetrics) return;
  const TMetricsSettings Settings = ReadMetricsSettings(ConfigFileName);
  if (Settings.Listen.empty()) return;
  try {
    FMetrics = std::make_unique<TBridgeMetrics>(Settings, VersionText);
    if (DoLog) WriteLog("Metrics endpoint -> listening on " + Settings.Listen);
  } catch (const Exception& E) {
    // The audio matters more than its monitoring: the bridge runs on without.
    // A mistyped Allow lands here too: no endpoint rather than one for anyone.
    WriteLog("Metrics endpoint not started: " + E.Message());
  }
}

void TRTPService::PublishMetrics() {
  if (FMetrics) FMetrics->Publish(FRtpSession);
}

bool TRTPService::CreateRTPSession() {
  try {
    // Inside the guard: the construction creates the session's thread, which
    // the system may refuse.
    FRtpSession = new TRtpSession();
    TRtpSession& S = *FRtpSession;
    S.SetLocalIP(StartValues.LocalIP);
    S.SetLocalPort(StartValues.LocalPort);
    S.SetRemoteIP(StartValues.RemoteIP);
    S.SetRemotePort(StartValues.RemotePort);
    S.SetTCPServerListenIP(StartValues.TCPServerListenIP);
    S.SetTCPServerListenPort(StartValues.TCPServerListenPort);
    S.SetDisconnectTimeOut(static_cast<uint32_t>(StartValues.DisconnectTimeOut));
    // A-law whatever PayloadType holds: it is the only format there is.
    S.SetAudioFormat(ALawFormatInfo.Format);
    S.SetPayloadType(StartValues.PayloadType);
    S.SetRTPVersion(StartValues.RTPVersion);
    S.SetRtpBufSizeMultiple(StartValues.RtpBufSizeMultiple);
    S.SetReceivePayloadTime(StartValues.ReceivePayloadTime);
    S.SetReceiveBufCount(StartValues.ReceiveBufCount);
    S.SetSendPayloadTime(StartValues.SendPayloadTime);
    S.SetSendBufCount(StartValues.SendBufCount);
    S.SetRecordEnabled(true);
    S.SetPlayEnabled(true);
    S.SetMaxRecvSequenceNumberInterval(StartValues.MaxRecvSequenceNumberInterval);
    S.SetSaveWavData(StartValues.SaveWavData);
    S.SetRecDeviceID(StartValues.RecDeviceID);
    S.SetCallRecords(StartValues.Quality.CallRecords);
    S.SetPlayDeviceID(StartValues.PlayDeviceID);
    S.SetNeedMeasure(StartValues.NeedMeasure);
    for (const std::string& Problem : StartValues.Receive.Problems) WriteLog(Problem);
    S.SetAdaptiveReceive(StartValues.Receive.Mode == TReceiveMode::Adaptive,
                         {StartValues.Receive.MinDelayMs, StartValues.Receive.MaxDelayMs});
    for (const std::string& Problem : StartValues.Rtcp.Problems) WriteLog(Problem);
    S.SetRtcp(StartValues.Rtcp);
    const TSrtpSettings& Srtp = StartValues.Srtp;
    S.SetSrtp(Srtp.SendKey.get(), Srtp.ReceiveKey.get(), Srtp.Required);
    if (Srtp.On && DoLog)
      WriteLog("SRTP on: " + std::string(SrtpSuiteName(Srtp.Suite)) + ", Required=" + (Srtp.Required ? "1" : "0"));
    S.SetActive(true);
    if (StartValues.StartAsClient) S.SendHello();
    return true;
  } catch (...) {
    FStartFailure = CurrentExceptionMessage();
    WriteLog("Exception starting RTP Session: " + FStartFailure);
    delete FRtpSession;
    FRtpSession = nullptr;
    return false;
  }
}

void TRTPService::StopRTPSession() {
  if (DoLog) WriteLog("RTP Session stopping...");
  FreeRTPSession();
  if (DoLog) WriteLog("RTP Session stopped");
}

void TRTPService::FreeRTPSession() {
  if (!FRtpSession) return;
  try {
    FRtpSession->Resume();
    FRtpSession->Terminate();
    FRtpSession->WaitFor();
    if (FRtpSession->Active()) FRtpSession->SetActive(false);
  } catch (...) {
    WriteLog("Exception stopping RTP Session: " + CurrentExceptionMessage());
  }
  delete FRtpSession;
  FRtpSession = nullptr;
  PublishMetrics();
}

void TRTPService::CheckRTPSession() {
  if (!FRtpSession) return;
  FRtpSession->CheckInactivePeers();
  FRtpSession->CheckDevices();
  if (StartValues.StartAsClient) FRtpSession->RepeatHello();
  PublishMetrics();
}
