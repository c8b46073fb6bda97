// Host platform: process creation, served by the active simulated module (sim/os/processes.h).
#include "platform/platform.h"
#include "sim/module.h"
#include "sim/services.h"
#include "sim/core/text.h"

OsBool OsCreateProcess(const WChar* imageName, const WChar* commandLine, void* processSecurity, void* threadSecurity,
                       OsBool inheritHandles, u32 creationFlags, void* environment, const WChar* currentDirectory,
                       void* startupInfo, OsProcessInformation* processInformation) {
  (void)processSecurity;
  (void)threadSecurity;
  (void)inheritHandles;
  (void)creationFlags;
  (void)environment;
  (void)currentDirectory;
  (void)startupInfo;
  sim::Module& m = sim::Module::Active();
  sim::Services& os = m.os();
  os.events.PumpDue();
  if (!imageName || !imageName[0]) {
    m.set_last_error(OS_ERROR_INVALID_PARAMETER);
    return OS_FALSE;
  }
  if (auto error = m.faults().Take(sim::FaultOp::kCreateProcess, sim::ToUtf8(imageName))) {
    m.set_last_error(*error);
    return OS_FALSE;
  }
  std::uint32_t id = 0;
  if (u32 error = os.processes.Create(imageName, commandLine ? std::u16string_view(commandLine) : u"", id)) {
    m.set_last_error(error);
    return OS_FALSE;
  }
  OsHandle process = m.NewHandle(std::make_unique<sim::ProcessHandle>(id, false));
  OsHandle thread = m.NewHandle(std::make_unique<sim::ProcessHandle>(id + 1, true));
  if (processInformation) {
    processInformation->Process = process;
    processInformation->Thread = thread;
    processInformation->ProcessId = id;
    processInformation->ThreadId = id + 1;
  } else {
    m.CloseHandle(process);
    m.CloseHandle(thread);
  }
  return OS_TRUE;
}
