// Unit CPort: the GUI runtime (host/MessageLoop.h) as the component uses it.

#include "serial/CPortThread.h"

#include "host/ExceptionDisplay.h"
#include "host/MessageLoop.h"
#include "serial/driver/CommApi.h"
#include "serial/driver/NetPortName.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

namespace cport::detail {

void ProcessMessages() {
    host::ProcessMessages();
}

void Synchronize(const std::function<void()>& call) {
    host::Synchronize(call);
}

void WaitForThread(std::thread& thread) {
    host::WaitForThreadServing(thread);
}

void ShowExceptionOnGuiThread(std::exception_ptr error) {
    if (host::IsMainThread() || host::MainLoop() == nullptr)
        host::ShowException(error);
    else
        host::QueueException(error);
}

void PostToGuiThread(std::function<void()> call) {
    if (host::MainLoop() != nullptr)
        host::PostToMainThread(std::move(call));
}

namespace {

comm::Handle OpenDirectly(const std::string& path) {
    return comm::Api().CreateFileA(path.c_str(), comm::GENERIC_READ | comm::GENERIC_WRITE, 0,
                                   comm::OPEN_EXISTING, comm::FILE_FLAG_OVERLAPPED);
}

// Whether the open may block for a connect: a network name (the "\\.\" that
// the open puts in front is the backend's to drop).
bool Connects(const std::string& portName) {
    return comm::net::IsNetPortName(portName);
}

// What the worker hands back. Shared: the worker may still be writing it when
// the GUI thread has been woken.
struct TOpenOutcome {
    comm::Handle Handle = comm::INVALID_HANDLE_VALUE;
    std::uint32_t Error = 0;
    std::exception_ptr Raised;
    std::atomic<bool> Done{false};
};

} // namespace

comm::Handle CreatePortFile(const std::string& portName) {
    // "\\.\" reaches every port name on Windows, COM10 and above included.
    const std::string path = "\\\\.\\" + portName;
    if (!Connects(portName) || !host::IsMainThread())
        return OpenDirectly(path);
    auto outcome = std::make_shared<TOpenOutcome>();
    std::thread worker;
    try {
        worker = std::thread([outcome, path] {
            try {
                outcome->Handle = OpenDirectly(path);
                outcome->Error = comm::Api().GetLastError();
            } catch (...) {
                outcome->Raised = std::current_exception();
            }
            outcome->Done = true;
            host::WakeMainThread();
        });
    } catch (const std::system_error&) {
        return OpenDirectly(path); // no thread to spare: the window waits
    }
    // As the sign transaction waits for its reply: the GUI thread's messages
    // are processed, and it blocks between them until the binding has events
    // or the worker's wake. A wake that comes between the check and the wait
    // ends that wait at once, so none is lost; the slice only bounds a binding
    // removed meanwhile.
    while (!outcome->Done) {
        host::ProcessMessages();
        if (outcome->Done)
            break;
        host::IMainLoop* loop = host::MainLoop();
        if (loop == nullptr)
            break; // no binding any more: nothing to serve, join below
        loop->WaitForWake(std::chrono::steady_clock::now() + std::chrono::milliseconds(250));
    }
    worker.join();
    if (outcome->Raised)
        std::rethrow_exception(outcome->Raised);
    comm::Api().SetLastError(outcome->Error);
    return outcome->Handle;
}

} // namespace cport::detail

namespace cport {

TSyncWindow::TSyncWindow(TCustomComPort& port)
    : FComPort(port), FWindow(std::make_unique<host::THiddenWindow>([this](host::TMessage& m) {
          m.Result = FComPort.EventWindowProc(m.Msg, m.WParam, m.LParam);
      })) {}

TSyncWindow::~TSyncWindow() = default;

std::intptr_t TSyncWindow::Send(std::uint32_t message, std::uintptr_t wParam,
                                std::intptr_t lParam) {
    return host::SendMessage(*FWindow, message, wParam, lParam);
}

} // namespace cport
