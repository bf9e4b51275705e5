// The window on a screen scaled as Windows laptops are (125 %, 150 %, 200 %):
// ctest runs this program once unscaled and once per scale, with
// QT_SCALE_FACTOR in its environment. Qt scales the 96-DPI layout by the
// factor; each text must still fit its control at the font's size on that
// screen, the spin arrows must grow with the window, and the window must
// be placed on the screen (the offscreen screen, 800 x 600 pixels, is
// smaller than the window at 150 % and 200 %).
//
// RC_SCREENSHOT, when set, names a PNG of the window as the screen shows it
// (docs/window-150.png is one, made at 150 %).
#include "configurator/Unit1.h"

#include "spin/Spin.h"
#include "tests/support/TempDir.h"

#include <QComboBox>
#include <QFontMetricsF>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// The factor that ctest asked for; 1 unscaled.
double AskedScale() {
    bool ok = false;
    const double factor = qEnvironmentVariable("QT_SCALE_FACTOR").toDouble(&ok);
    return ok ? factor : 1.0;
}

// A window with its settings in a folder of the test's own, scanning an empty
// folder for ports, logging nothing.
struct Window {
    rc_test::TempDir dir;
    TForm1 form{Options()};

    TForm1Options Options() const {
        TForm1Options o;
        o.SettingsPath = QString::fromStdString(dir / "LEDINFO.BIN");
        o.PortDirectory = dir.Path().string();
        o.AuditFolder = std::string();
        o.WatchPorts = false;
        return o;
    }
};

// The layout's font at the pixel size the screen draws it: 16 times the
// factor.
QFont DeviceFont(const QFont& font, double factor) {
    QFont scaled = font;
    scaled.setPixelSize(static_cast<int>(std::lround(font.pixelSize() * factor)));
    return scaled;
}

// Whether `text` fits `width` x `height` logical pixels of a control: in the
// font as the layout measures it, and in the font at the screen's pixel size
// against the control's size in screen pixels (a face whose glyphs grow
// faster than the factor would be cut off at the right).
void ExpectFits(const QWidget* w, const QString& text, int width, int height) {
    const double factor = w->devicePixelRatioF();
    const QFontMetricsF layout(w->font(), w);
    const QFontMetricsF screen(DeviceFont(w->font(), factor));
    SCOPED_TRACE(w->objectName().toStdString() + " '" + text.toStdString() + "'");
    EXPECT_LE(layout.horizontalAdvance(text), width);
    EXPECT_LE(layout.height(), height);
    EXPECT_LE(screen.horizontalAdvance(text), width * factor + 0.01);
    EXPECT_LE(screen.height(), height * factor + 0.01);
}

// The rectangle of the pixels darker than mid-grey inside `image`, `margin`
// pixels in from each side (the button's bevel is left out).
QRect DarkPixels(const QImage& image, int margin) {
    QRect found;
    for (int y = margin; y < image.height() - margin; ++y)
        for (int x = margin; x < image.width() - margin; ++x)
            if (qGray(image.pixel(x, y)) < 64)
                found |= QRect(x, y, 1, 1);
    return found;
}

// The rectangle of a glyph's black pixels (its transparent colour, olive, is
// lighter: qGray 108).
QRect GlyphInk(const QImage& glyph) {
    return DarkPixels(glyph.convertToFormat(QImage::Format_RGB32), 0);
}

TEST(HighDpi, TheWindowIsScaledByTheScreensFactor) {
    Window w;
    const double factor = AskedScale();
    // The factor reached the window: otherwise every case below would check
    // the unscaled window again.
    EXPECT_DOUBLE_EQ(w.form.devicePixelRatioF(), factor);
    EXPECT_EQ(w.form.size(), QSize(633, 289));
    const QPixmap shown = w.form.grab();
    // 791 x 361 at 125 %, 950 x 434 at 150 %, 1266 x 578 at 200 %.
    EXPECT_LE(std::abs(shown.width() - 633 * factor), 1.0) << shown.width();
    EXPECT_LE(std::abs(shown.height() - 289 * factor), 1.0) << shown.height();
    EXPECT_EQ(w.form.font().pixelSize(), 16);
    if (const QByteArray png = qgetenv("RC_SCREENSHOT"); !png.isEmpty()) {
        // A port as Windows names it (the test's port folder has none).
        w.form.ComboBox3->addItem(QStringLiteral("COM3"));
        w.form.ComboBox3->setCurrentIndex(0);
        w.form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.form));
        ASSERT_TRUE(w.form.grab().save(QString::fromLocal8Bit(png)));
    }
}

TEST(HighDpi, NoTextIsCutOff) {
    Window w;
    std::vector<QWidget*> checked;
    for (QLabel* label : w.form.findChildren<QLabel*>()) {
        if (label->isHidden())
            continue;
        const QRect r = label->contentsRect();
        ExpectFits(label, label->text(), r.width(), r.height());
        checked.push_back(label);
    }
    for (QPushButton* button : w.form.findChildren<QPushButton*>()) {
        if (button->isHidden())
            continue;
        // Where the style draws the button's text.
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const QRect r =
            button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        ExpectFits(button, button->text(), r.width(), r.height());
        checked.push_back(button);
    }
    // The drop-downs' fields, with every item of the rate and the longest
    // port names; the style draws the text one pixel inside on each side.
    const struct {
        QComboBox* box;
        QStringList texts;
    } boxes[] = {
        {w.form.ComboBox1,
         {w.form.ComboBox1->itemText(0), w.form.ComboBox1->itemText(1),
          w.form.ComboBox1->itemText(2)}},
        {w.form.ComboBox3, {QStringLiteral("COM255"), QStringLiteral("ttyUSB99")}},
    };
    for (const auto& b : boxes) {
        QStyleOptionComboBox option;
        option.initFrom(b.box);
        option.frame = true;
        const QRect field = b.box->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                           QStyle::SC_ComboBoxEditField, b.box);
        for (const QString& text : b.texts)
            ExpectFits(b.box, text, field.width() - 2, field.height());
        checked.push_back(b.box);
    }
    // The entries: two digits beside the arrows (the line edit keeps two
    // pixels free on each side of its text).
    for (TSpinEdit* spin : w.form.findChildren<TSpinEdit*>()) {
        const QRect text = spin->contentsRect().marginsRemoved(spin->textMargins());
        ExpectFits(spin, QStringLiteral("99"), text.width() - 4, text.height());
        checked.push_back(spin);
    }
    // "COM" and the panel's 20 labels (the others are hidden), 4 buttons, 2
    // drop-downs, 11 entries.
    EXPECT_EQ(checked.size(), 1u + 20u + 4u + 2u + 11u);
}

TEST(HighDpi, TheSpinArrowsGrowWithTheWindow) {
    Window w;
    const double factor = w.form.devicePixelRatioF();
    for (TSpinEdit* spin : {w.form.SpinEdit1, w.form.SpinEdit5, w.form.SpinEdit11}) {
        for (TTimerSpeedButton* arrow :
             {spin->Button()->UpButton(), spin->Button()->DownButton()}) {
            SCOPED_TRACE(spin->objectName().toStdString() +
                         (arrow == spin->Button()->UpButton() ? " up" : " down"));
            const QRect ink = GlyphInk(arrow->Glyph());
            ASSERT_FALSE(ink.isEmpty());
            const QImage shown = arrow->grab().toImage().convertToFormat(QImage::Format_RGB32);
            EXPECT_LE(std::abs(shown.width() - arrow->width() * factor), 1.0);
            EXPECT_LE(std::abs(shown.height() - arrow->height() * factor), 1.0);
            // The arrow as drawn, inside the two-pixel bevel, scaled with the
            // window to the pixel.
            const QRect drawn = DarkPixels(shown, static_cast<int>(std::ceil(2 * factor)));
            EXPECT_LE(std::abs(drawn.width() - ink.width() * factor), 1.0) << drawn.width();
            EXPECT_LE(std::abs(drawn.height() - ink.height() * factor), 1.0) << drawn.height();
        }
    }
}

// Centred where it fits the screen's available area; on an axis where it
// does not, at the area's start: at 150 % and 200 % the 800-pixel screen is
// narrower than the window, but not lower.
TEST(HighDpi, TheWindowIsPlacedOnTheScreen) {
    Window w;
    w.form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.form));
    const QRect area = w.form.screen()->availableGeometry();
    const QRect frame = w.form.frameGeometry();
    SCOPED_TRACE("screen " + std::to_string(area.width()) + " x " + std::to_string(area.height()));
    const auto expect = [](int start, int length, int areaStart, int areaLength) {
        const int before = start - areaStart;
        const int after = areaLength - length - before;
        if (length <= areaLength) {
            EXPECT_GE(before, 0);
            EXPECT_LE(std::abs(before - after), 1);
        } else {
            EXPECT_EQ(before, 0);
        }
    };
    expect(frame.left(), frame.width(), area.left(), area.width());
    expect(frame.top(), frame.height(), area.top(), area.height());
}

} // namespace
