#pragma once
// The application object: a QApplication that catches every exception that
// escapes an event handler (a slot run by a click, a timer, a paint) and shows
// it with the application's exception display (host/ExceptionDisplay.h). The
// event is then taken as handled and the program goes on; nothing aborts.
//
// Creating it installs the message-box display (host/qt/ExceptionDisplay.h)
// and binds the GUI thread's message loop (host/MessageLoop.h) to Qt, so that
// hand-overs from worker threads run in Qt's loop; destroying it puts the
// previous display and binding back. One per process, GUI thread.

#include "host/ExceptionDisplay.h"
#include "host/qt/QtMainLoop.h"

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
    // Declared last: created after the QApplication is complete, destroyed first.
    TQtMainLoop FMainLoop;
};

} // namespace host::qt
