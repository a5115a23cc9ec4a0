#pragma once

#include "platform/Platform.h"

#include <cstdint>

extern plat::ServiceStatusRecord ServiceStatus;
extern plat::OsHandle ServiceStatusHandle;
extern plat::Event StopEvent;

constexpr std::uint32_t kFailedStartExitCode = 1062;
constexpr std::uint32_t kIdentificationRefused = 9999;

void RunServiceDispatcher();
void ServiceMain(std::uint32_t argc, char** argv);
void ServiceCtrlHandler(std::uint32_t control);
bool ReportServiceStatus(std::uint32_t state, std::uint32_t exitCode, std::uint32_t waitHint);
void ServiceStart();
void StopService();
// The status record, its handle, the stop event and the stop's outcome as at the start of a
// process (ResetModuleState).
void ResetServiceLifecycle();
