#pragma once
// Unit Spin: the spin edit control (TSpinEdit), its pair of arrow buttons
// (TSpinButton) and the auto-repeating arrow button (TTimerSpeedButton).
//
// Threading: everything here lives on the GUI thread and must only be created,
// used and destroyed there. The repeat timer is a QTimer of the GUI thread;
// its ticks arrive as events of the same thread. Nothing blocks.
//
// Errors: nothing here raises on bad input. Text that is not a number reads as
// MinValue; refused keystrokes and stepping a read-only field beep (spin::Beep).

#include <QAbstractButton>
#include <QImage>
#include <QLineEdit>
#include <QPointer>

#include <cstdint>
#include <functional>
#include <optional>

class QMenu;
class QTimer;
class TSpinButton;
class TTimerSpeedButton;

namespace spin {

// The default beep of the unit. Calls the hook set with SetBeepHook, or
// QApplication::beep() when none is set.
void Beep();

using BeepHook = std::function<void()>;
// Replaces the beep (an empty function restores QApplication::beep());
// returns the previous hook. Meant for tests that count beeps.
BeepHook SetBeepHook(BeepHook hook);

// The built-in arrow bitmaps by resource name: "SPINUP" and "SPINDOWN", each
// 9 x 6 pixels, 16 colours (indexed), a black triangle on olive (128, 128, 0),
// the colour drawn as transparent. Any other name gives a null image.
QImage LoadGlyphBitmap(const char* name);

// Event property type: a handler called with the component as Sender.
using TNotifyEvent = std::function<void(QObject* Sender)>;

} // namespace spin

// One arrow button: a flat button that never takes the keyboard focus and
// shows a bitmap glyph. With RepeatAllowed, holding it down clicks it again
// and again (first after 400 ms, then every 100 ms) while the pointer stays on
// it; a click (clicked() signal) is also given on release inside the button.
class TTimerSpeedButton : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int InitialRepeatPause = 400; // ms, press to first repeat
    static constexpr int RepeatPause = 100;        // ms, between repeats

    explicit TTimerSpeedButton(QWidget* parent = nullptr);
    ~TTimerSpeedButton() override;

    // The glyph: NumGlyphs images of equal width side by side (normal,
    // disabled, pressed, latched; missing ones fall back to the normal one,
    // a missing disabled image is drawn embossed in grey). The colour of the
    // bottom-left pixel is transparent unless the image has an alpha channel.
    QImage Glyph() const { return FGlyph; }
    void SetGlyph(const QImage& glyph);
    int NumGlyphs() const { return FNumGlyphs; }
    void SetNumGlyphs(int count); // 1..4; other values are ignored

    bool RepeatAllowed() const { return FRepeatAllowed; }
    void SetRepeatAllowed(bool allowed) { FRepeatAllowed = allowed; }
    // Draw a focus rectangle (the button inset by 3 pixels, moved by 1 pixel
    // down and right while pressed).
    bool FocusFrame() const { return FFocusFrame; }
    void SetFocusFrame(bool on);
    // Where the focus rectangle is drawn now; nothing when FocusFrame is off.
    std::optional<QRect> FocusRect() const;

    // Clicks the button: emits clicked(). What a repeat does.
    void Click();

    // The repeat timer: null until the first press, then owned by the button.
    QTimer* RepeatTimer() const { return FRepeatTimer; }
    // One tick of the repeat timer: sets the interval to 100 ms and clicks if
    // the button is shown pressed and holds the mouse. An error raised by the
    // click stops the timer and is passed on. Public so the repeat sequence
    // can be driven without waiting.
    void TimerExpired();
    // Whether the button holds the mouse (left button pressed on it, not yet
    // released).
    bool HoldsMouse() const { return FHoldsMouse; }

    // Called after the button's own press handling, before the repeat timer
    // starts (the spin button moves the focus there).
    std::function<void(TTimerSpeedButton* Sender, Qt::MouseButton button)> OnMouseDown;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    // Ends a press that will get no release: window deactivated, button
    // disabled or hidden.
    void CancelPress();

    QImage FGlyph;
    int FNumGlyphs = 1;
    bool FRepeatAllowed = false;
    bool FFocusFrame = false;
    bool FHoldsMouse = false;
    QTimer* FRepeatTimer = nullptr;
};

// The pair of arrow buttons: the upper one raises OnUpClick, the lower one
// OnDownClick (Sender: the spin button). Width at least 15; the upper button
// takes the top half (height h / 2), the lower one starts one pixel above the
// upper one's bottom edge and reaches the bottom. Created 20 x 25.
//
// A left press on an arrow focuses FocusControl (when set, a tab stop, able
// to take the focus and not having it), otherwise the spin button itself when
// it is a tab stop. As a tab stop (off by default) it takes space (click the
// focused arrow), up and down (focus that arrow and click it), and shows a
// focus rectangle on its focused arrow while it has the focus.
class TSpinButton : public QWidget {
    Q_OBJECT
public:
    static constexpr int MinWidth = 15;

    explicit TSpinButton(QWidget* parent = nullptr);
    ~TSpinButton() override;

    // Setting a null image loads the built-in "SPINUP" / "SPINDOWN" bitmap and
    // sets that button's glyph count to 1.
    QImage UpGlyph() const;
    void SetUpGlyph(const QImage& glyph);
    QImage DownGlyph() const;
    void SetDownGlyph(const QImage& glyph);
    int UpNumGlyphs() const;
    void SetUpNumGlyphs(int count);
    int DownNumGlyphs() const;
    void SetDownNumGlyphs(int count);

    // The control that a press on an arrow focuses; cleared when it is
    // destroyed.
    QWidget* FocusControl() const { return FFocusControl; }
    void SetFocusControl(QWidget* control) { FFocusControl = control; }

    // Tab stop: takes the focus with the tab key and from a press on an arrow.
    bool TabStop() const;
    void SetTabStop(bool on);

    const spin::TNotifyEvent& OnUpClick() const { return FOnUpClick; }
    void SetOnUpClick(spin::TNotifyEvent handler) { FOnUpClick = std::move(handler); }
    const spin::TNotifyEvent& OnDownClick() const { return FOnDownClick; }
    void SetOnDownClick(spin::TNotifyEvent handler) { FOnDownClick = std::move(handler); }

    TTimerSpeedButton* UpButton() const { return FUpButton; }
    TTimerSpeedButton* DownButton() const { return FDownButton; }
    TTimerSpeedButton* FocusedButton() const { return FFocusedButton; }

    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void AdjustButtons();
    void BtnMouseDown(TTimerSpeedButton* sender, Qt::MouseButton button);
    void BtnClick(TTimerSpeedButton* sender);
    void SetFocusBtn(TTimerSpeedButton* button);

    TTimerSpeedButton* FUpButton = nullptr;
    TTimerSpeedButton* FDownButton = nullptr;
    TTimerSpeedButton* FFocusedButton = nullptr;
    QPointer<QWidget> FFocusControl;
    spin::TNotifyEvent FOnUpClick;
    spin::TNotifyEvent FOnDownClick;
};

// A one-line field for a whole number with a pair of arrow buttons at its
// right edge (owned, created with it: 15 x 17, visible, FocusControl = this).
//
// Value is not stored apart from the text. Typing accepts digits, '+', '-',
// the locale's decimal separator and control characters other than Enter;
// refused characters beep. The up / down arrows (buttons and keys) step by
// Increment and never wrap; a press on an arrow focuses the field. Enter is
// refused like any other character (beep, no returnPressed). The typed text
// is clamped into MinValue..MaxValue when the field loses the focus to another
// control (not when the window loses activation or a popup opens).
//
// Layout: the arrow buttons sit at the right edge inside the frame, one pixel
// clear of its right and bottom side (without a frame: flush right, top 1,
// height - 3); the text keeps clear of them (a right text margin of button
// width + 2). The field is never lower than MinHeight().
class TSpinEdit : public QLineEdit {
    Q_OBJECT
    // The field's own length limit (see setMaxLength).
    Q_PROPERTY(int maxLength READ maxLength WRITE setMaxLength)
public:
    explicit TSpinEdit(QWidget* parent = nullptr);
    ~TSpinEdit() override;

    // The number in the text, read with host::TryStrToInt (leading blanks,
    // sign, decimal, or hexadecimal after "$", "x", "0x"); MinValue when the
    // text is not such a number or lies outside the signed 32-bit range.
    // Never clamps.
    std::int32_t Value() const;
    // Text := decimal form of ClampValue(v).
    void SetValue(std::int32_t v);

    // The bounds; when MinValue = MaxValue the value is not bounded at all.
    // Changing a bound does not rewrite the text.
    std::int32_t MinValue() const { return FMinValue; }
    void SetMinValue(std::int32_t v) { FMinValue = v; }
    std::int32_t MaxValue() const { return FMaxValue; }
    void SetMaxValue(std::int32_t v) { FMaxValue = v; }
    // Step of the arrow buttons and keys (default 1).
    std::int32_t Increment() const { return FIncrement; }
    void SetIncrement(std::int32_t v) { FIncrement = v; }
    // false: typed characters other than control characters are refused
    // (with a beep), as are backspace and the delete keys; paste and cut are
    // ignored; no other user edit (drop, context menu, undo, QLineEdit's
    // insert/del/backspace) changes the text either. The arrows, SetValue and
    // setText still work.
    bool EditorEnabled() const { return FEditorEnabled; }
    void SetEditorEnabled(bool v) { FEditorEnabled = v; }
    // Select the whole text when the focus arrives other than by a left press
    // on the field (default true).
    bool AutoSelect() const { return FAutoSelect; }
    void SetAutoSelect(bool v) { FAutoSelect = v; }

    // At most this many characters can be typed or pasted; 0 (the default)
    // means no limit. Unlike QLineEdit's own limit it never cuts text set by
    // the program (SetValue), so a value always reads back whole. Hides
    // QLineEdit::setMaxLength: call it on the TSpinEdit.
    int maxLength() const { return FMaxLength; }
    void setMaxLength(int length);
    int MaxLength() const { return FMaxLength; }
    void SetMaxLength(int length) { setMaxLength(length); }

    // v when MinValue = MaxValue, otherwise v brought into MinValue..MaxValue.
    std::int32_t ClampValue(std::int32_t v) const;

    // Whether a typed character is taken: '+', '-', '0'..'9', the locale's
    // decimal separator, or a control character below 32 other than carriage
    // return; with EditorEnabled false only control characters other than
    // carriage return and backspace.
    virtual bool AcceptsChar(QChar key) const;
    // Value := Value + Increment (resp. - Increment), computed without
    // overflow and clamped; beeps and does nothing else when read-only.
    virtual void StepUp(QObject* Sender = nullptr);
    virtual void StepDown(QObject* Sender = nullptr);

    // Whether paste and cut are allowed now (EditorEnabled and not read-only).
    bool CanPasteOrCut() const { return FEditorEnabled && !isReadOnly(); }

public slots:
    // QLineEdit's paste and cut, done only when CanPasteOrCut. (Hide the
    // QLineEdit slots: call them on the TSpinEdit; the keys, the context menu,
    // drag and drop and the middle button are guarded in any case.)
    void paste();
    void cut();

public:
    // The spin edit's minimum height for its font: character height + (the
    // smaller of the system and field character heights) / 4 + 4 x border (1)
    // + 2. The field is never smaller.
    int MinHeight() const;

    // The field's context menu (QLineEdit's standard one) with paste and cut
    // disabled when not allowed, and delete too without EditorEnabled. The
    // caller owns it.
    QMenu* CreateContextMenu();

    TSpinButton* Button() const { return FButton; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void SetEditRect();
    void UpdateMinHeight();
    void Step(std::int64_t delta);

    TSpinButton* FButton = nullptr;
    std::int32_t FMinValue = 0;
    std::int32_t FMaxValue = 0;
    std::int32_t FIncrement = 1;
    int FMaxLength = 0;
    bool FEditorEnabled = true;
    bool FAutoSelect = true;
    // The focus came with a mouse press whose target is not known yet.
    bool FMouseFocusPending = false;
};
