#include "library.h"

#include <chrono>
#include <future>

#include "errors.h"
#include "platform/mutex.h"
#include "server_params.h"

namespace TPKT {

namespace {

// Shuts a server down on its network thread; the future is ready when that
// is done.
std::future<void> PostShutdown(const std::shared_ptr<TServer>& Server) {
  auto Done = std::make_shared<std::promise<void>>();
  auto Finished = Done->get_future();
  asio::post(Server->Io(), [Server, Done] {
    Server->Shutdown();
    Done->set_value();
  });
  return Finished;
}

}  // namespace

TLibrary::~TLibrary() {
  std::vector<std::shared_ptr<TServer>> Servers;
  std::shared_ptr<TEngine> Engine;
  std::vector<std::shared_ptr<TEngine>> Retired;
  {
    Platform::TLockGuard Guard(FLock);
    for (auto& [Id, Server] : FServers) Servers.push_back(std::move(Server));
    FServers.clear();
    Engine = std::move(FEngine);
    Retired.swap(FRetired);
  }
  bool Stuck = false;
  for (const auto& Server : Servers)
    if (PostShutdown(Server).wait_for(std::chrono::seconds(1)) != std::future_status::ready) Stuck = true;
  Servers.clear();
  if (Engine) {
    Engine->Release();
    Retired.push_back(std::move(Engine));
  }
  if (Stuck) {
    // The network thread is gone or hangs: joining it could hang for ever, and
    // freeing its objects under it would crash. Left to the process's end.
    for (auto& E : Retired) new std::shared_ptr<TEngine>(std::move(E));
  }
}

int32_t TLibrary::Start(const char* ParamsText, int32_t Port, const TCallbacks& Callbacks) {
  Reap();
  TServerParams Params;
  if (!ParamsText || !ParseServerParams(ParamsText, Params) || Port < 0 || Port > 65535)
    return Fail(asio::error::invalid_argument);
  std::error_code Ec;
  const asio::ip::address Address = asio::ip::make_address(Params.Address, Ec);
  if (Ec) return Fail(asio::error::invalid_argument);

  std::shared_ptr<TServer> Server;
  std::shared_ptr<TEngine> Unused;
  {
    // Held across the bind so that the engine cannot be retired under a new server.
    Platform::TLockGuard Guard(FLock);
    if (!FEngine) FEngine = std::make_shared<TEngine>();
    const int32_t Id = NextFreeId(FNextServerId, FServers);
    if (Params.Layer == TLayer::Udp)
      Server = MakeUdpServer(Id, Callbacks, FEngine->Io());
    else
      Server = MakeTcpServer(Id, Callbacks, FEngine->Io(), Params.NoTPKT);
    Ec = Server->Open(Address, static_cast<uint16_t>(Port));
    if (!Ec) {
      FServers[Id] = Server;
      asio::post(FEngine->Io(), [Server] { Server->Begin(); });
    } else if (FServers.empty()) {
      Unused = std::move(FEngine);
      Unused->Release();
    }
  }
  if (Ec) {
    Server.reset();
    if (Unused) Retire(std::move(Unused));
    return Fail(Ec);
  }
  return Server->Id();
}

int32_t TLibrary::Stop(int32_t ServerId) {
  std::shared_ptr<TServer> Server;
  std::shared_ptr<TEngine> Last;
  {
    Platform::TLockGuard Guard(FLock);
    const auto It = FServers.find(ServerId);
    if (It == FServers.end()) return Fail(asio::error::invalid_argument);
    Server = std::move(It->second);
    FServers.erase(It);
    if (FServers.empty()) Last = std::move(FEngine);
  }
  TEngine* Current = TEngine::OnThisThread();
  if (Current && &Current->Io() == &Server->Io()) {
    // Called from one of the callbacks: no other callback is running.
    Server->Shutdown();
    if (Last) {
      Last->Release();
      Retire(std::move(Last));
    }
    return 0;
  }
  // Posted before the engine is released so that its thread cannot end first.
  std::future<void> Finished = PostShutdown(Server);
  if (Last) Last->Release();
  Finished.wait();
  Server.reset();
  if (Last) Retire(std::move(Last));
  Reap();
  return 0;
}

std::shared_ptr<TServer> TLibrary::Find(int32_t ServerId) {
  Platform::TLockGuard Guard(FLock);
  const auto It = FServers.find(ServerId);
  return It == FServers.end() ? nullptr : It->second;
}

void TLibrary::Retire(std::shared_ptr<TEngine> Engine) {
  if (!Engine->IsCurrentThread()) {
    Engine->Join();
    Engine.reset();
    return;
  }
  Platform::TLockGuard Guard(FLock);
  FRetired.push_back(std::move(Engine));
}

void TLibrary::Reap() {
  std::vector<std::shared_ptr<TEngine>> Done;
  {
    Platform::TLockGuard Guard(FLock);
    for (auto It = FRetired.begin(); It != FRetired.end();) {
      if ((*It)->IsCurrentThread()) {
        ++It;
      } else {
        Done.push_back(std::move(*It));
        It = FRetired.erase(It);
      }
    }
  }
  for (const auto& E : Done) E->Join();
}

TLibrary& Library() {
  static TLibrary L;
  return L;
}

}  // namespace TPKT
