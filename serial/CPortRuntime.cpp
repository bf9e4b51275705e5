// Unit CPort: the GUI runtime (host/MessageLoop.h) as the component uses it.

#include "serial/CPortThread.h"

#include "host/ExceptionDisplay.h"
#include "host/MessageLoop.h"

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
