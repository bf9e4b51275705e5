// The window's network ports: those named in ports.txt in the per-user data
// folder follow the serial ports found, in the file's order, each once, with
// their address as the tooltip; Refresh (and a port appearing) reads the file
// again and keeps the chosen port; whatever else is in the file, or in its
// place, is passed over without a word and without opening anything. Then
// the commands on a network port chosen from the file, against signs behind
// a raw TCP server on 127.0.0.1 (tests/support/TcpSignServer.h).
#include "configurator/Unit1.h"

#include "host/qt/QtMainLoop.h"
#include "serial/CPort.h"
#include "sign/AuditQueue.h"
#include "sign/PortsFile.h"
#include "tests/configurator/PipeWatchdog.h"
#include "tests/configurator/SignBench.h"
#include "tests/sign/SettingsFiles.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TcpSignServer.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QToolTip>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using namespace rc_test;

class NetworkPorts : public ::testing::Test {
protected:
    host::qt::TQtMainLoop FLoop;
    SignBench FBench;
    PtyPair FPty;
    std::unique_ptr<TForm1> FForm;

    void SetUp() override { FBench.Link("ttyUSB0", FPty); }
    TForm1& Form() {
        if (!FForm)
            FForm = std::make_unique<TForm1>(FBench.Options());
        return *FForm;
    }
    // The list's names, and each one's tooltip (as std::string, which a
    // failure prints readably).
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (int i = 0; i < Form().ComboBox3->count(); ++i)
            names.push_back(Form().ComboBox3->itemText(i).toStdString());
        return names;
    }
    std::vector<std::string> Tips() {
        std::vector<std::string> tips;
        for (int i = 0; i < Form().ComboBox3->count(); ++i)
            tips.push_back(Form().ComboBox3->itemData(i, Qt::ToolTipRole).toString().toStdString());
        return tips;
    }
    // The serial ports found (ttyUSB0 and `serial`), then `network`.
    std::vector<std::string> Listed(std::initializer_list<const char*> network,
                                    std::initializer_list<const char*> serial = {}) {
        std::vector<std::string> names{FBench / "ttyUSB0"};
        for (const char* n : serial)
            names.push_back(FBench / n);
        names.insert(names.end(), network.begin(), network.end());
        return names;
    }
    // The window with `port` in ports.txt, chosen.
    TForm1& FormOn(const std::string& port) {
        FBench.WritePortsFile("# the test's sign\n" + port + "\n");
        TForm1& form = Form();
        form.ComboBox3->setCurrentIndex(form.ComboBox3->findText(QString::fromStdString(port)));
        EXPECT_EQ(form.ComboBox3->currentText().toStdString(), port);
        return form;
    }
    std::vector<std::map<std::string, std::string>> AuditRows() {
        EXPECT_TRUE(Form().AuditLog()->WaitWritten(std::chrono::seconds(5)));
        return FBench.AuditRows();
    }
};

// The file as an office would keep it, and the lines that are no network
// port: each server port once, after the serial port found, with its
// address.
TEST_F(NetworkPorts, FollowTheScannedPortsInTheFilesOrderEachOnceWithTheirAddress) {
    PtyPair elsewhere; // a serial device the scan does not look at
    FBench.WritePortsFile("\xEF\xBB\xBF# the north depot's signs\r\n"
                          "rfc2217://10.0.0.5:4001\r\n"
                          "   tcp://sign-17.Example.org:4001\t# Elm St school\r\n"
                          "\r\n"
                          "TCP://[2001:db8::7]:4002\n"
                          // Once, as first written: the same server port in
                          // other cases, an IPv6 address written out, and
                          // through the other protocol; another port of it.
                          "RFC2217://10.0.0.5:4001\n"
                          "tcp://SIGN-17.example.ORG:4001\n"
                          "tcp://[2001:db8:0:0:0:0:0:7]:4002\n"
                          "tcp://10.0.0.5:4001\n"
                          "tcp://10.0.0.5:4003\n"
                          // Malformed network names.
                          "tcp://10.0.0.6:99999\n"
                          "tcp://10.0.0.6\n"
                          "tcp://10.0.0.6:0\n"
                          "rfc2217://operator@10.0.0.6:4001\n"
                          "tcp://10.0.0.6:4001/sign\n"
                          "tcp://[fe80::1%25eth0]:4001\n"
                          "tcp://bad\x01name:4001\n"
                          "tcp://\xC3\xA9"
                          "cole.example:4001\n"
                          "tcp://\xFF\xFE:4001\n"
                          "telnet://10.0.0.6:23\n"
                          "=tcp://10.0.0.6:4001\n"
                          // Serial ports: the scan's to list, never the file's.
                          "ttyUSB0\n" +
                          FPty.PortName() + "\n" + elsewhere.PortName() +
                          "\n"
                          "COM3\n"
                          // The last line without its end.
                          "rfc2217://[::1]:2217");
    EXPECT_EQ(Names(),
              Listed({"rfc2217://10.0.0.5:4001", "tcp://sign-17.Example.org:4001",
                      "tcp://[2001:db8::7]:4002", "tcp://10.0.0.5:4003", "rfc2217://[::1]:2217"}));
    const std::vector<std::string> tips = Tips();
    ASSERT_EQ(tips.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(tips.begin() + 1, tips.end()),
              (std::vector<std::string>{
                  "RFC 2217 device server 10.0.0.5, port 4001",
                  "raw TCP, sign-17.Example.org:4001",
                  "raw TCP, [2001:db8::7]:4002",
                  "raw TCP, 10.0.0.5:4003",
                  "RFC 2217 device server ::1, port 2217",
              }));
}

// The list is filled before the saved entries are pushed: the saved index
// chooses among the network ports too, and the box shows the chosen one's
// address.
TEST_F(NetworkPorts, SavedPortIndexChoosesANetworkPortAtStart) {
    FBench.WritePortsFile("tcp://10.0.0.5:4001\nrfc2217://10.0.0.5:4002\n");
    TSignSettings saved = DefaultSignSettings();
    saved.PortIndex = 2;
    const auto bytes = EncodeSignSettings(saved);
    WriteFile(FBench.SettingsFile().toStdString(), Bytes(bytes.begin(), bytes.end()));
    EXPECT_EQ(Form().ComboBox3->currentText(), QStringLiteral("rfc2217://10.0.0.5:4002"));
    EXPECT_EQ(Form().ComboBox3->toolTip(),
              QStringLiteral("RFC 2217 device server 10.0.0.5, port 4002"));
}

// Refresh and a port that appears (the port watcher's call) both read the
// file again; a chosen network port stays chosen, by its name, wherever it
// has gone in the file, and when it has left the file the first port is.
TEST_F(NetworkPorts, RefreshReadsTheFileAgainAndKeepsTheChosenNetworkPort) {
    const char* const a = "tcp://10.0.0.1:4001";
    const char* const b = "rfc2217://10.0.0.2:4001";
    const char* const c = "tcp://10.0.0.3:4001";
    FBench.WritePortsFile(std::string(a) + "\n" + b + "\n");
    TForm1& form = Form();
    ASSERT_EQ(Names(), Listed({a, b}));
    form.ComboBox3->setCurrentIndex(2);

    FBench.WritePortsFile(std::string(c) + "\n" + a + "\n" + b + "\n");
    form.Button8->click();
    EXPECT_EQ(Names(), Listed({c, a, b}));
    EXPECT_EQ(form.ComboBox3->currentText(), QString::fromLatin1(b));
    EXPECT_EQ(form.ComboBox3->toolTip(),
              QStringLiteral("RFC 2217 device server 10.0.0.2, port 4001"));

    // A serial port appearing rebuilds the list the same way.
    PtyPair second;
    FBench.Link("ttyUSB1", second);
    FBench.WritePortsFile(std::string(b) + "\n");
    form.PortsChanged();
    EXPECT_EQ(Names(), Listed({b}, {"ttyUSB1"}));
    EXPECT_EQ(form.ComboBox3->currentText(), QString::fromLatin1(b));

    // Gone from the file: the first port is chosen, and its tooltip shown.
    FBench.WritePortsFile(std::string(a) + "\n");
    form.Button8->click();
    EXPECT_EQ(form.ComboBox3->currentIndex(), 0);
    EXPECT_EQ(form.ComboBox3->toolTip(), QString());

    // The file removed: the serial ports alone.
    fs::remove(FBench.PortsFile());
    form.Button8->click();
    EXPECT_EQ(Names(), Listed({}, {"ttyUSB1"}));
}

// Whatever stands in the file's place that is no list of ports is passed
// over: the serial ports are listed as ever, the window neither waits on a
// pipe nor reads a file of any size, and nothing is said.
TEST_F(NetworkPorts, WhatIsNoListOfPortsInTheFilesPlaceIsPassedOver) {
    enum Kind { Missing, Folder, Fifo, LinkToAFifo, Huge, LinkLoop, DanglingLink, Unreadable };
    const struct {
        const char* what;
        Kind kind;
    } rows[] = {
        {"no file (the usual case)", Missing},
        {"a folder", Folder},
        {"a FIFO", Fifo},
        {"a symbolic link to a FIFO", LinkToAFifo},
        {"a file larger than a list of ports", Huge},
        {"a symbolic link to itself", LinkLoop},
        {"a symbolic link to nothing", DanglingLink},
        {"a file this user may not read", Unreadable},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.kind == Unreadable && ::geteuid() == 0) {
            std::printf("skipped \"%s\": the superuser reads any file\n", row.what);
            continue;
        }
        FForm.reset();
        fs::remove_all(FBench.DataFolder());
        fs::create_directories(FBench.DataFolder());
        const std::string file = FBench.PortsFile();
        const std::string fifo = (FBench.DataFolder() / "pipe").string();
        std::string watched;
        switch (row.kind) {
        case Missing:
            break;
        case Folder:
            fs::create_directory(file);
            break;
        case Fifo:
            ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
            watched = file;
            break;
        case LinkToAFifo:
            ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
            fs::create_symlink(fifo, file);
            watched = fifo;
            break;
        case Huge: {
            // Network names from the first line on: none of them is taken.
            std::string text;
            while (text.size() <= sign::MaxPortsFileSize)
                text += "tcp://10.0.0.5:4001\n";
            FBench.WritePortsFile(text);
            break;
        }
        case LinkLoop:
            fs::create_symlink(file, file);
            break;
        case DanglingLink:
            fs::create_symlink(FBench.DataFolder() / "gone.txt", file);
            break;
        case Unreadable:
            FBench.WritePortsFile("tcp://10.0.0.5:4001\n");
            fs::permissions(file, fs::perms::none);
            break;
        }
        std::unique_ptr<PipeWatchdog> watchdog;
        if (!watched.empty())
            watchdog = std::make_unique<PipeWatchdog>(watched);
        EXPECT_EQ(Names(), Listed({}));
        Form().Button8->click();
        EXPECT_EQ(Names(), Listed({}));
        if (watchdog) {
            EXPECT_FALSE(watchdog->Done()) << "the window waited on the pipe";
            EXPECT_TRUE(fs::is_fifo(watched));
        }
    }
}

// Without a per-user data folder (no XDG_DATA_HOME, no HOME) there is no
// ports.txt: the serial ports alone, and nothing read from the current
// folder instead.
TEST_F(NetworkPorts, NoPerUserFolderNoNetworkPorts) {
    TForm1Options options = FBench.Options();
    options.Environment = [](const std::string&) -> std::optional<std::string> {
        return std::nullopt;
    };
    FBench.WritePortsFile("tcp://10.0.0.5:4001\n");
    const fs::path before = fs::current_path();
    fs::current_path(FBench.DataFolder());
    FForm = std::make_unique<TForm1>(options);
    fs::current_path(before);
    EXPECT_EQ(Names(), Listed({}));
}

// Hovering the box with a network port chosen shows its address.
// RC_SCREENSHOT, when set, names a PNG of the screen with the tooltip, for
// the documentation.
TEST_F(NetworkPorts, HoveringThePortBoxTellsTheNetworkPortsAddress) {
    FBench.WritePortsFile("rfc2217://10.0.0.5:4001\ntcp://10.0.0.5:4002\n");
    TForm1& form = Form();
    form.ComboBox3->setCurrentIndex(1);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QTest::mouseMove(form.ComboBox3, QPoint(20, 12));
    QHelpEvent hover(QEvent::ToolTip, QPoint(20, 12), form.ComboBox3->mapToGlobal(QPoint(20, 12)));
    QCoreApplication::sendEvent(form.ComboBox3, &hover);
    QElapsedTimer clock;
    clock.start();
    while (!QToolTip::isVisible() && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    ASSERT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text(), QStringLiteral("RFC 2217 device server 10.0.0.5, port 4001"));
    if (const QByteArray png = qgetenv("RC_SCREENSHOT"); !png.isEmpty()) {
        QTest::qWait(200);
        const QRect area = form.frameGeometry().adjusted(-8, -8, 160, 40);
        QGuiApplication::primaryScreen()
            ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
            .save(QString::fromLocal8Bit(png));
    }
}

// ---- Commands on a network port ----------------------------------------------

// Read Time on a network port from ports.txt: the request goes over the
// connection, the sign's clock comes back into Label24, the connection is
// closed again, and the audit log names the port as the list does.
TEST_F(NetworkPorts, ReadTimeReachesANetworkSignFromPortsTxt) {
    TcpSignServerOptions options;
    options.ClockBytes = std::string("\x26\x12\x07\x14\x32\x56", 6);
    TcpSignServer server(options);
    TForm1& form = FormOn(server.Name(0));
    form.Button3->click();
    EXPECT_EQ(FBench.FResults, std::vector<QString>{QStringLiteral("send sucess")});
    EXPECT_EQ(form.Label24->text(), QStringLiteral("12/07 2026  14:32"));
    EXPECT_EQ(form.Label24->toolTip().toStdString(),
              "Read from " + server.Name(0) + " at 14:35:09: Sign clock 2 min 13 s behind this PC");
    EXPECT_FALSE(form.mycomm1->Connected());
    EXPECT_EQ(server.Connections(), 1u);
    EXPECT_EQ(server.Requests(), 1u);
    // Refresh keeps it chosen, and reaches it again.
    form.Button8->click();
    EXPECT_EQ(form.ComboBox3->currentText().toStdString(), server.Name(0));
    form.Button2->click();
    EXPECT_EQ(FBench.FResults.back(), QStringLiteral("send sucess"));
    EXPECT_EQ(server.Connections(), 2u);
    const auto rows = AuditRows();
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& row : rows) {
        EXPECT_EQ(row.at("port"), server.Name(0));
        EXPECT_EQ(row.at("outcome"), "ok");
        EXPECT_EQ(row.at("tries"), "1");
        EXPECT_EQ(row.at("adapter"), "");
    }
    EXPECT_EQ(rows[0].at("offset s"), "-133");
}

// A network sign that cannot be reached ends the command with "send error",
// as a serial one does, and the audit row says why in the network's words.
TEST_F(NetworkPorts, ANetworkSignNotReachedEndsTheCommandWithItsReason) {
    enum Fault { Refused, Silent, DropsTheLine };
    const struct {
        const char* what;
        Fault fault;
        const char* tries;
        const char* outcome; // after the server's address
    } rows[] = {
        {"nothing listens at the port", Refused, "3", "nothing accepts connections at "},
        {"the sign never answers", Silent, "3", "no answer"},
        {"the device server drops the line at the request", DropsTheLine, "1",
         "the device server at "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        FForm.reset();
        FBench.FResults.clear();
        fs::remove(FBench / "audit.csv");
        TcpSignServerOptions options;
        options.OnRequest = row.fault == Silent         ? TcpSignServerOptions::Silent
                            : row.fault == DropsTheLine ? TcpSignServerOptions::Close
                                                        : TcpSignServerOptions::Answer;
        TcpSignServer server(options);
        const std::string port = server.Name(0);
        const std::string address = port.substr(std::string("tcp://").size());
        if (row.fault == Refused)
            server.Stop();
        TForm1& form = FormOn(port);
        form.Button3->click();
        EXPECT_EQ(FBench.FResults, std::vector<QString>{QStringLiteral("send error")});
        EXPECT_FALSE(form.mycomm1->Connected());
        EXPECT_TRUE(form.Button3->isEnabled());
        const auto audit = AuditRows();
        ASSERT_EQ(audit.size(), 1u);
        EXPECT_EQ(audit[0].at("port"), port);
        EXPECT_EQ(audit[0].at("tries"), row.tries);
        const std::string outcome = audit[0].at("outcome");
        switch (row.fault) {
        case Refused:
            EXPECT_EQ(outcome.rfind(row.outcome + address + " ", 0), 0u) << outcome;
            break;
        case Silent:
            EXPECT_EQ(outcome, row.outcome);
            EXPECT_EQ(server.Requests(), 3u);
            break;
        case DropsTheLine:
            EXPECT_EQ(outcome, row.outcome + address + " closed the connection");
            break;
        }
    }
}

} // namespace
