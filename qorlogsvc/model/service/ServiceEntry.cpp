// The process entry of tarnsvc.exe: hands the one service, "TarnSvc", to the
// service host and serves until it has stopped. Started by hand rather than by
// the service control manager, the dispatcher fails at once (traced) and the
// process ends. The exit code is always 0.
#include <windows.h>

#include <cstdlib>
#include <exception>
#include <memory>

#include "CService.h"
#include "QorLogService.h"
#include "debug_trace.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  ConfigureTraceFromEnvironment();
  try {
    auto service = std::make_shared<qorlogsvc::model::service::QorLogService>();
    auto& host = Corvessan::Orwe::CService::Instance();
    host.SetNameGenerator(service);
    const std::wstring name = service->GetServiceName(__argc, __wargv);
    host.Register(name, service);
    host.StartDispatcher();
  } catch (const std::exception& error) {
    DebugTrace("The service process failed: %s\n", error.what());
  }
  return 0;
}
