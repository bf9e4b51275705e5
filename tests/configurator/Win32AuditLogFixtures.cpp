#include "tests/configurator/AuditLogFixtures.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace rc_test {

namespace {

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end()); // ASCII: names and numbers
}

// A pipe's server end; what the log sent to it is what it can read.
class TKeptPipe : public TKept {
public:
    explicit TKeptPipe(HANDLE pipe) : pipe_(pipe) {}
    ~TKeptPipe() override {
        if (pipe_ != INVALID_HANDLE_VALUE)
            CloseHandle(pipe_);
    }
    std::string Received() override {
        std::string got;
        DWORD available = 0;
        while (PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            std::string buffer(available, '\0');
            DWORD n = 0;
            if (!ReadFile(pipe_, buffer.data(), available, &n, nullptr) || n == 0)
                break;
            got.append(buffer, 0, n);
        }
        return got;
    }

private:
    HANDLE pipe_;
};

std::string SystemError(const char* call) {
    return std::string(call) + " failed: error " + std::to_string(GetLastError());
}

} // namespace

std::vector<int> RunCopiesOfThisProgram(const std::string& variable,
                                        const std::vector<std::string>& values) {
    wchar_t self[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::vector<PROCESS_INFORMATION> started(values.size());
    std::vector<int> statuses(values.size(), -1);
    // Each copy inherits the environment as it is when it starts.
    const std::wstring name = Wide(variable);
    for (std::size_t i = 0; i < values.size(); ++i) {
        SetEnvironmentVariableW(name.c_str(), Wide(values[i]).c_str());
        std::wstring commandLine = L"\"" + std::wstring(self) + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &started[i]))
            started[i].hProcess = nullptr;
    }
    SetEnvironmentVariableW(name.c_str(), nullptr);
    const ULONGLONG deadline = GetTickCount64() + 60000;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (started[i].hProcess == nullptr)
            continue;
        const ULONGLONG now = GetTickCount64();
        DWORD code = 0;
        if (WaitForSingleObject(started[i].hProcess,
                                now < deadline ? static_cast<DWORD>(deadline - now) : 0) ==
                WAIT_OBJECT_0 &&
            GetExitCodeProcess(started[i].hProcess, &code))
            statuses[i] = static_cast<int>(code);
        else
            TerminateProcess(started[i].hProcess, 1);
        CloseHandle(started[i].hProcess);
        CloseHandle(started[i].hThread);
    }
    return statuses;
}

// The range configurator/Win32AuditLog.cpp locks: one byte far past the end.
TAuditLockHolder::TAuditLockHolder(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << path;
    OVERLAPPED at{};
    at.OffsetHigh = 0x7fffffff;
    EXPECT_TRUE(LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
        << path;
    FHandle = reinterpret_cast<std::intptr_t>(file);
}

std::vector<TNotALog> PlatformNotALogs() {
    namespace fs = std::filesystem;
    return {
        {"a symbolic link to a file", "a link (a reparse point)",
         [](const fs::path& tmp, const fs::path& elsewhere, std::unique_ptr<TKept>&,
            std::string& skip) -> std::string {
             // Unprivileged: as Windows 10 allows in developer mode.
             if (CreateSymbolicLinkW((tmp / "audit.csv").wstring().c_str(),
                                     (elsewhere / "target.csv").wstring().c_str(), 0x2))
                 return tmp.string();
             skip = SystemError("CreateSymbolicLinkW");
             return {};
         }},
        // The per-user data folder pointed at the pipes' namespace: the log
        // opens the pipe's client end, as it would a file.
        {"a named pipe", "a pipe",
         [](const fs::path&, const fs::path&, std::unique_ptr<TKept>& kept,
            std::string& skip) -> std::string {
             const std::string folder =
                 "\\\\.\\pipe\\rc-audit-test-" + std::to_string(GetCurrentProcessId());
             const HANDLE pipe =
                 CreateNamedPipeW(Wide(folder + "\\audit.csv").c_str(), PIPE_ACCESS_DUPLEX,
                                  PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 4096, 4096, 0, nullptr);
             if (pipe == INVALID_HANDLE_VALUE) {
                 skip = SystemError("CreateNamedPipeW");
                 return {};
             }
             kept = std::make_unique<TKeptPipe>(pipe);
             return folder;
         }},
    };
}

TAuditLockHolder::~TAuditLockHolder() {
    const HANDLE file = reinterpret_cast<HANDLE>(FHandle);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
}

} // namespace rc_test
