#include "CService.h"

#include <powrprof.h>

#include <exception>
#include <initializer_list>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "CDefaultServiceNameGenerator.h"
#include "CWin32Api.h"
#include "debug_trace.h"

namespace Corvessan::Orwe {
namespace {

std::string NoImplementationFor(const std::wstring& name) {
  return "No implementation found for " + (name.empty() ? std::string("(null)") : ToNarrow(name));
}

// Answers the manager for a start that this process cannot serve.
DWORD WINAPI RejectingHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_SERVICE_NOT_IN_EXE;
}

// Traces the two lines that report a platform error: a fixed message, then the
// code with the system's text for it.
void TraceDispatcherFailure(DWORD error) {
  DebugTrace("StartServiceCtrlDispatcherW failed.");
  tarn::UniqueLocalPtr<char> text;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                 error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(text.put()), 0, nullptr);
  DebugTrace("errorcode=0x%x(%d), %s", static_cast<unsigned>(error), static_cast<int>(error),
             text ? text.get() : "(no message)");
}

// AoAc (always-on, always-connected: modern standby) is the byte at offset 20 of
// the record; older SDK headers name that byte spare2[2], so it is read by offset.
constexpr std::size_t kAoAcOffset = 20;
static_assert(sizeof(SYSTEM_POWER_CAPABILITIES) > kAoAcOffset);

bool IsAlwaysOnAlwaysConnected(const SYSTEM_POWER_CAPABILITIES& capabilities) {
  return reinterpret_cast<const BYTE*>(&capabilities)[kAoAcOffset] != 0;
}

bool IsStopping(const SERVICE_STATUS& status) {
  return status.dwCurrentState == SERVICE_STOP_PENDING || status.dwCurrentState == SERVICE_STOPPED;
}

// Writes into `record` each field that `after` changed from `before`; the
// fields the handler left alone keep what others wrote meanwhile. Once the
// record is stop-pending, the check point and the wait hint are the service
// main's, which is counting them: a second stop does not start them again.
void ApplyChanges(const SERVICE_STATUS& before, const SERVICE_STATUS& after, SERVICE_STATUS& record) {
  const bool stopLoopOwnsProgress = IsStopping(before);
  for (DWORD SERVICE_STATUS::*field :
       {&SERVICE_STATUS::dwServiceType, &SERVICE_STATUS::dwCurrentState, &SERVICE_STATUS::dwControlsAccepted,
        &SERVICE_STATUS::dwWin32ExitCode, &SERVICE_STATUS::dwServiceSpecificExitCode, &SERVICE_STATUS::dwCheckPoint,
        &SERVICE_STATUS::dwWaitHint}) {
    const bool progress = field == &SERVICE_STATUS::dwCheckPoint || field == &SERVICE_STATUS::dwWaitHint;
    if (stopLoopOwnsProgress && progress) continue;
    if (after.*field != before.*field) record.*field = after.*field;
  }
}

}  // namespace

CService::PowerNotification::PowerNotification() {
  SYSTEM_POWER_CAPABILITIES capabilities{};
  if (GetPwrCapabilities(&capabilities) && IsAlwaysOnAlwaysConnected(capabilities)) aoacCapable = 1;
}

CService::PowerNotification::~PowerNotification() {
  if (aoacCapable == 1 && handle != nullptr && UnregisterPowerSettingNotification(handle)) handle = nullptr;
}

CService& CService::Instance() {
  static CService instance(win32Api);
  return instance;
}

CService::CService(IWin32Api& win32)
    : _win32(&win32),
      _nameGenerator(std::make_shared<CDefaultServiceNameGenerator>()),
      _powerNotification(std::make_unique<PowerNotification>()) {}

void CService::SetNameGenerator(std::shared_ptr<IServiceNameGenerator> generator) {
  _nameGenerator = std::move(generator);
}

void CService::Register(const std::wstring& name, std::shared_ptr<IServiceImplement> implementation) {
  auto context = std::make_unique<ServiceContext>();
  context->name = name;
  context->implementation = std::move(implementation);
  _contexts.erase(name);
  _contexts.emplace(name, std::move(context));
}

DWORD CService::StartDispatcher() {
  if (_contexts.empty()) {
    DebugTrace("Assertion failed: %s", "_contexts.size()");
    return ERROR_INVALID_PARAMETER;
  }

  // The table points into these copies; both live until the dispatcher returns.
  std::vector<std::wstring> names;
  names.reserve(_contexts.size());
  std::vector<SERVICE_TABLE_ENTRYW> table;
  for (auto& [name, context] : _contexts) {
    names.push_back(name);
    table.push_back({names.back().data(), &CService::ServiceMain});
    context->stopEvent.reset(_win32->CreateEventW(nullptr, TRUE, FALSE, nullptr));
  }
  table.push_back({nullptr, nullptr});

  if (_win32->StartServiceCtrlDispatcherW(table.data())) return NO_ERROR;
  // Read once, before FormatMessageA may change it.
  const DWORD error = GetLastError();
  TraceDispatcherFailure(error);
  return error;
}

void WINAPI CService::ServiceMain(DWORD argc, LPWSTR* argv) { Instance().RunServiceMain(argc, argv); }

DWORD WINAPI CService::HandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
  return Instance().RouteControl(control, eventType, eventData, context);
}

bool CService::ReportStatus(ServiceContext& context) {
  return _win32->SetServiceStatus(context.statusHandle, &context.status) != FALSE;
}

// The one place where Run's result becomes the record's exit codes: before a
// control's handler takes its copy (RouteControl) and before the service
// main's own reports, so that a handler that knows better (a failed start that
// a retry completed in the meantime) always has the last word, whenever the
// worker finished; a control under way when it finished reports without it.
void CService::WriteRunExitCodes(ServiceContext& context) {
  if (!context.runExitCodes) return;
  context.status.dwWin32ExitCode = context.runExitCodes->first;
  context.status.dwServiceSpecificExitCode = context.runExitCodes->second;
  context.runExitCodes.reset();
}

// The manager started a service that no registered implementation serves: tell it
// so, under the name it started, instead of leaving the start pending for ever.
void CService::RejectStart(DWORD argc, LPWSTR* argv) {
  if (argc == 0 || argv == nullptr || argv[0] == nullptr) return;
  SERVICE_STATUS_HANDLE handle = _win32->RegisterServiceCtrlHandlerExW(argv[0], &RejectingHandler, nullptr);
  if (handle == nullptr) return;
  SERVICE_STATUS status{};
  status.dwServiceType = _contexts.size() > 1 ? SERVICE_WIN32_SHARE_PROCESS : SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = SERVICE_STOPPED;
  status.dwWin32ExitCode = ERROR_SERVICE_NOT_IN_EXE;
  _win32->SetServiceStatus(handle, &status);
}

void CService::RunServiceMain(DWORD argc, LPWSTR* argv) {
  ServiceContext* context = FindStartedService(argc, argv);
  if (context == nullptr || !RegisterHandler(*context) || !InitializeAndReportRunning(*context)) return;
  // The worker signals this event as its last act, so the stop loop can wait for
  // it through the platform layer with a time-out.
  tarn::UniqueHandle workerDone(_win32->CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread worker = StartWorker(*context, workerDone.get());
  const bool workerEnded = WaitForStop(*context, worker, workerDone.get());
  ReleaseWorker(worker, workerEnded, workerDone);
  ReportStopped(*context);
}

// The context of the service the manager started; null (traced, and the start
// rejected) when no implementation serves that name.
CService::ServiceContext* CService::FindStartedService(DWORD argc, LPWSTR* argv) {
  std::wstring name;
  try {
    name = _nameGenerator->GetServiceName(static_cast<int>(argc), argv);
  } catch (const std::exception& error) {
    DebugTrace("ServiceMain: %s", error.what());
    RejectStart(argc, argv);
    return nullptr;
  }
  auto found = _contexts.find(name);
  if (found == _contexts.end()) {
    DebugTrace("ServiceMain: %s", NoImplementationFor(name).c_str());
    RejectStart(argc, argv);
    return nullptr;
  }
  return found->second.get();
}

// The record starts over, start-pending (never reported by itself), and the
// handler is registered with the context as its own.
bool CService::RegisterHandler(ServiceContext& context) {
  const DWORD controlsAccepted = context.implementation->GetControlsAccepted();
  std::lock_guard<std::mutex> guard(context.statusLock);
  context.status = SERVICE_STATUS{};
  context.status.dwServiceType = _contexts.size() == 1 ? SERVICE_WIN32_OWN_PROCESS : SERVICE_WIN32_SHARE_PROCESS;
  context.status.dwCurrentState = SERVICE_START_PENDING;
  context.status.dwControlsAccepted = controlsAccepted;
  context.runExitCodes.reset();
  // Registered under the lock: a control that arrives at once waits until the
  // handle it is reported with has been stored.
  context.statusHandle = _win32->RegisterServiceCtrlHandlerExW(context.name.c_str(), &CService::HandlerEx, &context);
  return context.statusHandle != nullptr;
}

// Stopped with Initialize's codes when it fails; otherwise running. False when
// nothing is to be started.
bool CService::InitializeAndReportRunning(ServiceContext& context) {
  DWORD serviceSpecificExitCode = 0;
  const DWORD initialized = context.implementation->Initialize(&serviceSpecificExitCode);
  std::lock_guard<std::mutex> guard(context.statusLock);
  if (initialized != NO_ERROR) {
    context.status.dwCurrentState = SERVICE_STOPPED;
    context.status.dwWin32ExitCode = initialized;
    context.status.dwServiceSpecificExitCode = serviceSpecificExitCode;
    ReportStatus(context);
    return false;
  }
  context.status.dwCurrentState = SERVICE_RUNNING;
  return ReportStatus(context);
}

// No worker (not joinable) when the thread cannot be started: the service
// stays running and waits for its stop.
std::thread CService::StartWorker(ServiceContext& context, HANDLE workerDone) {
  try {
    return std::thread([this, &context, workerDone] { RunWorker(context, workerDone); });
  } catch (const std::system_error& error) {
    DebugTrace("The worker thread could not be started: %s", error.what());
    return {};
  }
}

// Waits for the stop event, then runs the stop loop. True when the worker has
// ended (or there was none).
bool CService::WaitForStop(ServiceContext& context, std::thread& worker, HANDLE workerDone) {
  if (_win32->WaitForSingleObject(context.stopEvent.get(), INFINITE) != WAIT_OBJECT_0) return !worker.joinable();
  return WaitForWorkerWithCheckPoints(context, workerDone, worker.joinable());
}

// A worker that did not end in time (its wait failed, or the check points ran
// out) is left to end with the process rather than hang the stop for ever. Its
// context lives until the process ends, and its done event is left open so that
// its last SetEvent can never reach another object that reused the handle.
void CService::ReleaseWorker(std::thread& worker, bool workerEnded, tarn::UniqueHandle& workerDone) {
  if (!worker.joinable()) return;
  if (workerEnded) {
    worker.join();
    return;
  }
  DebugTrace("The worker thread is still running; the service stops without it.");
  worker.detach();
  static_cast<void>(workerDone.release());
}

void CService::ReportStopped(ServiceContext& context) {
  std::lock_guard<std::mutex> guard(context.statusLock);
  WriteRunExitCodes(context);
  context.status.dwCurrentState = SERVICE_STOPPED;
  context.status.dwCheckPoint = 0;
  context.status.dwWaitHint = 0;
  ReportStatus(context);
}

// Reports stop-pending with a rising check point every half wait hint until the
// worker has ended. True when it has (or there was none).
bool CService::WaitForWorkerWithCheckPoints(ServiceContext& context, HANDLE workerDone, bool hasWorker) {
  for (;;) {
    DWORD checkPoint = 0;
    DWORD waitHint = 0;
    {
      std::lock_guard<std::mutex> guard(context.statusLock);
      checkPoint = ++context.status.dwCheckPoint;
      waitHint = context.status.dwWaitHint = kStopWaitHintMs;
    }
    DebugTrace("CheckPoint %d, waiting %d sec...", static_cast<int>(checkPoint), 10000);
    {
      std::lock_guard<std::mutex> guard(context.statusLock);
      WriteRunExitCodes(context);
      context.status.dwCurrentState = SERVICE_STOP_PENDING;
      ReportStatus(context);
    }
    if (!hasWorker) return true;
    const DWORD waited = _win32->WaitForSingleObject(workerDone, waitHint / 2);
    if (waited == WAIT_OBJECT_0) return true;
    if (waited != WAIT_TIMEOUT || checkPoint == 0xFFFFFFFFu) return false;
  }
}

void CService::RunWorker(ServiceContext& context, HANDLE workerDone) {
  DWORD win32ExitCode = NO_ERROR;
  DWORD serviceSpecificExitCode = 0;
  try {
    const DWORD result = context.implementation->Run(context.stopEvent.get(), context.statusHandle);
    if (result != NO_ERROR) {
      win32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
      serviceSpecificExitCode = result;
    }
  } catch (const std::exception& error) {
    DebugTrace("Run: %s", error.what());
    win32ExitCode = ERROR_EXCEPTION_IN_SERVICE;
  } catch (...) {
    DebugTrace("Run: unknown exception");
    win32ExitCode = ERROR_EXCEPTION_IN_SERVICE;
  }
  if (win32ExitCode != NO_ERROR) {
    std::lock_guard<std::mutex> guard(context.statusLock);
    context.runExitCodes.emplace(win32ExitCode, serviceSpecificExitCode);
  }
  _win32->SetEvent(workerDone);
}

DWORD CService::RouteControl(DWORD control, DWORD eventType, LPVOID eventData, LPVOID contextValue) {
  // The context the service main registered the handler with.
  auto* context = static_cast<ServiceContext*>(contextValue);
  if (context == nullptr) {
    DebugTrace("HandlerEx: %s", NoImplementationFor(std::wstring()).c_str());
    return ERROR_SERVICE_NOT_IN_EXE;
  }

  // The handler works on a copy, so that a control that takes its time (a slow
  // sampling cycle) never holds up the service main's check points or the
  // worker's exit code; only what the handler changed is written back.
  SERVICE_STATUS before{};
  {
    std::lock_guard<std::mutex> guard(context->statusLock);
    WriteRunExitCodes(*context);
    before = context->status;
  }
  SERVICE_STATUS after = before;
  DWORD result = NO_ERROR;
  try {
    result = context->implementation->HandleControl(control, eventType, eventData, &after);
  } catch (const std::exception& error) {
    DebugTrace("HandleControl(%u): %s", static_cast<unsigned>(control), error.what());
    result = ERROR_EXCEPTION_IN_SERVICE;
  } catch (...) {
    DebugTrace("HandleControl(%u): unknown exception", static_cast<unsigned>(control));
    result = ERROR_EXCEPTION_IN_SERVICE;
  }
  bool stopping = false;
  {
    std::lock_guard<std::mutex> guard(context->statusLock);
    ApplyChanges(before, after, context->status);
    ReportStatus(*context);
    stopping = IsStopping(context->status);
  }
  if (stopping) _win32->SetEvent(context->stopEvent.get());
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : result;
}

}  // namespace Corvessan::Orwe
