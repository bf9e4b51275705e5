#include "sign/SignTransaction.h"

#include "host/MessageLoop.h"
#include "serial/CPort.h"
#include "serial/driver/CommApi.h"

#include <algorithm>
#include <thread>

namespace sign {

bool WaitForAck(const std::function<bool()>& ready, std::chrono::milliseconds timeout,
                const TTimeSource& now) {
    const auto tick = [&] { return now ? now() : Clock::now(); };
    const Clock::time_point deadline = tick() + timeout;
    for (;;) {
        host::ProcessMessages();
        if (ready())
            return true;
        const Clock::time_point t = tick();
        if (t >= deadline)
            return false;
        // The deadline on the real clock: the time source may run apart from it.
        const Clock::time_point until =
            Clock::now() + std::min<Clock::duration>(deadline - t, AckPoll);
        if (host::IMainLoop* loop = host::MainLoop())
            loop->WaitForWake(until);
        else
            std::this_thread::sleep_until(
                std::min(until, Clock::now() + std::chrono::milliseconds(1)));
    }
}

void ConfigureSignPort(cport::TCustomComPort& port) {
    port.SetBaudRate(9600);
    port.Parity().SetBits(cport::prNone);
    port.SetStopBits(cport::sbOneStopBit);
    port.SetDataBits(cport::dbEight);
    port.SetEvents(cport::TComEvents::All());
    cport::TComFlowControl& flow = port.FlowControl();
    flow.SetOutCTSFlow(false);
    flow.SetOutDSRFlow(false);
    flow.SetControlDTR(cport::dtrDisable);
    flow.SetControlRTS(cport::rtsDisable);
    flow.SetXonXoffOut(false);
    flow.SetXonXoffIn(false);
}

TTransactionResult RunTransaction(cport::TCustomComPort& port, TSignLink& link,
                                  const std::string& portName, const TTransactionTiming& timing,
                                  const TTransactionHooks& hooks) {
    const auto cancelled = [&] { return hooks.Cancelled && hooks.Cancelled(); };
    TTransactionResult result;
    port.SetPort(portName);
    try {
        port.OpenWithSettings(LineSettings);
    } catch (const cport::EComPort& raised) {
        if (!port.Connected() || !hooks.OpenRaised || !hooks.OpenRaised(raised))
            throw;
    }
    result.Opened = port.Connected();
    if (hooks.Opened && !hooks.Opened(result.Opened)) {
        port.Close();
        return result;
    }
    std::this_thread::sleep_for(timing.OpenPause);
    link.ClearAck();
    const std::string frame = link.Frame();
    while (!link.AckReceived() && result.Writes < timing.Tries && !cancelled()) {
        if (hooks.Writing)
            hooks.Writing();
        const std::int32_t written =
            port.Write(frame.data(), static_cast<std::int32_t>(frame.size()));
        ++result.Writes;
        if (hooks.Written)
            hooks.Written(frame, written);
        // A write that failed, or that the driver held past its deadline:
        // no wait for an answer that cannot come.
        if (DeviceGone(port)) {
            result.DeviceGone = true;
            break;
        }
        if (hooks.Wait)
            hooks.Wait(timing.Wait);
        else
            WaitForAck([&] { return link.AckReceived() || cancelled() || DeviceGone(port); },
                       timing.Wait);
        if (!link.AckReceived() && DeviceGone(port, !cancelled())) {
            result.DeviceGone = true;
            break;
        }
    }
    // Closed at once, however it ended: a pulled adapter's name comes back
    // with it only once nothing holds the old port open.
    port.Close();
    result.Acknowledged = link.AckReceived();
    result.GivenUp = port.GivenUp();
    return result;
}

bool DeviceGone(cport::TCustomComPort& port, bool waitTimedOut) {
    return port.DeviceGone(waitTimedOut);
}

} // namespace sign
