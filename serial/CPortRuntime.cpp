// Unit CPort: the GUI runtime as the component uses it.

#include "serial/CPortThread.h"

#include "host/ExceptionDisplay.h"

namespace cport::detail {

void ProcessMessages() {}

void Synchronize(const std::function<void()>& call) {
    call();
}

void WaitForThread(std::thread& thread) {
    if (thread.joinable())
        thread.join();
}

void ShowExceptionOnGuiThread(std::exception_ptr error) {
    host::ShowException(error);
}

} // namespace cport::detail

namespace host {
class THiddenWindow {};
} // namespace host

namespace cport {

TSyncWindow::TSyncWindow(TCustomComPort& port) : FComPort(port) {}
TSyncWindow::~TSyncWindow() = default;

std::intptr_t TSyncWindow::Send(std::uint32_t message, std::uintptr_t wParam,
                                std::intptr_t lParam) {
    return FComPort.EventWindowProc(message, wParam, lParam);
}

} // namespace cport
