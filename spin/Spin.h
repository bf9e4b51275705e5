#pragma once
// Unit Spin: the spin edit control (TSpinEdit), its pair of arrow buttons
// (TSpinButton) and the auto-repeating arrow button (TTimerSpeedButton).
//
// GUI thread only.
//
// (Public interface agreed with the configurator; the implementation fills in
// the rest of the class declarations.)

#include <QLineEdit>

#include <cstdint>

class TSpinButton;

class TSpinEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TSpinEdit(QWidget* parent = nullptr);
    ~TSpinEdit() override;

    // The number in the text (runtime integer conversion), MinValue when the
    // text is not a number. Never clamps.
    std::int32_t Value() const;
    // Text := decimal form of ClampValue(v).
    void SetValue(std::int32_t v);

    std::int32_t MinValue() const { return FMinValue; }
    void SetMinValue(std::int32_t v) { FMinValue = v; }
    std::int32_t MaxValue() const { return FMaxValue; }
    void SetMaxValue(std::int32_t v) { FMaxValue = v; }
    std::int32_t Increment() const { return FIncrement; }
    void SetIncrement(std::int32_t v) { FIncrement = v; }
    bool EditorEnabled() const { return FEditorEnabled; }
    void SetEditorEnabled(bool v) { FEditorEnabled = v; }

    std::int32_t ClampValue(std::int32_t v) const;

    TSpinButton* Button() const { return FButton; }

private:
    TSpinButton* FButton = nullptr;
    std::int32_t FMinValue = 0;
    std::int32_t FMaxValue = 0;
    std::int32_t FIncrement = 1;
    bool FEditorEnabled = true;
};
