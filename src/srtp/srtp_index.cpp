// Index estimation, replay lists and the receiver's table of SSRCs.

#include "srtp/srtp_index.h"

int64_t SrtpEstimateIndex(uint64_t Highest, uint16_t Seq) {
  // RFC 3711 Appendix A: the ROC that puts Seq nearest the highest sequence
  // number: one less when Seq is far above it, one more when far below.
  const int64_t Roc = static_cast<int64_t>(Highest >> 16);
  const int64_t Last = static_cast<int64_t>(Highest & 0xFFFF);
  int64_t V = Roc;
  if (Last < 32768) {
    if (Seq - Last > 32768) V = Roc - 1;
  } else if (Last - 32768 > Seq) {
    V = Roc + 1;
  }
  return V * 65536 + Seq;
}

bool TSrtpReplayList::Fresh(int64_t Index) const {
  if (Index < 0) return false;
  const uint64_t I = static_cast<uint64_t>(Index);
  if (!FValid || I > FHighest) return true;
  const uint64_t Behind = FHighest - I;
  return Behind < Window && !(FSeen[Behind / 64] >> (Behind % 64) & 1);
}

void TSrtpReplayList::Accept(uint64_t Index) {
  if (!FValid) {
    FValid = true;
    FHighest = Index;
    FSeen = {1, 0};
    return;
  }
  if (Index > FHighest) {
    // Shift the window up by the distance; bit 0 becomes the new highest.
    const uint64_t Shift = Index - FHighest;
    if (Shift >= Window) {
      FSeen = {0, 0};
    } else if (Shift >= 64) {
      FSeen[1] = FSeen[0] << (Shift - 64);
      FSeen[0] = 0;
    } else {
      FSeen[1] = FSeen[1] << Shift | FSeen[0] >> (64 - Shift);
      FSeen[0] <<= Shift;
    }
    FHighest = Index;
    FSeen[0] |= 1;
    return;
  }
  const uint64_t Behind = FHighest - Index;
  if (Behind < Window) FSeen[Behind / 64] |= uint64_t{1} << (Behind % 64);
}

TSrtpSsrcContext* TSrtpSsrcTable::Find(uint32_t Ssrc) {
  for (TSrtpSsrcContext& C : FContexts)
    if (C.LastUsed != 0 && C.Ssrc == Ssrc) return &C;
  return nullptr;
}

TSrtpSsrcContext& TSrtpSsrcTable::Use(uint32_t Ssrc) {
  TSrtpSsrcContext* Context = Find(Ssrc);
  if (!Context) {
    Context = &FContexts[0];
    for (TSrtpSsrcContext& C : FContexts)
      if (C.LastUsed < Context->LastUsed) Context = &C;
    *Context = TSrtpSsrcContext{};
    Context->Ssrc = Ssrc;
  }
  Context->LastUsed = ++FClock;
  return *Context;
}
