#include "configurator/Unit1.h"

#include "configurator/PortWatcher.h"
#include "host/MessageLoop.h"
#include "serial/CPort.h"
#include "serial/driver/CommApi.h"
#include "serial/driver/NetPortName.h"
#include "sign/AuditLog.h"
#include "sign/AuditQueue.h"
#include "sign/ClockOffset.h"
#include "sign/PortFailure.h"
#include "sign/PortIdentity.h"
#include "sign/PortList.h"
#include "sign/PortName.h"
#include "sign/PortsFile.h"
#include "sign/SignTransaction.h"
#include "sign/VisibleText.h"
#include "spin/Spin.h"

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStyleOptionComboBox>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

namespace {

// The face the layout was drawn with. Its ASCII cell is 8 x 16 pixels at this
// size, as every label width of the layout assumes.
const char* const LayoutFace = "宋体";
constexpr int LayoutPixelSize = 16;

std::string FileName(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

// A drop-down index outside the list selects nothing.
void SetComboIndex(QComboBox* box, std::int32_t index) {
    box->setCurrentIndex(index >= 0 && index < box->count() ? index : -1);
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int left, int top,
                  int width = -1, int height = LayoutPixelSize) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    // Labels size themselves to their text unless the layout gives a width.
    if (width < 0) {
        width = label->fontMetrics().horizontalAdvance(text);
    }
    label->setGeometry(left, top, width, height);
    return label;
}

// A button of the window: Return or Enter presses the one that has the focus,
// as on Windows (Space does so already). QPushButton does that only as an
// auto-default button, which the style also draws with the default button's
// frame, taking its width from the text.
class TFormButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
        if (!enter || (event->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) {
            QPushButton::keyPressEvent(event);
            return;
        }
        // A key held down presses once: a command is not sent again by the
        // key's repeat.
        if (!event->isAutoRepeat())
            click();
        event->accept();
    }
};

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text, int left, int top,
                        int width, int height) {
    auto* button = new TFormButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    button->setGeometry(left, top, width, height);
    return button;
}

TSpinEdit* MakeSpin(QWidget* parent, const char* name, int left, int top, int width, int height,
                    std::int32_t minValue, std::int32_t maxValue) {
    auto* spin = new TSpinEdit(parent);
    spin->setObjectName(QString::fromLatin1(name));
    spin->setMaxLength(2);
    spin->SetMinValue(minValue);
    spin->SetMaxValue(maxValue);
    spin->SetIncrement(1);
    spin->setGeometry(left, top, width, height);
    return spin;
}

QPlainTextEdit* MakeMemo(QWidget* parent, const char* name, int left, int top, int width,
                         int height) {
    auto* memo = new QPlainTextEdit(parent);
    memo->setObjectName(QString::fromLatin1(name));
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo->setGeometry(left, top, width, height);
    return memo;
}

// The port box's text field, widened to the box's frame on the left and to
// the arrow's margin on the right: the box was laid out for COM names, and
// "ttyUSB90" or "ttyACM99" (64 pixels) is wider than the style's own field.
class TPortBoxStyle : public QProxyStyle {
public:
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                         const QWidget* widget) const override {
        QRect r = QProxyStyle::subControlRect(control, option, part, widget);
        if (control == CC_ComboBox && part == SC_ComboBoxEditField) {
            const QRect arrow =
                QProxyStyle::subControlRect(control, option, SC_ComboBoxArrow, widget);
            r.setLeft(std::min(r.left(), option->rect.left() + 2));
            r.setRight(std::max(r.right(), arrow.left() + 3));
        }
        return r;
    }
};

// The tooltip of a port: the adapter's description, then what identifies it.
// Empty for a port with nothing known (a pseudo-terminal).
QString PortToolTip(const sign::TPortIdentity& id) {
    if (!id.Known())
        return {};
    QStringList details;
    if (!id.VidPid().empty())
        details << QStringLiteral("USB %1").arg(QString::fromStdString(id.VidPid()));
    if (!id.SerialNumber.empty())
        details << QStringLiteral("serial %1").arg(QString::fromStdString(id.SerialNumber));
    if (!id.Driver.empty())
        details << QStringLiteral("driver %1").arg(QString::fromStdString(id.Driver));
    QStringList lines;
    if (!id.Description.empty())
        lines << QString::fromStdString(id.Description);
    if (!details.isEmpty())
        lines << details.join(QStringLiteral(", "));
    return lines.join(QLatin1Char('\n'));
}

// The file of network ports in the per-user data folder.
constexpr const char* PortsFileName = "ports.txt";

// A network port of the list: its name as the list shows it and the command
// opens it, and its address as its tooltip.
struct TNetPortItem {
    QString Name;
    QString Tip;
};

// "RFC 2217 device server 10.0.0.5, port 4001", "raw TCP, 10.0.0.5:4001".
// The host is ASCII letters, digits, '-', '.' and ':' (a parsed name holds
// nothing else), so it is shown as it is.
QString NetPortToolTip(const comm::net::TNetPortName& name) {
    const QString host = QString::fromStdString(name.Host);
    if (name.Scheme == comm::net::TNetScheme::nsRfc2217)
        return QStringLiteral("RFC 2217 device server %1, port %2").arg(host).arg(name.Port);
    const QString address = name.HostKind == comm::net::THostKind::hkIpv6
                                ? QLatin1Char('[') + host + QLatin1Char(']')
                                : host;
    return QStringLiteral("raw TCP, %1:%2").arg(address).arg(name.Port);
}

// The network ports named in the ports file at `path`, in the file's order,
// each server port once, as the first line names it (sign::NetPortKey: a host
// name in any case, an IPv6 address however written, and tcp:// or
// rfc2217:// to one address are one port). Lines that are no network port
// name, or a malformed one, are passed over, and so is a file that cannot be
// read: a missing one is the usual case, and ReadPortsFile opens nothing but
// a regular file of a bounded size.
std::vector<TNetPortItem> NetPortsOfFile(const std::string& path) {
    std::vector<TNetPortItem> items;
    if (path.empty())
        return items;
    const sign::TPortsFile file = sign::ReadPortsFile(path);
    std::set<std::string> seen;
    for (const sign::TPortsLine& line : file.Ports) {
        if (!comm::net::IsNetPortName(line.Name))
            continue;
        const comm::net::TNetPortNameResult parsed = comm::net::ParseNetPortName(line.Name);
        if (!parsed.Name || !seen.insert(sign::NetPortKey(line.Name)).second)
            continue;
        items.push_back({QString::fromStdString(comm::net::FormatNetPortName(*parsed.Name)),
                         NetPortToolTip(*parsed.Name)});
    }
    return items;
}

// Label24's tooltip for a clock read from `port` when this PC's clock showed
// `pc`: where and when it was read, then its offset from this PC's clock.
// The label keeps that clock until the next one is read, whatever port is
// chosen meanwhile or whatever later commands bring.
QString ClockTip(const std::string& port, const sign::TSignClock& pc,
                 const std::optional<sign::TSignClock>& signClock,
                 const std::optional<std::int64_t>& offset) {
    char at[16];
    std::snprintf(at, sizeof at, "%02d:%02d:%02d", pc.Hour, pc.Minute, pc.Second);
    const std::string what = offset ? sign::ClockOffsetText(*offset)
                             : signClock && sign::IsValidClock(*signClock)
                                 ? std::string("no offset: this PC's clock is no valid date")
                                 : std::string("the sign's clock is no valid date");
    return QString::fromStdString("Read from " + sign::VisibleText(port) + " at " + at + ": " +
                                  what);
}

} // namespace

QFont TForm1::LayoutFont() {
    static const bool substituted = [] {
        // Where the face is missing: its English name, then GNU Unifont,
        // whose 8 x 16 cell keeps the layout.
        QFont::insertSubstitutions(QString::fromUtf8(LayoutFace),
                                   {QStringLiteral("SimSun"), QStringLiteral("Unifont")});
        return true;
    }();
    (void)substituted;
    QFont font(QString::fromUtf8(LayoutFace));
    font.setPixelSize(LayoutPixelSize);
    font.setWeight(QFont::Normal);
    font.setStyle(QFont::StyleNormal);
    return font;
}

TForm1::TForm1(QWidget* parent) : TForm1(TForm1Options{}, parent) {}

TForm1::TForm1(TForm1Options options, QWidget* parent)
    : QWidget(parent), FOptions(std::move(options)) {
    CreateControls();
    CreatePort();
    const std::string auditFolder =
        FOptions.AuditFolder ? *FOptions.AuditFolder
                             : UserSettingsFolder(FOptions.Environment ? FOptions.Environment
                                                                       : ProcessEnvironment());
    if (!auditFolder.empty())
        FAuditLog = std::make_unique<audit::TAuditQueue>(auditFolder);
    const std::string userFolder =
        UserSettingsFolder(FOptions.Environment ? FOptions.Environment : ProcessEnvironment());
    if (!userFolder.empty())
        FPortsFile = (std::filesystem::path(userFolder) / PortsFileName).string();
    FormCreate();
    if (FOptions.WatchPorts) {
        FPortWatcher = new TPortWatcher(this);
        connect(FPortWatcher, &TPortWatcher::Changed, this, &TForm1::PortsChanged);
    }
}

TForm1::~TForm1() = default;

void TForm1::CreatePort() {
    mycomm1 = std::make_unique<cport::TComPort>(nullptr);
    mycomm1->SetName("mycomm1");
    mycomm1->SetPort("COM1");
    sign::ConfigureSignPort(*mycomm1);
    mycomm1->OnRxChar = [this](cport::TCustomComPort* Sender, std::int32_t Count) {
        mycomm1RxChar(Sender, Count);
    };
}

void TForm1::CreateControls() {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Radar Configurator"));
    // A fixed dialog frame: a title and a close box, no minimise or maximise
    // box, not resizable.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(633, 289);
    setFont(LayoutFont());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);
    setAutoFillBackground(true);

    // Top row.
    Label56 = MakeLabel(this, "Label56", QStringLiteral("COM"), 16, 4, 24, 16);
    ComboBox3 = new QComboBox(this);
    ComboBox3->setObjectName(QStringLiteral("ComboBox3"));
    ComboBox3->setEditable(false);
    ComboBox3->setGeometry(51, 0, 86, 24);
    auto* portBoxStyle = new TPortBoxStyle;
    portBoxStyle->setParent(ComboBox3);
    ComboBox3->setStyle(portBoxStyle);
    connect(ComboBox3, &QComboBox::currentIndexChanged, this, &TForm1::ShowChosenPortTip);
    Button8 = MakeButton(this, "Button8", QStringLiteral("Refresh"), 160, 0, 75, 25);
    Button2 = MakeButton(this, "Button2", QStringLiteral("Send Time"), 256, 0, 113, 25);
    Button3 = MakeButton(this, "Button3", QStringLiteral("Read Time"), 384, 0, 97, 25);
    Label24 = MakeLabel(this, "Label24", QStringLiteral("Label24"), 488, 4, 56, 16);
    Label24->hide();

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(1);
    Panel1->setGeometry(0, 32, 633, 257);

    // Hidden controls of the window.
    Label10 = MakeLabel(this, "Label10", QStringLiteral("Send"), 153, 40, 32, 16);
    Label11 = MakeLabel(this, "Label11", QStringLiteral("Rece"), 417, 40, 32, 16);
    Label23 = MakeLabel(this, "Label23", QStringLiteral("Calibration control card time"), 40, 52,
                        232, 16);
    Memo1 = MakeMemo(this, "Memo1", 56, 96, 233, 193);
    Memo2 = MakeMemo(this, "Memo2", 352, 64, 233, 169);
    Button9 = MakeButton(this, "Button9", QStringLiteral("Clear"), 374, 193, 75, 25);
    for (QWidget* hidden : {static_cast<QWidget*>(Label10), static_cast<QWidget*>(Label11),
                            static_cast<QWidget*>(Label23), static_cast<QWidget*>(Memo1),
                            static_cast<QWidget*>(Memo2), static_cast<QWidget*>(Button9)}) {
        hidden->hide();
    }
    connect(Button9, &QPushButton::clicked, this, &TForm1::Button9Click);
    connect(Button8, &QPushButton::clicked, this, &TForm1::Button8Click);
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);

    // Panel1: headings in red, plain labels, then the entries.
    struct LabelSpec {
        const char* text;
        int left;
        int top;
        bool heading;
    };
    static const LabelSpec panelLabels[] = {
        {"Morning School Zone Time", 192, 16, true},
        {"Afternoon School Zone Time", 184, 80, true},
        {"Regular Hours", 72, 152, true},
        {"Set Display Flashing Rate", 328, 152, true},
        {"From:", 31, 45, false},
        {"From:", 31, 109, false},
        {"h", 121, 45, false},
        {"h", 305, 45, false},
        {"h", 121, 109, false},
        {"h", 305, 109, false},
        {"m", 195, 45, false},
        {"m", 379, 45, false},
        {"m", 195, 109, false},
        {"m", 379, 109, false},
        {"To:", 223, 45, false},
        {"To:", 223, 109, false},
        {"Speed Limit:", 410, 45, false},
        {"Speed Limit:", 411, 110, false},
        {"Speed Limit:", 35, 182, false},
        {"Flashing Rate:", 283, 182, false},
    };
    for (const LabelSpec& spec : panelLabels) {
        QLabel* label = MakeLabel(Panel1, "", QString::fromLatin1(spec.text), spec.left, spec.top);
        if (spec.heading) {
            QPalette red = label->palette();
            red.setColor(QPalette::WindowText, Qt::red);
            label->setPalette(red);
        }
    }

    SpinEdit1 = MakeSpin(Panel1, "SpinEdit1", 76, 40, 41, 26, 0, 23);
    SpinEdit2 = MakeSpin(Panel1, "SpinEdit2", 148, 40, 41, 26, 0, 59);
    SpinEdit7 = MakeSpin(Panel1, "SpinEdit7", 260, 40, 41, 26, 0, 23);
    SpinEdit8 = MakeSpin(Panel1, "SpinEdit8", 332, 40, 41, 26, 0, 59);
    SpinEdit5 = MakeSpin(Panel1, "SpinEdit5", 512, 40, 81, 26, 1, 99);
    SpinEdit3 = MakeSpin(Panel1, "SpinEdit3", 76, 105, 41, 26, 0, 23);
    SpinEdit4 = MakeSpin(Panel1, "SpinEdit4", 148, 105, 41, 26, 0, 59);
    SpinEdit9 = MakeSpin(Panel1, "SpinEdit9", 260, 105, 41, 26, 0, 23);
    SpinEdit10 = MakeSpin(Panel1, "SpinEdit10", 332, 105, 41, 26, 0, 59);
    SpinEdit6 = MakeSpin(Panel1, "SpinEdit6", 512, 104, 81, 26, 1, 99);
    SpinEdit11 = MakeSpin(Panel1, "SpinEdit11", 146, 177, 81, 26, 1, 99);
    ComboBox1 = new QComboBox(Panel1);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setEditable(false);
    ComboBox1->addItems(
        {QStringLiteral("1.5Hz"), QStringLiteral("1Hz"), QStringLiteral("0.75 Hz.")});
    ComboBox1->setGeometry(402, 178, 145, 24);
    Button1 = MakeButton(Panel1, "Button1", QStringLiteral("Download"), 264, 215, 75, 25);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);

    SetTabOrder();
}

// Tab order, per container: on the window Button2, ComboBox3, Memo1, Memo2,
// Button9, Panel1, Button3, Button8; inside Panel1 SpinEdit3, SpinEdit4,
// SpinEdit1, SpinEdit2, SpinEdit5, SpinEdit6, Button1, SpinEdit7, SpinEdit8,
// SpinEdit9, SpinEdit10, SpinEdit11, ComboBox1. Qt keeps one chain for the
// window, so Panel1's place in it is taken by its own chain.
void TForm1::SetTabOrder() {
    QWidget* const chain[] = {
        Button2,   ComboBox3,  Memo1,      Memo2,     Button9, SpinEdit3, SpinEdit4,
        SpinEdit1, SpinEdit2,  SpinEdit5,  SpinEdit6, Button1, SpinEdit7, SpinEdit8,
        SpinEdit9, SpinEdit10, SpinEdit11, ComboBox1, Button3, Button8,
    };
    for (std::size_t i = 1; i < std::size(chain); ++i) {
        QWidget::setTabOrder(chain[i - 1], chain[i]);
    }
}

void TForm1::FormCreate() {
    // The port list is filled before the settings are pushed, so that the
    // saved port index selects among the ports found.
    ScanPorts();
    if (!FOptions.SettingsPath.isEmpty()) {
        FSettingsPath = FSettingsReadPath = FOptions.SettingsPath;
    } else {
        const std::string exeDir =
            !FOptions.ExecutableDirectory.empty()
                ? FOptions.ExecutableDirectory
                : QFile::encodeName(
                      QDir::toNativeSeparators(QCoreApplication::applicationDirPath()))
                      .toStdString();
        const TSettingsLocation location = ChooseSettingsLocation(
            exeDir, FOptions.Environment ? FOptions.Environment : ProcessEnvironment());
        FSettingsPath = QFile::decodeName(QByteArray::fromStdString(location.SavePath));
        FSettingsReadPath = QFile::decodeName(QByteArray::fromStdString(location.ReadPath));
        FSettingsFolder = location.CreateFolder;
    }
    LoadSettings(FSettingsReadPath);
    PushSettings();
}

void TForm1::PushSettings() {
    SetComboIndex(ComboBox3, FSettings.PortIndex);
    SetComboIndex(ComboBox1, FSettings.FlashRateIndex);
    SpinEdit1->SetValue(FSettings.MorningStartHour);
    SpinEdit2->SetValue(FSettings.MorningStartMinute);
    SpinEdit7->SetValue(FSettings.MorningEndHour);
    SpinEdit8->SetValue(FSettings.MorningEndMinute);
    SpinEdit5->SetValue(FSettings.MorningSpeed);
    SpinEdit3->SetValue(FSettings.AfternoonStartHour);
    SpinEdit4->SetValue(FSettings.AfternoonStartMinute);
    SpinEdit9->SetValue(FSettings.AfternoonEndHour);
    SpinEdit10->SetValue(FSettings.AfternoonEndMinute);
    SpinEdit6->SetValue(FSettings.AfternoonSpeed);
    SpinEdit11->SetValue(FSettings.RegularSpeed);
}

void TForm1::FormClose() {
    StoreSettings();
}

void TForm1::Button9Click() {
    Memo2->clear();
}

void TForm1::SetDefaultSettings() {
    FSettings = DefaultSignSettings();
}

void TForm1::LoadSettings(const QString& Path) {
    LoadSignSettingsFile(FileName(Path), FSettings);
}

void TForm1::SaveSettings(const QString& Path) {
    SaveSignSettingsFile(FileName(Path), FSettings);
}

TSignSettings TForm1::EntriesFromControls() const {
    TSignSettings e;
    e.PortIndex = ComboBox3->currentIndex();
    e.FlashRateIndex = ComboBox1->currentIndex();
    e.MorningStartHour = SpinEdit1->Value();
    e.MorningStartMinute = SpinEdit2->Value();
    e.MorningEndHour = SpinEdit7->Value();
    e.MorningEndMinute = SpinEdit8->Value();
    e.MorningSpeed = SpinEdit5->Value();
    e.AfternoonStartHour = SpinEdit3->Value();
    e.AfternoonStartMinute = SpinEdit4->Value();
    e.AfternoonEndHour = SpinEdit9->Value();
    e.AfternoonEndMinute = SpinEdit10->Value();
    e.AfternoonSpeed = SpinEdit6->Value();
    e.RegularSpeed = SpinEdit11->Value();
    return e;
}

void TForm1::StoreSettings() {
    FSettings = EntriesFromControls();
    SaveSignSettingsAt({FileName(FSettingsReadPath), FileName(FSettingsPath), FSettingsFolder},
                       FSettings);
}

// ---- Port list ----------------------------------------------------------------

void TForm1::ScanPorts() {
    ComboBox3->clear();
    const std::vector<std::string> names =
        sign::ScanPorts(*mycomm1, sign::PortCandidates(FOptions.PortDirectory));
    const std::vector<sign::TPortIdentity> ids = sign::PortIdentities(names);
    int widest = 0;
    const auto add = [this, &widest](const QString& name, const QString& tip) {
        ComboBox3->addItem(name);
        ComboBox3->setItemData(ComboBox3->count() - 1, tip, Qt::ToolTipRole);
        widest = std::max(widest, ComboBox3->fontMetrics().horizontalAdvance(name));
    };
    for (std::size_t i = 0; i < names.size(); ++i)
        add(QString::fromStdString(names[i]), PortToolTip(ids[i]));
    // Then the network ports: none of them is connected to here.
    for (const TNetPortItem& item : NetPortsOfFile(FPortsFile))
        add(item.Name, item.Tip);
    // The drop-down shows whole names, wider than the box when they need it.
    ComboBox3->view()->setMinimumWidth(widest + 2 * ComboBox3->view()->frameWidth() + 8);
    ShowChosenPortTip();
}

void TForm1::ShowChosenPortTip() {
    const int i = ComboBox3->currentIndex();
    ComboBox3->setToolTip(i < 0 ? QString() : ComboBox3->itemData(i, Qt::ToolTipRole).toString());
}

void TForm1::RescanKeepingTheChoice() {
    const QString previous = ComboBox3->currentText();
    ScanPorts();
    // The previous port at its new place, else the first; none on an empty list.
    const int position = ComboBox3->findText(previous, Qt::MatchExactly | Qt::MatchCaseSensitive);
    ComboBox3->setCurrentIndex(ComboBox3->count() == 0 ? -1 : std::max(position, 0));
}

void TForm1::Button8Click() {
    RescanKeepingTheChoice();
    mycomm1->Close();
}

void TForm1::PortsChanged() {
    if (FCommandRunning) {
        FPortsChanged = true;
        return;
    }
    FPortsChanged = false;
    RescanKeepingTheChoice();
}

// ---- Commands -------------------------------------------------------------------

void TForm1::Button1Click() {
    StoreSettings();
    RunCommand(sign::CmdDownload, [this] { return sign::DownloadPayload(EntriesFromControls()); });
}

void TForm1::Button2Click() {
    RunCommand(sign::CmdSetTime, [this] {
        return sign::SetTimePayload(FOptions.Clock ? FOptions.Clock() : sign::LocalClock());
    });
}

void TForm1::Button3Click() {
    RunCommand(sign::CmdReadTime, [] { return std::string(); });
}

void TForm1::RunCommand(std::int32_t code, const std::function<std::string()>& payload) {
    // The port box and Refresh too: the command's port is the one shown until
    // it ends (a port chosen meanwhile would be shown beside its result).
    QWidget* const controls[] = {Button1, Button2, Button3, ComboBox3, Button8};
    // The command's button, pressed by a click or a key, has the focus; it
    // gets it back when the command has ended, after its result box, as a
    // Windows button does.
    QPushButton* const pressed = code == sign::CmdDownload  ? Button1
                                 : code == sign::CmdSetTime ? Button2
                                                            : Button3;
    const bool pressedHadFocus = focusWidget() == pressed;
    // Meanwhile nothing has it: Qt would pass it on to the next control (an
    // entry, its digits selected, as if it were the one typed into).
    if (pressedHadFocus)
        pressed->clearFocus();
    for (QWidget* c : controls)
        c->setEnabled(false);
    FCommandRunning = true;
    // Enabled again however the command ends, an exception from the port included.
    struct Restore {
        TForm1* form;
        QWidget* const* controls;
        std::size_t count;
        QPushButton* focus; // null: the focus stays where it is
        ~Restore() {
            form->FCommandRunning = false;
            for (std::size_t i = 0; i < count; ++i)
                controls[i]->setEnabled(true);
            if (focus != nullptr && !form->FClosing)
                focus->setFocus(Qt::OtherFocusReason);
            // Ports that came or went meanwhile: the list follows now.
            if (form->FPortsChanged)
                QTimer::singleShot(0, form, &TForm1::PortsChanged);
        }
    } restore{this, controls, std::size(controls), pressedHadFocus ? pressed : nullptr};
    FSignLink.BeginRequest(code, payload());
    SendCommand();
}

void TForm1::SendCommand() {
    sign::TTransactionHooks hooks;
    hooks.Cancelled = [this] { return FClosing; };
    hooks.Wait = [this](std::chrono::milliseconds timeout) {
        WaitForAck(static_cast<int>(timeout.count()));
    };
    const std::string port = ComboBox3->currentText().toStdString();
    // The window writes into a port that did not open, as it always has; the
    // log says why it did not, from what the system tells right after the
    // open (the writes that follow may leave other errors behind).
    std::string openFailure;
    hooks.Opened = [&openFailure, &port](bool opened) {
        if (!opened)
            openFailure = sign::OpenFailureText(comm::Api().GetLastError(), port);
        return true;
    };
    FCommandPort = port;
    FSignClock.clear();
    FClockOffset.reset();
    sign::TTransactionResult result;
    try {
        result = sign::RunTransaction(*mycomm1, FSignLink, port, {}, hooks);
    } catch (const cport::EComPort& raised) {
        LogCommand(port, 0, std::string("error: ") + raised.what());
        throw;
    }
    LogCommand(port, result.Writes,
               FClosing              ? "cancelled: the window was closed"
               : !result.Opened      ? openFailure
               : result.Acknowledged ? "ok"
               // A network port's server that dropped the line is said as that.
               : result.DeviceGone
                   ? sign::OpenFailureText(comm::ERROR_DEVICE_REMOVED, sign::NameFacts(port))
                   : "no answer");
    if (FClosing)
        return; // the window has gone: nobody to tell
    ShowResult(FSignLink.AckReceived() ? QStringLiteral("send sucess")
                                       : QStringLiteral("send error"));
}

void TForm1::LogCommand(const std::string& port, int tries, const std::string& outcome) {
    if (!FAuditLog)
        return;
    const sign::TPortIdentity id = sign::PortIdentityOf(port);
    audit::TAuditRecord record;
    record.Program = "radar-configurator";
    record.Port = sign::CanonicalPortName(port);
    record.AdapterId = id.VidPid();
    record.AdapterSerial = id.SerialNumber;
    record.Command = sign::CommandName(FSignLink.CommandCode());
    record.Request = sign::HexBytes(FSignLink.Frame());
    record.Tries = tries;
    record.Outcome = outcome;
    record.SignClock = FSignClock;
    record.OffsetSeconds = FClockOffset;
    // Written by the queue's thread: a log on a share that does not answer
    // holds up that thread, not the window. A log that cannot be written
    // changes nothing for the operator.
    FAuditLog->Post(record);
}

void TForm1::WaitForAck(int T) {
    sign::WaitForAck(
        [this] { return FSignLink.AckReceived() || FClosing || sign::DeviceGone(*mycomm1); },
        std::chrono::milliseconds(T));
}

void TForm1::ShowResult(const QString& text) {
    if (FOptions.ShowResult) {
        FOptions.ShowResult(text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void TForm1::mycomm1RxChar(cport::TCustomComPort* Sender, std::int32_t Count) {
    std::string bytes;
    Sender->ReadString(Count, bytes);
    const sign::TSignLink::TReceived received = FSignLink.Receive(bytes);
    if (!received.ClockText)
        return;
    // The PC's clock at the reply, against the sign's.
    const sign::TSignClock pc = FOptions.Clock ? FOptions.Clock() : sign::LocalClock();
    const std::optional<sign::TSignClock> clock = sign::ReplyClock(FSignLink.LastReply());
    FClockOffset = clock ? sign::ClockOffsetSeconds(*clock, pc) : std::nullopt;
    // As a date where it is one, else with the bytes that are none.
    FSignClock = sign::ClockField(FSignLink.LastReply());
    SetClockText(*received.ClockText);
    Label24->setToolTip(ClockTip(FCommandPort, pc, clock, FClockOffset));
}

void TForm1::SetClockText(const std::string& text) {
    const QString caption = QString::fromLatin1(text);
    Label24->setText(caption);
    // A label sizes itself to its text.
    Label24->resize(Label24->fontMetrics().horizontalAdvance(caption), Label24->height());
    Label24->show();
}

void TForm1::closeEvent(QCloseEvent* event) {
    FormClose();
    if (FCommandRunning) {
        FClosing = true;
        host::WakeMainThread();
    }
    QWidget::closeEvent(event);
}

QPoint TForm1::PlacementIn(const QRect& area, const QSize& size) {
    // Each axis on its own: a window too wide for the screen but not too
    // tall still sits in the middle from top to bottom.
    const auto start = [](int areaStart, int areaLength, int length) {
        return length <= areaLength ? areaStart + (areaLength - length) / 2 : areaStart;
    };
    return {start(area.left(), area.width(), size.width()),
            start(area.top(), area.height(), size.height())};
}

void TForm1::showEvent(QShowEvent* event) {
    // Placed on the screen when first shown: centred where it fits (at
    // 200 % on a 1024 x 768 screen it does not).
    if (!FCentred && !event->spontaneous()) {
        FCentred = true;
        if (const QScreen* s = screen()) {
            // The frame, where the system has given it one already.
            const QSize outer = frameGeometry().size().expandedTo(size());
            move(PlacementIn(s->availableGeometry(), outer));
        }
    }
    QWidget::showEvent(event);
}
