#include "server_params.h"

#include <cctype>

namespace TPKT {

namespace {

std::string Trim(const std::string& S) {
  size_t B = 0, E = S.size();
  while (B < E && std::isspace(static_cast<unsigned char>(S[B]))) ++B;
  while (E > B && std::isspace(static_cast<unsigned char>(S[E - 1]))) --E;
  return S.substr(B, E - B);
}

std::string Upper(std::string S) {
  for (char& C : S) C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
  return S;
}

}  // namespace

std::string StripAddress(const std::string& Text) {
  std::string A = Trim(Text);
  if (A.size() >= 2 && A.front() == '[' && A.back() == ']') A = A.substr(1, A.size() - 2);
  return A;
}

bool ParseServerParams(const std::string& Text, TServerParams& Params) {
  Params = TServerParams();
  size_t Pos = Text.find(',');
  Params.Address = StripAddress(Text.substr(0, Pos));
  if (Params.Address.empty()) Params.Address = "0.0.0.0";
  while (Pos != std::string::npos) {
    const size_t Next = Text.find(',', Pos + 1);
    const std::string Option = Text.substr(Pos + 1, Next == std::string::npos ? std::string::npos : Next - Pos - 1);
    Pos = Next;
    const size_t Eq = Option.find('=');
    if (Eq == std::string::npos) return false;
    const std::string Key = Upper(Trim(Option.substr(0, Eq)));
    const std::string Value = Upper(Trim(Option.substr(Eq + 1)));
    if (Key == "NOTPKT") {
      if (Value == "YES")
        Params.NoTPKT = true;
      else if (Value == "NO")
        Params.NoTPKT = false;
      else
        return false;
    } else if (Key == "LAYER") {
      if (Value == "UDP")
        Params.Layer = TLayer::Udp;
      else if (Value == "TCP")
        Params.Layer = TLayer::Tcp;
      else
        return false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace TPKT
