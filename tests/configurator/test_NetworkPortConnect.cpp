// The window while a network port from ports.txt connects to a host that
// never answers (a listener on 127.0.0.1 whose queue the test has filled):
// it goes on running its timers with its command controls disabled, the
// command ends with the time-out's reason in the audit row, and a window
// closed meanwhile ends the command as cancelled, with no thread left.
#include "configurator/Unit1.h"

#include "host/qt/QtMainLoop.h"
#include "serial/CPort.h"
#include "serial/driver/NetCommApi.h"
#include "sign/AuditQueue.h"
#include "tests/configurator/SignBench.h"
#include "tests/support/LoopbackTcpServer.h"
#include "tests/support/PtyPair.h"

#include <QComboBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using namespace rc_test;
using namespace std::chrono_literals;

constexpr auto kConnectTimeout = 600ms;

std::size_t ThreadsOfThisProcess() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

class NetworkPortConnect : public ::testing::Test {
protected:
    host::qt::TQtMainLoop FLoop;
    SignBench FBench;
    PtyPair FPty;
    std::unique_ptr<LoopbackTcpServer> FSilent;
    std::unique_ptr<TForm1> FForm;

    void SetUp() override {
        comm::net::SetConnectTimeout(kConnectTimeout);
        FBench.Link("ttyUSB0", FPty);
        // A backlog of 0 holds a connection or two: the next are dropped.
        FSilent = std::make_unique<LoopbackTcpServer>(0);
        for (int i = 0; i < 4; ++i)
            FSilent->KnockUnanswered();
        FBench.WritePortsFile(FSilent->Name() + "\n");
        FForm = std::make_unique<TForm1>(FBench.Options());
        FForm->ComboBox3->setCurrentIndex(
            FForm->ComboBox3->findText(QString::fromStdString(FSilent->Name())));
        ASSERT_EQ(FForm->ComboBox3->currentText().toStdString(), FSilent->Name());
        FForm->show();
    }
    void TearDown() override { comm::net::SetConnectTimeout(5s); }

    std::vector<std::map<std::string, std::string>> AuditRows() {
        EXPECT_TRUE(FForm->AuditLog()->WaitWritten(5s));
        return FBench.AuditRows();
    }
};

TEST_F(NetworkPortConnect, TheWindowRunsWhileTheCommandWaitsForTheConnect) {
    int ticks = 0;
    bool controlsDisabled = true;
    QTimer timer;
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++ticks;
        for (QWidget* c : std::vector<QWidget*>{FForm->Button1, FForm->Button2, FForm->Button3,
                                                FForm->ComboBox3, FForm->Button8})
            controlsDisabled = controlsDisabled && !c->isEnabled();
    });
    timer.start();
    const auto start = std::chrono::steady_clock::now();
    FForm->Button3->click();
    timer.stop();
    EXPECT_GE(std::chrono::steady_clock::now() - start, kConnectTimeout - 50ms);
    EXPECT_GE(ticks, 5) << "the window froze while the port connected";
    EXPECT_TRUE(controlsDisabled) << "a command control was enabled during the command";
    EXPECT_TRUE(FForm->Button3->isEnabled());
    EXPECT_EQ(FBench.FResults, std::vector<QString>{QStringLiteral("send error")});
    const auto rows = AuditRows();
    ASSERT_EQ(rows.size(), 1u);
    // The open's own error reached the window's thread.
    const std::string outcome = rows[0].at("outcome");
    EXPECT_EQ(outcome.rfind("timed out connecting to 127.0.0.1:", 0), 0u) << outcome;
}

TEST_F(NetworkPortConnect, AWindowClosedDuringTheConnectCancelsTheCommand) {
    const std::size_t threadsBefore = ThreadsOfThisProcess();
    bool closedDuringTheCommand = false;
    QTimer::singleShot(100, [&] {
        closedDuringTheCommand = !FForm->Button3->isEnabled();
        FForm->close();
    });
    FForm->Button3->click();
    EXPECT_TRUE(closedDuringTheCommand);
    EXPECT_FALSE(FForm->isVisible());
    EXPECT_FALSE(FForm->mycomm1->Connected());
    EXPECT_TRUE(FBench.FResults.empty()) << "a result box for a closed window";
    const auto rows = AuditRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("outcome"), "cancelled: the window was closed");
    EXPECT_EQ(rows[0].at("tries"), "0");
    // The connect's thread has been joined: the threads are those of before
    // (the audit queue's among them).
    EXPECT_LE(ThreadsOfThisProcess(), threadsBefore);
}

} // namespace
