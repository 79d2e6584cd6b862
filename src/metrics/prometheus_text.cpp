#include "metrics/prometheus_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace {
// Backslash, double quote and line feed are escaped in label values; HELP
// texts escape backslash and line feed.
std::string Escape(const std::string& Text, bool Quotes) {
  std::string Out;
  for (char C : Text) {
    if (C == '\\')
      Out += "\\\\";
    else if (C == '\n')
      Out += "\\n";
    else if (C == '"' && Quotes)
      Out += "\\\"";
    else
      Out += C;
  }
  return Out;
}
}  // namespace

void TPrometheusText::Family(const std::string& Name, const char* Type, const std::string& Help) {
  FText += "# HELP " + Name + " " + Escape(Help, false) + "\n# TYPE " + Name + " " + Type + "\n";
}

void TPrometheusText::Series(const std::string& Name, const TLabels& Labels) {
  FText += Name;
  if (!Labels.empty()) {
    FText += '{';
    for (size_t I = 0; I < Labels.size(); ++I) {
      if (I > 0) FText += ',';
      FText += Labels[I].first + "=\"" + Escape(Labels[I].second, true) + '"';
    }
    FText += '}';
  }
  FText += ' ';
}

void TPrometheusText::Sample(const std::string& Name, uint64_t Value, const TLabels& Labels) {
  Series(Name, Labels);
  FText += std::to_string(Value) + "\n";
}

void TPrometheusText::Sample(const std::string& Name, double Value, const TLabels& Labels) {
  Series(Name, Labels);
  // The shortest text that reads back as the same value (0.2, not
  // 0.20000000000000001), and the format's own names for the rest.
  char Buf[64];
  if (std::isnan(Value)) {
    FText += "NaN";
  } else if (std::isinf(Value)) {
    FText += Value > 0 ? "+Inf" : "-Inf";
  } else {
    const std::to_chars_result R = std::to_chars(Buf, Buf + sizeof(Buf), Value);
    FText.append(Buf, R.ptr);
  }
  FText += "\n";
}

void TPrometheusText::Counter(const std::string& Name, const std::string& Help, uint64_t Value) {
  Family(Name, "counter", Help);
  Sample(Name, Value);
}

void TPrometheusText::Gauge(const std::string& Name, const std::string& Help, double Value) {
  Family(Name, "gauge", Help);
  Sample(Name, Value);
}

void TPrometheusText::Histogram(const std::string& Name, const std::string& Help, const double* Bounds,
                                const uint64_t* Buckets, size_t N, double Sum, uint64_t Count) {
  Family(Name, "histogram", Help);
  uint64_t Below = 0;
  for (size_t I = 0; I < N; ++I) {
    Below += Buckets[I];
    char Le[32];
    std::snprintf(Le, sizeof(Le), "%g", Bounds[I]);
    Sample(Name + "_bucket", Below, {{"le", Le}});
  }
  Sample(Name + "_bucket", Count, {{"le", "+Inf"}});
  Sample(Name + "_sum", Sum);
  Sample(Name + "_count", Count);
}
