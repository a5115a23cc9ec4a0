// Prints the controller's view of one service, one "key=value" line each, for scripts:
// state, exit codes, and the registered configuration. Wine's own tools cannot show this.
//
//   svcquery [name]      name defaults to QN_Chronel
//
// Exit code 0 when the service exists, 2 when it does not, 1 on other failures.
#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

void PrintFailure(const char* what) {
    std::printf("error=%s %lu\n", what, static_cast<unsigned long>(::GetLastError()));
}

} // namespace

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "QN_Chronel";
    SC_HANDLE scm = ::OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_CONNECT);
    if (scm == nullptr) {
        PrintFailure("OpenSCManager");
        return 1;
    }
    SC_HANDLE service = ::OpenServiceA(scm, name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (service == nullptr) {
        const DWORD code = ::GetLastError();
        PrintFailure("OpenService");
        ::CloseServiceHandle(scm);
        return code == ERROR_SERVICE_DOES_NOT_EXIST ? 2 : 1;
    }

    int result = 0;
    SERVICE_STATUS status{};
    if (::QueryServiceStatus(service, &status) != FALSE) {
        std::printf("state=%lu\n", static_cast<unsigned long>(status.dwCurrentState));
        std::printf("exit=%lu\n", static_cast<unsigned long>(status.dwWin32ExitCode));
        std::printf("specific=%lu\n", static_cast<unsigned long>(status.dwServiceSpecificExitCode));
        std::printf("accepted=%lu\n", static_cast<unsigned long>(status.dwControlsAccepted));
    } else {
        PrintFailure("QueryServiceStatus");
        result = 1;
    }

    DWORD needed = 0;
    ::QueryServiceConfigA(service, nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed > 0 ? needed : 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (needed > 0 && ::QueryServiceConfigA(service, config, static_cast<DWORD>(buffer.size()),
                                            &needed) != FALSE) {
        std::printf("type=%lu\n", static_cast<unsigned long>(config->dwServiceType));
        std::printf("start=%lu\n", static_cast<unsigned long>(config->dwStartType));
        std::printf("errorcontrol=%lu\n", static_cast<unsigned long>(config->dwErrorControl));
        std::printf("path=%s\n", config->lpBinaryPathName ? config->lpBinaryPathName : "");
        std::printf("display=%s\n", config->lpDisplayName ? config->lpDisplayName : "");
        std::printf("account=%s\n", config->lpServiceStartName ? config->lpServiceStartName : "");
    } else {
        PrintFailure("QueryServiceConfig");
        result = 1;
    }

    ::CloseServiceHandle(service);
    ::CloseServiceHandle(scm);
    return result;
}
