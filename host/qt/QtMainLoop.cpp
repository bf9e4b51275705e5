#include "host/qt/QtMainLoop.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>

#include <chrono>

namespace host::qt {

namespace {

QEvent::Type WakeEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

} // namespace

TQtMainLoop::TQtMainLoop() {
    FPrevious = host::SetMainLoop(this);
}

TQtMainLoop::~TQtMainLoop() {
    host::SetMainLoop(FPrevious);
}

void TQtMainLoop::Wake() {
    if (!FWakePosted.exchange(true)) {
        QCoreApplication::postEvent(this, new QEvent(WakeEventType()));
    }
}

bool TQtMainLoop::event(QEvent* event) {
    if (event->type() != WakeEventType()) {
        return QObject::event(event);
    }
    // Cleared before serving: a hand-over queued from now on posts a new event.
    FWakePosted = false;
    host::ServeHandOvers();
    return true;
}

void TQtMainLoop::ProcessFrameworkMessages() {
    QCoreApplication::processEvents();
}

void TQtMainLoop::WaitForWake(host::Clock::time_point deadline) {
    if (FWakePosted) {
        return; // the posted wake event is waiting for the next pass
    }
    QTimer timer;
    if (deadline != host::Clock::time_point::max()) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - host::Clock::now());
        if (left.count() <= 0) {
            return;
        }
        timer.setSingleShot(true);
        timer.start(left);
    }
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

} // namespace host::qt
