// Port names on POSIX: the device path of a name, the console test and the
// scan, on a made-up /dev folder, made-up sysfs entries and pseudo-terminals
// of the test's own (each is looked up, never opened).

#include "serial/driver/PosixPorts.h"

#include "tests/support/PtyPair.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

using comm::posix::DevicePath;
using comm::posix::IsSystemConsole;
using comm::posix::ListSerialPorts;

class FakeDev {
public:
    FakeDev() {
        char dir[] = "/tmp/rc-dev-XXXXXX";
        root_ = ::mkdtemp(dir);
        dev_ = root_ + "/dev";
        ::mkdir(dev_.c_str(), 0755);
    }
    ~FakeDev() {
        for (const std::string& p : made_)
            ::remove(p.c_str());
        for (const std::string& e : sysfs_) {
            ::remove((e + "/type").c_str());
            ::rmdir(e.c_str());
        }
        ::rmdir((root_ + "/char").c_str());
        ::rmdir(dev_.c_str());
        ::remove((root_ + "/console").c_str());
        ::rmdir(root_.c_str());
    }
    FakeDev(const FakeDev&) = delete;
    FakeDev& operator=(const FakeDev&) = delete;

    void File(const std::string& name) {
        std::ofstream(dev_ + "/" + name).put('x');
        made_.push_back(dev_ + "/" + name);
    }
    void Link(const std::string& name, const std::string& target) {
        ASSERT_EQ(::symlink(target.c_str(), (dev_ + "/" + name).c_str()), 0);
        made_.push_back(dev_ + "/" + name);
    }
    void Folder(const std::string& name) {
        ::mkdir((dev_ + "/" + name).c_str(), 0755);
        made_.insert(made_.begin(), dev_ + "/" + name); // removed after its contents
    }
    std::string Console(const std::string& text) {
        std::ofstream(root_ + "/console") << text;
        return root_ + "/console";
    }
    // A sysfs entry of the device at target, under root/char, with its type.
    std::string Uart(const std::string& target, const std::string& type) {
        struct stat st {};
        EXPECT_EQ(::stat(target.c_str(), &st), 0) << target;
        const std::string dir = root_ + "/char";
        const std::string entry =
            dir + "/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
        ::mkdir(dir.c_str(), 0755);
        ::mkdir(entry.c_str(), 0755);
        std::ofstream(entry + "/type") << type << "\n";
        sysfs_.push_back(entry);
        return dir;
    }
    const std::string& dev() const { return dev_; }

private:
    std::string root_;
    std::string dev_;
    std::vector<std::string> made_;
    std::vector<std::string> sysfs_;
};

// The pseudo-terminal that a pair's link names ("/dev/pts/3").
std::string Terminal(const rc_test::PtyPair& pty) {
    char target[PATH_MAX] = {};
    const ssize_t n = ::readlink(pty.PortName().c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

bool IsCharDevice(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0 && S_ISCHR(st.st_mode);
}

TEST(PosixPorts, DevicePathPutsABareNameInDev) {
    const struct {
        const char* name;
        const char* path;
    } rows[] = {
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"ttyS1", "/dev/ttyS1"},
        {"/dev/pts/3", "/dev/pts/3"},
        {"../pts/3", "../pts/3"}, // a path, from the current folder
        {"pts/3", "pts/3"},
        {"", ""},
        // Windows' device prefix belongs to CreateFileA's names, not to a port's.
        {"\\\\.\\ttyS0", "/dev/\\\\.\\ttyS0"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(DevicePath(row.name), row.path) << row.name;
}

// The console is found by its device whatever leads to it, by its path where
// this system has no node for it, and never for another device.
TEST(PosixPorts, TheConsoleIsFoundUnderEveryNameThatReachesIt) {
    FakeDev dev;
    rc_test::PtyPair console;
    rc_test::PtyPair other;
    const std::string pts = Terminal(console);
    ASSERT_EQ(pts.rfind("/dev/", 0), 0u) << pts;
    const std::string active = dev.Console("tty0 " + pts.substr(5) + "\n");
    dev.Link("ttyUSB0", pts);
    dev.Link("hop", dev.dev() + "/ttyUSB0");
    dev.File("ttyS4");
    const std::string none = dev.dev() + "/no-console-file";
    const std::string gone = dev.dev() + "/../gone";
    std::ofstream(gone) << "ttyRcGone9";
    struct Row {
        std::string path;
        std::string consoleFile;
        bool console;
    };
    std::vector<Row> rows = {
        {pts, active, true},
        {console.PortName(), active, true},                 // a symlink to it
        {dev.dev() + "/hop", active, true},                 // a link to a link to it
        {"/dev/pts/../pts/" + pts.substr(9), active, true}, // another path to the node
        {Terminal(other), active, false},
        {other.PortName(), active, false},
        {pts, none, false},
        {pts, dev.dev() + "/ttyS4", false}, // a console file naming nothing of /dev
        {dev.dev() + "/no-such-port", active, false},
        {dev.dev() + "/ttyS4", active, false}, // a file: not a device
        {"/dev/ttyRcGone9", gone, true},       // no node: by its path
        {"/dev/ttyRcGone8", gone, false},
        {"", active, false},
    };
    if (IsCharDevice("/dev/console"))
        rows.push_back({"/dev/console", none, true});
    // tty0 stands for the current virtual console, whichever it is.
    if (IsCharDevice("/dev/tty0") && IsCharDevice("/dev/tty1")) {
        rows.push_back({"/dev/tty0", active, true});
        rows.push_back({"/dev/tty1", active, true});
        rows.push_back({"/dev/tty1", gone, false});
    }
    // Another node of the console's device, where the system lets the test
    // make one.
    struct stat st {};
    const std::string node = dev.dev() + "/console-node";
    if (::stat(pts.c_str(), &st) == 0 && ::mknod(node.c_str(), S_IFCHR | 0600, st.st_rdev) == 0)
        rows.push_back({node, active, true});
    for (const Row& r : rows)
        EXPECT_EQ(IsSystemConsole(r.path, r.consoleFile), r.console)
            << r.path << " with " << r.consoleFile;
    ::remove(node.c_str());
    ::remove(gone.c_str());
}

TEST(PosixPorts, ListsKnownPrefixesInOrderNumericallyWithoutTheConsole) {
    FakeDev dev;
    for (const char* name :
         {"ttyS10", "ttyS2", "ttyS0", "ttyUSB1", "ttyUSB0", "ttyACM0", "ttyAMA3", "rfcomm0", "tty0",
          "tty1", "ttyS", "ttySx1", "ttyUSB", "ttyprintk", "null", "ttyACM01x"})
        dev.File(name);
    dev.Link("ttyUSB7", "/nonexistent/target"); // dangling symlinks count too
    dev.Folder("ttyS5");                        // a folder is no port
    const std::string console = dev.Console("tty0 ttyS0\n");

    const std::vector<std::string> expected = {"ttyS2",   "ttyS10",  "ttyUSB0", "ttyUSB1",
                                               "ttyUSB7", "ttyACM0", "ttyAMA3", "rfcomm0"};
    EXPECT_EQ(ListSerialPorts(dev.dev(), console), expected);
}

TEST(PosixPorts, MissingConsoleFileLeavesNothingOutAndMissingDevGivesNothing) {
    FakeDev dev;
    dev.File("ttyS0");
    dev.File("ttyS1");
    EXPECT_EQ(ListSerialPorts(dev.dev(), dev.dev() + "/no-console"),
              (std::vector<std::string>{"ttyS0", "ttyS1"}));
    EXPECT_TRUE(ListSerialPorts("/tmp/rc-no-such-dev-dir", "/dev/null").empty());
}

// What the scan leaves out by device: the console under a port's name, and a
// serial core port without a UART. A device that sysfs says nothing of (a
// pseudo-terminal, a USB adapter) is kept.
TEST(PosixPorts, TheScanLeavesOutTheConsoleUnderAnyNameAndPortsWithoutAUart) {
    FakeDev dev;
    rc_test::PtyPair console;
    rc_test::PtyPair noUart;
    rc_test::PtyPair uart;
    rc_test::PtyPair plain;
    const std::string active = dev.Console(Terminal(console).substr(5) + "\n");
    dev.Link("ttyUSB0", Terminal(console));
    dev.Link("ttyUSB1", console.PortName());
    dev.Link("ttyS1", Terminal(noUart));
    dev.Link("ttyS2", Terminal(uart));
    dev.Link("ttyS3", Terminal(plain));
    dev.Uart(Terminal(noUart), "0");
    const std::string sys = dev.Uart(Terminal(uart), "4");

    EXPECT_EQ(ListSerialPorts(dev.dev(), active, sys),
              (std::vector<std::string>{"ttyS2", "ttyS3"}));
    // With no console file and no sysfs, every one is listed.
    EXPECT_EQ(ListSerialPorts(dev.dev(), dev.dev() + "/none", dev.dev() + "/none"),
              (std::vector<std::string>{"ttyS1", "ttyS2", "ttyS3", "ttyUSB0", "ttyUSB1"}));
}

} // namespace
