// The window's port list with USB serial adapters mocked by umockdev
// (tests/support/MockAdapter.h; the program runs under umockdev's preload):
// it follows adapters plugged in and pulled out without Refresh, keeps the
// chosen port, and tells each adapter in its tooltip.
#include "configurator/Unit1.h"

#include "host/qt/QtMainLoop.h"
#include "tests/sign/SettingsFiles.h"
#include "tests/support/MockAdapter.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QScreen>
#include <QTest>
#include <QToolTip>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

namespace {

using rc_test::TMockAdapter;

// The window's environment: its data home in `dir`, so that no ports.txt of
// the user's adds network ports to the list.
TEnvironment DataHomeIn(const rc_test::TempDir& dir) {
    return [home = dir.Path().string()](const std::string& name) -> std::optional<std::string> {
        if (name == "XDG_DATA_HOME")
            return home;
        return std::nullopt;
    };
}

// Processes events until done() or five seconds; answers the milliseconds
// it took, or -1 when it never was.
qint64 WaitUntil(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > 5000)
            return -1;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    return clock.elapsed();
}

TEST(PortListFollowsTheCable, PlugAndPullWithoutRefresh) {
    host::qt::TQtMainLoop loop;
    rc_test::TempDir dir;
    // The test bed first: the window's watcher must listen to its events.
    rc_test::TMockTestbed testbed;
    const std::string folder = testbed.LinkFolder("by-id", {"ttyUSB0", "ttyUSB1"});
    TForm1Options options;
    options.SettingsPath = QString::fromStdString(dir / "LEDINFO.BIN");
    options.PortDirectory = folder;
    options.AuditFolder = dir.Path().string();
    options.Environment = DataHomeIn(dir);
    TForm1 form(options);
    QComboBox* box = form.ComboBox3;
    ASSERT_EQ(box->count(), 0);
    const QString first = QString::fromStdString(folder + "/ttyUSB0");
    const QString second = QString::fromStdString(folder + "/ttyUSB1");

    TMockAdapter ftdi(testbed, 0);
    ftdi.Plug();
    ASSERT_GE(WaitUntil([&] { return box->count() == 1; }), 0) << "the list did not follow";
    EXPECT_EQ(box->itemText(0), first);
    EXPECT_EQ(box->currentIndex(), 0); // an empty list's first port is chosen
    const QString tip =
        QStringLiteral("FT232R USB UART (FTDI)\nUSB 0403:6001, serial A50285B0, driver ftdi_sio");
    EXPECT_EQ(box->itemData(0, Qt::ToolTipRole).toString(), tip);
    EXPECT_EQ(box->toolTip(), tip);

    TMockAdapter ch340(testbed, 1, rc_test::Ch340Adapter());
    ch340.Plug();
    ASSERT_GE(WaitUntil([&] { return box->count() == 2; }), 0);
    EXPECT_EQ(box->currentText(), first);
    EXPECT_EQ(box->itemText(1), second);
    box->setCurrentIndex(1);
    // No serial number, and names from udev's hardware database.
    EXPECT_EQ(box->toolTip(), QStringLiteral("CH340 serial converter (QinHeng Electronics)\n"
                                             "USB 1a86:7523, driver ch341"));

    // The first pulled out: the chosen second stays chosen at its new place.
    ftdi.Unplug();
    ASSERT_GE(WaitUntil([&] { return box->count() == 1; }), 0);
    EXPECT_EQ(box->currentText(), second);

    ch340.Unplug();
    ASSERT_GE(WaitUntil([&] { return box->count() == 0; }), 0);
    EXPECT_EQ(box->currentIndex(), -1);
    EXPECT_EQ(box->toolTip(), QString());
}

// Hovering the port box shows the chosen adapter; hovering the sign's clock
// shows its offset. RC_SCREENSHOT, when set, names a PNG of the screen with
// the box's tooltip, for the documentation.
TEST(PortListFollowsTheCable, HoveringThePortBoxTellsTheAdapter) {
    host::qt::TQtMainLoop loop;
    rc_test::TempDir dir;
    rc_test::TMockTestbed testbed;
    TMockAdapter ftdi(testbed, 0);
    ftdi.Plug();
    TForm1Options options;
    options.SettingsPath = QString::fromStdString(dir / "LEDINFO.BIN");
    options.PortDirectory = testbed.LinkFolder("by-id", {"ttyUSB0"});
    options.AuditFolder = dir.Path().string();
    options.Environment = DataHomeIn(dir);
    TForm1 form(options);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QTest::mouseMove(form.ComboBox3, QPoint(20, 12));
    QHelpEvent hover(QEvent::ToolTip, QPoint(20, 12), form.ComboBox3->mapToGlobal(QPoint(20, 12)));
    QCoreApplication::sendEvent(form.ComboBox3, &hover);
    ASSERT_GE(WaitUntil([] { return QToolTip::isVisible(); }), 0);
    EXPECT_EQ(QToolTip::text(), form.ComboBox3->toolTip());
    EXPECT_TRUE(QToolTip::text().startsWith(QStringLiteral("FT232R USB UART (FTDI)")));
    if (const QByteArray png = qgetenv("RC_SCREENSHOT"); !png.isEmpty()) {
        QTest::qWait(200);
        const QRect area = form.frameGeometry().adjusted(-8, -8, 160, 40);
        QGuiApplication::primaryScreen()
            ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
            .save(QString::fromLocal8Bit(png));
    }
}

} // namespace
