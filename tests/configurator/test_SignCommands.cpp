// The window talking to a sign: the port list, the three commands and their
// frames on the wire, retries, the result message, the reply handler, and
// closing the window during a command. The real TForm1, on the offscreen
// platform, with a pseudo-terminal whose far end plays the sign.
#include "configurator/PortWatcher.h"
#include "configurator/Unit1.h"
#include "sign/AuditQueue.h"
#include "sign/SignTransaction.h"

#include "host/qt/QtMainLoop.h"
#include "serial/CPort.h"
#include "serial/CPortErrors.h"
#include "spin/Spin.h"
#include "tests/configurator/SignBench.h"
#include "tests/sign/SettingsFiles.h"
#include "tests/support/FakeCommApi.h"
#include "tests/support/PtyPair.h"

#include <QApplication>
#include <QComboBox>
#include <QHelpEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace rc_test;

class SignCommands : public ::testing::Test {
protected:
    // The port's events reach the window through the Qt event loop.
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
    // The window's audit rows, once its log's thread has written those posted.
    std::vector<std::map<std::string, std::string>> AuditRows() {
        EXPECT_TRUE(Form().AuditLog()->WaitWritten(std::chrono::seconds(5)));
        return FBench.AuditRows();
    }
    // The window with the fake's COM3 in its list, selected.
    TForm1& FormOnFakePort(comm::FakeCommApi& fake) {
        fake.AddPort("COM3");
        TForm1& form = Form();
        form.ComboBox3->addItem(QStringLiteral("COM3"));
        form.ComboBox3->setCurrentIndex(form.ComboBox3->count() - 1);
        return form;
    }
    // The component error code that Download raised; 0 when none was.
    static int DownloadRaises(TForm1& form) {
        try {
            form.Button3Click();
        } catch (const cport::EComPort& e) {
            return e.ErrorCode();
        }
        return 0;
    }
    // Clicks a command button and measures how long the command took.
    milliseconds Click(QPushButton* button) {
        const auto start = Clock::now();
        button->click();
        return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    }
    static std::vector<std::string> Frames(const SignPeer& peer) {
        std::vector<std::string> frames;
        for (const auto& f : peer.Frames())
            frames.push_back(f.Frame);
        return frames;
    }
};

TEST_F(SignCommands, PortIsSetUpForTheSign) {
    const cport::TComPort& port = *Form().mycomm1;
    EXPECT_EQ(port.BaudRate(), 9600);
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(port.Parity().Bits(), cport::prNone);
    EXPECT_EQ(port.StopBits(), cport::sbOneStopBit);
    EXPECT_EQ(port.DataBits(), cport::dbEight);
    EXPECT_EQ(port.Events(), cport::TComEvents::All());
    EXPECT_EQ(port.FlowControl().FlowControl(), cport::fcNone);
    EXPECT_FALSE(port.FlowControl().OutDSRFlow());
    EXPECT_EQ(port.FlowControl().ControlDTR(), cport::dtrDisable);
    EXPECT_EQ(port.SyncMethod(), cport::smThreadSync);
    EXPECT_TRUE(static_cast<bool>(port.OnRxChar));
    EXPECT_FALSE(static_cast<bool>(port.OnRing) || static_cast<bool>(port.OnRxBuf) ||
                 static_cast<bool>(port.OnCTSChange) || static_cast<bool>(port.OnError));
    EXPECT_FALSE(port.Connected());
}

// ---- Frames on the wire ---------------------------------------------------------

TEST_F(SignCommands, ReadTimeShowsTheSignClock) {
    SignPeer peer(FPty, SignPeer::AnswerFrom(0));
    TForm1& form = Form();
    ASSERT_EQ(form.ComboBox3->currentText(), FBench.Port("ttyUSB0"));
    EXPECT_FALSE(form.Label24->isVisibleTo(&form));
    const milliseconds took = Click(form.Button3);
    EXPECT_EQ(Frames(peer), std::vector<std::string>{Hex("F7 8C 8D 8A 03 7F")});
    EXPECT_EQ(FBench.FResults, std::vector<QString>{QStringLiteral("send sucess")});
    EXPECT_LT(took, milliseconds(900)); // no second try
    EXPECT_EQ(form.Label24->text(), QStringLiteral("12/07 2026  14:35"));
    EXPECT_TRUE(form.Label24->isVisibleTo(&form));
    // The label sizes itself to its text: the whole of it is shown.
    EXPECT_EQ(form.Label24->width(),
              form.Label24->fontMetrics().horizontalAdvance(form.Label24->text()));
    EXPECT_EQ(form.Label24->width(), 136);
    // Where and when it was read, then the offset.
    EXPECT_EQ(form.Label24->toolTip(), QStringLiteral("Read from ") + FBench.Port("ttyUSB0") +
                                           QStringLiteral(" at 14:35:09: Sign clock agrees with "
                                                          "this PC"));
    EXPECT_FALSE(form.mycomm1->Connected());
    for (QPushButton* b : {form.Button1, form.Button2, form.Button3})
        EXPECT_TRUE(b->isEnabled());
}

// The sign's clock against the PC's at the reply, to the second, in the
// label's tooltip after the port and the PC's time; the label's text stays
// the clock as the sign gave it.
TEST_F(SignCommands, ReadTimeTellsTheSignClockOffset) {
    const struct {
        sign::TSignClock Sign;
        std::optional<std::int64_t> Offset;
        const char* Text;
        const char* Tip;
    } cases[] = {
        {{2026, 12, 7, 14, 32, 56},
         -133,
         "12/07 2026  14:32",
         "Sign clock 2 min 13 s behind this PC"},
        {{2026, 12, 8, 0, 0, 0},
         33891,
         "12/08 2026  00:00",
         "Sign clock 9 h 24 min 51 s ahead of this PC"},
        {{2026, 2, 30, 14, 35, 9},
         std::nullopt,
         "02/30 2026  14:35",
         "the sign's clock is no valid date"},
    };
    const QString readFrom =
        QStringLiteral("Read from ") + FBench.Port("ttyUSB0") + QStringLiteral(" at 14:35:09: ");
    TForm1& form = Form();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        SignPeer peer(FPty, SignPeer::AnswerFrom(0, c.Sign));
        Click(form.Button3);
        EXPECT_EQ(form.Label24->text(), QString::fromLatin1(c.Text));
        EXPECT_EQ(form.ClockOffset(), c.Offset);
        EXPECT_EQ(form.Label24->toolTip(), readFrom + QString::fromLatin1(c.Tip));
    }
    // The log keeps a clock that is no date as the label shows it, with the
    // bytes as they came: the text shows no seconds, and "30" may be no BCD.
    EXPECT_EQ(AuditRows().back().at("sign clock"), "02/30 2026  14:35 (bytes 26 02 30 14 35 09)");
}

// An audit log that cannot be written, even one that would hold up whoever
// opens it (a FIFO without a reader), changes nothing for the operator: the
// command ends as it would, and the FIFO is left as it was.
TEST_F(SignCommands, AnAuditLogThatIsAFifoNeitherHoldsUpNorChangesTheCommand) {
    const std::string fifo = FBench.Path().string() + "/audit.csv";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    TForm1& form = Form();
    SignPeer peer(FPty, SignPeer::AnswerFrom(0));
    EXPECT_LT(Click(form.Button3), milliseconds(3000));
    EXPECT_EQ(FBench.FResults, std::vector<QString>{QStringLiteral("send sucess")});
    ASSERT_TRUE(form.AuditLog()->WaitWritten(std::chrono::seconds(5)));
    EXPECT_NE(form.AuditLog()->Error().find("not a regular file"), std::string::npos)
        << form.AuditLog()->Error();
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// A clock read from one port stays tied to it: a later Read Time that gets no
// clock, whatever the reason, leaves the label and its tooltip naming that
// port and the time it was read, and logs no clock of its own.
TEST_F(SignCommands, ClockFromOnePortIsNotPassedOffAsAnotherPortsAfterAFailedRead) {
    PtyPair second;
    FBench.Link("ttyUSB5", second);
    TForm1& form = Form();
    ASSERT_EQ(form.ComboBox3->count(), 2);
    {
        SignPeer peer(FPty, SignPeer::AnswerFrom(0, {2026, 12, 7, 14, 32, 56}));
        Click(form.Button3);
    }
    const QString text = QStringLiteral("12/07 2026  14:32");
    const QString tip = QStringLiteral("Read from ") + FBench.Port("ttyUSB0") +
                        QStringLiteral(" at 14:35:09: Sign clock 2 min 13 s behind this PC");
    ASSERT_EQ(form.Label24->text(), text);
    ASSERT_EQ(form.Label24->toolTip(), tip);
    FBench.FClock = {2026, 12, 7, 14, 50, 0};

    const auto silentSign = [&] {
        form.ComboBox3->setCurrentIndex(1);
        SignPeer peer(second, SignPeer::Never());
        Click(form.Button3);
    };
    const auto portHeld = [&] {
        form.ComboBox3->setCurrentIndex(1);
        const int held = ::open(second.PortName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(held, 0);
        ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
        Click(form.Button3);
        ::close(held);
    };
    const auto portRaises = [&] {
        comm::FakeCommApi fake;
        comm::ScopedCommApi use(fake);
        FormOnFakePort(fake);
        fake.FailNext("SetCommTimeouts", comm::ERROR_GEN_FAILURE);
        EXPECT_EQ(DownloadRaises(form), 8);
    };
    const struct {
        const char* what;
        std::function<void()> readTime;
        const char* outcome;
    } rows[] = {
        {"no answer", silentSign, "no answer"},
        {"the port not opened", portHeld, "in use by another program"},
        {"an error from the port", portRaises, "error: "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        row.readTime();
        EXPECT_NE(form.ComboBox3->currentText(), FBench.Port("ttyUSB0"));
        EXPECT_EQ(form.Label24->text(), text);
        EXPECT_EQ(form.Label24->toolTip(), tip);
        EXPECT_EQ(form.ClockOffset(), std::nullopt);
        const auto log = AuditRows().back();
        EXPECT_TRUE(log.at("outcome").starts_with(row.outcome)) << log.at("outcome");
        EXPECT_EQ(log.at("sign clock"), "");
        EXPECT_EQ(log.at("offset s"), "");
    }
    if (const QByteArray png = qgetenv("RC_SCREENSHOT"); !png.isEmpty()) {
        // The window and Label24's tooltip, as a technician hovering it sees them.
        form.ComboBox3->setCurrentIndex(1);
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        const QPoint at(20, 8);
        QTest::mouseMove(form.Label24, at);
        QHelpEvent hover(QEvent::ToolTip, at, form.Label24->mapToGlobal(at));
        QCoreApplication::sendEvent(form.Label24, &hover);
        ASSERT_TRUE(QTest::qWaitFor([] { return QToolTip::isVisible(); }, 5000));
        EXPECT_EQ(QToolTip::text(), tip);
        QTest::qWait(200); // the tooltip fades in
        // The screen around the window: the tooltip, wider than what is
        // right of the label, is moved left to stay on the screen.
        QScreen* screen = QGuiApplication::primaryScreen();
        const QRect area =
            form.frameGeometry().adjusted(-200, -8, 200, 60).intersected(screen->geometry());
        screen->grabWindow(0, area.x(), area.y(), area.width(), area.height())
            .save(QString::fromLocal8Bit(png));
    }
}

// Every command leaves one line in the audit log, with what was sent, how
// often, and what came of it.
TEST_F(SignCommands, EveryCommandIsLogged) {
    SignPeer peer(FPty, SignPeer::AnswerFrom(0, {2026, 12, 7, 14, 32, 56}));
    TForm1& form = Form();
    Click(form.Button3);
    Click(form.Button2);
    const auto rows = AuditRows();
    ASSERT_EQ(rows.size(), 2u);
    const std::string port = FBench.Port("ttyUSB0").toStdString();
    const std::pair<const char*, const char*> expected[][8] = {
        {{"program", "radar-configurator"},
         {"port", port.c_str()},
         {"command", "read-time"},
         {"request", "F7 8C 8D 8A 03 7F"},
         {"tries", "1"},
         {"outcome", "ok"},
         {"sign clock", "2026-12-07T14:32:56"},
         {"offset s", "-133"}},
        {{"program", "radar-configurator"},
         {"port", port.c_str()},
         {"command", "send-time"},
         {"request", "F7 8C 8D 8A 01 26 12 07 14 35 09 66"},
         {"tries", "1"},
         {"outcome", "ok"},
         {"sign clock", ""},
         {"offset s", ""}},
    };
    for (std::size_t i = 0; i < rows.size(); ++i)
        for (const auto& [column, value] : expected[i]) {
            ASSERT_TRUE(rows[i].contains(column)) << column;
            EXPECT_EQ(rows[i].at(column), value) << column;
        }
    EXPECT_EQ(rows[0].at("adapter"), ""); // a pseudo-terminal is no USB adapter
}

TEST_F(SignCommands, SendTimeSendsTheClockInBcd) {
    SignPeer peer(FPty, SignPeer::AnswerFrom(0));
    TForm1& form = Form();
    Click(form.Button2);
    FBench.FClock = {2000, 1, 2, 3, 4, 5};
    Click(form.Button2);
    EXPECT_EQ(Frames(peer), (std::vector<std::string>{Hex("F7 8C 8D 8A 01 26 12 07 14 35 09 66"),
                                                      Hex("F7 8C 8D 8A 01 00 01 02 03 04 05 7C")}));
    EXPECT_EQ(FBench.FResults.size(), 2u);
    EXPECT_EQ(FBench.FResults.back(), QStringLiteral("send sucess"));
}

TEST_F(SignCommands, DownloadSendsTheTableRawAndSavesFirst) {
    Bytes fileAtFirstByte;
    SignPeer peer(FPty, SignPeer::AnswerFrom(0));
    peer.OnFirstByte = [&] { fileAtFirstByte = ReadFile(FBench.SettingsFile().toStdString()); };
    TForm1& form = Form();
    Click(form.Button1);
    // The default entries (the first port is the one found).
    EXPECT_EQ(fileAtFirstByte, DefaultFile);
    // No rate selected gives FF; bytes that a cooked line would take (CR,
    // XON, XOFF, LF) go out as they are.
    form.ComboBox1->setCurrentIndex(-1);
    form.SpinEdit1->SetValue(10);
    form.SpinEdit2->SetValue(13);
    form.SpinEdit5->SetValue(17);
    form.SpinEdit6->SetValue(19);
    Click(form.Button1);
    EXPECT_EQ(Frames(peer), (std::vector<std::string>{
                                Hex("F7 8C 8D 8A 02 08 00 12 00 14 12 00 16 00 14 14 00 74"),
                                Hex("F7 8C 8D 8A 02 0A 0D 12 00 11 12 00 16 00 13 14 FF") +
                                    static_cast<char>(0x7C ^ 0x02 ^ 0x0A ^ 0x0D ^ 0x12 ^ 0x11 ^
                                                      0x12 ^ 0x16 ^ 0x13 ^ 0x14 ^ 0xFF)}));
    EXPECT_EQ(FBench.FResults, (std::vector<QString>(2, QStringLiteral("send sucess"))));
    EXPECT_EQ(form.Settings().FlashRateIndex, -1);
}

// ---- Tries and results ----------------------------------------------------------

TEST_F(SignCommands, AcknowledgedAtTheSecondTry) {
    SignPeer peer(FPty, SignPeer::AnswerFrom(1));
    TForm1& form = Form();
    Click(form.Button3);
    const auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].Frame, frames[1].Frame);
    EXPECT_GE(frames[1].At - frames[0].At, milliseconds(900));
    EXPECT_EQ(FBench.FResults, std::vector<QString>{QStringLiteral("send sucess")});
}

TEST_F(SignCommands, NeverAnsweredDownloadTriesThreeTimesAndStillSaved) {
    Bytes fileAtFirstByte;
    SignPeer peer(FPty, SignPeer::Never());
    peer.OnFirstByte = [&] { fileAtFirstByte = ReadFile(FBench.SettingsFile().toStdString()); };
    TForm1& form = Form();
    form.SpinEdit11->SetValue(45);
    const milliseconds took = Click(form.Button1);
    const auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 3u);
    for (std::size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].Frame, frames[0].Frame);
        const auto gap = frames[i].At - frames[i - 1].At;
        EXPECT_GE(gap, milliseconds(950));
        EXPECT_LE(gap, milliseconds(2000));
    }
    EXPECT_GE(took, milliseconds(3000));
    EXPECT_EQ(FBench.FResults, std::vector<QString>{QStringLiteral("send error")});
    ASSERT_EQ(fileAtFirstByte.size(), SignSettingsFileSize);
    EXPECT_EQ(fileAtFirstByte[4], 45); // RegularSpeed, the second field
    EXPECT_FALSE(form.mycomm1->Connected());
    const auto rows = AuditRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("command"), "download");
    EXPECT_EQ(rows[0].at("tries"), "3");
    EXPECT_EQ(rows[0].at("outcome"), "no answer");
}

// The adapter pulled during a command (the pseudo-terminal's far end closed
// at the first byte): no more writes after the wait in which it went, "send
// error" as for any failure, and the log says why.
TEST_F(SignCommands, AdapterPulledDuringACommandEndsItAndIsLoggedAsGone) {
    SignPeer peer(FPty, SignPeer::Never());
    peer.OnFirstByte = [this] { FPty.CloseMaster(); };
    TForm1& form = Form();
    Click(form.Button3);
    EXPECT_EQ(FBench.FResults, std::vector<QString>{QStringLiteral("send error")});
    EXPECT_FALSE(form.mycomm1->Connected());
    const auto rows = AuditRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("tries"), "1");
    EXPECT_EQ(rows[0].at("outcome"), "the device has gone");
}

// The same on the fake, with codes that drivers give for a pulled adapter
// and with none at all (the wait's end asks then): one write, "send error",
// the port closed, the rows say gone.
TEST_F(SignCommands, APulledAdapterIsGoneWhateverCodeItsDriverGives) {
    comm::FakeCommApi fake;
    comm::ScopedCommApi use(fake);
    TForm1& form = FormOnFakePort(fake);
    fake.SetAutoAdvance(1); // each write waits a tick of the port's clock
    for (const std::uint32_t code :
         {comm::ERROR_BAD_COMMAND, comm::ERROR_OPERATION_ABORTED, comm::ERROR_SUCCESS}) {
        SCOPED_TRACE(code);
        fake.AddPort("COM3");
        const std::size_t writes = fake.CallCount("WriteFile");
        std::thread pull([&] {
            if (fake.WaitForCalls("WriteFile", writes + 1))
                fake.RemovePort("COM3", code);
        });
        Click(form.Button3);
        pull.join();
        EXPECT_EQ(FBench.FResults.back(), QStringLiteral("send error"));
        EXPECT_EQ(fake.CallCount("WriteFile"), writes + 1);
        EXPECT_FALSE(fake.IsOpen("COM3"));
    }
    const auto rows = AuditRows();
    ASSERT_EQ(rows.size(), 3u);
    for (const auto& row : rows) {
        EXPECT_EQ(row.at("tries"), "1");
        EXPECT_EQ(row.at("outcome"), "the device has gone");
    }
}

// No port, or a port another program holds: three writes into nothing, each
// wait its full second, then "send error"; nothing else is shown.
TEST_F(SignCommands, NoUsablePortEndsWithSendErrorAfterThreeSeconds) {
    TForm1& form = Form();
    form.ComboBox3->setCurrentIndex(-1);
    milliseconds took = Click(form.Button3);
    EXPECT_GE(took, milliseconds(3000));
    EXPECT_LT(took, milliseconds(4500));

    form.ComboBox3->setCurrentIndex(0);
    const int held = ::open(FPty.PortName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    {
        SignPeer peer(FPty, SignPeer::AnswerFrom(0));
        took = Click(form.Button3);
        EXPECT_TRUE(peer.Frames().empty());
    }
    ::close(held);
    EXPECT_GE(took, milliseconds(3000));
    EXPECT_EQ(FBench.FResults, (std::vector<QString>(2, QStringLiteral("send error"))));
    // The log says why: nothing chosen, then a port in use.
    const auto rows = AuditRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].at("port"), "");
    EXPECT_EQ(rows[0].at("outcome"), "no such port");
    EXPECT_EQ(rows[1].at("outcome"), "in use by another program");
    EXPECT_EQ(rows[1].at("tries"), "3");
}

// The real message box: empty title, OK only, no icon, modal to the program.
TEST_F(SignCommands, ResultMessageBox) {
    SignPeer peer(FPty, SignPeer::AnswerFrom(0));
    TForm1Options options = FBench.Options();
    options.ShowResult = nullptr;
    TForm1 form(options);
    QString title = QStringLiteral("?"), text;
    QMessageBox::Icon icon = QMessageBox::Critical;
    QMessageBox::StandardButtons buttons;
    Qt::WindowModality modality = Qt::NonModal;
    std::function<void()> poll = [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            QTimer::singleShot(10, poll);
            return;
        }
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        buttons = box->standardButtons();
        modality = box->windowModality();
        box->button(QMessageBox::Ok)->click();
    };
    QTimer::singleShot(10, poll);
    form.Button3->click();
    EXPECT_EQ(text, QStringLiteral("send sucess"));
    EXPECT_TRUE(title.isEmpty());
    EXPECT_EQ(icon, QMessageBox::NoIcon);
    EXPECT_EQ(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(modality, Qt::ApplicationModal);
}

// ---- Replies as they come -------------------------------------------------------

TEST_F(SignCommands, RepliesInPiecesAndWithNoise) {
    struct Row {
        const char* name;
        std::vector<SignPeer::Chunk> chunks;
        const char* label; // nullptr: not recognised
    };
    const std::vector<Row> rows = {
        {"noise and a false F7 first",
         {{Hex("00 55 F7 8C F7 8C 8D 8A 83 26 12 07 14 35 09 00")}},
         "12/07 2026  14:35"},
        {"split over two events",
         {{Hex("F7 8C 8D 8A 83 26")}, {Hex("12 07 14 35 00 00"), milliseconds(100)}},
         "12/07 2026  14:35"},
        {"not BCD", {{Hex("F7 8C 8D 8A 83 1A 1B FF 99 AA 00 00")}}, "1B/FF 201A  99:AA"},
        {"two replies at once",
         {{Hex("F7 8C 8D 8A 83 25 01 02 03 04 05 00 F7 8C 8D 8A 83 26 12 07 14 35 09 00")}},
         "01/02 2025  03:04"},
        {"wrong reply code", {{Hex("F7 8C 8D 8A 81 F7 8C 8D 8A 82")}}, nullptr},
    };
    TForm1& form = Form();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FBench.FResults.clear();
        form.Label24->setText(QStringLiteral("-"));
        int answered = 0;
        SignPeer peer(FPty, [&](const std::string&, int) {
            return answered++ == 0 ? row.chunks : std::vector<SignPeer::Chunk>{};
        });
        Click(form.Button3);
        if (row.label != nullptr) {
            EXPECT_EQ(form.Label24->text(), QString::fromLatin1(row.label));
            EXPECT_EQ(FBench.FResults, std::vector<QString>{QStringLiteral("send sucess")});
            EXPECT_EQ(peer.Frames().size(), 1u);
        } else {
            EXPECT_EQ(form.Label24->text(), QStringLiteral("-"));
            EXPECT_EQ(FBench.FResults, std::vector<QString>{QStringLiteral("send error")});
            EXPECT_EQ(peer.Frames().size(), 3u);
        }
    }
}

// ---- Port list -------------------------------------------------------------------

TEST_F(SignCommands, RefreshKeepsTheChosenPortByName) {
    PtyPair second, third;
    FBench.Link("ttyUSB5", second);
    TForm1& form = Form();
    ASSERT_EQ(form.ComboBox3->count(), 2);
    EXPECT_EQ(form.ComboBox3->itemText(1), FBench.Port("ttyUSB5"));
    form.ComboBox3->setCurrentIndex(1);
    // A new port before it: the chosen one stays chosen at its new place.
    FBench.Link("ttyUSB2", third);
    form.Button8->click();
    ASSERT_EQ(form.ComboBox3->count(), 3);
    EXPECT_EQ(form.ComboBox3->currentIndex(), 2);
    EXPECT_EQ(form.ComboBox3->currentText(), FBench.Port("ttyUSB5"));
    // The chosen one gone: the first.
    FBench.Unlink("ttyUSB5");
    form.Button8->click();
    EXPECT_EQ(form.ComboBox3->count(), 2);
    EXPECT_EQ(form.ComboBox3->currentIndex(), 0);
    // Nothing chosen: the first.
    form.ComboBox3->setCurrentIndex(-1);
    form.Button8->click();
    EXPECT_EQ(form.ComboBox3->currentIndex(), 0);
    // A port another program holds is not listed.
    const int held = ::open(FPty.PortName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    form.Button8->click();
    ::close(held);
    EXPECT_EQ(form.ComboBox3->count(), 1);
    EXPECT_EQ(form.ComboBox3->itemText(0), FBench.Port("ttyUSB2"));
    // None left: nothing selected.
    FBench.Unlink("ttyUSB0");
    FBench.Unlink("ttyUSB2");
    form.Button8->click();
    EXPECT_EQ(form.ComboBox3->count(), 0);
    EXPECT_EQ(form.ComboBox3->currentIndex(), -1);
}

TEST_F(SignCommands, SavedPortIndexSelectsAmongThePortsFound) {
    TSignSettings saved = DefaultSignSettings();
    saved.PortIndex = 1; // beyond the one port found
    const auto bytes = EncodeSignSettings(saved);
    WriteFile(FBench.SettingsFile().toStdString(), Bytes(bytes.begin(), bytes.end()));
    EXPECT_EQ(Form().ComboBox3->count(), 1);
    EXPECT_EQ(Form().ComboBox3->currentIndex(), -1);
}

// While a command runs, the port box and Refresh are disabled with the
// command buttons: another port chosen, or the port closed by a Refresh,
// would show the command's result beside a port it was not sent to. A sign
// that answers the second try shows that the command ran undisturbed.
TEST_F(SignCommands, ThePortCannotBeChangedDuringACommand) {
    PtyPair second;
    FBench.Link("ttyUSB5", second);
    SignPeer peer(FPty, SignPeer::AnswerFrom(1));
    TForm1& form = Form();
    ASSERT_EQ(form.ComboBox3->count(), 2);
    QWidget* const controls[] = {form.Button1, form.Button2, form.Button3, form.ComboBox3,
                                 form.Button8};
    std::vector<bool> enabledDuring;
    QTimer::singleShot(300, &form, [&] {
        for (QWidget* c : controls)
            enabledDuring.push_back(c->isEnabled());
        // What a technician would do: the next port by key and by wheel, Refresh.
        QTest::keyClick(form.ComboBox3, Qt::Key_Down);
        QWheelEvent wheel(QPointF(20, 12), form.ComboBox3->mapToGlobal(QPointF(20, 12)), QPoint(),
                          QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(form.ComboBox3, &wheel);
        form.Button8->click();
    });
    Click(form.Button3);
    EXPECT_EQ(enabledDuring, std::vector<bool>(std::size(controls), false));
    EXPECT_EQ(peer.Frames().size(), 2u);
    EXPECT_EQ(FBench.FResults, std::vector<QString>{QStringLiteral("send sucess")});
    EXPECT_EQ(form.ComboBox3->currentText(), FBench.Port("ttyUSB0"));
    for (QWidget* c : controls)
        EXPECT_TRUE(c->isEnabled()) << c->objectName().toStdString();
    EXPECT_EQ(AuditRows().back().at("port"), FBench.Port("ttyUSB0").toStdString());
}

// A port that appears or goes away changes the list without Refresh, the
// chosen port kept; during a command nothing changes until the command has
// ended, and the command's port stays open.
TEST_F(SignCommands, PortListFollowsThePortsAppearingAndGoing) {
    SignPeer peer(FPty, SignPeer::AnswerFrom(1));
    TForm1& form = Form();
    ASSERT_NE(form.PortWatcher(), nullptr);
    PtyPair second;
    FBench.Link("ttyUSB7", second);
    Q_EMIT form.PortWatcher()->Changed();
    ASSERT_EQ(form.ComboBox3->count(), 2);
    EXPECT_EQ(form.ComboBox3->currentText(), FBench.Port("ttyUSB0"));

    int countDuring = -1;
    bool openDuring = false;
    QTimer::singleShot(300, &form, [&] {
        FBench.Unlink("ttyUSB7");
        Q_EMIT form.PortWatcher()->Changed();
        countDuring = form.ComboBox3->count();
        openDuring = form.mycomm1->Connected();
    });
    Click(form.Button3); // acknowledged at the second try, after a second
    EXPECT_EQ(countDuring, 2);
    EXPECT_TRUE(openDuring);
    EXPECT_EQ(FBench.FResults, std::vector<QString>{QStringLiteral("send sucess")});
    QCoreApplication::processEvents();
    EXPECT_EQ(form.ComboBox3->count(), 1);
    EXPECT_EQ(form.ComboBox3->currentText(), FBench.Port("ttyUSB0"));
    // No tooltip for a pseudo-terminal: nothing is known of it.
    EXPECT_EQ(form.ComboBox3->itemData(0, Qt::ToolTipRole).toString(), QString());
    EXPECT_EQ(form.ComboBox3->toolTip(), QString());
}

// ---- Closing the window during a command -------------------------------------------

TEST_F(SignCommands, ClosingTheWindowDuringACommand) {
    SignPeer peer(FPty, SignPeer::Never());
    TForm1& form = Form();
    form.show();
    form.SpinEdit5->SetValue(33);
    QTimer::singleShot(300, &form, &QWidget::close);
    const milliseconds took = Click(form.Button1);
    EXPECT_LT(took, milliseconds(900)); // the wait was cut short
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(form.mycomm1->Connected());
    EXPECT_TRUE(FBench.FResults.empty()); // no message after the window has gone
    EXPECT_EQ(peer.Frames().size(), 1u);
    const Bytes saved = ReadFile(FBench.SettingsFile().toStdString());
    ASSERT_EQ(saved.size(), SignSettingsFileSize);
    EXPECT_EQ(saved[28], 33); // MorningSpeed
}

// ---- The port refuses while opening ----------------------------------------------------

TEST_F(SignCommands, ErrorWhileOpeningEndsTheCommand) {
    comm::FakeCommApi fake;
    comm::ScopedCommApi use(fake);
    TForm1& form = FormOnFakePort(fake);
    fake.FailNext("SetCommTimeouts", comm::ERROR_GEN_FAILURE);
    EXPECT_EQ(DownloadRaises(form), 8);
    EXPECT_TRUE(FBench.FResults.empty());
    for (QWidget* c : {static_cast<QWidget*>(form.Button1), static_cast<QWidget*>(form.Button2),
                       static_cast<QWidget*>(form.Button3), static_cast<QWidget*>(form.ComboBox3),
                       static_cast<QWidget*>(form.Button8)})
        EXPECT_TRUE(c->isEnabled()) << c->objectName().toStdString();
    EXPECT_FALSE(form.CommandRunning());
    EXPECT_FALSE(form.mycomm1->Connected());
}

// A driver that cannot report the modem lines: the open raises code 11 with
// the port open. The window shows it (the command ends; the port stays open
// until the next command or the window's end); a transaction whose
// OpenRaised hook takes it writes its frame as usual.
TEST_F(SignCommands, ModemLinesUnreadableAtOpening) {
    comm::FakeCommApi fake;
    comm::ScopedCommApi use(fake);
    TForm1& form = FormOnFakePort(fake);
    fake.FailNext("GetCommModemStatus", comm::ERROR_GEN_FAILURE);
    EXPECT_EQ(DownloadRaises(form), cport::CError_ModemStatFailed);
    EXPECT_TRUE(fake.Written("COM3").empty());
    EXPECT_FALSE(form.CommandRunning());
    EXPECT_TRUE(form.mycomm1->Connected());
    form.mycomm1->Close();
    fake.SetAutoAdvance(1); // each write waits a tick of the port's clock

    for (const bool take : {true, false}) {
        SCOPED_TRACE(take ? "taken" : "refused");
        cport::TComPort port(nullptr);
        sign::ConfigureSignPort(port);
        sign::TSignLink link;
        link.BeginRequest(sign::CmdReadTime, {});
        sign::TTransactionHooks hooks;
        int raised = 0;
        hooks.OpenRaised = [&](const cport::EComPort& e) {
            ++raised;
            EXPECT_EQ(e.ErrorCode(), cport::CError_ModemStatFailed);
            return take;
        };
        hooks.Wait = [](milliseconds) {};
        fake.FailNext("GetCommModemStatus", comm::ERROR_GEN_FAILURE);
        if (take) {
            const sign::TTransactionResult result = sign::RunTransaction(
                port, link, "COM3", {2, milliseconds(0), milliseconds(0)}, hooks);
            EXPECT_TRUE(result.Opened);
            EXPECT_EQ(result.Writes, 2);
            EXPECT_EQ(fake.TakeWritten("COM3"), link.Frame() + link.Frame());
        } else {
            EXPECT_THROW(sign::RunTransaction(port, link, "COM3",
                                              {2, milliseconds(0), milliseconds(0)}, hooks),
                         cport::EComPort);
            EXPECT_TRUE(port.Connected()); // as the open left it
            EXPECT_TRUE(fake.TakeWritten("COM3").empty());
        }
        EXPECT_EQ(raised, 1);
        port.Close();
    }
}

// ---- The wait itself -------------------------------------------------------------------

// The wait runs its whole time on a clock that passes 2^31 ms meanwhile (a
// 32-bit tick counter would turn negative there).
TEST(WaitForAck, RunsItsTimeAcrossTheTickCounterSign) {
    const auto offset = milliseconds(0x7FFFFFFFLL - 100) - Clock::now().time_since_epoch();
    const auto start = Clock::now();
    EXPECT_FALSE(sign::WaitForAck([] { return false; }, milliseconds(300),
                                  [&] { return Clock::now() + offset; }));
    EXPECT_GE(Clock::now() - start, milliseconds(300));
}

} // namespace
