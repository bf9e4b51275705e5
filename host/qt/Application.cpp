#include "host/qt/Application.h"

#include "host/qt/ExceptionDisplay.h"

#include <exception>
#include <utility>

namespace host::qt {

TApplication::TApplication(int& argc, char** argv)
    : QApplication(argc, argv),
      FPreviousDisplay(host::SetExceptionDisplay(&ShowExceptionMessageBox)) {}

TApplication::~TApplication() {
    host::SetExceptionDisplay(std::move(FPreviousDisplay));
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        // Shown here, on the GUI thread, so that no exception ever unwinds
        // through the event loop.
        host::ShowException(std::current_exception());
        return false;
    }
}

} // namespace host::qt
