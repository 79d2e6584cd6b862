#pragma once
// Packet loss concealment for G.711 at 8000 samples/s, after the method of
// ITU-T G.711 Appendix I (pitch waveform replication): a missing stretch is
// filled by repeating the last pitch period of what was heard, widened to two
// and three periods as the loss goes on (so that a long loss does not buzz),
// faded out from 10 ms on and silent from 60 ms on; the first real samples
// after a loss are cross-faded with the made-up continuation. Unlike the
// Appendix, nothing already played is changed, so no extra delay is needed.
// Where the real audio after the loss is known before the loss is played out
// (Towards), the made-up stretch ends in that audio's own waveform instead, so
// that the real audio plays exactly as it came.
//
// Also the two time-scale steps that the adaptive receive buffer uses to
// absorb clock drift: dropping or repeating one pitch period, cross-faded.
//
// Works on linear samples; one object per stream, used by one thread.

#include <array>
#include <cstddef>
#include <cstdint>

class TConcealer {
public:
  static constexpr size_t HistoryLength = 390;  // 48.75 ms: three periods of the lowest pitch
  static constexpr int MinPitch = 40;           // 200 Hz
  static constexpr int MaxPitch = 120;          // 66.7 Hz
  static constexpr int FadeStart = 80;          // 10 ms: the loss is faded from here
  static constexpr int SilentAfter = 480;       // 60 ms: nothing left to fade
  static constexpr int MergeLength = 40;        // 5 ms: the cross-fade of Towards

  // Real samples: In to Out (N of them), cross-faded into the made-up
  // continuation when they follow a loss, and kept as history.
  void Good(const int16_t* In, int16_t* Out, size_t N);
  // N made-up samples continuing the history.
  void Conceal(int16_t* Out, size_t N);
  // N made-up samples of a stretch that ends Remaining samples from now
  // (Remaining >= N) where the real audio Next begins (NextLength samples of it
  // known): the continuation of the history, cross-faded over the stretch's
  // last MergeLength samples into Next's first period repeated backwards. When
  // the stretch ends here, Next follows without a seam: Good passes it as it is.
  void Towards(int16_t* Out, size_t N, size_t Remaining, const int16_t* Next, size_t NextLength);
  // Forget everything (a new stream).
  void Reset();

  // Samples made up since the last real ones.
  int ErasedSamples() const { return FErased; }
  // The pitch period (in samples) that best explains the last Window samples
  // of Signal (Length samples, Window + MaxPitch of them needed).
  static int FindPitch(const int16_t* Signal, size_t Length, size_t Window, int Lowest, int Highest);

private:
  void BeginLoss();
  void Remember(const int16_t* Samples, size_t N);
  int16_t NextMadeUp();

  std::array<int16_t, HistoryLength> FHistory{};  // newest last
  size_t FHeard = 0;        // real or made-up samples ever put into the history (capped)
  int FErased = 0;          // samples made up since the last real one
  int FPitch = 0;           // period of the current loss
  int FPeriods = 1;         // periods replicated: 1, then 2 after 10 ms, 3 after 20 ms
  int FPosition = 0;        // position inside the replicated periods
  std::array<int16_t, 3 * MaxPitch> FPitchBuffer{};  // the last three periods when the loss began
};

// Time-scale steps on a block of linear samples: Out receives Count samples.
// Accelerate reads Count + P input samples (drops one period P); Stretch reads
// Count - P (repeats one). Each returns P, or 0 when the input is too short
// (then nothing is written). Input must hold at least the samples read.
// Accelerate drops no more than Longest samples (at least 20 are needed).
int TimeScaleAccelerate(const int16_t* In, size_t Available, int16_t* Out, size_t Count, int Longest = 80);
int TimeScaleStretch(const int16_t* In, size_t Available, int16_t* Out, size_t Count);
