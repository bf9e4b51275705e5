// The window from the keyboard, as Windows users work it: Return or Enter
// presses the button that has the focus, and when the result box closes
// (here with Return too) the focus is back on the button that was pressed.
// The real TForm1 and its message box, on the offscreen platform, with a
// sign at the far end of a pseudo-terminal.
#include "configurator/Unit1.h"
#include "sign/SignLink.h"

#include "host/qt/QtMainLoop.h"
#include "spin/Spin.h"
#include "tests/configurator/SignBench.h"
#include "tests/support/PtyPair.h"

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace rc_test;

// Closes each result box with Return as soon as it is up (one that Return
// does not close is closed after five seconds, and said so), keeping its
// text and the window's focus while it was up.
class ResultBoxes {
public:
    ResultBoxes() {
        QObject::connect(&FTimer, &QTimer::timeout, [this] { Look(); });
        FTimer.start(10);
    }
    std::vector<std::string> Texts;

private:
    void Look() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            FUpSince.reset();
            return;
        }
        if (!FUpSince) {
            FUpSince = Clock::now();
            Texts.push_back(box->text().toStdString());
            QTest::keyClick(box, Qt::Key_Return);
        } else if (Clock::now() - *FUpSince > std::chrono::seconds(5)) {
            ADD_FAILURE() << "Return did not close the result box";
            box->done(0);
        }
    }
    QTimer FTimer;
    std::optional<Clock::time_point> FUpSince;
};

class Keyboard : public ::testing::Test {
protected:
    host::qt::TQtMainLoop FLoop;
    SignBench FBench;
    PtyPair FPty;
    std::unique_ptr<TForm1> FForm;

    // The window, shown and active, its port box on the sign's port; the
    // result in the real message box.
    TForm1& Form() {
        FBench.Link("ttyUSB0", FPty);
        TForm1Options options = FBench.Options();
        options.ShowResult = {};
        options.WatchPorts = false;
        FForm = std::make_unique<TForm1>(options);
        FForm->ComboBox3->setCurrentIndex(FForm->ComboBox3->findText(FBench.Port("ttyUSB0")));
        FForm->show();
        FForm->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(FForm.get()));
        return *FForm;
    }
};

// Each command's button, given the focus, pressed with Return or the keypad's
// Enter (or clicked): the sign gets the command's frame once, the result box
// says so, and the focus is on the button again when the box has closed.
TEST_F(Keyboard, EnterPressesTheFocusedButtonAndTheFocusComesBackToIt) {
    SignPeer peer(FPty, SignPeer::AnswerFrom(0));
    TForm1& form = Form();
    ResultBoxes boxes;
    const struct {
        const char* how;
        QPushButton* button;
        std::function<void(QPushButton*)> press;
        unsigned char code;
    } rows[] = {
        {"Read Time, Return", form.Button3,
         [](QPushButton* b) { QTest::keyClick(b, Qt::Key_Return); }, sign::CmdReadTime},
        {"Send Time, the keypad's Enter", form.Button2,
         [](QPushButton* b) { QTest::keyClick(b, Qt::Key_Enter, Qt::KeypadModifier); },
         sign::CmdSetTime},
        {"Download, Return", form.Button1,
         [](QPushButton* b) { QTest::keyClick(b, Qt::Key_Return); }, sign::CmdDownload},
        {"Read Time, Space", form.Button3,
         [](QPushButton* b) { QTest::keyClick(b, Qt::Key_Space); }, sign::CmdReadTime},
        {"Send Time, a click", form.Button2,
         [](QPushButton* b) { QTest::mouseClick(b, Qt::LeftButton); }, sign::CmdSetTime},
    };
    std::size_t frames = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.how);
        // Another control has the focus; the click gives it to the button.
        form.SpinEdit1->setFocus();
        if (std::string(row.how).find("click") == std::string::npos)
            row.button->setFocus();
        row.press(row.button);
        ASSERT_EQ(boxes.Texts.size(), frames + 1) << "no result box";
        EXPECT_EQ(boxes.Texts.back(), "send sucess");
        ASSERT_EQ(peer.Frames().size(), frames + 1);
        EXPECT_EQ(static_cast<unsigned char>(peer.Frames().back().Frame[4]), row.code);
        ++frames;
        EXPECT_FALSE(form.CommandRunning());
        EXPECT_TRUE(row.button->isEnabled());
        EXPECT_EQ(form.focusWidget(), row.button)
            << (form.focusWidget() ? form.focusWidget()->objectName().toStdString() : "none");
    }
}

// What presses no command button: a key held down (its repeats), Return with
// Ctrl or Alt, Return on another control. Return on "Refresh" scans again
// and keeps the focus there.
TEST_F(Keyboard, OnlyAPlainEnterOnAButtonPressesIt) {
    SignPeer peer(FPty, SignPeer::AnswerFrom(0));
    TForm1& form = Form();
    ResultBoxes boxes;
    const struct {
        const char* what;
        QWidget* target;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        bool repeat;
    } rows[] = {
        {"Return held down", form.Button3, Qt::Key_Return, Qt::NoModifier, true},
        {"Ctrl+Return", form.Button3, Qt::Key_Return, Qt::ControlModifier, false},
        {"Alt+Return", form.Button1, Qt::Key_Return, Qt::AltModifier, false},
        {"Return in an entry", form.SpinEdit5, Qt::Key_Return, Qt::NoModifier, false},
        {"Return in the rate box", form.ComboBox1, Qt::Key_Return, Qt::NoModifier, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        row.target->setFocus();
        QKeyEvent press(QEvent::KeyPress, row.key, row.modifiers, QString(), row.repeat);
        QApplication::sendEvent(row.target, &press);
        QKeyEvent release(QEvent::KeyRelease, row.key, row.modifiers, QString(), row.repeat);
        QApplication::sendEvent(row.target, &release);
        // A command runs inside the key's handling: it would be done now.
        EXPECT_TRUE(boxes.Texts.empty());
        EXPECT_TRUE(peer.Frames().empty());
        EXPECT_EQ(form.focusWidget(), row.target);
    }
    // Refresh: the list again, the port kept, the focus where it was.
    const QString port = form.ComboBox3->currentText();
    form.Button8->setFocus();
    QTest::keyClick(form.Button8, Qt::Key_Return);
    EXPECT_EQ(form.ComboBox3->currentText(), port);
    EXPECT_EQ(form.focusWidget(), form.Button8);
    EXPECT_TRUE(boxes.Texts.empty());
    EXPECT_TRUE(peer.Frames().empty());
}

// A command whose sign does not answer ends with "send error": the focus
// comes back all the same; a command started without the focus on its
// button (from the code) leaves the focus where it was.
TEST_F(Keyboard, TheFocusComesBackAfterAFailureAndStaysPutWithoutAPress) {
    // Silent to the three writes of the first command, then answering.
    SignPeer peer(FPty, SignPeer::AnswerFrom(3));
    TForm1& form = Form();
    ResultBoxes boxes;
    form.Button3->setFocus();
    QTest::keyClick(form.Button3, Qt::Key_Return);
    ASSERT_EQ(boxes.Texts, std::vector<std::string>{"send error"});
    EXPECT_EQ(form.focusWidget(), form.Button3);

    form.SpinEdit11->setFocus();
    form.Button2Click();
    ASSERT_EQ(boxes.Texts.size(), 2u);
    EXPECT_EQ(boxes.Texts.back(), "send sucess");
    EXPECT_EQ(form.focusWidget(), form.SpinEdit11);
}

} // namespace
