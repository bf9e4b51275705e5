// Settings persistence of the port component: the groups of StoreGroups as
// named values in a registry key or an INI-file section.
//
// One table lists the 28 keys with their group, their stored form and how
// each reads and assigns its setting; the four operations walk it in the
// same order. Loading assigns through the properties' setters, one key at a
// time, so an exception leaves the keys before it assigned and the rest as
// they were.

#include "serial/CPort.h"

#include "host/IniFile.h"
#include "host/Registry.h"
#include "serial/CPortTexts.h"

#include <cstdint>
#include <string>

namespace cport {

namespace {

// A text key: the setting's text form and its assignment from text.
using TextGet = std::string (*)(const TCustomComPort&);
using TextSet = void (*)(TCustomComPort&, const std::string&);
// An integer key: the setting's value and its assignment.
using IntGet = std::int32_t (*)(const TCustomComPort&);
using IntSet = void (*)(TCustomComPort&, std::int32_t);

struct StoreKey {
    TStoreGroup group;
    const char* name;
    TextGet getText; // null for an integer key
    TextSet setText;
    IntGet getInt;
    IntSet setInt;
};

constexpr StoreKey Text(TStoreGroup g, const char* name, TextGet get, TextSet set) {
    return {g, name, get, set, nullptr, nullptr};
}
constexpr StoreKey Int(TStoreGroup g, const char* name, IntGet get, IntSet set) {
    return {g, name, nullptr, nullptr, get, set};
}

using P = TCustomComPort;
using S = const std::string&;

// Within each group, the keys in the order in which they are handled.
constexpr StoreKey kKeys[] = {
    // sgLine
    Text(
        sgLine, "Port", [](const P& p) { return p.Port(); }, [](P& p, S t) { p.SetPort(t); }),
    Text(
        sgLine, "BaudRate", [](const P& p) { return BaudRateToText(p.BaudRate()); },
        [](P& p, S t) { p.SetBaudRate(TextToBaudRate(t)); }),
    Text(
        sgLine, "StopBits", [](const P& p) { return StopBitsToText(p.StopBits()); },
        [](P& p, S t) { p.SetStopBits(TextToStopBits(t)); }),
    Text(
        sgLine, "DataBits", [](const P& p) { return DataBitsToText(p.DataBits()); },
        [](P& p, S t) { p.SetDataBits(TextToDataBits(t)); }),
    Text(
        sgLine, "Parity", [](const P& p) { return ParityToText(p.Parity().Bits()); },
        [](P& p, S t) { p.Parity().SetBits(TextToParity(t)); }),
    Text(
        sgLine, "FlowControl",
        [](const P& p) { return FlowControlToText(p.FlowControl().FlowControl()); },
        [](P& p, S t) { p.FlowControl().SetFlowControl(TextToFlowControl(t)); }),
    // sgMisc
    Text(
        sgMisc, "EventChar", [](const P& p) { return CharToText(p.EventChar()); },
        [](P& p, S t) { p.SetEventChar(TextToChar(t)); }),
    Text(
        sgMisc, "DiscardNull", [](const P& p) { return FlagToText(p.DiscardNull()); },
        [](P& p, S t) { p.SetDiscardNull(TextToFlag(t)); }),
    // sgParityDetails
    Text(
        sgParityDetails, "Parity.Check", [](const P& p) { return FlagToText(p.Parity().Check()); },
        [](P& p, S t) { p.Parity().SetCheck(TextToFlag(t)); }),
    Text(
        sgParityDetails, "Parity.Replace",
        [](const P& p) { return FlagToText(p.Parity().Replace()); },
        [](P& p, S t) { p.Parity().SetReplace(TextToFlag(t)); }),
    Text(
        sgParityDetails, "Parity.ReplaceChar",
        [](const P& p) { return CharToText(p.Parity().ReplaceChar()); },
        [](P& p, S t) { p.Parity().SetReplaceChar(TextToChar(t)); }),
    // sgBuffer
    Int(
        sgBuffer, "Buffer.OutputSize", [](const P& p) { return p.Buffer().OutputSize(); },
        [](P& p, std::int32_t v) { p.Buffer().SetOutputSize(v); }),
    Int(
        sgBuffer, "Buffer.InputSize", [](const P& p) { return p.Buffer().InputSize(); },
        [](P& p, std::int32_t v) { p.Buffer().SetInputSize(v); }),
    // sgTimeouts
    Int(
        sgTimeouts, "Timeouts.ReadInterval", [](const P& p) { return p.Timeouts().ReadInterval(); },
        [](P& p, std::int32_t v) { p.Timeouts().SetReadInterval(v); }),
    Int(
        sgTimeouts, "Timeouts.ReadTotalConstant",
        [](const P& p) { return p.Timeouts().ReadTotalConstant(); },
        [](P& p, std::int32_t v) { p.Timeouts().SetReadTotalConstant(v); }),
    Int(
        sgTimeouts, "Timeouts.ReadTotalMultiplier",
        [](const P& p) { return p.Timeouts().ReadTotalMultiplier(); },
        [](P& p, std::int32_t v) { p.Timeouts().SetReadTotalMultiplier(v); }),
    Int(
        sgTimeouts, "Timeouts.WriteTotalConstant",
        [](const P& p) { return p.Timeouts().WriteTotalConstant(); },
        [](P& p, std::int32_t v) { p.Timeouts().SetWriteTotalConstant(v); }),
    Int(
        sgTimeouts, "Timeouts.WriteTotalMultiplier",
        [](const P& p) { return p.Timeouts().WriteTotalMultiplier(); },
        [](P& p, std::int32_t v) { p.Timeouts().SetWriteTotalMultiplier(v); }),
    // sgFlowDetails
    Text(
        sgFlowDetails, "FlowControl.ControlRTS",
        [](const P& p) { return RTSControlToText(p.FlowControl().ControlRTS()); },
        [](P& p, S t) { p.FlowControl().SetControlRTS(TextToRTSControl(t)); }),
    Text(
        sgFlowDetails, "FlowControl.ControlDTR",
        [](const P& p) { return DTRControlToText(p.FlowControl().ControlDTR()); },
        [](P& p, S t) { p.FlowControl().SetControlDTR(TextToDTRControl(t)); }),
    Text(
        sgFlowDetails, "FlowControl.DSRSensitivity",
        [](const P& p) { return FlagToText(p.FlowControl().DSRSensitivity()); },
        [](P& p, S t) { p.FlowControl().SetDSRSensitivity(TextToFlag(t)); }),
    Text(
        sgFlowDetails, "FlowControl.OutCTSFlow",
        [](const P& p) { return FlagToText(p.FlowControl().OutCTSFlow()); },
        [](P& p, S t) { p.FlowControl().SetOutCTSFlow(TextToFlag(t)); }),
    Text(
        sgFlowDetails, "FlowControl.OutDSRFlow",
        [](const P& p) { return FlagToText(p.FlowControl().OutDSRFlow()); },
        [](P& p, S t) { p.FlowControl().SetOutDSRFlow(TextToFlag(t)); }),
    Text(
        sgFlowDetails, "FlowControl.TxContinueOnXoff",
        [](const P& p) { return FlagToText(p.FlowControl().TxContinueOnXoff()); },
        [](P& p, S t) { p.FlowControl().SetTxContinueOnXoff(TextToFlag(t)); }),
    Text(
        sgFlowDetails, "FlowControl.XonXoffIn",
        [](const P& p) { return FlagToText(p.FlowControl().XonXoffIn()); },
        [](P& p, S t) { p.FlowControl().SetXonXoffIn(TextToFlag(t)); }),
    Text(
        sgFlowDetails, "FlowControl.XonXoffOut",
        [](const P& p) { return FlagToText(p.FlowControl().XonXoffOut()); },
        [](P& p, S t) { p.FlowControl().SetXonXoffOut(TextToFlag(t)); }),
    Text(
        sgFlowDetails, "FlowControl.XoffChar",
        [](const P& p) { return CharToText(p.FlowControl().XoffChar()); },
        [](P& p, S t) { p.FlowControl().SetXoffChar(TextToChar(t)); }),
    Text(
        sgFlowDetails, "FlowControl.XonChar",
        [](const P& p) { return CharToText(p.FlowControl().XonChar()); },
        [](P& p, S t) { p.FlowControl().SetXonChar(TextToChar(t)); }),
};

// The groups in the order in which they are handled (not their ordinal order).
constexpr TStoreGroup kGroupOrder[] = {sgLine,   sgMisc,     sgParityDetails,
                                       sgBuffer, sgTimeouts, sgFlowDetails};

// Calls visit(key) for every key of the selected groups, in handling order.
template <typename Visit> void ForEachKey(TStoreGroups groups, Visit visit) {
    for (TStoreGroup group : kGroupOrder) {
        if (!groups.Contains(group))
            continue;
        for (const StoreKey& key : kKeys)
            if (key.group == group)
                visit(key);
    }
}

} // namespace

void TCustomComPort::StoreToRegistry(host::TRegistry& registry) {
    ForEachKey(StoreGroups(), [&](const StoreKey& key) {
        if (key.getText)
            registry.WriteString(key.name, key.getText(*this));
        else
            registry.WriteInteger(key.name, key.getInt(*this));
    });
}

void TCustomComPort::StoreToIniFile(host::TIniFile& iniFile) {
    // One replacement of the file for all keys rather than one per key. A key
    // that is refused still leaves the keys before it written.
    iniFile.BeginUpdate();
    try {
        ForEachKey(StoreGroups(), [&](const StoreKey& key) {
            if (key.getText)
                iniFile.WriteString(Name(), key.name, key.getText(*this));
            else
                iniFile.WriteInteger(Name(), key.name, key.getInt(*this));
        });
    } catch (...) {
        try {
            iniFile.EndUpdate();
        } catch (...) {
            // The first failure is the one to report.
        }
        throw;
    }
    iniFile.EndUpdate();
}

void TCustomComPort::LoadFromRegistry(host::TRegistry& registry) {
    // No defaults: a missing text reads as the empty text and goes through its
    // conversion; a missing integer raises.
    ForEachKey(StoreGroups(), [&](const StoreKey& key) {
        if (key.setText)
            key.setText(*this, registry.ReadString(key.name));
        else
            key.setInt(*this, registry.ReadInteger(key.name));
    });
}

void TCustomComPort::LoadFromIniFile(host::TIniFile& iniFile) {
    // Every key's default is its setting's current value, so an absent key
    // leaves its setting as it was.
    ForEachKey(StoreGroups(), [&](const StoreKey& key) {
        if (key.setText)
            key.setText(*this, iniFile.ReadString(Name(), key.name, key.getText(*this)));
        else
            key.setInt(*this, iniFile.ReadInteger(Name(), key.name, key.getInt(*this)));
    });
}

} // namespace cport
