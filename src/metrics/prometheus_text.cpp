#include "metrics/prometheus_text.h"

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
  char Buf[64];
  std::snprintf(Buf, sizeof(Buf), "%.17g", Value);
  FText += Buf;
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
