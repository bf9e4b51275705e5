#include "tests/sign/AuditLogFixtures.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace rc_test {

namespace {

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end()); // ASCII: names and numbers
}

// A pipe's server ends, one for each client that may come (a client that
// has gone leaves its end busy); what the log sent is what they can read.
class TKeptPipe : public TKept {
public:
    ~TKeptPipe() override {
        for (const HANDLE pipe : pipes_)
            CloseHandle(pipe);
    }
    void Add(HANDLE pipe) { pipes_.push_back(pipe); }
    std::string Received() override {
        std::string got;
        for (const HANDLE pipe : pipes_) {
            DWORD available = 0;
            while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
                std::string buffer(available, '\0');
                DWORD n = 0;
                if (!ReadFile(pipe, buffer.data(), available, &n, nullptr) || n == 0)
                    break;
                got.append(buffer, 0, n);
            }
        }
        return got;
    }

private:
    std::vector<HANDLE> pipes_;
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

// The range sign/Win32AuditLog.cpp locks: one byte far past the end.
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
             const std::wstring link = (tmp / "audit.csv").wstring();
             if (!CreateSymbolicLinkW(link.c_str(), (elsewhere / "target.csv").wstring().c_str(),
                                      0x2)) {
                 skip = SystemError("CreateSymbolicLinkW");
                 return {};
             }
             // Wine's answers TRUE and makes nothing.
             const DWORD attributes = GetFileAttributesW(link.c_str());
             if (attributes == INVALID_FILE_ATTRIBUTES ||
                 !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                 skip = "CreateSymbolicLinkW made no link";
                 return {};
             }
             return tmp.string();
         }},
        // The per-user data folder pointed at the pipes' namespace: the log
        // opens the pipe's client end, as it would a file.
        {"a named pipe", "a pipe",
         [](const fs::path&, const fs::path&, std::unique_ptr<TKept>& kept,
            std::string& skip) -> std::string {
             const std::string folder =
                 "\\\\.\\pipe\\rc-audit-test-" + std::to_string(GetCurrentProcessId());
             auto ends = std::make_unique<TKeptPipe>();
             for (int client = 0; client < 2; ++client) {
                 const HANDLE pipe =
                     CreateNamedPipeW(Wide(folder + "\\audit.csv").c_str(), PIPE_ACCESS_DUPLEX,
                                      PIPE_TYPE_BYTE | PIPE_NOWAIT, 2, 4096, 4096, 0, nullptr);
                 if (pipe == INVALID_HANDLE_VALUE) {
                     skip = SystemError("CreateNamedPipeW");
                     return {};
                 }
                 ends->Add(pipe);
                 // Listening, without waiting (PIPE_NOWAIT) for a client.
                 ConnectNamedPipe(pipe, nullptr);
             }
             kept = std::move(ends);
             return folder;
         }},
        // The folder pointed at a device: what is written there vanishes.
        {"the NUL device", "a character device",
         [](const fs::path&, const fs::path&, std::unique_ptr<TKept>&,
            std::string& skip) -> std::string {
             const std::string folder = "\\\\.\\NUL";
             const HANDLE nul = CreateFileW(Wide(folder + "\\audit.csv").c_str(), GENERIC_WRITE, 0,
                                            nullptr, OPEN_EXISTING, 0, nullptr);
             const bool device = nul != INVALID_HANDLE_VALUE && GetFileType(nul) == FILE_TYPE_CHAR;
             if (nul != INVALID_HANDLE_VALUE)
                 CloseHandle(nul);
             if (!device) {
                 skip = "\\\\.\\NUL\\audit.csv is no character device here";
                 return {};
             }
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
