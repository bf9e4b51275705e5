// Port enumeration for the Linux scan, on a made-up /dev folder.

#include "serial/driver/PosixPorts.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

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
    const std::string& dev() const { return dev_; }

private:
    std::string root_;
    std::string dev_;
    std::vector<std::string> made_;
};

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

} // namespace
