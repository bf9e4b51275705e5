#pragma once
// The application's exception display: where an exception that escapes an
// event handler goes. The program goes on afterwards; nothing aborts.
//
// Without a GUI the message is written to standard error. The Qt binding
// (host/qt) installs a display that shows the message in a message box.
// ShowException must be called on the GUI thread; code on another thread hands
// the exception over to the GUI thread first.

#include <exception>
#include <functional>
#include <string>

namespace host {

// Shows the exception's message (host::Exception::Message(), or what() for
// other std::exception; a fixed text for anything else).
void ShowException(std::exception_ptr error);
void ShowException(const std::exception& error);

// The text ShowException displays for an exception.
std::string ExceptionMessage(std::exception_ptr error);

using ExceptionDisplay = std::function<void(const std::string& message)>;
// Replaces the display (an empty function restores the standard-error one);
// returns the previous one.
ExceptionDisplay SetExceptionDisplay(ExceptionDisplay display);

} // namespace host
