#include "log/repeat_filter.h"

namespace {
constexpr int64_t SweepEveryMs = 1000;

bool StartsWith(const std::string& Text, const char* Prefix) { return Text.rfind(Prefix, 0) == 0; }

bool EndsWith(const std::string& Text, const std::string& Suffix) {
  return Text.size() >= Suffix.size() && Text.compare(Text.size() - Suffix.size(), Suffix.size(), Suffix) == 0;
}
}  // namespace

bool TRepeatFilter::AlwaysWritten(const std::string& Text) {
  if (Text.empty() || Text == std::string(67, '*')) return true;
  for (const char* Prefix : {"TAVEK Vantelo service", "Using config file: ", "RTP Session ",
                             "Exception starting RTP Session: ", "Exception in main proceding: ",
                             "Exception stopping RTP Session: "})
    if (StartsWith(Text, Prefix)) return true;
  for (const char* Suffix : {" -> started", " -> stopped", " -> not started"})
    if (EndsWith(Text, Suffix)) return true;
  return false;
}

bool TRepeatFilter::Admit(const std::string& Key, const std::string& Text, int64_t NowMs, const std::string& Stamp,
                          std::vector<TCount>& Due) {
  if (!FSwept || NowMs - FLastSweep >= SweepEveryMs) Sweep(NowMs, Due);
  if (AlwaysWritten(Text)) return true;
  TEntry& E = FEntries[{Key, Text}];
  if (!E.Counting && E.Earlier != INT64_MIN && NowMs - E.Earlier < WindowMs) {
    E.Counting = true;
    E.LastReport = NowMs;
  }
  if (E.Counting) {
    ++E.Times;
    E.LastSeen = NowMs;
    E.LastStamp = Stamp;
    return false;
  }
  E.Earlier = E.Latest;
  E.Latest = NowMs;
  return true;
}

void TRepeatFilter::Sweep(int64_t NowMs, std::vector<TCount>& Due) {
  FSwept = true;
  FLastSweep = NowMs;
  for (auto It = FEntries.begin(); It != FEntries.end();) {
    TEntry& E = It->second;
    if (E.Counting && NowMs - E.LastSeen >= QuietMs) {
      // Gone quiet: its count, and it is free to be written again.
      if (E.Times > 0) Due.push_back(CountOf(It->first, E));
      It = FEntries.erase(It);
      continue;
    }
    if (E.Counting && NowMs - E.LastReport >= ReportEveryMs) {
      if (E.Times > 0) Due.push_back(CountOf(It->first, E));
      E.Times = 0;
      E.LastReport = NowMs;
    }
    // A text written once or twice long ago is forgotten: memory stays bounded
    // by what came within the last minute.
    if (!E.Counting && NowMs - E.Latest >= WindowMs) {
      It = FEntries.erase(It);
      continue;
    }
    ++It;
  }
}

std::vector<TRepeatFilter::TCount> TRepeatFilter::Flush() {
  std::vector<TCount> Open;
  for (const auto& [Key, E] : FEntries)
    if (E.Counting && E.Times > 0) Open.push_back(CountOf(Key, E));
  FEntries.clear();
  FSwept = false;
  return Open;
}

std::string TRepeatFilter::CountLine(const TCount& Count) {
  std::string Last = Count.Last;
  while (!Last.empty() && Last.back() == ' ') Last.pop_back();
  return "Repeated " + std::to_string(Count.Times) + " times until " + Last + ": " + Count.Text;
}
