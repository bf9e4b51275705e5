#include "host/qt/ExceptionDisplay.h"

#include "host/ExceptionDisplay.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include <cstdio>

namespace host::qt {

void ShowExceptionMessageBox(const std::string& message) {
    QApplication* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (app == nullptr || QThread::currentThread() != app->thread()) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return;
    }
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(),
                    QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size())),
                    QMessageBox::Ok, QApplication::activeWindow());
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void InstallMessageBoxExceptionDisplay() {
    host::SetExceptionDisplay(&ShowExceptionMessageBox);
}

} // namespace host::qt
