#pragma once
// The Qt binding of the application's exception display (host/ExceptionDisplay.h):
// the message is shown in a modal message box with an OK button.
//
// GUI thread only. Needs a QApplication; without one, or when called from
// another thread, the message goes to standard error instead.

#include <string>

namespace host::qt {

// Shows `message` in an application-modal message box titled with the
// application's display name and returns when the operator has closed it.
void ShowExceptionMessageBox(const std::string& message);

// Makes ShowExceptionMessageBox the application's exception display.
void InstallMessageBoxExceptionDisplay();

} // namespace host::qt
