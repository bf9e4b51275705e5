// The ports among the DOS device names, as the port watcher on Windows reads
// them: which names of a QueryDosDeviceW list are ports, and when two reads
// tell of a port that came or went (the watcher's only reason to have the
// window rescan, which opens every port).
#include "sign/PortNameSet.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

namespace {

using namespace std::string_view_literals;
using sign::TPortNameSet;

TPortNameSet Read(std::wstring_view list) {
    TPortNameSet names;
    names.AddList(list);
    return names;
}

TEST(PortNameSet, TheListsPortNamesEachOnceInCanonicalForm) {
    const struct {
        std::wstring_view list;
        std::set<std::string> ports;
        const char* what;
    } rows[] = {
        {L"\0"sv, {}, "an empty list"},
        {L""sv, {}, "nothing at all"},
        {L"COM3\0\0"sv, {"COM3"}, "one port"},
        {L"C:\0COM12\0HarddiskVolume1\0NUL\0COM3\0LPT1\0\0"sv,
         {"COM3", "COM12"},
         "ports among drives, volumes and other devices"},
        {L"com5\0CoM7\0\0"sv, {"COM5", "COM7"}, "in any case"},
        {L"COM5\0COM5\0com5\0\0"sv, {"COM5"}, "in both namespaces, and in another case"},
        {L"COM\0COM0\0COM03\0COM3:\0COM-3\0 COM3\0COM3A\0XCOM3\0\0"sv,
         {},
         "what only looks like a port"},
        {L"COM\u00B9\0COM\uFF13\0\uFF23OM3\0\0"sv, {}, "digits and letters outside ASCII"},
        {L"COM3\0\0COM4\0\0"sv, {"COM3"}, "past the list's end: the buffer's leftovers"},
        {L"COM3\0COM4"sv, {"COM3", "COM4"}, "cut short, without its NULs"},
        {L"COM3\0COM4\0"sv, {"COM3", "COM4"}, "cut short after a name's NUL"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Read(row.list).Names(), row.ports) << row.what;
}

TEST(PortNameSet, TwoReadsDifferOnlyWhenAPortCameOrWent) {
    const std::wstring_view before = L"C:\0COM3\0NUL\0COM12\0\0"sv;
    const struct {
        std::wstring_view after;
        bool differs;
        const char* what;
    } rows[] = {
        {L"COM12\0NUL\0C:\0COM3\0\0"sv, false, "the same names in another order"},
        {L"C:\0COM3\0COM3\0NUL\0com12\0COM12\0\0"sv, false, "twice, and in another case"},
        {L"C:\0D:\0COM3\0NUL\0COM12\0Volume{1}\0\0"sv, false, "a disk plugged in"},
        {L"COM3\0COM12\0\0"sv, false, "other devices gone"},
        {L"C:\0COM3\0NUL\0COM12\0COM4\0\0"sv, true, "a port came"},
        {L"C:\0COM3\0NUL\0\0"sv, true, "a port went"},
        {L"C:\0COM3\0NUL\0COM13\0\0"sv, true, "one went and another came"},
        {L"C:\0NUL\0\0"sv, true, "all went"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Read(before) != Read(row.after), row.differs) << row.what;
}

} // namespace
