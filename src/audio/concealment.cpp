#include "audio/concealment.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

int16_t Saturate(int32_t V) { return static_cast<int16_t>(std::clamp<int32_t>(V, -32768, 32767)); }

// Normalised correlation of A[0, N) with B[0, N); 0 for silence. Doubles: the
// sums of 160 products of 16-bit samples overflow 32 bits.
double Correlation(const int16_t* A, const int16_t* B, size_t N) {
  double AB = 0, AA = 0, BB = 0;
  for (size_t I = 0; I < N; ++I) {
    AB += static_cast<double>(A[I]) * B[I];
    AA += static_cast<double>(A[I]) * A[I];
    BB += static_cast<double>(B[I]) * B[I];
  }
  return AA > 0 && BB > 0 ? AB / std::sqrt(AA * BB) : 0.0;
}

// The period P in [Lowest, Highest] for which In[0, Window) looks most like
// In[P, P + Window): the samples ahead, for the time-scale steps.
int PeriodAhead(const int16_t* In, int Lowest, int Highest, size_t Window) {
  int Best = Lowest;
  double BestScore = -2.0;
  for (int P = Lowest; P <= Highest; ++P) {
    const double Score = Correlation(In, In + P, Window);
    if (Score > BestScore) {
      BestScore = Score;
      Best = P;
    }
  }
  return Best;
}

// Periods the time-scale steps choose from: 2.5 to 10 ms, so that a step fits
// twice into a 20 ms frame.
constexpr int ScaleLowest = 20;
constexpr int ScaleHighest = 80;
constexpr size_t ScaleWindow = 40;

}  // namespace

int TConcealer::FindPitch(const int16_t* Signal, size_t Length, size_t Window, int Lowest, int Highest) {
  if (Length < Window + static_cast<size_t>(Highest)) return Lowest;
  const int16_t* Recent = Signal + Length - Window;
  int Best = Lowest;
  double BestScore = -2.0;
  for (int P = Lowest; P <= Highest; ++P) {
    const double Score = Correlation(Recent, Recent - P, Window);
    if (Score > BestScore) {
      BestScore = Score;
      Best = P;
    }
  }
  return Best;
}

void TConcealer::Reset() { *this = TConcealer{}; }

void TConcealer::Remember(const int16_t* Samples, size_t N) {
  if (N >= HistoryLength) {
    std::memcpy(FHistory.data(), Samples + N - HistoryLength, HistoryLength * sizeof(int16_t));
  } else {
    std::memmove(FHistory.data(), FHistory.data() + N, (HistoryLength - N) * sizeof(int16_t));
    std::memcpy(FHistory.data() + HistoryLength - N, Samples, N * sizeof(int16_t));
  }
  FHeard = std::min(HistoryLength, FHeard + N);
}

int16_t TConcealer::NextMadeUp() {
  if (FPitch == 0 || FErased >= SilentAfter) {
    ++FErased;
    return 0;
  }
  // Wider replication as the loss goes on; the position moves with the start
  // of the segment so that the waveform stays continuous.
  const int Wanted = FErased >= 2 * FadeStart ? 3 : FErased >= FadeStart ? 2 : 1;
  if (Wanted > FPeriods) {
    FPosition += FPitch * (Wanted - FPeriods);
    FPeriods = Wanted;
  }
  const int Segment = FPeriods * FPitch;
  const int16_t Sample = FPitchBuffer[static_cast<size_t>(3 * FPitch - Segment + FPosition)];
  FPosition = (FPosition + 1) % Segment;
  // Full level for 10 ms, then down by a fifth every 10 ms.
  const int Fade = std::max(0, FErased - FadeStart);
  const int Left = SilentAfter - FadeStart;
  ++FErased;
  return static_cast<int16_t>(static_cast<int32_t>(Sample) * (Left - Fade) / Left);
}

void TConcealer::BeginLoss() {
  // The period of what was heard last, when there is enough of it to tell;
  // silence otherwise.
  FPitch = 0;
  if (FHeard >= HistoryLength) {
    FPitch = FindPitch(FHistory.data(), HistoryLength, 160, MinPitch, MaxPitch);
    std::memcpy(FPitchBuffer.data(), FHistory.data() + HistoryLength - 3 * FPitch, 3 * FPitch * sizeof(int16_t));
  }
  FPeriods = 1;
  FPosition = 0;
}

void TConcealer::Conceal(int16_t* Out, size_t N) {
  if (FErased == 0) BeginLoss();
  for (size_t I = 0; I < N; ++I) Out[I] = NextMadeUp();
  Remember(Out, N);
}

void TConcealer::Towards(int16_t* Out, size_t N, size_t Remaining, const int16_t* Next, size_t NextLength) {
  if (FErased == 0) BeginLoss();
  // Next's own period, so that its waveform repeated backwards runs into it
  // smoothly; the period of the history when too little of Next is known.
  int Period = 0;
  if (NextLength >= ScaleWindow + MaxPitch)
    Period = PeriodAhead(Next, MinPitch, MaxPitch, ScaleWindow);
  else if (FPitch > 0 && static_cast<size_t>(FPitch) <= NextLength)
    Period = FPitch;
  else
    Period = static_cast<int>(NextLength);
  constexpr int32_t L = MergeLength + 1;
  for (size_t I = 0; I < N; ++I) {
    const int32_t MadeUp = NextMadeUp();
    const size_t Before = Remaining - I;  // how far ahead of Next this sample is
    if (Period <= 0 || Before > static_cast<size_t>(MergeLength)) {
      Out[I] = static_cast<int16_t>(MadeUp);
      continue;
    }
    const size_t P = static_cast<size_t>(Period);
    const int32_t Back = Next[(P - Before % P) % P];
    const int32_t W = L - static_cast<int32_t>(Before);
    Out[I] = Saturate((Back * W + MadeUp * (L - W)) / L);
  }
  // The stretch has reached Next: what follows is real audio, without a seam.
  if (N == Remaining) FErased = 0;
  Remember(Out, N);
}

void TConcealer::Good(const int16_t* In, int16_t* Out, size_t N) {
  size_t I = 0;
  if (FErased >= SilentAfter) {
    // Faded out already: the real audio starts as it is.
    FErased = 0;
  } else if (FErased > 0) {
    // 4 ms of cross-fade, 4 ms more for each further 10 ms lost, at most 10 ms.
    const int Extra = (FErased - 1) / FadeStart;
    const size_t Length = static_cast<size_t>(std::min(80, 32 * (1 + Extra)));
    for (; I < N && I < Length; ++I) {
      const int32_t MadeUp = NextMadeUp();
      const int32_t W = static_cast<int32_t>(I + 1);
      const int32_t L = static_cast<int32_t>(Length + 1);
      Out[I] = Saturate((In[I] * W + MadeUp * (L - W)) / L);
    }
    FErased = 0;
  }
  for (; I < N; ++I) Out[I] = In[I];
  Remember(Out, N);
}

int TimeScaleAccelerate(const int16_t* In, size_t Available, int16_t* Out, size_t Count, int Longest) {
  Longest = std::min(Longest, ScaleHighest);
  if (Available < Count + ScaleHighest || Count < 2 * ScaleHighest || Longest < ScaleLowest) return 0;
  const int P = PeriodAhead(In, ScaleLowest, Longest, ScaleWindow);
  const size_t Step = static_cast<size_t>(P);
  for (size_t I = 0; I < Count; ++I) {
    if (I < Step) {
      const int32_t W = static_cast<int32_t>(I);
      Out[I] = Saturate((In[I] * (P - W) + In[I + Step] * W) / P);
    } else {
      Out[I] = In[I + Step];
    }
  }
  return P;
}

int TimeScaleStretch(const int16_t* In, size_t Available, int16_t* Out, size_t Count) {
  if (Available < Count || Count < 2 * ScaleHighest) return 0;
  const int P = PeriodAhead(In, ScaleLowest, ScaleHighest, ScaleWindow);
  const size_t Step = static_cast<size_t>(P);
  for (size_t I = 0; I < Count; ++I) {
    if (I < Step) {
      Out[I] = In[I];
    } else if (I < 2 * Step) {
      const int32_t W = static_cast<int32_t>(I - Step);
      Out[I] = Saturate((In[I] * (P - W) + In[I - Step] * W) / P);
    } else {
      Out[I] = In[I - Step];
    }
  }
  return P;
}
