// Unit Spin: TTimerSpeedButton, TSpinButton, TSpinEdit.
#include "spin/Spin.h"

#include "host/ExceptionDisplay.h"
#include "host/IntConv.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QStyleOptionFrame>
#include <QTimer>
#include <QValidator>
#include <qdrawutil.h>

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

// --- beep --------------------------------------------------------------------

namespace spin {
namespace {

BeepHook& CurrentBeepHook() {
    static BeepHook hook;
    return hook;
}

} // namespace

void Beep() {
    if (const BeepHook& hook = CurrentBeepHook()) {
        hook();
    } else {
        QApplication::beep();
    }
}

BeepHook SetBeepHook(BeepHook hook) {
    return std::exchange(CurrentBeepHook(), std::move(hook));
}

} // namespace spin

namespace {

bool IsTabStop(const QWidget* w) {
    return (w->focusPolicy() & Qt::TabFocus) == Qt::TabFocus;
}

// Visible and enabled, parents included.
bool CanFocus(const QWidget* w) {
    return w->isVisible() && w->isEnabled();
}

// A glyph image with its transparent colour turned into alpha.
QImage Transparent(const QImage& glyph, QRgb transparent) {
    QImage out = glyph.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < out.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            if ((line[x] & RGB_MASK) == (transparent & RGB_MASK)) {
                line[x] = 0;
            }
        }
    }
    return out;
}

// The shape of a glyph (its opaque pixels) in one colour.
QImage Silhouette(const QImage& argb, const QColor& colour) {
    QImage out(argb.size(), QImage::Format_ARGB32);
    out.fill(Qt::transparent);
    for (int y = 0; y < argb.height(); ++y) {
        for (int x = 0; x < argb.width(); ++x) {
            if (qAlpha(argb.pixel(x, y)) != 0) {
                out.setPixel(x, y, colour.rgb());
            }
        }
    }
    return out;
}

std::int32_t Saturate(std::int64_t v) {
    constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(std::clamp(v, lo, hi));
}

} // namespace

// --- TTimerSpeedButton ---------------------------------------------------------

TTimerSpeedButton::TTimerSpeedButton(QWidget* parent) : QAbstractButton(parent) {
    setFocusPolicy(Qt::NoFocus);
}

TTimerSpeedButton::~TTimerSpeedButton() = default;

void TTimerSpeedButton::SetGlyph(const QImage& glyph) {
    FGlyph = glyph;
    updateGeometry();
    update();
}

void TTimerSpeedButton::SetNumGlyphs(int count) {
    if (count < 1 || count > 4 || count == FNumGlyphs) {
        return;
    }
    FNumGlyphs = count;
    update();
}

void TTimerSpeedButton::SetFocusFrame(bool on) {
    if (FFocusFrame != on) {
        FFocusFrame = on;
        update();
    }
}

std::optional<QRect> TTimerSpeedButton::FocusRect() const {
    if (!FFocusFrame) {
        return std::nullopt;
    }
    QRect r = rect().adjusted(3, 3, -3, -3);
    if (isDown()) {
        r.translate(1, 1);
    }
    return r;
}

void TTimerSpeedButton::Click() {
    emit clicked(isChecked());
}

void TTimerSpeedButton::TimerExpired() {
    if (FRepeatTimer == nullptr) {
        return;
    }
    FRepeatTimer->setInterval(RepeatPause);
    if (isDown() && FHoldsMouse) {
        try {
            Click();
        } catch (...) {
            FRepeatTimer->stop();
            throw;
        }
    }
}

QSize TTimerSpeedButton::sizeHint() const {
    const int images = std::max(1, FNumGlyphs);
    return QSize(FGlyph.width() / images + 6, FGlyph.height() + 4);
}

void TTimerSpeedButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const bool down = isDown();
    const QBrush face = palette().brush(QPalette::Button);
    qDrawWinButton(&p, rect(), palette(), down, &face);

    if (!FGlyph.isNull()) {
        const int images = std::max(1, FNumGlyphs);
        const int gw = FGlyph.width() / images;
        const int gh = FGlyph.height();
        // Image index: 0 normal, 1 disabled, 2 pressed, 3 latched.
        int index = 0;
        if (!isEnabled()) {
            index = 1;
        } else if (down) {
            index = isCheckable() && isChecked() ? 3 : 2;
        }
        const bool emboss = index == 1 && images < 2;
        if (index >= images) {
            index = 0;
        }
        QImage image = FGlyph.copy(index * gw, 0, gw, gh);
        if (!image.hasAlphaChannel()) {
            image = Transparent(image, FGlyph.pixel(0, gh - 1));
        }
        QPoint at((width() - gw + 1) / 2, (height() - gh + 1) / 2);
        if (down) {
            at += QPoint(1, 1);
        }
        if (emboss) {
            p.drawImage(at + QPoint(1, 1), Silhouette(image, palette().color(QPalette::Light)));
            p.drawImage(at, Silhouette(image, palette().color(QPalette::Dark)));
        } else {
            p.drawImage(at, image);
        }
    }

    if (const auto r = FocusRect()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = *r;
        option.backgroundColor = palette().color(QPalette::Button);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &p, this);
    }
}

void TTimerSpeedButton::mousePressEvent(QMouseEvent* event) {
    QAbstractButton::mousePressEvent(event);
    if (event->button() == Qt::LeftButton && isDown()) {
        FHoldsMouse = true;
    }
    if (OnMouseDown) {
        OnMouseDown(this, event->button());
    }
    if (FRepeatAllowed) {
        if (FRepeatTimer == nullptr) {
            FRepeatTimer = new QTimer(this);
            connect(FRepeatTimer, &QTimer::timeout, this, [this] {
                // An error of a repeated click must not unwind through the
                // event loop: it goes to the application's display.
                try {
                    TimerExpired();
                } catch (...) {
                    host::ShowException(std::current_exception());
                }
            });
        }
        FRepeatTimer->setInterval(InitialRepeatPause);
        FRepeatTimer->start();
    }
}

void TTimerSpeedButton::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        FHoldsMouse = false;
    }
    QAbstractButton::mouseReleaseEvent(event);
    if (FRepeatTimer != nullptr) {
        FRepeatTimer->stop();
    }
}

void TTimerSpeedButton::changeEvent(QEvent* event) {
    QAbstractButton::changeEvent(event);
    // The press is over when the window loses activation (a modal dialog from
    // a click handler takes the mouse) or the button is disabled: without this
    // a held button would repeat forever.
    const bool cancel = (event->type() == QEvent::ActivationChange && !isActiveWindow()) ||
                        (event->type() == QEvent::EnabledChange && !isEnabled());
    if (cancel) {
        CancelPress();
    }
}

void TTimerSpeedButton::hideEvent(QHideEvent* event) {
    QAbstractButton::hideEvent(event);
    CancelPress();
}

void TTimerSpeedButton::CancelPress() {
    FHoldsMouse = false;
    if (FRepeatTimer != nullptr) {
        FRepeatTimer->stop();
    }
    if (isDown()) {
        setDown(false);
    }
}

// --- TSpinButton ---------------------------------------------------------------

TSpinButton::TSpinButton(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::ArrowCursor);
    setMinimumWidth(MinWidth);

    FUpButton = new TTimerSpeedButton(this);
    FDownButton = new TTimerSpeedButton(this);
    for (TTimerSpeedButton* b : {FUpButton, FDownButton}) {
        b->SetRepeatAllowed(true);
        b->OnMouseDown = [this](TTimerSpeedButton* sender, Qt::MouseButton button) {
            BtnMouseDown(sender, button);
        };
        connect(b, &QAbstractButton::clicked, this, [this, b] { BtnClick(b); });
    }
    SetUpGlyph(QImage());
    SetDownGlyph(QImage());
    FFocusedButton = FUpButton;

    resize(20, 25);
    AdjustButtons();
}

TSpinButton::~TSpinButton() = default;

QImage TSpinButton::UpGlyph() const {
    return FUpButton->Glyph();
}

void TSpinButton::SetUpGlyph(const QImage& glyph) {
    if (glyph.isNull()) {
        FUpButton->SetGlyph(spin::LoadGlyphBitmap("SPINUP"));
        FUpButton->SetNumGlyphs(1);
    } else {
        FUpButton->SetGlyph(glyph);
    }
}

QImage TSpinButton::DownGlyph() const {
    return FDownButton->Glyph();
}

void TSpinButton::SetDownGlyph(const QImage& glyph) {
    if (glyph.isNull()) {
        FDownButton->SetGlyph(spin::LoadGlyphBitmap("SPINDOWN"));
        FDownButton->SetNumGlyphs(1);
    } else {
        FDownButton->SetGlyph(glyph);
    }
}

int TSpinButton::UpNumGlyphs() const {
    return FUpButton->NumGlyphs();
}
void TSpinButton::SetUpNumGlyphs(int count) {
    FUpButton->SetNumGlyphs(count);
}
int TSpinButton::DownNumGlyphs() const {
    return FDownButton->NumGlyphs();
}
void TSpinButton::SetDownNumGlyphs(int count) {
    FDownButton->SetNumGlyphs(count);
}

bool TSpinButton::TabStop() const {
    return IsTabStop(this);
}

void TSpinButton::SetTabStop(bool on) {
    // A tab stop takes the focus by the tab key and by the press handling
    // below; Qt's own click focus would steal it from the focus control.
    setFocusPolicy(on ? Qt::TabFocus : Qt::NoFocus);
}

QSize TSpinButton::sizeHint() const {
    return QSize(20, 25);
}

void TSpinButton::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    AdjustButtons();
}

void TSpinButton::AdjustButtons() {
    const int w = std::max(width(), MinWidth);
    const int h = height();
    const int upper = h / 2;
    FUpButton->setGeometry(0, 0, w, upper);
    FDownButton->setGeometry(0, upper - 1, w, h - upper + 1);
}

void TSpinButton::BtnMouseDown(TTimerSpeedButton* sender, Qt::MouseButton button) {
    if (button != Qt::LeftButton) {
        return;
    }
    SetFocusBtn(sender);
    QWidget* control = FFocusControl.data();
    if (control != nullptr && IsTabStop(control) && CanFocus(control) && !control->hasFocus()) {
        control->setFocus(Qt::OtherFocusReason);
    } else if (TabStop() && !hasFocus() && CanFocus(this)) {
        setFocus(Qt::OtherFocusReason);
    }
}

void TSpinButton::BtnClick(TTimerSpeedButton* sender) {
    if (sender == FUpButton) {
        if (FOnUpClick) {
            FOnUpClick(this);
        }
    } else if (FOnDownClick) {
        FOnDownClick(this);
    }
}

void TSpinButton::SetFocusBtn(TTimerSpeedButton* button) {
    if (TabStop() && CanFocus(this) && button != FFocusedButton) {
        FFocusedButton->SetFocusFrame(false);
        FFocusedButton = button;
        if (hasFocus()) {
            FFocusedButton->SetFocusFrame(true);
        }
    }
}

void TSpinButton::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Space:
        FFocusedButton->Click();
        break;
    case Qt::Key_Up:
        SetFocusBtn(FUpButton);
        FUpButton->Click();
        break;
    case Qt::Key_Down:
        SetFocusBtn(FDownButton);
        FDownButton->Click();
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

void TSpinButton::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    FFocusedButton->SetFocusFrame(true);
}

void TSpinButton::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    FFocusedButton->SetFocusFrame(false);
}

// --- TSpinEdit -----------------------------------------------------------------

namespace {

// Guards every change the user makes to the text (typing, paste, drop, the
// context menu, undo, QLineEdit's editing calls), none of which passes through
// a virtual function of QLineEdit: the length limit, and no change at all
// without EditorEnabled. QLineEdit's own maxLength would also cut text set by
// the program, so that a value could read back wrong.
//
// Qt validates text set by the program too (without undoing it) and stops
// undoing invalid user edits after an invalid program text, so program text
// must always pass: it is told apart by the modified flag, which setText
// clears and every user edit sets.
class TEditGuard : public QValidator {
public:
    explicit TEditGuard(TSpinEdit* edit) : QValidator(edit), FEdit(edit), FAccepted(edit->text()) {
        QObject::connect(edit, &QLineEdit::textChanged, this,
                         [this](const QString& text) { FAccepted = text; });
    }
    State validate(QString& input, int&) const override {
        if (!FEdit->isModified() || input == FAccepted) {
            return Acceptable;
        }
        if (!FEdit->EditorEnabled()) {
            return Invalid;
        }
        // Text longer than the limit (set by the program) may still shrink.
        const int limit = FEdit->MaxLength();
        if (limit > 0 && input.size() > limit && input.size() > FAccepted.size()) {
            return Invalid;
        }
        return Acceptable;
    }

private:
    const TSpinEdit* FEdit;
    QString FAccepted; // the text as it stands (set by the program or accepted)
};

} // namespace

TSpinEdit::TSpinEdit(QWidget* parent) : QLineEdit(parent) {
    setText(QStringLiteral("0"));
    setValidator(new TEditGuard(this));
    setInputMethodHints(Qt::ImhFormattedNumbersOnly);

    FButton = new TSpinButton(this);
    FButton->resize(TSpinButton::MinWidth, 17);
    FButton->SetFocusControl(this);
    FButton->SetOnUpClick([this](QObject* sender) { StepUp(sender); });
    FButton->SetOnDownClick([this](QObject* sender) { StepDown(sender); });
    for (QObject* o : {static_cast<QObject*>(FButton), static_cast<QObject*>(FButton->UpButton()),
                       static_cast<QObject*>(FButton->DownButton())}) {
        o->installEventFilter(this);
    }

    UpdateMinHeight();
    SetEditRect();
}

TSpinEdit::~TSpinEdit() {
    // The button and its filters go first, while this object is still whole.
    delete FButton;
    FButton = nullptr;
}

std::int32_t TSpinEdit::Value() const {
    const std::string t = text().toStdString();
    return host::TryStrToInt(t).value_or(FMinValue);
}

void TSpinEdit::SetValue(std::int32_t v) {
    setText(QString::number(ClampValue(v)));
}

std::int32_t TSpinEdit::ClampValue(std::int32_t v) const {
    if (FMinValue == FMaxValue) {
        return v;
    }
    if (v < FMinValue) {
        return FMinValue;
    }
    if (v > FMaxValue) {
        return FMaxValue;
    }
    return v;
}

void TSpinEdit::setMaxLength(int length) {
    FMaxLength = std::max(0, length);
}

void TSpinEdit::paste() {
    if (CanPasteOrCut()) {
        QLineEdit::paste();
    }
}

void TSpinEdit::cut() {
    if (CanPasteOrCut()) {
        QLineEdit::cut();
    }
}

bool TSpinEdit::AcceptsChar(QChar key) const {
    const char16_t c = key.unicode();
    const QString separator = locale().decimalPoint();
    bool accepted = c == u'+' || c == u'-' || (c >= u'0' && c <= u'9') ||
                    (separator.size() == 1 && key == separator.front()) || (c < 32 && c != 13);
    if (!FEditorEnabled && (c >= 32 || c == 8)) {
        accepted = false;
    }
    return accepted;
}

void TSpinEdit::Step(std::int64_t delta) {
    if (isReadOnly()) {
        spin::Beep();
        return;
    }
    SetValue(Saturate(std::int64_t{Value()} + delta));
}

void TSpinEdit::StepUp(QObject*) {
    Step(FIncrement);
}

void TSpinEdit::StepDown(QObject*) {
    Step(-std::int64_t{FIncrement});
}

int TSpinEdit::MinHeight() const {
    const int field = QFontMetrics(font()).height();
    const int system = QFontMetrics(QFontDatabase::systemFont(QFontDatabase::GeneralFont)).height();
    constexpr int border = 1;
    return field + std::min(system, field) / 4 + 4 * border + 2;
}

void TSpinEdit::UpdateMinHeight() {
    setMinimumHeight(MinHeight());
}

void TSpinEdit::SetEditRect() {
    if (FButton == nullptr) {
        return;
    }
    const int w = width();
    const int h = height();
    const int bw = FButton->width();
    if (hasFrame()) {
        // The frame plays the part of the three-dimensional border: the
        // button sits inside it, one pixel clear of its right and bottom side.
        QStyleOptionFrame option;
        initStyleOption(&option);
        const int border = option.lineWidth;
        FButton->setGeometry(w - bw - border - 1, border, bw, h - 2 * border - 1);
    } else {
        FButton->setGeometry(w - bw, 1, bw, h - 3);
    }
    // Keep the text clear of the buttons.
    setTextMargins(0, 0, bw + 2, 0);
}

namespace {

bool IsDeleteKey(const QKeyEvent* event) {
    return event->key() == Qt::Key_Delete || event->matches(QKeySequence::Delete) ||
           event->matches(QKeySequence::DeleteEndOfWord) ||
           event->matches(QKeySequence::DeleteStartOfWord) ||
           event->matches(QKeySequence::DeleteEndOfLine) ||
           event->matches(QKeySequence::DeleteCompleteLine);
}

// The characters a key press types: none for shortcuts (Ctrl without Alt) and
// the delete key, which types nothing.
QString TypedChars(const QKeyEvent* event) {
    const Qt::KeyboardModifiers mods = event->modifiers();
    if ((mods & (Qt::ControlModifier | Qt::MetaModifier)) && !(mods & Qt::AltModifier)) {
        return {};
    }
    if (event->key() == Qt::Key_Delete) {
        return {};
    }
    QString text = event->text();
    if (text.isEmpty()) {
        switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            text = QStringLiteral("\r");
            break;
        case Qt::Key_Backspace:
            text = QStringLiteral("\b");
            break;
        default:
            break;
        }
    }
    return text;
}

} // namespace

void TSpinEdit::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Up) {
        StepUp(this);
    } else if (event->key() == Qt::Key_Down) {
        StepDown(this);
    }
    if (!CanPasteOrCut() &&
        (event->matches(QKeySequence::Paste) || event->matches(QKeySequence::Cut))) {
        event->accept();
        return;
    }
    if (!FEditorEnabled && IsDeleteKey(event)) {
        spin::Beep();
        event->accept();
        return;
    }
    const QString typed = TypedChars(event);
    for (const QChar c : typed) {
        if (!AcceptsChar(c)) {
            spin::Beep();
            event->accept();
            return;
        }
    }
    QLineEdit::keyPressEvent(event);
    if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) {
        event->accept();
    }
}

void TSpinEdit::inputMethodEvent(QInputMethodEvent* event) {
    const QString commit = event->commitString();
    const bool refused =
        std::any_of(commit.begin(), commit.end(), [this](QChar c) { return !AcceptsChar(c); });
    if (!refused) {
        QLineEdit::inputMethodEvent(event);
        return;
    }
    spin::Beep();
    QInputMethodEvent stripped(event->preeditString(), event->attributes());
    QLineEdit::inputMethodEvent(&stripped);
    event->accept();
}

void TSpinEdit::focusInEvent(QFocusEvent* event) {
    const Qt::FocusReason reason = event->reason();
    const bool tabbing = reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
                         reason == Qt::ShortcutFocusReason;
    if (!FAutoSelect && tabbing) {
        // QLineEdit would select all on these; the selection is ours to decide.
        QFocusEvent plain(QEvent::FocusIn, Qt::OtherFocusReason);
        QLineEdit::focusInEvent(&plain);
    } else {
        QLineEdit::focusInEvent(event);
    }
    FMouseFocusPending = false;
    if (reason == Qt::MouseFocusReason && (QGuiApplication::mouseButtons() & Qt::LeftButton)) {
        // Qt hands the focus to the field also for a press on its arrow
        // buttons; whether the press was on the field itself is known when the
        // press arrives (mousePressEvent or the buttons' event filter).
        FMouseFocusPending = true;
        return;
    }
    if (FAutoSelect) {
        selectAll();
    }
}

void TSpinEdit::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    FMouseFocusPending = false;
    // A popup (the context menu) or another window taking over leaves the
    // field as it is; only moving to another control ends the entry.
    const Qt::FocusReason reason = event->reason();
    if (reason == Qt::PopupFocusReason || reason == Qt::ActiveWindowFocusReason) {
        return;
    }
    const std::int32_t v = Value();
    if (ClampValue(v) != v) {
        SetValue(v);
    }
}

bool TSpinEdit::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress && FMouseFocusPending) {
        FMouseFocusPending = false;
        if (FAutoSelect) {
            selectAll();
        }
    }
    return QLineEdit::eventFilter(watched, event);
}

void TSpinEdit::mousePressEvent(QMouseEvent* event) {
    if (FMouseFocusPending) {
        FMouseFocusPending = false;
        if (event->button() != Qt::LeftButton && FAutoSelect) {
            selectAll();
        }
    }
    if (event->button() == Qt::MiddleButton && !CanPasteOrCut()) {
        event->accept();
        return;
    }
    QLineEdit::mousePressEvent(event);
}

void TSpinEdit::mouseReleaseEvent(QMouseEvent* event) {
    // The middle button pastes the selection on platforms that have one.
    if (event->button() == Qt::MiddleButton && !CanPasteOrCut()) {
        event->accept();
        return;
    }
    QLineEdit::mouseReleaseEvent(event);
}

QMenu* TSpinEdit::CreateContextMenu() {
    QMenu* menu = createStandardContextMenu();
    // The actions are known by their object name where Qt gives one, else by
    // their (translated) text.
    const auto is = [](const QAction* action, const char* name, const char* text) {
        return action->objectName() == QLatin1String(name) ||
               (action->objectName().isEmpty() && action->text().startsWith(QLineEdit::tr(text)));
    };
    for (QAction* action : menu->actions()) {
        const bool blocked = (!CanPasteOrCut() && (is(action, "edit-cut", "Cu&t") ||
                                                   is(action, "edit-paste", "&Paste"))) ||
                             (!FEditorEnabled && is(action, "edit-delete", "Delete"));
        if (blocked) {
            action->setEnabled(false);
        }
    }
    return menu;
}

void TSpinEdit::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = CreateContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
    event->accept();
}

void TSpinEdit::dragEnterEvent(QDragEnterEvent* event) {
    if (!CanPasteOrCut()) {
        event->ignore();
        return;
    }
    QLineEdit::dragEnterEvent(event);
}

void TSpinEdit::dragMoveEvent(QDragMoveEvent* event) {
    if (!CanPasteOrCut()) {
        event->ignore();
        return;
    }
    QLineEdit::dragMoveEvent(event);
}

void TSpinEdit::dropEvent(QDropEvent* event) {
    if (!CanPasteOrCut()) {
        event->ignore();
        return;
    }
    QLineEdit::dropEvent(event);
}

void TSpinEdit::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    SetEditRect();
}

void TSpinEdit::changeEvent(QEvent* event) {
    QLineEdit::changeEvent(event);
    switch (event->type()) {
    case QEvent::FontChange:
        UpdateMinHeight();
        SetEditRect();
        break;
    case QEvent::StyleChange:
        SetEditRect();
        break;
    default:
        break;
    }
}
