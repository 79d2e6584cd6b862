// Receive quality on an impaired network, side by side in one run: a known
// signal goes through the impairment relay's network model to
//
//   the bridge in fixed receive mode           (Brenvic run, virtual devices)
//   the bridge in adaptive receive mode        ([Receive] Mode=adaptive)
//   GStreamer with its default latency         udpsrc ! rtpjitterbuffer ! rtppcmadepay ! alawdec
//   GStreamer with a latency matched to ours   ... rtpjitterbuffer latency=L ...
//
// Every receiver gets the very same datagrams at the very same instants (one
// model, one seed, one sending thread). What each one played is read back from
// its output file: the bridge's virtual earphone writes what it plays as it
// plays it, an underrun as the silence it was (gaps=silence); GStreamer's
// filesink renders on the pipeline clock (sync=true) after audiorate filled
// its gaps with silence. The files' sizes are sampled every millisecond to
// learn when each byte was played.
//
// Per receiver and profile: the share of the sent 20 ms frames played intact
// (byte for byte, wherever they landed), the share of the played audio that
// stands in for missing frames without being silence (concealed), the share
// that is silence within the signal (holes), the longest silence, the mean and
// 99th percentile of the delay from a frame's delivery to the receiver to its
// playing, and the signal-to-noise ratio of what was played against what was
// sent (aligned on the intact frames).
//
//   bridge_quality_bench [seconds per profile] [profile name]   (20 s, all)

#include <algorithm>
#include <cmath>
#include <numbers>
#include <cstdio>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "bridge/bridge_child_posix.h"
#include "impairment.h"
#include "platform/g711.h"
#include "platform/paths.h"

namespace {

using namespace BenchBridge;
using TClock = std::chrono::steady_clock;

constexpr int Frame = 160;

struct TProfile {
  const char* Name;
  TImpairSettings Net;
  int MatchedLatencyMs;  // GStreamer's latency in the matched column
};

std::vector<TProfile> Profiles() {
  std::vector<TProfile> P;
  P.push_back({"clean", {}, 40});
  TImpairSettings J;
  J.JitterMs = 30;
  J.Loss = 0.01;
  P.push_back({"jitter30-loss1", J, 120});
  TImpairSettings B;
  B.BurstMs = 100;
  P.push_back({"bursts5x100ms", B, 100});
  TImpairSettings G;
  G.GoodToBad = 0.01;
  G.BadToGood = 0.3;
  G.Reorder = 0.02;
  P.push_back({"bursty-loss3-reorder2", G, 60});
  for (auto& X : P) X.Net.Seed = 16;
  return P;
}

// The sent signal: a voiced sound whose pitch and loudness move like speech
// (100 to 220 Hz, syllables of 200 to 300 ms), never silent, so that every 20
// ms frame is different and a hole is a hole.
std::vector<uint8_t> Signal(int Frames) {
  std::vector<uint8_t> S(static_cast<size_t>(Frames) * Frame);
  double Phase = 0;
  for (size_t I = 0; I < S.size(); ++I) {
    const double T = static_cast<double>(I) / 8000.0;
    const double Pitch = 160 + 60 * std::sin(2 * std::numbers::pi * 0.7 * T) * std::cos(2 * std::numbers::pi * 0.23 * T);
    Phase += 2 * std::numbers::pi * Pitch / 8000.0;
    const double Level = 0.55 + 0.45 * std::sin(2 * std::numbers::pi * 4.1 * T);
    double V = 0;
    for (int H = 1; H <= 6; ++H) V += std::sin(H * Phase + 0.3 * H) / H;
    S[I] = Platform::LinearToALaw(static_cast<int16_t>(std::lround(5000 * Level * V)));
  }
  return S;
}

std::string RtpPacket(int K, const std::vector<uint8_t>& Sig) {
  std::string P(12, '\0');
  const uint16_t Seq = static_cast<uint16_t>(40000 + K);
  const uint32_t Ts = 0x7FFFF000u + 160u * static_cast<uint32_t>(K), Ssrc = 0x0BE7C4u;
  P[0] = static_cast<char>(0x80);
  P[1] = static_cast<char>(K == 0 ? 0x88 : 0x08);
  P[2] = static_cast<char>(Seq >> 8);
  P[3] = static_cast<char>(Seq);
  for (int B = 0; B < 4; ++B) {
    P[4 + B] = static_cast<char>(Ts >> (24 - 8 * B));
    P[8 + B] = static_cast<char>(Ssrc >> (24 - 8 * B));
  }
  P.append(reinterpret_cast<const char*>(Sig.data()) + static_cast<size_t>(K) * Frame, Frame);
  return P;
}

struct TReceiver {
  std::string Name;
  fs::path Dir, File;
  bool Pcm16 = false;          // GStreamer writes 16-bit samples
  bool WrittenAtStart = false; // GStreamer renders a buffer when it begins; the earphone when it ends
  uint16_t Port = 0;
  std::unique_ptr<TChild> Child;
  std::vector<std::pair<double, uintmax_t>> Sizes;  // (ms, bytes) whenever the size changed
  std::vector<double> Delivered;                    // ms, per frame (-1: lost)
};

struct TResult {
  double Intact = 0, Concealed = 0, Holes = 0, LongestSilenceMs = 0, MeanDelay = 0, P99Delay = 0, Snr = 0;
};

std::vector<uint8_t> Played(const TReceiver& R) {
  std::ifstream In(R.File, std::ios::binary);
  const std::string Raw((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  std::vector<uint8_t> Codes;
  if (R.Pcm16) {
    for (size_t I = 0; I + 1 < Raw.size(); I += 2)
      Codes.push_back(Platform::LinearToALaw(static_cast<int16_t>(static_cast<uint8_t>(Raw[I]) | static_cast<uint8_t>(Raw[I + 1]) << 8)));
  } else {
    Codes.assign(Raw.begin(), Raw.end());
  }
  return Codes;
}

// When the sample at Index of the output was played (ms), from the size samples.
double PlayedAt(const TReceiver& R, size_t Index) {
  const uintmax_t Width = R.Pcm16 ? 2 : 1;
  const uintmax_t Byte = (Index + 1) * Width;
  auto It = std::lower_bound(R.Sizes.begin(), R.Sizes.end(), Byte,
                             [](const std::pair<double, uintmax_t>& S, uintmax_t B) { return S.second < B; });
  if (It == R.Sizes.end()) return -1;
  const uintmax_t Before = It == R.Sizes.begin() ? 0 : std::prev(It)->second;
  if (R.WrittenAtStart) return It->first + static_cast<double>(Byte / Width - Before / Width) / 8.0;
  return It->first - static_cast<double>(It->second / Width - Index) / 8.0;
}

TResult Analyse(const TReceiver& R, const std::vector<uint8_t>& Sig, int Frames) {
  const std::vector<uint8_t> Out = Played(R);
  TResult Res;
  // Each sent frame found whole, in order, anywhere in what was played.
  std::unordered_multimap<uint64_t, int> Index;
  auto Key = [](const uint8_t* P) {
    uint64_t K;
    std::memcpy(&K, P, 8);
    return K;
  };
  for (int K = 0; K < Frames; ++K) Index.emplace(Key(Sig.data() + static_cast<size_t>(K) * Frame), K);
  std::vector<long> Where(static_cast<size_t>(Frames), -1);
  std::vector<bool> Covered(Out.size(), false);
  int Next = 0;
  for (size_t J = 0; J + Frame <= Out.size(); ++J) {
    auto [A, B] = Index.equal_range(Key(Out.data() + J));
    for (auto It = A; It != B; ++It) {
      const int K = It->second;
      if (K < Next || Where[static_cast<size_t>(K)] >= 0) continue;
      if (std::memcmp(Out.data() + J, Sig.data() + static_cast<size_t>(K) * Frame, Frame) != 0) continue;
      Where[static_cast<size_t>(K)] = static_cast<long>(J);
      std::fill(Covered.begin() + static_cast<long>(J), Covered.begin() + static_cast<long>(J) + Frame, true);
      Next = K + 1;
      J += Frame - 1;
      break;
    }
  }
  const long First = [&] { for (long W : Where) if (W >= 0) return W; return -1L; }();
  long Last = -1;
  for (long W : Where)
    if (W >= 0) Last = W + Frame;
  int Intact = 0;
  for (long W : Where) Intact += W >= 0;
  Res.Intact = 100.0 * Intact / Frames;
  if (First < 0) return Res;
  // What stands in for the frames that are not there: made-up audio or silence.
  size_t Concealed = 0, Silent = 0, Run = 0, Longest = 0;
  for (long J = First; J < Last; ++J) {
    const bool Quiet = std::abs(Platform::ALawToLinear(Out[static_cast<size_t>(J)])) <= 24;
    Run = Quiet ? Run + 1 : 0;
    Longest = std::max(Longest, Run);
    if (Covered[static_cast<size_t>(J)]) continue;
    (Quiet ? Silent : Concealed) += 1;
  }
  Res.Concealed = 100.0 * static_cast<double>(Concealed) / (static_cast<double>(Frames) * Frame);
  Res.Holes = 100.0 * static_cast<double>(Silent) / (static_cast<double>(Frames) * Frame);
  Res.LongestSilenceMs = static_cast<double>(Longest) / 8.0;
  // Delay from delivery to playing, for the frames played intact.
  std::vector<double> Delays;
  for (int K = 0; K < Frames; ++K) {
    const long W = Where[static_cast<size_t>(K)];
    const double D = R.Delivered[static_cast<size_t>(K)];
    if (W < 0 || D < 0) continue;
    const double At = PlayedAt(R, static_cast<size_t>(W));
    if (At >= 0) Delays.push_back(At - D);
  }
  if (!Delays.empty()) {
    Res.MeanDelay = std::accumulate(Delays.begin(), Delays.end(), 0.0) / static_cast<double>(Delays.size());
    std::sort(Delays.begin(), Delays.end());
    Res.P99Delay = Delays[std::min(Delays.size() - 1, Delays.size() * 99 / 100)];
  }
  // Signal to noise over the whole signal: each sent frame against the output
  // where the last intact frame before it puts it.
  double Signal = 0, Noise = 0;
  long Offset = First;  // output position of sample 0
  for (int K = 0; K < Frames; ++K) {
    const long W = Where[static_cast<size_t>(K)];
    if (W >= 0) Offset = W - static_cast<long>(K) * Frame;
    for (int I = 0; I < Frame; ++I) {
      const double S = Platform::ALawToLinear(Sig[static_cast<size_t>(K) * Frame + static_cast<size_t>(I)]);
      const long P = Offset + static_cast<long>(K) * Frame + I;
      const double O = P >= 0 && P < static_cast<long>(Out.size()) ? Platform::ALawToLinear(Out[static_cast<size_t>(P)]) : 0.0;
      Signal += S * S;
      Noise += (S - O) * (S - O);
    }
  }
  Res.Snr = 10 * std::log10(Signal / std::max(Noise, 1.0));
  return Res;
}

void WriteBridgeIni(const TReceiver& R, bool Adaptive) {
  for (const char* Name : {"Brenvic", "srv_TAVEK_TPKT_Transport.so", "LogClient.so"})
    fs::copy_file(fs::path(Platform::ExeDir()) / Name, R.Dir / Name, fs::copy_options::overwrite_existing);
  std::ofstream Ini(R.Dir / "Brenvic.ini", std::ios::binary);
  Ini << "[Options]\r\nDoLog=1\r\nNeedMeasure=1\r\nLocalIP=127.0.0.1\r\nLocalPort=" << R.Port
      << "\r\nTCPServerListenIP=127.0.0.1\r\nTCPServerListenPort=" << FreePort(SOCK_STREAM)
      << "\r\nDisconnectTimeOut=5000\r\nRecDeviceID=Bench\r\nPlayDeviceID=Bench\r\n"
         "[VirtualDevices]\r\nCapture1=Bench Microphone\r\nPlayback1=Bench Earphone|file=ear.raw|gaps=silence\r\n";
  if (Adaptive) Ini << "[Receive]\r\nMode=adaptive\r\n";
}

std::vector<std::string> GstArgs(uint16_t Port, int LatencyMs) {
  std::vector<std::string> A = {"gst-launch-1.0", "-q", "udpsrc", "address=127.0.0.1", "port=" + std::to_string(Port),
                                "caps=application/x-rtp,media=audio,clock-rate=8000,encoding-name=PCMA,payload=8", "!",
                                "rtpjitterbuffer"};
  if (LatencyMs > 0) A.push_back("latency=" + std::to_string(LatencyMs));
  for (const char* S : {"!", "rtppcmadepay", "!", "alawdec", "!", "audiorate", "!", "filesink", "location=ear.raw",
                        "sync=true", "buffer-mode=unbuffered"})
    A.push_back(S);
  return A;
}

std::vector<std::pair<std::string, TResult>> RunProfile(const TProfile& P, int Seconds, const fs::path& Work) {
  const int Frames = Seconds * 50;
  const std::vector<uint8_t> Sig = Signal(Frames);
  std::vector<TReceiver> Rx(4);
  const char* Names[4] = {"bridge fixed", "bridge adaptive", "gst default", "gst matched"};
  for (size_t I = 0; I < Rx.size(); ++I) {
    TReceiver& R = Rx[I];
    R.Name = Names[I] + (I == 3 ? " (" + std::to_string(P.MatchedLatencyMs) + " ms)" : std::string());
    R.Dir = Work / P.Name / std::to_string(I);
    fs::create_directories(R.Dir);
    R.File = R.Dir / "ear.raw";
    R.Port = FreePort(SOCK_DGRAM);
    R.Pcm16 = R.WrittenAtStart = I >= 2;
    if (I < 2) {
      WriteBridgeIni(R, I == 1);
      R.Child = std::make_unique<TChild>(std::vector<std::string>{(R.Dir / "Brenvic").string(), "run"}, R.Dir / "console.out", R.Dir);
    } else {
      R.Child = std::make_unique<TChild>(GstArgs(R.Port, I == 3 ? P.MatchedLatencyMs : 0), R.Dir / "gst.out", R.Dir);
    }
    R.Delivered.assign(static_cast<size_t>(Frames), -1.0);
  }
  std::this_thread::sleep_for(1500ms);  // the programs open their sockets and devices

  // The network's schedule, the same for every receiver.
  TImpairment Net(P.Net);
  struct TSend {
    double AtMs;
    int Frame;
  };
  std::vector<TSend> Plan;
  for (int K = 0; K < Frames; ++K)
    for (double At : Net.Schedule(20.0 * K)) Plan.push_back({At, K});
  std::stable_sort(Plan.begin(), Plan.end(), [](const TSend& A, const TSend& B) { return A.AtMs < B.AtMs; });

  std::atomic<bool> Sampling{true};
  const auto Start = TClock::now();
  auto Ms = [&] { return std::chrono::duration<double, std::milli>(TClock::now() - Start).count(); };
  std::thread Sampler([&] {
    while (Sampling) {
      for (TReceiver& R : Rx) {
        std::error_code Ec;
        const uintmax_t S = fs::file_size(R.File, Ec);
        if (!Ec && (R.Sizes.empty() || R.Sizes.back().second != S)) R.Sizes.emplace_back(Ms(), S);
      }
      std::this_thread::sleep_for(1ms);
    }
  });
  const int Fd = UdpSocket();
  for (const TSend& S : Plan) {
    std::this_thread::sleep_until(Start + std::chrono::microseconds(static_cast<int64_t>(S.AtMs * 1000)));
    const std::string Packet = RtpPacket(S.Frame, Sig);
    for (TReceiver& R : Rx) {
      SendTo(Fd, R.Port, Packet.data(), Packet.size());
      double& D = R.Delivered[static_cast<size_t>(S.Frame)];
      if (D < 0) D = Ms();
    }
    Drain(Fd);  // what the bridges send back
  }
  std::this_thread::sleep_for(1500ms);
  Sampling = false;
  Sampler.join();
  close(Fd);
  std::vector<std::pair<std::string, TResult>> Results;
  for (TReceiver& R : Rx) {
    R.Child->Stop();
    Results.emplace_back(R.Name, Analyse(R, Sig, Frames));
  }
  const TImpairCounters& C = Net.Counters();
  std::printf("\nprofile %s: %d frames, %llu lost, %llu duplicated, %llu held back by the network\n", P.Name, Frames,
              static_cast<unsigned long long>(C.Lost), static_cast<unsigned long long>(C.Duplicated),
              static_cast<unsigned long long>(C.Reordered));
  std::printf("%-24s %8s %10s %8s %13s %11s %10s %8s\n", "receiver", "intact%", "concealed%", "holes%",
              "longest gap", "mean delay", "p99 delay", "SNR dB");
  for (const auto& [Name, X] : Results)
    std::printf("%-24s %8.1f %10.1f %8.1f %10.0f ms %8.0f ms %7.0f ms %8.1f\n", Name.c_str(), X.Intact, X.Concealed,
                X.Holes, X.LongestSilenceMs, X.MeanDelay, X.P99Delay, X.Snr);
  std::fflush(stdout);
  return Results;
}

}  // namespace

int main(int argc, char** argv) {
  const int Seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 20;
  const std::string Only = argc > 2 ? argv[2] : "";
  const fs::path Work = fs::temp_directory_path() / ("bridge-quality-" + std::to_string(std::random_device()()));
  fs::create_directories(Work);
  std::printf("receive quality through the impaired network, %d s per profile; outputs under %s\n", Seconds,
              Work.c_str());
  bool Met = true;
  for (const TProfile& P : Profiles()) {
    if (!Only.empty() && Only != P.Name) continue;
    const auto R = RunProfile(P, Seconds, Work);
    const TResult& Adaptive = R[1].second;
    const TResult& GstDefault = R[2].second;
    const bool Clean = std::string(P.Name) == "clean";
    const bool Ok = Clean ? Adaptive.MeanDelay <= 40
                          : Adaptive.Intact >= GstDefault.Intact && Adaptive.Holes <= GstDefault.Holes &&
                                Adaptive.MeanDelay <= GstDefault.MeanDelay;
    std::printf("goal (%s): %s\n",
                Clean ? "adaptive adds at most 40 ms" : "adaptive: intact >= gst default, fewer holes, no more delay",
                Ok ? "met" : "NOT met");
    Met = Met && Ok;
  }
  std::error_code Ec;
  if (Met) fs::remove_all(Work, Ec);
  return Met ? 0 : 1;
}
