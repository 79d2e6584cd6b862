#include "audio/virtual_devices.h"

#include <cctype>
#include <cstdlib>
#include <stdexcept>

#include "log/log.h"
#include "platform/paths.h"

using namespace Platform;

namespace {

const char* const Section = "VirtualDevices";

std::string Trim(const std::string& S) {
  size_t B = 0, E = S.size();
  while (B < E && static_cast<unsigned char>(S[B]) <= ' ') ++B;
  while (E > B && static_cast<unsigned char>(S[E - 1]) <= ' ') --E;
  return S.substr(B, E - B);
}

std::string Lower(std::string S) {
  for (char& C : S) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return S;
}

std::vector<std::string> SplitBars(const std::string& S) {
  std::vector<std::string> Parts;
  size_t Start = 0;
  for (;;) {
    const size_t Bar = S.find('|', Start);
    Parts.push_back(Trim(S.substr(Start, Bar == std::string::npos ? std::string::npos : Bar - Start)));
    if (Bar == std::string::npos) return Parts;
    Start = Bar + 1;
  }
}

uint32_t ToUnsigned(const std::string& Text) {
  size_t Used = 0;
  const unsigned long long V = std::stoull(Text, &Used, 10);
  if (Used != Text.size() || V > 0xFFFFFFFFull || Text[0] == '-') throw std::invalid_argument(Text);
  return static_cast<uint32_t>(V);
}

double ToDouble(const std::string& Text) {
  size_t Used = 0;
  const double V = std::stod(Text, &Used);
  if (Used != Text.size()) throw std::invalid_argument(Text);
  return V;
}

TWaveFault ParseFault(const std::string& Text, TWaveDir Dir) {
  TWaveFault F;
  std::string Op = Text;
  const size_t Colon = Op.find(':');
  if (Colon != std::string::npos) {
    F.Code = ToUnsigned(Op.substr(Colon + 1));
    Op.resize(Colon);
  }
  const size_t At = Op.find('@');
  if (At != std::string::npos) {
    F.Nth = ToUnsigned(Op.substr(At + 1));
    Op.resize(At);
  }
  Op = Lower(Op);
  if (Op == "caps") F.Op = TWaveFaultOp::Caps;
  else if (Op == "open") F.Op = TWaveFaultOp::Open;
  else if (Op == "prepare") F.Op = TWaveFaultOp::Prepare;
  else if (Op == "unprepare") F.Op = TWaveFaultOp::Unprepare;
  else if ((Op == "add" && Dir == TWaveDir::In) || (Op == "write" && Dir == TWaveDir::Out)) F.Op = TWaveFaultOp::Queue;
  else if (Op == "start" && Dir == TWaveDir::In) F.Op = TWaveFaultOp::Start;
  else if (Op == "reset") F.Op = TWaveFaultOp::Reset;
  else if (Op == "close") F.Op = TWaveFaultOp::Close;
  else throw std::invalid_argument(Op);
  return F;
}

// One entry; throws std::invalid_argument naming what is wrong.
TVirtualWaveDevice ParseEntry(const std::string& Value, TWaveDir Dir, const std::string& BaseDir) {
  const std::vector<std::string> Parts = SplitBars(Value);
  TVirtualWaveDevice D;
  D.Dir = Dir;
  D.Name = Parts[0];
  if (D.Name.empty()) throw std::invalid_argument("no name");
  for (size_t I = 1; I < Parts.size(); ++I) {
    const std::string& Part = Parts[I];
    const size_t Eq = Part.find('=');
    const std::string Key = Lower(Trim(Part.substr(0, Eq)));
    const std::string Arg = Eq == std::string::npos ? std::string() : Trim(Part.substr(Eq + 1));
    try {
      if (Key == "file" && !Arg.empty())
        D.FileName = Platform::IsAbsolutePath(Arg) ? Arg : BaseDir + Arg;
      else if (Key == "tone" && Dir == TWaveDir::In)
        D.ToneHz = ToDouble(Arg);
      else if (Key == "level" && Dir == TWaveDir::In)
        D.ToneLevelDb = ToDouble(Arg);
      else if (Key == "gaps" && Dir == TWaveDir::Out && Lower(Arg) == "silence")
        D.GapsAsSilence = true;
      else if (Key == "vanish")
        D.VanishAfterMs = ToUnsigned(Arg);
      else if (Key == "absent")
        D.AbsentMs = ToUnsigned(Arg);
      else if (Key == "fault")
        D.Faults.push_back(ParseFault(Arg, Dir));
      else
        throw std::invalid_argument(Part);
    } catch (const std::logic_error&) {
      throw std::invalid_argument("option \"" + Part + "\"");
    }
  }
  return D;
}

void ReadSeries(const TIniFile& Ini, const std::string& Prefix, TWaveDir Dir, const std::string& BaseDir,
                std::vector<TVirtualWaveDevice>& Out) {
  for (int N = 1;; ++N) {
    const std::string Key = Prefix + std::to_string(N);
    const std::string Value = Ini.ReadString(Section, Key, "");
    if (Value.empty()) return;
    try {
      Out.push_back(ParseEntry(Value, Dir, BaseDir));
    } catch (const std::invalid_argument& E) {
      WriteLog("Virtual device " + Key + " ignored: " + E.what());
    }
  }
}

}  // namespace

std::vector<TVirtualWaveDevice> ReadVirtualDevices(const TIniFile& Ini, const std::string& BaseDir) {
  std::vector<TVirtualWaveDevice> Devices;
  ReadSeries(Ini, "Capture", TWaveDir::In, BaseDir, Devices);
  ReadSeries(Ini, "Playback", TWaveDir::Out, BaseDir, Devices);
  return Devices;
}

int LoadVirtualDevices(const std::string& IniFileName) {
  const TIniFile Ini(IniFileName);
  auto Devices = ReadVirtualDevices(Ini, ExtractFileDir(IniFileName));
  const int Count = static_cast<int>(Devices.size());
  SetVirtualWaveDevices(std::move(Devices));
  // Listing the system's devices loads its whole audio stack (with ALSA, the
  // configuration's plugins and the sound server's client libraries: megabytes
  // that a bridge on virtual devices never uses).
  if (Ini.ReadInteger(Section, "SystemDevices", 1) == 0) TSystemWaveDevices::SetHidden(true);
  return Count;
}
