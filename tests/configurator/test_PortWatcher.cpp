// The port watcher on Linux, with USB serial adapters mocked by umockdev
// (tests/support/MockAdapter.h; the program runs under umockdev's preload):
// Changed() once an adapter is plugged in and once it is pulled out, once
// for a burst, and not for what is no port coming or going.

#include "configurator/PortWatcher.h"

#include "tests/support/MockAdapter.h"

#include <QCoreApplication>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using rc_test::TMockAdapter;

namespace {

constexpr int kDeadlineMs = 5000;
// How long a signal that must not come is waited for.
constexpr int kSilenceMs = 150;

class PortWatcherTest : public ::testing::Test {
protected:
    // The watcher's socket is made after the test bed, so that it is the
    // test bed's.
    rc_test::TMockTestbed FTestbed;
    TPortWatcher FWatcher;
    QSignalSpy FChanged{&FWatcher, &TPortWatcher::Changed};
};

TEST_F(PortWatcherTest, PlugAndUnplugEachSignalOnce) {
    ASSERT_TRUE(FWatcher.Active());
    TMockAdapter adapter(FTestbed, 0);

    adapter.Plug(); // four devices, one of them a tty
    ASSERT_TRUE(FChanged.wait(kDeadlineMs));
    QCoreApplication::processEvents();
    EXPECT_EQ(FChanged.count(), 1);

    adapter.Unplug();
    ASSERT_TRUE(FChanged.wait(kDeadlineMs));
    QCoreApplication::processEvents();
    EXPECT_EQ(FChanged.count(), 2);
}

// Events that arrive together (a hub with three adapters plugged in) make
// one rescan.
TEST_F(PortWatcherTest, BurstSignalsOnce) {
    std::vector<std::unique_ptr<TMockAdapter>> adapters;
    for (int n = 0; n < 3; ++n) {
        adapters.push_back(std::make_unique<TMockAdapter>(FTestbed, n));
        adapters.back()->Plug();
    }
    ASSERT_TRUE(FChanged.wait(kDeadlineMs));
    EXPECT_FALSE(FChanged.wait(kSilenceMs));
    EXPECT_EQ(FChanged.count(), 1);
}

TEST_F(PortWatcherTest, OtherDevicesAndOtherActionsAreNoChange) {
    TMockAdapter adapter(FTestbed, 0);
    adapter.Plug();
    ASSERT_TRUE(FChanged.wait(kDeadlineMs));
    FChanged.clear();

    // A USB device that is no serial adapter, and a tty's "change".
    FTestbed.AddOtherUsbDevice(1);
    adapter.TtyUevent("change");
    EXPECT_FALSE(FChanged.wait(kSilenceMs));
    EXPECT_EQ(FChanged.count(), 0);
}

} // namespace
