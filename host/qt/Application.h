#pragma once
// The application object: a QApplication that catches every exception that
// escapes an event handler (a slot run by a click, a timer, a paint) and shows
// it with the application's exception display (host/ExceptionDisplay.h). The
// event is then taken as handled and the program goes on; nothing aborts.
//
// Creating it installs the message-box display (host/qt/ExceptionDisplay.h);
// destroying it puts the previous display back. One per process, GUI thread.

#include "host/ExceptionDisplay.h"

#include <QApplication>

namespace host::qt {

class TApplication : public QApplication {
    Q_OBJECT
public:
    TApplication(int& argc, char** argv);
    ~TApplication() override;

    bool notify(QObject* receiver, QEvent* event) override;

private:
    host::ExceptionDisplay FPreviousDisplay;
};

} // namespace host::qt
