#pragma once
// The Qt binding of the GUI thread's message loop (host/MessageLoop.h).
//
// Hand-overs from worker threads wake the Qt event loop with a posted event
// and run in it: in QApplication::exec, in nested loops (modal dialogs,
// message boxes) and in host::ProcessMessages, which serves the hand-overs
// queued before the call and then QCoreApplication::processEvents().
//
//   QApplication app(argc, argv);
//   host::qt::TQtMainLoop loop;   // the application's thread is the GUI thread
//
// Create it on the application's thread after the QCoreApplication, destroy
// it before. Its end runs the hand-overs still queued and puts back the
// binding that was installed before.

#include "host/MessageLoop.h"

#include <QObject>

#include <atomic>

namespace host::qt {

class TQtMainLoop final : public QObject, public host::IMainLoop {
public:
    TQtMainLoop();
    ~TQtMainLoop() override;
    TQtMainLoop(const TQtMainLoop&) = delete;
    TQtMainLoop& operator=(const TQtMainLoop&) = delete;

    void Wake() override;
    void ProcessFrameworkMessages() override;
    void WaitForWake(host::Clock::time_point deadline) override;

protected:
    bool event(QEvent* event) override;

private:
    std::atomic<bool> FWakePosted{false}; // one wake event in flight is enough
    host::IMainLoop* FPrevious = nullptr;
};

} // namespace host::qt
