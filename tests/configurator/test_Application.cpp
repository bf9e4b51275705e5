// The application object: an exception escaping an event handler is shown by
// the application's exception display, and the program goes on.
//
// Runs inside host::qt::TApplication (own main below), on the offscreen
// platform unless another one is asked for.
#include "host/qt/Application.h"
#include "tests/support/ShownExceptions.h"

#include "configurator/Unit1.h"
#include "host/Exceptions.h"
#include "host/MessageLoop.h"
#include "host/qt/ExceptionDisplay.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {} // namespace

TEST(Application, IsTheApplicationObjectAndShowsInAMessageBox) {
    ASSERT_NE(qobject_cast<host::qt::TApplication*>(QCoreApplication::instance()), nullptr);
    host::ExceptionDisplay installed = host::SetExceptionDisplay({});
    host::SetExceptionDisplay(installed);
    ASSERT_TRUE(installed);
    using Fn = void (*)(const std::string&);
    ASSERT_NE(installed.target<Fn>(), nullptr);
    EXPECT_EQ(*installed.target<Fn>(), &host::qt::ShowExceptionMessageBox);
}

TEST(Application, RunsWorkerHandOversOnTheGuiThreadInQtsLoop) {
    // The event thread of a serial port hands its events over with Synchronize;
    // under the application object they must run on the GUI thread, inside
    // Qt's own event loop.
    const auto guiThread = std::this_thread::get_id();
    std::thread::id ranOn;
    bool done = false;
    std::thread worker([&] {
        host::Synchronize([&] { ranOn = std::this_thread::get_id(); });
        host::PostToMainThread([&] { done = true; });
    });
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done)
            loop.quit();
    });
    poll.start(1);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    worker.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(ranOn, guiThread);
}

TEST(Application, MessageBoxShowsTheTextAndReturnsOnOk) {
    QString seenText;
    QString seenTitle;
    bool modal = false;
    // Closes the box as soon as it is up; gives up after a generous deadline.
    QDeadlineTimer deadline(30000);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                seenText = box->text();
                seenTitle = box->windowTitle();
                modal = box->isModal();
                box->button(QMessageBox::Ok)->click();
                poll.stop();
                return;
            }
        }
        if (deadline.hasExpired()) {
            poll.stop();
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* box = qobject_cast<QMessageBox*>(w)) {
                    box->reject();
                }
            }
        }
    });
    poll.start(10);
    host::ShowException(host::EConvertError("'x' is not a valid integer value"));
    EXPECT_EQ(seenText, QStringLiteral("'x' is not a valid integer value"));
    EXPECT_EQ(seenTitle, QApplication::applicationDisplayName());
    EXPECT_TRUE(modal);
}

TEST(Application, ExceptionFromASlotIsShownAndTheProgramGoesOn) {
    rc_test::ShownExceptions recorder;
    QPushButton button(QStringLiteral("Throw"));
    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] {
        ++clicks;
        if (clicks == 1) {
            throw host::Exception("first click fails");
        }
        throw std::runtime_error("second click fails");
    });
    button.show();
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(recorder.Shown(),
              (std::vector<std::string>{"first click fails", "second click fails"}));
}

TEST(Application, EventLoopSurvivesAThrowingTimer) {
    rc_test::ShownExceptions recorder;
    QEventLoop loop;
    QTimer::singleShot(0, [] { throw std::runtime_error("from a timer"); });
    QTimer::singleShot(0, &loop, [&] { loop.exit(7); });
    QTimer::singleShot(30000, &loop, [&] { loop.exit(-1); }); // deadline
    EXPECT_EQ(loop.exec(), 7);
    EXPECT_EQ(recorder.Shown(), std::vector<std::string>{"from a timer"});
}

TEST(Application, ExceptionFromAWindowHandlerLeavesTheWindowWorking) {
    rc_test::ShownExceptions recorder;
    const auto dir = std::filesystem::temp_directory_path();
    TForm1 form(
        TForm1Options{QString::fromStdString((dir / "rc-app-test-none" / "LEDINFO.BIN").string()),
                      (dir / "rc-app-test-none").string(),
                      {},
                      {}});
    QObject::connect(form.Button8, &QPushButton::clicked,
                     [] { throw host::Exception("port scan failed"); });
    form.show();
    QTest::mouseClick(form.Button8, Qt::LeftButton);
    EXPECT_EQ(recorder.Shown(), std::vector<std::string>{"port scan failed"});
    EXPECT_TRUE(form.isVisible());
    form.Memo2->setPlainText(QStringLiteral("x"));
    form.Button9->click();
    EXPECT_TRUE(form.Memo2->toPlainText().isEmpty());
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    host::qt::TApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
