// Tests of unit Spin on real widgets (offscreen platform): values and
// clamping, stepping, the key filter, the paste/cut guard, focus, the
// auto-repeat of the arrow buttons, the glyphs and the layout.
#include "spin/Spin.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QMenu>
#include <QMimeData>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionFrame>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <stdexcept>

// Readable QString values in failure messages.
void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

// A shown, active window with a spin edit and a plain field to move the
// focus to. Beeps are counted instead of sounded.
class SpinTest : public ::testing::Test {
protected:
    void SetUp() override {
        FPrevBeep = spin::SetBeepHook([this] { ++beeps; });
        window = std::make_unique<QWidget>();
        window->setStyle(FStyle.get());
        edit = new TSpinEdit(window.get());
        edit->setGeometry(10, 10, 41, 26);
        other = new QLineEdit(window.get());
        other->setGeometry(10, 50, 80, 26);
        window->resize(200, 100);
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }
    void TearDown() override {
        window.reset();
        spin::SetBeepHook(FPrevBeep);
    }

    void Range(int min, int max) {
        edit->SetMinValue(min);
        edit->SetMaxValue(max);
    }
    // Moves the focus into the field (from the other one): all selected.
    void FocusEdit() {
        if (edit->hasFocus()) {
            FocusOther();
        }
        edit->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(edit->hasFocus());
    }
    void FocusOther() {
        other->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(other->hasFocus());
    }
    // Replaces the text by typing (the focus arrives with all selected).
    void Type(const QString& keys) {
        FocusEdit();
        QTest::keyClicks(edit, keys);
    }
    static QPoint Centre(const QWidget* w) { return w->rect().center(); }

    int beeps = 0;
    std::unique_ptr<QWidget> window;
    TSpinEdit* edit = nullptr;
    QLineEdit* other = nullptr;

private:
    // One fixed style, so that frame widths (and the layout) are known.
    std::unique_ptr<QStyle> FStyle{QStyleFactory::create(QStringLiteral("Fusion"))};
    spin::BeepHook FPrevBeep;
};

// --- values ------------------------------------------------------------------

TEST_F(SpinTest, SettingValueClamps) {
    struct Row {
        int min, max, set;
        const char* text;
    } rows[] = {
        {0, 59, 75, "59"},
        {0, 59, -3, "0"},
        {0, 59, 42, "42"},
        {1, 99, 0, "1"},
        {0, 23, 30, "23"},
        {0, 0, 123456, "123456"}, // MinValue = MaxValue: not bounded
        {0, 0, INT_MIN, "-2147483648"},
        {5, 5, -7, "-7"},
        {-10, -2, 0, "-2"},
    };
    for (const Row& r : rows) {
        Range(r.min, r.max);
        edit->SetValue(r.set);
        EXPECT_EQ(edit->text(), r.text) << r.min << ".." << r.max << " := " << r.set;
        EXPECT_EQ(edit->Value(), edit->ClampValue(r.set));
    }
}

TEST_F(SpinTest, ReadingValueConvertsTextNeverClamps) {
    struct Row {
        const char* text;
        int min, max, value;
    } rows[] = {
        {"", 1, 99, 1}, // empty reads MinValue
        {"", 0, 59, 0},
        {"-", 0, 59, 0},   // lone sign
        {"+", 7, 9, 7},    //
        {".", 3, 9, 3},    // the decimal separator alone
        {"abc", 2, 9, 2},  // pasted letters
        {"1a", 2, 9, 2},   //
        {"75", 0, 59, 75}, // reading never clamps
        {"-3", 0, 59, -3},
        {"  12", 0, 59, 12}, // leading blanks
        {"+7", 0, 59, 7},
        {"$1F", 0, 0, 31}, // hexadecimal forms
        {"x10", 0, 0, 16},
        {"0x10", 0, 0, 16},
        {"-$10", 0, 0, -16},
        {"$FFFFFFFF", 0, 0, -1},
        {"2147483647", 0, 0, INT_MAX},
        {"-2147483648", 0, 0, INT_MIN},
        {"2147483648", 4, 4, 4}, // out of 32-bit range reads MinValue
        {"1.5", 6, 9, 6},
    };
    for (const Row& r : rows) {
        Range(r.min, r.max);
        edit->setText(QString::fromLatin1(r.text));
        EXPECT_EQ(edit->Value(), r.value) << '"' << r.text << '"';
    }
}

// --- typing and focus --------------------------------------------------------

TEST_F(SpinTest, TypedNumberIsClampedWhenFocusLeaves) {
    Range(0, 59);
    edit->setMaxLength(2);
    Type("75");
    EXPECT_EQ(edit->Value(), 75);
    // A popup or another window taking the focus does not end the entry.
    for (const auto reason : {Qt::PopupFocusReason, Qt::ActiveWindowFocusReason}) {
        QFocusEvent out(QEvent::FocusOut, reason);
        QApplication::sendEvent(edit, &out);
    }
    EXPECT_EQ(edit->text(), "75");
    FocusOther();
    EXPECT_EQ(edit->text(), "59");
    EXPECT_EQ(beeps, 0);
}

TEST_F(SpinTest, FocusLeavingClampsOnlyWhatNeedsIt) {
    struct Row {
        const char* text;
        int min, max;
        const char* after;
    } rows[] = {
        {"-", 0, 59, "-"}, // lone minus stays (reads MinValue)
        {"", 0, 59, ""},       {"42", 0, 59, "42"},
        {"-9", 0, 59, "0"},    {"-9", 0, 0, "-9"}, // unbounded
        {"0x1F", 0, 20, "20"},
    };
    for (const Row& r : rows) {
        Range(r.min, r.max);
        FocusEdit();
        edit->setText(QString::fromLatin1(r.text));
        FocusOther();
        EXPECT_EQ(edit->text(), r.after) << r.text;
    }
}

TEST_F(SpinTest, MaxLengthLimitsTypingNotTheProgram) {
    Range(0, 200);
    edit->setMaxLength(2);
    EXPECT_EQ(edit->maxLength(), 2);
    Type("123");
    EXPECT_EQ(edit->text(), "12");
    edit->SetValue(150); // set by the program: never cut
    EXPECT_EQ(edit->text(), "150");
    EXPECT_EQ(edit->Value(), 150);
}

TEST_F(SpinTest, KeyFilter) {
    struct Row {
        Qt::Key key;
        bool editorEnabled;
        const char* text; // after the key, starting from "12" with the cursor at the end
        int beeps;        // (Delete: with the cursor at the start)
    } rows[] = {
        {Qt::Key_Delete, true, "2", 0},      {Qt::Key_Delete, false, "12", 1},
        {Qt::Key_A, true, "12", 1},          // letters refused
        {Qt::Key_Space, true, "12", 1},      //
        {Qt::Key_Return, true, "12", 1},     // Enter beeps
        {Qt::Key_Enter, true, "12", 1},      //
        {Qt::Key_3, true, "123", 0},         // digits, signs
        {Qt::Key_Minus, true, "12-", 0},     //
        {Qt::Key_Plus, true, "12+", 0},      //
        {Qt::Key_Backspace, true, "1", 0},   //
        {Qt::Key_3, false, "12", 1},         // without the editor: typing refused
        {Qt::Key_Backspace, false, "12", 1}, //
        {Qt::Key_Return, false, "12", 1},    //
        {Qt::Key_Left, false, "12", 0},      // cursor keys still work
    };
    for (const Row& r : rows) {
        edit->SetEditorEnabled(r.editorEnabled);
        edit->setText(QStringLiteral("12"));
        FocusEdit();
        edit->setCursorPosition(r.key == Qt::Key_Delete ? 0 : 2);
        beeps = 0;
        QTest::keyClick(edit, r.key);
        EXPECT_EQ(edit->text(), r.text) << "key " << r.key << " editor " << r.editorEnabled;
        EXPECT_EQ(beeps, r.beeps) << "key " << r.key << " editor " << r.editorEnabled;
    }
}

// What keys cannot reach: the locale's separator and control characters.
TEST_F(SpinTest, AcceptsChar) {
    const QChar separator = edit->locale().decimalPoint().front();
    EXPECT_TRUE(edit->AcceptsChar(separator));
    for (const char16_t c : {u'x', u'$', u'\x7f', u'\x0d', u'\x100'}) {
        EXPECT_FALSE(edit->AcceptsChar(QChar(c))) << int(c);
    }
    EXPECT_TRUE(edit->AcceptsChar(QChar(u'\x16')));
    edit->SetEditorEnabled(false);
    EXPECT_FALSE(edit->AcceptsChar(separator));
    EXPECT_TRUE(edit->AcceptsChar(QChar(u'\x16'))); // still: Ctrl+V, refused as a paste
}

TEST_F(SpinTest, InputMethodCommitIsFiltered) {
    edit->setText(QString());
    FocusEdit();
    QInputMethodEvent digits;
    digits.setCommitString(QStringLiteral("12"));
    QApplication::sendEvent(edit, &digits);
    EXPECT_EQ(edit->text(), "12");
    QInputMethodEvent letters;
    letters.setCommitString(QStringLiteral("ab"));
    QApplication::sendEvent(edit, &letters);
    EXPECT_EQ(edit->text(), "12");
    EXPECT_EQ(beeps, 1);
}

TEST_F(SpinTest, FocusSelectsAllUnlessByLeftClickOnTheField) {
    edit->setText(QStringLiteral("42"));
    FocusEdit();
    EXPECT_EQ(edit->selectedText(), "42");
    FocusOther();
    edit->setFocus(Qt::OtherFocusReason);
    EXPECT_EQ(edit->selectedText(), "42");

    FocusOther();
    QTest::mouseClick(edit, Qt::LeftButton, {}, QPoint(5, edit->height() / 2));
    ASSERT_TRUE(edit->hasFocus());
    EXPECT_EQ(edit->selectedText(), "");

    // A press on an arrow focuses the field as the program would: all selected.
    FocusOther();
    TTimerSpeedButton* up = edit->Button()->UpButton();
    QTest::mousePress(up, Qt::LeftButton, {}, Centre(up));
    ASSERT_TRUE(edit->hasFocus());
    EXPECT_EQ(edit->selectedText(), "42");
    QTest::mouseRelease(up, Qt::LeftButton, {}, Centre(up));
    EXPECT_EQ(edit->text(), "43");

    edit->SetAutoSelect(false);
    FocusOther();
    FocusEdit();
    EXPECT_EQ(edit->selectedText(), "");
}

// --- paste and cut -------------------------------------------------------------

bool IsPasteOrCut(const QAction* a) {
    const QString shortcut = a->text().section('\t', 1);
    return shortcut == QKeySequence(QKeySequence::Paste).toString(QKeySequence::NativeText) ||
           shortcut == QKeySequence(QKeySequence::Cut).toString(QKeySequence::NativeText);
}

TEST_F(SpinTest, PastedLettersAreNotFiltered) {
    Range(3, 9);
    QApplication::clipboard()->setText(QStringLiteral("ab"));
    Type("5");
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(edit->text(), "5ab");
    EXPECT_EQ(edit->Value(), 3);
    EXPECT_EQ(beeps, 0);
    FocusOther(); // reads MinValue: nothing to clamp
    EXPECT_EQ(edit->text(), "5ab");
}

TEST_F(SpinTest, PasteAndCutBlockedWhenReadOnlyOrWithoutEditor) {
    enum class Mode { ReadOnly, NoEditor };
    for (const Mode mode : {Mode::ReadOnly, Mode::NoEditor}) {
        edit->setReadOnly(mode == Mode::ReadOnly);
        edit->SetEditorEnabled(mode != Mode::NoEditor);
        ASSERT_FALSE(edit->CanPasteOrCut());
        edit->setText(QStringLiteral("12"));
        QApplication::clipboard()->setText(QStringLiteral("99"));
        FocusEdit(); // all selected
        for (const auto& key :
             {QKeySequence(QKeySequence::Paste), QKeySequence(QKeySequence::Cut),
              QKeySequence(Qt::SHIFT | Qt::Key_Insert), QKeySequence(Qt::SHIFT | Qt::Key_Delete)}) {
            edit->selectAll();
            QTest::keySequence(edit, key);
            EXPECT_EQ(edit->text(), "12") << key.toString().toStdString();
            EXPECT_EQ(QApplication::clipboard()->text(), "99") << key.toString().toStdString();
        }

        // The context menu offers neither (read-only: Qt leaves them out).
        std::unique_ptr<QMenu> menu(edit->CreateContextMenu());
        for (QAction* a : menu->actions()) {
            EXPECT_FALSE(IsPasteOrCut(a) && a->isEnabled()) << a->text().toStdString();
        }

        QMimeData mime;
        mime.setText(QStringLiteral("77"));
        QDragEnterEvent enter(Centre(edit), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(edit, &enter);
        EXPECT_FALSE(enter.isAccepted());
        QDropEvent drop(QPointF(Centre(edit)), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(edit, &drop);
        EXPECT_EQ(edit->text(), "12");
    }
    // Both allowed again: the menu offers them.
    edit->setReadOnly(false);
    edit->SetEditorEnabled(true);
    edit->setText(QStringLiteral("12"));
    FocusEdit();
    QApplication::clipboard()->setText(QStringLiteral("99"));
    std::unique_ptr<QMenu> menu(edit->CreateContextMenu());
    int found = 0;
    for (QAction* a : menu->actions()) {
        if (IsPasteOrCut(a)) {
            ++found;
            EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();
        }
    }
    EXPECT_EQ(found, 2);
    QTest::keyClick(edit, Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(edit->text(), "");
    EXPECT_EQ(QApplication::clipboard()->text(), "12");
}

// Every user edit that Qt offers (insert, paste, drop, the menu's actions)
// passes the same guard: the length limit, and nothing without the editor.
TEST_F(SpinTest, UserEditsOutsideTheKeyboardAreGuarded) {
    QApplication::clipboard()->setText(QStringLiteral("7"));
    struct Row {
        bool editorEnabled, readOnly;
        int maxLength;
        const char* afterInsert; // "12", cursor at the end, insert("3")
        const char* afterPaste;  // "12", cursor at the end, paste() of "7"
    } rows[] = {
        {true, false, 0, "123", "127"}, {true, false, 2, "12", "12"},
        {true, false, 3, "123", "127"}, {false, false, 0, "12", "12"},
        {true, true, 0, "123", "12"}, // read-only: Qt's insert still works
    };
    for (const Row& r : rows) {
        edit->SetEditorEnabled(r.editorEnabled);
        edit->setReadOnly(r.readOnly);
        edit->setMaxLength(r.maxLength);
        edit->setText(QStringLiteral("12"));
        edit->insert(QStringLiteral("3"));
        EXPECT_EQ(edit->text(), r.afterInsert) << r.editorEnabled << r.readOnly << r.maxLength;
        edit->setText(QStringLiteral("12"));
        edit->paste();
        EXPECT_EQ(edit->text(), r.afterPaste) << r.editorEnabled << r.readOnly << r.maxLength;
        edit->setText(QStringLiteral("12"));
        edit->selectAll();
        edit->del();
        edit->backspace();
        EXPECT_EQ(edit->text().isEmpty(), r.editorEnabled);
    }
    // Text set by the program longer than the limit can still be shortened.
    edit->SetEditorEnabled(true);
    edit->setReadOnly(false);
    edit->setMaxLength(2);
    edit->setText(QStringLiteral("12345"));
    edit->backspace();
    EXPECT_EQ(edit->text(), "1234");
    edit->insert(QStringLiteral("9"));
    EXPECT_EQ(edit->text(), "1234");
    // The Qt property reaches the spin edit's own limit.
    edit->setProperty("maxLength", 4);
    EXPECT_EQ(edit->MaxLength(), 4);
}

// --- stepping ------------------------------------------------------------------

TEST_F(SpinTest, SteppingStopsAtBoundsAndSaturates) {
    struct Row {
        int min, max, inc;
        const char* start;
        bool up;
        const char* after;
    } rows[] = {
        {0, 59, 1, "58", true, "59"},
        {0, 59, 1, "59", true, "59"}, // at MaxValue
        {0, 59, 1, "0", false, "0"},  // at MinValue
        {0, 59, 5, "57", true, "59"},
        {0, 59, 1, "75", true, "59"}, // typed above the range
        {0, 59, 1, "-", true, "1"},   // not a number: MinValue + 1
        {1, 99, 1, "", false, "1"},
        {0, 0, 1, "2147483647", true, "2147483647"}, // unbounded: saturates
        {0, 0, 1, "-2147483648", false, "-2147483648"},
        {0, 0, INT_MAX, "5", true, "2147483647"},
        {0, 0, INT_MIN, "-1", true, "-2147483648"},
        {0, 0, INT_MIN, "1", false, "2147483647"},
        {0, 0, -3, "10", true, "7"},
        {5, 5, 1, "-2147483648", false, "-2147483648"},
    };
    for (const Row& r : rows) {
        Range(r.min, r.max);
        edit->SetIncrement(r.inc);
        edit->setText(QString::fromLatin1(r.start));
        if (r.up) {
            edit->StepUp(nullptr);
        } else {
            edit->StepDown(nullptr);
        }
        EXPECT_EQ(edit->text(), r.after) << r.start << (r.up ? " up" : " down") << " by " << r.inc;
    }
    EXPECT_EQ(beeps, 0);
}

TEST_F(SpinTest, ArrowKeysStepThenReachTheField) {
    Range(0, 59);
    edit->SetValue(10);
    FocusEdit();
    QTest::keyClick(edit, Qt::Key_Up);
    EXPECT_EQ(edit->Value(), 11);
    QTest::keyClick(edit, Qt::Key_Down);
    QTest::keyClick(edit, Qt::Key_Down);
    EXPECT_EQ(edit->Value(), 9);
    edit->SetEditorEnabled(false); // the arrows still work
    QTest::keyClick(edit, Qt::Key_Up);
    EXPECT_EQ(edit->Value(), 10);
    EXPECT_EQ(beeps, 0);
}

TEST_F(SpinTest, ReadOnlySteppingBeeps) {
    Range(0, 59);
    edit->SetValue(10);
    edit->setReadOnly(true);
    FocusEdit();
    edit->StepUp(nullptr);
    edit->StepDown(nullptr);
    QTest::keyClick(edit, Qt::Key_Up);
    TTimerSpeedButton* down = edit->Button()->DownButton();
    QTest::mouseClick(down, Qt::LeftButton, {}, Centre(down));
    EXPECT_EQ(edit->text(), "10");
    EXPECT_EQ(beeps, 4);
}

// --- auto-repeat ---------------------------------------------------------------

TEST_F(SpinTest, ShortClickStepsOnceOnRelease) {
    Range(0, 59);
    TTimerSpeedButton* up = edit->Button()->UpButton();
    EXPECT_EQ(up->RepeatTimer(), nullptr); // created at the first press
    QTest::mousePress(up, Qt::LeftButton, {}, Centre(up));
    EXPECT_EQ(edit->Value(), 0);
    QTest::mouseRelease(up, Qt::LeftButton, {}, Centre(up));
    EXPECT_EQ(edit->Value(), 1);
    ASSERT_NE(up->RepeatTimer(), nullptr);
    EXPECT_FALSE(up->RepeatTimer()->isActive());
    TTimerSpeedButton* down = edit->Button()->DownButton();
    QTest::mouseClick(down, Qt::LeftButton, {}, Centre(down));
    EXPECT_EQ(edit->Value(), 0);
}

TEST_F(SpinTest, HoldingAnArrowRepeats) {
    Range(0, 59);
    TTimerSpeedButton* up = edit->Button()->UpButton();
    const QPoint inside = Centre(up);
    const QPoint outside(up->width() + 20, up->height() + 20);

    QTest::mousePress(up, Qt::LeftButton, {}, inside);
    QTimer* timer = up->RepeatTimer();
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(timer->interval(), 400);
    EXPECT_TRUE(up->isDown());
    EXPECT_TRUE(up->HoldsMouse());
    EXPECT_EQ(edit->Value(), 0);

    // Ticks at 400, 500, ..., 1000 ms: seven steps.
    for (int tick = 1; tick <= 7; ++tick) {
        up->TimerExpired();
        EXPECT_EQ(timer->interval(), 100);
        EXPECT_EQ(edit->Value(), tick);
    }
    // Off the button: paused; back on: resumed.
    QTest::mouseMove(up, outside);
    EXPECT_FALSE(up->isDown());
    up->TimerExpired();
    up->TimerExpired();
    EXPECT_EQ(edit->Value(), 7);
    QTest::mouseMove(up, inside);
    EXPECT_TRUE(up->isDown());
    up->TimerExpired();
    EXPECT_EQ(edit->Value(), 8);
    // Release inside: one more, and the timer stops.
    QTest::mouseRelease(up, Qt::LeftButton, {}, inside);
    EXPECT_EQ(edit->Value(), 9);
    EXPECT_FALSE(timer->isActive());
    EXPECT_FALSE(up->HoldsMouse());
    up->TimerExpired(); // a late tick does nothing
    EXPECT_EQ(edit->Value(), 9);

    // Released outside: no click on release.
    QTest::mousePress(up, Qt::LeftButton, {}, inside);
    EXPECT_EQ(timer->interval(), 400); // each press starts again at 400 ms
    up->TimerExpired();
    QTest::mouseMove(up, outside);
    QTest::mouseRelease(up, Qt::LeftButton, {}, outside);
    EXPECT_EQ(edit->Value(), 10);
    EXPECT_FALSE(timer->isActive());
}

TEST_F(SpinTest, RealTimerRepeatsWhileHeld) {
    TTimerSpeedButton* down = edit->Button()->DownButton();
    edit->SetValue(100);
    QTest::mousePress(down, Qt::LeftButton, {}, Centre(down));
    // Waits on the event with a generous deadline; no timing is asserted.
    EXPECT_TRUE(QTest::qWaitFor([&] { return edit->Value() <= 98; }, 20000));
    QTest::mouseRelease(down, Qt::LeftButton, {}, Centre(down));
    EXPECT_FALSE(down->RepeatTimer()->isActive());
}

TEST_F(SpinTest, OtherButtonsAndCancelledPressesDoNotRepeat) {
    TTimerSpeedButton* up = edit->Button()->UpButton();
    QTest::mousePress(up, Qt::RightButton, {}, Centre(up));
    ASSERT_NE(up->RepeatTimer(), nullptr);
    EXPECT_TRUE(up->RepeatTimer()->isActive()); // any press starts the timer ...
    up->TimerExpired();
    EXPECT_EQ(edit->Value(), 0); // ... but only a held left button clicks
    QTest::mouseRelease(up, Qt::RightButton, {}, Centre(up));
    EXPECT_FALSE(up->RepeatTimer()->isActive());
    EXPECT_EQ(edit->Value(), 0);

    // A press that never sees its release (the button is disabled or hidden
    // meanwhile) stops repeating.
    QTest::mousePress(up, Qt::LeftButton, {}, Centre(up));
    edit->setEnabled(false);
    EXPECT_FALSE(up->RepeatTimer()->isActive());
    up->TimerExpired();
    EXPECT_EQ(edit->Value(), 0);
}

TEST(SpinButton, ErrorOfARepeatedClickStopsTheTimer) {
    TSpinButton button;
    button.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&button));
    int clicks = 0;
    button.SetOnUpClick([&](QObject* sender) {
        EXPECT_EQ(sender, &button);
        if (++clicks == 2) {
            throw std::runtime_error("boom");
        }
    });
    TTimerSpeedButton* up = button.UpButton();
    QTest::mousePress(up, Qt::LeftButton, {}, up->rect().center());
    up->TimerExpired();
    EXPECT_THROW(up->TimerExpired(), std::runtime_error);
    EXPECT_FALSE(up->RepeatTimer()->isActive());
    EXPECT_EQ(clicks, 2);
    button.SetOnUpClick({});
    QTest::mouseRelease(up, Qt::LeftButton, {}, up->rect().center());
}

// --- the spin button on its own ----------------------------------------------------

TEST(SpinButton, KeysAndFocusFrameAsTabStop) {
    QWidget window;
    auto* button = new TSpinButton(&window);
    auto* field = new QLineEdit(&window);
    field->move(0, 40);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    EXPECT_EQ(button->size(), QSize(20, 25));
    int ups = 0;
    int downs = 0;
    button->SetOnUpClick([&](QObject*) { ++ups; });
    button->SetOnDownClick([&](QObject*) { ++downs; });
    TTimerSpeedButton* up = button->UpButton();
    TTimerSpeedButton* down = button->DownButton();
    EXPECT_EQ(up->focusPolicy(), Qt::NoFocus);

    // Not a tab stop: a press leaves the focus and the focused button alone.
    field->setFocus();
    QTest::mouseClick(down, Qt::LeftButton, {}, down->rect().center());
    EXPECT_EQ(downs, 1);
    EXPECT_TRUE(field->hasFocus());
    EXPECT_EQ(button->FocusedButton(), up);

    button->SetTabStop(true);
    QTest::mousePress(down, Qt::LeftButton, {}, down->rect().center());
    EXPECT_TRUE(button->hasFocus());
    EXPECT_EQ(button->FocusedButton(), down);
    ASSERT_TRUE(down->FocusRect().has_value());
    EXPECT_EQ(*down->FocusRect(), down->rect().adjusted(3, 3, -3, -3).translated(1, 1));
    QTest::mouseRelease(down, Qt::LeftButton, {}, down->rect().center());
    EXPECT_EQ(*down->FocusRect(), down->rect().adjusted(3, 3, -3, -3));
    EXPECT_FALSE(up->FocusRect().has_value());
    EXPECT_EQ(downs, 2);

    QTest::keyClick(button, Qt::Key_Space);
    EXPECT_EQ(downs, 3);
    QTest::keyClick(button, Qt::Key_Up);
    EXPECT_EQ(ups, 1);
    EXPECT_EQ(button->FocusedButton(), up);
    EXPECT_TRUE(up->FocusRect().has_value());
    EXPECT_FALSE(down->FocusRect().has_value());
    QTest::keyClick(button, Qt::Key_Space);
    EXPECT_EQ(ups, 2);
    QTest::keyClick(button, Qt::Key_Down);
    EXPECT_EQ(downs, 4);

    field->setFocus();
    EXPECT_FALSE(up->FocusRect().has_value());
    EXPECT_FALSE(down->FocusRect().has_value());

    // With a focus control that can take the focus, a press focuses it.
    auto* target = new QLineEdit(&window);
    target->move(0, 80);
    target->show();
    button->SetFocusControl(target);
    QTest::mouseClick(up, Qt::LeftButton, {}, up->rect().center());
    EXPECT_TRUE(target->hasFocus());
    delete target; // cleared with the control
    EXPECT_EQ(button->FocusControl(), nullptr);
}

// --- glyphs ------------------------------------------------------------------------

const char* const SpinUpRows[] = {
    ".........", //
    "....#....", //
    "...###...", //
    "..#####..", //
    ".#######.", //
    ".........", //
};

std::string Rows(const QImage& image) {
    std::string out;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            out += p == qRgb(0, 0, 0) ? '#' : p == qRgb(128, 128, 0) ? '.' : '?';
        }
        out += '\n';
    }
    return out;
}

TEST(SpinGlyphs, BuiltInBitmaps) {
    std::string up, down;
    for (int y = 0; y < 6; ++y) {
        up += std::string(SpinUpRows[y]) + '\n';
        down += std::string(SpinUpRows[5 - y]) + '\n';
    }
    const QImage spinUp = spin::LoadGlyphBitmap("SPINUP");
    const QImage spinDown = spin::LoadGlyphBitmap("SPINDOWN");
    ASSERT_EQ(spinUp.size(), QSize(9, 6));
    ASSERT_EQ(spinDown.size(), QSize(9, 6));
    EXPECT_EQ(spinUp.colorCount(), 16);
    EXPECT_EQ(Rows(spinUp), up);
    EXPECT_EQ(Rows(spinDown), down);
    EXPECT_TRUE(spin::LoadGlyphBitmap("SPINLEFT").isNull());
    EXPECT_TRUE(spin::LoadGlyphBitmap(nullptr).isNull());
}

TEST(SpinGlyphs, GlyphProperties) {
    TSpinButton button;
    EXPECT_EQ(button.UpGlyph(), spin::LoadGlyphBitmap("SPINUP"));
    EXPECT_EQ(button.DownGlyph(), spin::LoadGlyphBitmap("SPINDOWN"));
    EXPECT_EQ(button.UpNumGlyphs(), 1);
    EXPECT_EQ(button.DownNumGlyphs(), 1);

    QImage custom(20, 8, QImage::Format_RGB32);
    custom.fill(Qt::red);
    button.SetUpGlyph(custom);
    button.SetUpNumGlyphs(2);
    EXPECT_EQ(button.UpGlyph(), custom);
    EXPECT_EQ(button.UpNumGlyphs(), 2);
    button.SetUpNumGlyphs(0); // out of 1..4: ignored
    EXPECT_EQ(button.UpNumGlyphs(), 2);
    button.SetUpGlyph(QImage()); // none: the built-in one, one image
    EXPECT_EQ(button.UpGlyph(), spin::LoadGlyphBitmap("SPINUP"));
    EXPECT_EQ(button.UpNumGlyphs(), 1);
    button.SetDownNumGlyphs(3);
    button.SetDownGlyph(QImage());
    EXPECT_EQ(button.DownNumGlyphs(), 1);
}

// The rendered arrow: black triangle in the middle of the button, the olive
// background drawn transparent (no olive pixel anywhere).
TEST(SpinGlyphs, DrawnTransparentAndCentred) {
    TSpinButton button;
    button.resize(15, 21);
    const QImage up = button.UpButton()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(up.size(), QSize(15, 10));
    int black = 0;
    QRect box;
    for (int y = 0; y < up.height(); ++y) {
        for (int x = 0; x < up.width(); ++x) {
            EXPECT_NE(up.pixel(x, y), qRgb(128, 128, 0)) << x << "," << y;
            if (up.pixel(x, y) == qRgb(0, 0, 0) && x > 1 && y > 1 && x < 13 && y < 8) {
                ++black;
                box |= QRect(x, y, 1, 1);
            }
        }
    }
    EXPECT_EQ(black, 16);
    EXPECT_EQ(box, QRect(4, 3, 7, 4)); // glyph at ((15-9+1)/2, (10-6+1)/2) + rows 1..4
}

// --- layout --------------------------------------------------------------------------

TEST(SpinButton, Layout) {
    struct Row {
        QSize size;
        QRect upper, lower;
    } rows[] = {
        {{15, 21}, {0, 0, 15, 10}, {0, 9, 15, 12}},
        {{10, 23}, {0, 0, 15, 11}, {0, 10, 15, 13}}, // width raised to 15
    };
    for (const Row& r : rows) {
        TSpinButton button;
        button.resize(r.size);
        button.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&button));
        EXPECT_EQ(button.width(), std::max(15, r.size.width()));
        EXPECT_EQ(button.UpButton()->geometry(), r.upper)
            << r.size.width() << "x" << r.size.height();
        EXPECT_EQ(button.DownButton()->geometry(), r.lower)
            << r.size.width() << "x" << r.size.height();
    }
}

TEST_F(SpinTest, LayoutOfTheWindowsSizes) {
    // Fusion's line edit frame (1 pixel) is the border: the button sits inside
    // it, one pixel clear of the right and bottom side.
    QStyleOptionFrame option;
    option.initFrom(edit);
    const int border = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
    ASSERT_EQ(border, 1);
    struct Row {
        int width;
        QRect button, upper, lower;
    } rows[] = {
        {41, {24, 1, 15, 23}, {0, 0, 15, 11}, {0, 10, 15, 13}},
        {81, {64, 1, 15, 23}, {0, 0, 15, 11}, {0, 10, 15, 13}},
    };
    // The window's 16-pixel, 8-pixel-per-character face (scripts/setup).
    QFont font(QStringLiteral("Unifont"));
    font.setPixelSize(16);
    edit->setFont(font);
    ASSERT_LE(edit->MinHeight(), 26) << "font " << QFontInfo(font).family().toStdString();
    for (const Row& r : rows) {
        edit->resize(r.width, 26);
        ASSERT_EQ(edit->size(), QSize(r.width, 26));
        TSpinButton* b = edit->Button();
        EXPECT_EQ(b->geometry(), r.button) << r.width;
        EXPECT_EQ(b->UpButton()->geometry(), r.upper) << r.width;
        EXPECT_EQ(b->DownButton()->geometry(), r.lower) << r.width;
        EXPECT_EQ(edit->textMargins(), QMargins(0, 0, 17, 0));
        edit->setText(QStringLiteral("88"));
        // The text area ends before the buttons.
        const QRect cursorAtEnd = edit->inputMethodQuery(Qt::ImCursorRectangle).toRect();
        EXPECT_LT(cursorAtEnd.center().x(), b->geometry().left()) << r.width;
    }

    edit->setFrame(false);
    edit->resize(41, 26);
    EXPECT_EQ(edit->Button()->geometry(), QRect(26, 1, 15, 23));
}

TEST_F(SpinTest, MinimumHeight) {
    QFont font = edit->font();
    for (const int px : {10, 16, 24}) {
        font.setPixelSize(px);
        edit->setFont(font);
        const int field = QFontMetrics(font).height();
        const int system =
            QFontMetrics(QFontDatabase::systemFont(QFontDatabase::GeneralFont)).height();
        const int expected = field + std::min(system, field) / 4 + 4 + 2;
        EXPECT_EQ(edit->MinHeight(), expected) << px;
        edit->resize(41, 5);
        EXPECT_EQ(edit->height(), expected) << px;
        edit->resize(41, expected + 7);
        EXPECT_EQ(edit->height(), expected + 7) << px;
    }
}

// --- rendering -----------------------------------------------------------------------

// Renders spin edits as the window shows them: each enabled one draws both
// black arrows inside its button. With RC_SPIN_PNG set to a file name the
// picture is also written there, four times enlarged, for looking at.
TEST_F(SpinTest, RendersBothArrowsInsideTheButton) {
    QWidget board;
    board.setStyle(window->style());
    QFont font(QStringLiteral("Unifont"));
    font.setPixelSize(16);
    board.setFont(font);
    board.resize(220, 140);
    std::vector<TSpinEdit*> enabledEdits;
    int y = 8;
    for (const auto& [w, v, enabled] : {std::tuple{41, 23, true}, std::tuple{41, 5, true},
                                        std::tuple{81, 99, true}, std::tuple{81, 1, false}}) {
        auto* e = new TSpinEdit(&board);
        e->SetMinValue(0);
        e->SetMaxValue(99);
        e->setGeometry(8, y, w, 26);
        e->SetValue(v);
        e->setEnabled(enabled);
        if (enabled)
            enabledEdits.push_back(e);
        y += 32;
    }
    auto* wide = new TSpinEdit(&board);
    wide->setGeometry(100, 8, 81, 26);
    wide->setText(QStringLiteral("12345678901"));
    enabledEdits.push_back(wide);
    auto* pressed = new TSpinEdit(&board);
    pressed->setGeometry(100, 40, 41, 26);
    pressed->Button()->DownButton()->setDown(true);
    board.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&board));
    const QImage image = board.grab().toImage();

    for (TSpinEdit* e : enabledEdits) {
        const QRect button = e->Button()->geometry().translated(e->pos());
        int black = 0;
        for (int py = button.top(); py <= button.bottom(); ++py) {
            for (int px = button.left(); px <= button.right(); ++px) {
                black += (image.pixel(px, py) & 0xFFFFFF) == 0 ? 1 : 0;
            }
        }
        EXPECT_GE(black, 2 * (1 + 3 + 5 + 7)) << "spin edit at " << e->y();
    }

    const QByteArray path = qgetenv("RC_SPIN_PNG");
    if (!path.isEmpty()) {
        EXPECT_TRUE(board.grab().scaled(board.size() * 4).save(QString::fromLocal8Bit(path)));
    }
}

} // namespace
