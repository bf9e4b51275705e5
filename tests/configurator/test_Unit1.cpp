// The main window: every control against the layout, the font, the tab order,
// and the settings round trip through the controls (start-up and closing).
#include "configurator/Unit1.h"

#include "sign/SignSettings.h"
#include "spin/Spin.h"
#include "tests/configurator/PipeWatchdog.h"
#include "tests/sign/SettingsFiles.h"

#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPoint>
#include <QPushButton>
#include <QScreen>
#include <QStyleOptionComboBox>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using namespace rc_test;

// The window reads and writes LEDINFO.BIN in a folder of the test's own.
class FormDir : public TempDir {
public:
    QString File() const { return QString::fromStdString(*this / "LEDINFO.BIN"); }
    // The settings file here; the port scan looks here too (no ports: the
    // machine's own serial devices are never opened), and so does the
    // per-user data folder (no ports.txt of the user's is read).
    TForm1Options Options() const {
        TForm1Options o{File(), Path().string(), {}, {}};
        o.Environment = [home = Path().string()](const std::string& name) {
            return name == "XDG_DATA_HOME" ? std::optional<std::string>(home) : std::nullopt;
        };
        return o;
    }
};

void WriteFile(const QString& path, const Bytes& bytes) {
    rc_test::WriteFile(path.toStdString(), bytes);
}
Bytes ReadFile(const QString& path) {
    return rc_test::ReadFile(path.toStdString());
}

void WriteSettings(const QString& path, const TSignSettings& s) {
    const auto b = EncodeSignSettings(s);
    WriteFile(path, Bytes(b.begin(), b.end()));
}

// A LEDINFO.BIN of the given fields, in file order, each little-endian; made
// here rather than by the encoder, so that the window's tests do not depend on
// the encoder's table.
Bytes SettingsFile(std::initializer_list<std::int32_t> fields) {
    Bytes bytes;
    for (const std::int32_t field : fields)
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(field) >> shift));
    return bytes;
}

TSignSettings ReadSettings(const QString& path) {
    TSignSettings s;
    EXPECT_EQ(LoadSignSettingsFile(path.toStdString(), s), TSettingsLoadResult::Read);
    return s;
}

QString Text(QWidget* w) {
    if (auto* l = qobject_cast<QLabel*>(w)) {
        return l->text();
    }
    if (auto* b = qobject_cast<QPushButton*>(w)) {
        return b->text();
    }
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        return e->text();
    }
    if (auto* m = qobject_cast<QPlainTextEdit*>(w)) {
        return m->toPlainText();
    }
    if (auto* c = qobject_cast<QComboBox*>(w)) {
        return c->currentText();
    }
    return {};
}

// Shows the window and gives it the keyboard focus.
void ShowActive(TForm1& form) {
    form.show();
    QApplication::setActiveWindow(&form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
}

// The entries as the window shows them, in TSignSettings order.
std::vector<QString> Shown(TForm1& f) {
    return {QString::number(f.ComboBox3->currentIndex()),
            f.SpinEdit11->text(),
            QString::number(f.ComboBox1->currentIndex()),
            f.SpinEdit1->text(),
            f.SpinEdit2->text(),
            f.SpinEdit7->text(),
            f.SpinEdit8->text(),
            f.SpinEdit5->text(),
            f.SpinEdit3->text(),
            f.SpinEdit4->text(),
            f.SpinEdit9->text(),
            f.SpinEdit10->text(),
            f.SpinEdit6->text()};
}

std::vector<QString> Strings(std::initializer_list<const char*> texts) {
    std::vector<QString> v;
    for (const char* t : texts) {
        v.push_back(QString::fromLatin1(t));
    }
    return v;
}

} // namespace

TEST(Unit1, WindowProperties) {
    FormDir dir;
    TForm1 form(dir.Options());
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Radar Configurator"));
    EXPECT_EQ(form.size(), QSize(633, 289));
    EXPECT_EQ(form.minimumSize(), QSize(633, 289));
    EXPECT_EQ(form.maximumSize(), QSize(633, 289));
    const Qt::WindowFlags flags = form.windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form.autoFillBackground());
    EXPECT_EQ(form.palette().color(QPalette::Window),
              QApplication::palette().color(QPalette::Button));
    EXPECT_EQ(form.Panel1->palette().color(QPalette::Window),
              QApplication::palette().color(QPalette::Button));
}

TEST(Unit1, CentredOnTheScreenWhenFirstShown) {
    FormDir dir;
    TForm1 form(dir.Options());
    form.show();
    const QPoint centre = form.screen()->availableGeometry().center();
    const QPoint shown = form.geometry().center();
    // Within the window frame's size of the exact centre.
    EXPECT_LE(std::abs(shown.x() - centre.x()), 10);
    EXPECT_LE(std::abs(shown.y() - centre.y()), 30);
}

// Where the window goes in a screen's available area: centred on each axis
// where it fits, else at the area's start on that axis (a window larger than
// a small screen at 150 % or 200 % keeps its title bar and its left side on
// the screen). Areas with a task bar at the top or left, and a second screen.
TEST(Unit1, PlacedCentredWhereItFitsElseAtTheAreasStart) {
    const struct {
        const char* what;
        QRect area;
        QSize window;
        QPoint expected;
    } rows[] = {
        {"fits", {0, 0, 1024, 768}, {633, 289}, {195, 239}},
        {"fits, task bar at the top", {0, 40, 1024, 728}, {633, 289}, {195, 259}},
        {"exactly as large", {0, 0, 633, 289}, {633, 289}, {0, 0}},
        {"200 % on 1024 x 768: too wide", {0, 0, 512, 384}, {633, 289}, {0, 47}},
        {"too high only", {0, 0, 1280, 200}, {633, 289}, {323, 0}},
        {"too large both ways", {0, 0, 400, 200}, {633, 289}, {0, 0}},
        {"second screen, task bar on the left",
         {1920 + 60, 0, 1860, 1080},
         {633, 289},
         {1980 + 613, 395}},
        {"second screen, too wide", {1920 + 60, 0, 540, 1080}, {633, 289}, {1980, 395}},
        {"screen left of the first", {-1280, 0, 1280, 1024}, {633, 289}, {-1280 + 323, 367}},
        {"one pixel too wide", {0, 0, 632, 400}, {633, 289}, {0, 55}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(TForm1::PlacementIn(row.area, row.window), row.expected);
    }
}

TEST(Unit1, FontKeepsTheEightPixelCell) {
    FormDir dir;
    TForm1 form(dir.Options());
    const QFont font = form.font();
    EXPECT_EQ(font.family(), QString::fromUtf8("宋体"));
    EXPECT_EQ(font.pixelSize(), 16);
    const QString resolved = QFontInfo(font).family();
    const std::set<QString> acceptable = {QString::fromUtf8("宋体"), QStringLiteral("SimSun"),
                                          QStringLiteral("Unifont")};
    EXPECT_TRUE(acceptable.count(resolved)) << resolved.toStdString();
    const QFontMetrics metrics(font);
    EXPECT_EQ(metrics.horizontalAdvance(QStringLiteral("COM")), 24);
    EXPECT_EQ(metrics.horizontalAdvance(QStringLiteral("Calibration control card time")), 232);
    EXPECT_EQ(QFontMetrics(form.Label56->font()).horizontalAdvance(QStringLiteral("COM")), 24);
}

// Every named control: kind, parent, text, geometry, visibility.
TEST(Unit1, ControlsMatchTheLayout) {
    FormDir dir;
    TForm1 form(dir.Options());
    enum Kind { Label, Button, Combo, Memo, Panel, Spin };
    struct Row {
        const char* name;
        Kind kind;
        bool inPanel;
        const char* text;
        QRect geometry;
        bool visible;
    } rows[] = {
        {"Label56", Label, false, "COM", {16, 4, 24, 16}, true},
        {"ComboBox3", Combo, false, "", {51, 0, 86, 24}, true},
        {"Button8", Button, false, "Refresh", {160, 0, 75, 25}, true},
        {"Button2", Button, false, "Send Time", {256, 0, 113, 25}, true},
        {"Button3", Button, false, "Read Time", {384, 0, 97, 25}, true},
        {"Label24", Label, false, "Label24", {488, 4, 56, 16}, false},
        {"Panel1", Panel, false, "", {0, 32, 633, 257}, true},
        {"Label10", Label, false, "Send", {153, 40, 32, 16}, false},
        {"Label11", Label, false, "Rece", {417, 40, 32, 16}, false},
        {"Label23", Label, false, "Calibration control card time", {40, 52, 232, 16}, false},
        {"Memo1", Memo, false, "", {56, 96, 233, 193}, false},
        {"Memo2", Memo, false, "", {352, 64, 233, 169}, false},
        {"Button9", Button, false, "Clear", {374, 193, 75, 25}, false},
        {"SpinEdit1", Spin, true, "8", {76, 40, 41, 26}, true},
        {"SpinEdit2", Spin, true, "0", {148, 40, 41, 26}, true},
        {"SpinEdit7", Spin, true, "18", {260, 40, 41, 26}, true},
        {"SpinEdit8", Spin, true, "0", {332, 40, 41, 26}, true},
        {"SpinEdit5", Spin, true, "20", {512, 40, 81, 26}, true},
        {"SpinEdit3", Spin, true, "18", {76, 105, 41, 26}, true},
        {"SpinEdit4", Spin, true, "0", {148, 105, 41, 26}, true},
        {"SpinEdit9", Spin, true, "22", {260, 105, 41, 26}, true},
        {"SpinEdit10", Spin, true, "0", {332, 105, 41, 26}, true},
        {"SpinEdit6", Spin, true, "20", {512, 104, 81, 26}, true},
        {"SpinEdit11", Spin, true, "20", {146, 177, 81, 26}, true},
        {"ComboBox1", Combo, true, "1.5Hz", {402, 178, 145, 24}, true},
        {"Button1", Button, true, "Download", {264, 215, 75, 25}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto* w = form.findChild<QWidget*>(QString::fromLatin1(row.name));
        ASSERT_NE(w, nullptr);
        switch (row.kind) {
        case Label:
            EXPECT_NE(qobject_cast<QLabel*>(w), nullptr);
            break;
        case Button:
            EXPECT_NE(qobject_cast<QPushButton*>(w), nullptr);
            break;
        case Combo:
            ASSERT_NE(qobject_cast<QComboBox*>(w), nullptr);
            EXPECT_FALSE(qobject_cast<QComboBox*>(w)->isEditable());
            break;
        case Memo:
            ASSERT_NE(qobject_cast<QPlainTextEdit*>(w), nullptr);
            EXPECT_EQ(qobject_cast<QPlainTextEdit*>(w)->verticalScrollBarPolicy(),
                      Qt::ScrollBarAlwaysOn);
            break;
        case Panel:
            EXPECT_NE(qobject_cast<QFrame*>(w), nullptr);
            break;
        case Spin:
            EXPECT_NE(qobject_cast<TSpinEdit*>(w), nullptr);
            break;
        }
        EXPECT_EQ(w->parentWidget(), row.inPanel ? form.Panel1 : static_cast<QWidget*>(&form));
        EXPECT_EQ(Text(w).toStdString(), row.text);
        EXPECT_EQ(w->geometry(), row.geometry);
        EXPECT_EQ(!w->isHidden(), row.visible);
    }
}

// The box was laid out for COM names: the longest Linux names of USB
// adapters fit whole between its frame and its arrow, and the drop-down is
// as wide as the widest name.
TEST(Unit1, PortBoxShowsWholeAdapterNames) {
    FormDir dir;
    TForm1 form(dir.Options());
    QComboBox* box = form.ComboBox3;
    QStyleOptionComboBox option;
    option.initFrom(box);
    option.frame = true;
    const QRect field = box->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                     QStyle::SC_ComboBoxEditField, box);
    const QRect arrow =
        box->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxArrow, box);
    // The style draws the label one pixel inside the field on each side.
    for (const char* name : {"ttyUSB99", "ttyACM99", "ttyAMA9", "COM255"})
        EXPECT_LE(box->fontMetrics().horizontalAdvance(QString::fromLatin1(name)),
                  field.width() - 2)
            << name;
    EXPECT_GE(field.left(), 1);
    EXPECT_LT(field.right(), arrow.center().x() - 3); // the arrow stays clear
    EXPECT_EQ(box->geometry(), QRect(51, 0, 86, 24));
}

TEST(Unit1, PanelLabelsAndHeadings) {
    FormDir dir;
    TForm1 form(dir.Options());
    // Each text with the places it stands at, headings in red.
    struct Row {
        const char* text;
        bool red;
        std::vector<QPoint> at;
    } rows[] = {
        {"Morning School Zone Time", true, {{192, 16}}},
        {"Afternoon School Zone Time", true, {{184, 80}}},
        {"Regular Hours", true, {{72, 152}}},
        {"Set Display Flashing Rate", true, {{328, 152}}},
        {"From:", false, {{31, 45}, {31, 109}}},
        {"h", false, {{121, 45}, {305, 45}, {121, 109}, {305, 109}}},
        {"m", false, {{195, 45}, {379, 45}, {195, 109}, {379, 109}}},
        {"To:", false, {{223, 45}, {223, 109}}},
        {"Speed Limit:", false, {{410, 45}, {411, 110}, {35, 182}}},
        {"Flashing Rate:", false, {{283, 182}}},
    };
    using Placed = std::tuple<std::string, int, int, bool>; // text, left, top, red
    std::multiset<Placed> expected;
    for (const Row& row : rows)
        for (const QPoint& at : row.at)
            expected.insert({row.text, at.x(), at.y(), row.red});
    std::multiset<Placed> found;
    for (QLabel* label : form.Panel1->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        const std::string text = label->text().toStdString();
        const bool red = label->palette().color(QPalette::WindowText) == QColor(Qt::red);
        found.insert({text, label->x(), label->y(), red});
        EXPECT_FALSE(label->isHidden()) << text;
        // Wide enough for the text, one text line high: nothing clipped.
        EXPECT_EQ(label->width(), static_cast<int>(8 * text.size())) << text;
        EXPECT_EQ(label->height(), 16) << text;
    }
    EXPECT_EQ(found, expected);
}

TEST(Unit1, EntryRangesAndLists) {
    FormDir dir;
    TForm1 form(dir.Options());
    struct Row {
        TSpinEdit* spin;
        std::int32_t min;
        std::int32_t max;
    } rows[] = {
        {form.SpinEdit1, 0, 23}, {form.SpinEdit2, 0, 59},  {form.SpinEdit7, 0, 23},
        {form.SpinEdit8, 0, 59}, {form.SpinEdit5, 1, 99},  {form.SpinEdit3, 0, 23},
        {form.SpinEdit4, 0, 59}, {form.SpinEdit9, 0, 23},  {form.SpinEdit10, 0, 59},
        {form.SpinEdit6, 1, 99}, {form.SpinEdit11, 1, 99},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.spin->objectName().toStdString());
        EXPECT_EQ(row.spin->MinValue(), row.min);
        EXPECT_EQ(row.spin->MaxValue(), row.max);
        EXPECT_EQ(row.spin->Increment(), 1);
        EXPECT_EQ(row.spin->maxLength(), 2);
    }
    ASSERT_EQ(form.ComboBox1->count(), 3);
    EXPECT_EQ(form.ComboBox1->itemText(0), QStringLiteral("1.5Hz"));
    EXPECT_EQ(form.ComboBox1->itemText(1), QStringLiteral("1Hz"));
    EXPECT_EQ(form.ComboBox1->itemText(2), QStringLiteral("0.75 Hz."));
    EXPECT_EQ(form.ComboBox3->count(), 0);
}

// Qt has one focus chain per window: the window's order with Panel1's own
// order in Panel1's place.
TEST(Unit1, TabOrder) {
    FormDir dir;
    TForm1 form(dir.Options());
    const std::vector<QString> chain = Strings(
        {"Button2",   "ComboBox3",  "Memo1",      "Memo2",     "Button9", "SpinEdit3", "SpinEdit4",
         "SpinEdit1", "SpinEdit2",  "SpinEdit5",  "SpinEdit6", "Button1", "SpinEdit7", "SpinEdit8",
         "SpinEdit9", "SpinEdit10", "SpinEdit11", "ComboBox1", "Button3", "Button8"});
    const std::set<QString> named(chain.begin(), chain.end());
    std::vector<QString> walked;
    QWidget* w = form.Button2;
    do {
        if (named.count(w->objectName()) && w->focusPolicy() & Qt::TabFocus) {
            walked.push_back(w->objectName());
        }
        w = w->nextInFocusChain();
    } while (w != form.Button2);
    EXPECT_EQ(walked, chain);

    // The Tab key visits the visible ones in that order and wraps around.
    ShowActive(form);
    form.Button2->setFocus();
    const std::vector<QString> expected =
        Strings({"ComboBox3", "SpinEdit3", "SpinEdit4", "SpinEdit1", "SpinEdit2", "SpinEdit5",
                 "SpinEdit6", "Button1", "SpinEdit7", "SpinEdit8", "SpinEdit9", "SpinEdit10",
                 "SpinEdit11", "ComboBox1", "Button3", "Button8", "Button2"});
    std::vector<QString> visited;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited.push_back(QApplication::focusWidget() ? QApplication::focusWidget()->objectName()
                                                      : QString());
    }
    EXPECT_EQ(visited, expected);
}

TEST(Unit1, NoFileShowsTheDefaultsAndClosingWritesThem) {
    FormDir dir;
    TForm1 form(dir.Options());
    EXPECT_EQ(form.SettingsPath(), dir.File());
    EXPECT_EQ(Shown(form),
              Strings({"-1", "20", "0", "8", "0", "18", "0", "20", "18", "0", "22", "0", "20"}));
    EXPECT_EQ(form.ComboBox1->currentText(), QStringLiteral("1.5Hz"));
    EXPECT_FALSE(QFile::exists(dir.File())); // nothing written at start-up
    form.close();
    // No port list yet, so no port is selected: the first field is -1.
    Bytes expected = DefaultFile;
    std::fill(expected.begin(), expected.begin() + 4, 0xFF);
    EXPECT_EQ(ReadFile(dir.File()), expected);
}

TEST(Unit1, ProgramPutsTheFileBesideTheExecutable) {
    FormDir dir;
    TForm1 form(TForm1Options{{}, dir.Path().string(), {}, {}});
    EXPECT_EQ(form.SettingsPath(),
              QCoreApplication::applicationDirPath() + QStringLiteral("/LEDINFO.BIN"));
}

// What the window shows for a given file, and what closing it then writes.
TEST(Unit1, FileValuesAreClampedByTheControls) {
    struct Row {
        const char* what;
        Bytes file;
        std::vector<QString> shown;
    } rows[] = {
        // The fields in file order: port, regular speed, rate; morning from
        // hour, minute, to hour, minute, speed; the same for the afternoon.
        {"out of range", SettingsFile({3, 0, 255, 30, 60, -1, 59, -1, 23, 7, 0, INT32_MIN, 100}),
         Strings({"-1", "1", "-1", "23", "59", "0", "59", "1", "23", "7", "0", "0", "99"})},
        {"in range", SettingsFile({0, 20, 2, 8, 0, 18, 0, 99, 18, 0, 22, 0, 20}),
         Strings({"-1", "20", "2", "8", "0", "18", "0", "99", "18", "0", "22", "0", "20"})},
        {"empty file", Bytes{},
         Strings({"-1", "1", "0", "0", "0", "0", "0", "1", "0", "0", "0", "0", "1"})},
        {"10 bytes", Bytes{0, 0, 0, 0, 50, 0, 0, 0, 1, 0},
         Strings({"-1", "50", "1", "0", "0", "0", "0", "1", "0", "0", "0", "0", "1"})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FormDir dir;
        WriteFile(dir.File(), row.file);
        TForm1 form(dir.Options());
        EXPECT_EQ(Shown(form), row.shown);
    }
}

TEST(Unit1, NoRateSelectedIsSavedAsMinusOne) {
    FormDir dir;
    TSignSettings s = DefaultSignSettings();
    s.FlashRateIndex = 255;
    WriteSettings(dir.File(), s);
    {
        TForm1 form(dir.Options());
        EXPECT_EQ(form.ComboBox1->currentIndex(), -1);
        EXPECT_EQ(form.ComboBox1->currentText(), QString());
        form.close();
    }
    const TSignSettings saved = ReadSettings(dir.File());
    EXPECT_EQ(saved.FlashRateIndex, -1);
    EXPECT_EQ(saved.PortIndex, -1);
    EXPECT_EQ(saved.MorningEndHour, 18);
}

// A spin edit clamps typed text only when it loses the focus: closing the
// window while the field still has it saves what was typed.
TEST(Unit1, TypedEntriesAreSavedAsTheControlsReportThem) {
    FormDir dir;
    {
        TForm1 form(dir.Options());
        ShowActive(form);
        form.SpinEdit5->setFocus();
        form.SpinEdit5->selectAll();
        QTest::keyClick(form.SpinEdit5, Qt::Key_Backspace); // empty: not a number
        form.SpinEdit11->setFocus();
        form.SpinEdit11->selectAll();
        QTest::keyClick(form.SpinEdit11, Qt::Key_Minus); // a lone sign: not a number
        form.SpinEdit2->setFocus();
        form.SpinEdit2->selectAll();
        QTest::keyClicks(form.SpinEdit2, QStringLiteral("75"));
        ASSERT_EQ(QApplication::focusWidget(), form.SpinEdit2);
        EXPECT_EQ(form.SpinEdit2->text(), QStringLiteral("75"));
        form.close();
    }
    TSignSettings saved = ReadSettings(dir.File());
    EXPECT_EQ(saved.MorningStartMinute, 75);
    EXPECT_EQ(saved.MorningSpeed, 1); // MinValue of a speed
    EXPECT_EQ(saved.RegularSpeed, 1); // MinValue of a speed
    EXPECT_EQ(saved.MorningStartHour, 8);

    TForm1 again(dir.Options());
    EXPECT_EQ(again.SpinEdit2->text(), QStringLiteral("59"));
}

TEST(Unit1, ChangedEntriesSurviveARestart) {
    FormDir dir;
    {
        TForm1 form(dir.Options());
        form.SpinEdit1->SetValue(7);
        form.SpinEdit10->SetValue(45);
        form.SpinEdit6->SetValue(30);
        form.ComboBox1->setCurrentIndex(1);
        form.close();
    }
    TForm1 again(dir.Options());
    EXPECT_EQ(Shown(again),
              Strings({"-1", "20", "1", "7", "0", "18", "0", "20", "18", "0", "22", "45", "30"}));
}

TEST(Unit1, ClearEmptiesMemo2) {
    FormDir dir;
    TForm1 form(dir.Options());
    form.Memo1->setPlainText(QStringLiteral("kept"));
    form.Memo2->setPlainText(QStringLiteral("gone"));
    form.Button9->click();
    EXPECT_EQ(form.Memo2->toPlainText(), QString());
    EXPECT_EQ(form.Memo1->toPlainText(), QStringLiteral("kept"));
}

TEST(Unit1, UnwritableFileChangesNothingAndReportsNothing) {
    FormDir dir;
    WriteFile(dir.File(), DefaultFile);
    fs::permissions(dir.File().toStdString(), fs::perms::owner_read);
    {
        TForm1 form(dir.Options());
        form.SpinEdit1->SetValue(3);
        form.close();
    }
    EXPECT_EQ(ReadFile(dir.File()), DefaultFile);
}

// An installed window: the executable's folder read-only, the entries kept in
// the per-user folder, which the first close creates.
TEST(Unit1, InstalledWindowKeepsItsEntriesInThePerUserFolder) {
    FormDir dir;
    const std::string bin = dir / "bin";
    const std::string data = dir / "data";
    fs::create_directory(bin);
    TSignSettings shipped = DefaultSignSettings();
    shipped.RegularSpeed = 40;
    WriteSettings(QString::fromStdString(bin + "/LEDINFO.BIN"), shipped);
    fs::permissions(bin, fs::perms::owner_read | fs::perms::owner_exec);
    const auto options = [&] {
        TForm1Options o = dir.Options();
        o.SettingsPath.clear();
        o.ExecutableDirectory = bin;
        o.Environment = [&](const std::string& name) -> std::optional<std::string> {
            if (name == "XDG_DATA_HOME")
                return data;
            return std::nullopt;
        };
        return o;
    };
    const QString own = QString::fromStdString(data + "/radar-configurator/LEDINFO.BIN");
    {
        TForm1 form(options());
        EXPECT_EQ(form.SettingsPath(), own);
        EXPECT_EQ(form.SettingsReadPath(), QString::fromStdString(bin + "/LEDINFO.BIN"));
        EXPECT_EQ(form.SpinEdit11->Value(), 40); // the shipped defaults
        form.SpinEdit11->SetValue(55);
        form.close();
    }
    {
        TForm1 form(options());
        EXPECT_EQ(form.SettingsReadPath(), own);
        EXPECT_EQ(form.SpinEdit11->Value(), 55);
    }
    fs::permissions(bin, fs::perms::owner_all);
    EXPECT_EQ(ReadFile(QString::fromStdString(bin + "/LEDINFO.BIN")), [&] {
        const auto b = EncodeSignSettings(shipped);
        return Bytes(b.begin(), b.end());
    }());
}

TEST(Unit1, InstalledWindowWithoutAPerUserFolderSavesNothingAndReportsNothing) {
    FormDir dir;
    const std::string bin = dir / "bin";
    fs::create_directory(bin);
    WriteFile(dir / "data", {}); // the folder cannot be made under a file
    fs::permissions(bin, fs::perms::owner_read | fs::perms::owner_exec);
    TForm1Options o = dir.Options();
    o.SettingsPath.clear();
    o.ExecutableDirectory = bin;
    o.Environment = [&](const std::string&) -> std::optional<std::string> { return dir / "data"; };
    int shown = 0;
    o.ShowResult = [&](const QString&) { ++shown; };
    {
        TForm1 form(o);
        form.SpinEdit11->SetValue(55);
        form.close();
    }
    fs::permissions(bin, fs::perms::owner_all);
    EXPECT_EQ(dir.Names().size(), 2u); // bin and data, nothing more
    EXPECT_TRUE(fs::is_empty(bin));
    EXPECT_EQ(shown, 0);
}

// A pipe named LEDINFO.BIN, wherever the window would look for the entries,
// neither blocks the window's start nor its closing (each would wait for a
// program at the pipe's other end, which never comes), and stays a pipe.
TEST(Unit1, PipeNamedLedinfoBinNeitherBlocksNorIsReplaced) {
    enum Place { TheFile, PerUserBesideAWritableExecutable, PerUserOfAnInstalledProgram };
    const struct {
        const char* what;
        Place place;
        std::int32_t regularSpeed; // SpinEdit11 once started
    } rows[] = {
        // Unreadable: the record is left as it was, all zero; clamped to 1.
        {"the settings file itself", TheFile, 1},
        // Passed over for the file beside the executable.
        {"the per-user file beside a writable executable", PerUserBesideAWritableExecutable, 40},
        {"the per-user file of an installed program", PerUserOfAnInstalledProgram, 40},
    };
    TSignSettings beside = DefaultSignSettings();
    beside.RegularSpeed = 40;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        FormDir dir;
        const std::string bin = dir / "bin";
        const std::string data = dir / "data";
        fs::create_directories(bin);
        fs::create_directories(data + "/radar-configurator");
        WriteSettings(QString::fromStdString(bin + "/LEDINFO.BIN"), beside);
        TForm1Options o = dir.Options();
        std::string fifo = data + "/radar-configurator/LEDINFO.BIN";
        if (row.place == TheFile) {
            fifo = dir / "LEDINFO.BIN";
        } else {
            o.SettingsPath.clear();
            o.ExecutableDirectory = bin;
            o.Environment = [&](const std::string& name) -> std::optional<std::string> {
                if (name == "XDG_DATA_HOME")
                    return data;
                return std::nullopt;
            };
        }
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
        if (row.place == PerUserOfAnInstalledProgram)
            fs::permissions(bin, fs::perms::owner_read | fs::perms::owner_exec);
        {
            PipeWatchdog watchdog(fifo);
            {
                TForm1 form(o);
                EXPECT_EQ(form.SpinEdit11->Value(), row.regularSpeed);
                form.SpinEdit11->SetValue(55);
                form.close();
            }
            EXPECT_FALSE(watchdog.Done()) << "the window waited on the pipe";
        }
        fs::permissions(bin, fs::perms::owner_all);
        EXPECT_TRUE(fs::is_fifo(fifo));
        // Beside a writable executable the entries are saved there as usual.
        EXPECT_EQ(ReadSettings(QString::fromStdString(bin + "/LEDINFO.BIN")).RegularSpeed,
                  row.place == PerUserBesideAWritableExecutable ? 55 : 40);
    }
}
