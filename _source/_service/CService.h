// The service host: keeps the service implementations by name, runs the service
// control dispatcher, runs each service main with its status reports and stop
// check points, and routes every control to the implementation.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <unordered_map>

#include "IServiceImplement.h"
#include "IServiceNameGenerator.h"
#include "IWin32Api.h"
#include "unique_handle.h"

namespace Corvessan::Orwe {

class CService {
 public:
  // The process-wide host over the real platform layer.
  static CService& Instance();

  // A host over another platform layer; used by tests, which drive the service
  // main and the handler through RunServiceMain and RouteControl.
  explicit CService(IWin32Api& win32);
  CService(const CService&) = delete;
  CService& operator=(const CService&) = delete;

  // Both only before StartDispatcher.
  void SetNameGenerator(std::shared_ptr<IServiceNameGenerator> generator);
  void Register(const std::wstring& name, std::shared_ptr<IServiceImplement> implementation);

  // Blocks while the process serves; 0 once every service has stopped, else the
  // Win32 error of the dispatcher (87 when nothing is registered).
  DWORD StartDispatcher();

  // The callbacks handed to the service control manager; both work on Instance().
  static void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
  static DWORD WINAPI HandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

  void RunServiceMain(DWORD argc, LPWSTR* argv);
  DWORD RouteControl(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

  // The stop loop's wait on the worker: half of this hint, per check point.
  static constexpr DWORD kStopWaitHintMs = 20000;

 private:
  // One per registered service, at a fixed address: the control handler's
  // context points at it. `status` is written by the service main and (from
  // the copy it was given) by the implementation's control handler, so every
  // access goes through `statusLock`, which is held only around the record: a
  // report never sends a torn one, and a slow control holds up no other report.
  struct ServiceContext {
    std::wstring name;
    std::shared_ptr<IServiceImplement> implementation;
    SERVICE_STATUS status{};
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    tarn::UniqueHandle stopEvent;
    std::mutex statusLock;
    // What the worker's Run gave, until it is written into `status` (guarded
    // by `statusLock`).
    std::optional<std::pair<DWORD, DWORD>> runExitCodes;
  };

  // Power capabilities as read at start-up; the host never registers a
  // power-setting notification itself, it only releases one at teardown.
  struct PowerNotification {
    PowerNotification();
    ~PowerNotification();
    DWORD aoacCapable = 0;
    HPOWERNOTIFY handle = nullptr;
  };

  // The steps of the service main, in order.
  ServiceContext* FindStartedService(DWORD argc, LPWSTR* argv);
  void RejectStart(DWORD argc, LPWSTR* argv);
  bool RegisterHandler(ServiceContext& context);
  bool InitializeAndReportRunning(ServiceContext& context);
  std::thread StartWorker(ServiceContext& context, HANDLE workerDone);
  bool WaitForStop(ServiceContext& context, std::thread& worker, HANDLE workerDone);
  void ReleaseWorker(std::thread& worker, bool workerEnded, tarn::UniqueHandle& workerDone);
  void ReportStopped(ServiceContext& context);

  // Under the context's statusLock.
  bool ReportStatus(ServiceContext& context);
  static void WriteRunExitCodes(ServiceContext& context);

  void RunWorker(ServiceContext& context, HANDLE workerDone);
  bool WaitForWorkerWithCheckPoints(ServiceContext& context, HANDLE workerDone, bool hasWorker);

  IWin32Api* _win32;
  std::shared_ptr<IServiceNameGenerator> _nameGenerator;
  std::unordered_map<std::wstring, std::unique_ptr<ServiceContext>> _contexts;
  std::unique_ptr<PowerNotification> _powerNotification;
};

}  // namespace Corvessan::Orwe
