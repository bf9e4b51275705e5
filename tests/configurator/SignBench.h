#pragma once
// The sign bench of the window's command tests: a sign at the far end of a
// pseudo-terminal that answers as a test says, and a folder with the
// settings file, the audit log and the serial devices the window scans.

#include "configurator/Unit1.h"
#include "sign/SignLink.h"

#include "tests/sign/SettingsFiles.h"
#include "tests/support/PtyPair.h"

#include <QString>

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace rc_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The bytes of hex pairs separated by blanks ("F7 8C 03").
inline std::string Hex(const char* text) {
    std::string bytes;
    unsigned v = 0;
    int digits = 0;
    for (const char* p = text;; ++p) {
        if (std::isxdigit(static_cast<unsigned char>(*p))) {
            v = v * 16 + static_cast<unsigned>(std::stoi(std::string(1, *p), nullptr, 16));
            ++digits;
        } else {
            if (digits > 0)
                bytes += static_cast<char>(v);
            v = 0;
            digits = 0;
            if (*p == '\0')
                break;
        }
    }
    return bytes;
}

// The sign at the far end of a pseudo-terminal: reads requests on the master,
// keeps each with the time it arrived, and answers as the test says.
class SignPeer {
public:
    struct Received {
        std::string Frame;
        Clock::time_point At;
    };
    // One write of an answer, after a pause.
    struct Chunk {
        std::string Bytes;
        milliseconds Pause{0};
    };
    // What to send for the index-th request (0 first); empty: nothing.
    using Answer = std::function<std::vector<Chunk>(const std::string& frame, int index)>;

    // A sign that acknowledges from the request `first` on (0: every one).
    static Answer AnswerFrom(int first, sign::TSignClock clock = {2026, 12, 7, 14, 35, 9}) {
        return [first, clock](const std::string& frame, int index) -> std::vector<Chunk> {
            if (index < first)
                return {};
            return {{sign::BuildReply(static_cast<unsigned char>(frame[4]), clock)}};
        };
    }
    static Answer Never() { return AnswerFrom(INT_MAX); }

    SignPeer(const PtyPair& pty, Answer answer) : FPty(pty), FAnswer(std::move(answer)) {
        FThread = std::thread([this] { Run(); });
    }
    ~SignPeer() {
        FStop = true;
        FThread.join();
    }

    std::vector<Received> Frames() const {
        std::lock_guard lock(FMutex);
        return FFrames;
    }
    // Called on the peer's thread when the first byte arrives.
    std::function<void()> OnFirstByte;

private:
    static std::size_t FrameSize(unsigned char code) {
        return code == sign::CmdSetTime ? 12 : code == sign::CmdDownload ? 18 : 6;
    }
    void Run() {
        std::string buffer;
        bool first = true;
        int index = 0;
        while (!FStop) {
            pollfd fd{FPty.Master(), POLLIN, 0};
            if (::poll(&fd, 1, 20) <= 0)
                continue;
            char bytes[256];
            const ssize_t n = ::read(FPty.Master(), bytes, sizeof bytes);
            if (n <= 0)
                continue;
            if (first && OnFirstByte)
                OnFirstByte();
            first = false;
            buffer.append(bytes, static_cast<std::size_t>(n));
            while (buffer.size() >= 5 &&
                   buffer.size() >= FrameSize(static_cast<unsigned char>(buffer[4]))) {
                const std::string frame =
                    buffer.substr(0, FrameSize(static_cast<unsigned char>(buffer[4])));
                buffer.erase(0, frame.size());
                {
                    std::lock_guard lock(FMutex);
                    FFrames.push_back({frame, Clock::now()});
                }
                for (const Chunk& c : FAnswer(frame, index)) {
                    std::this_thread::sleep_for(c.Pause);
                    FPty.Send(c.Bytes);
                }
                ++index;
            }
        }
    }

    const PtyPair& FPty;
    Answer FAnswer;
    mutable std::mutex FMutex;
    std::vector<Received> FFrames;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// A folder with the settings file and the serial devices the window scans:
// ttyUSB<n> links to pseudo-terminals; its "data" folder is the window's
// data home, where it looks for ports.txt (never the user's own).
class SignBench : public TempDir {
public:
    // Links `name` in the folder to the pty's slave.
    void Link(const std::string& name, const PtyPair& pty) {
        std::filesystem::create_symlink(pty.PortName(), *this / name);
    }
    void Unlink(const std::string& name) { std::filesystem::remove(*this / name); }
    QString Port(const std::string& name) const { return QString::fromStdString(*this / name); }
    QString SettingsFile() const { return QString::fromStdString(*this / "LEDINFO.BIN"); }
    // The window's per-user data folder (made by WritePortsFile).
    std::filesystem::path DataFolder() const { return Path() / "data" / "radar-configurator"; }
    std::string PortsFile() const { return (DataFolder() / "ports.txt").string(); }
    // ports.txt with `text`, its folder made first.
    void WritePortsFile(const std::string& text) const {
        std::filesystem::create_directories(DataFolder());
        WriteFile(PortsFile(), Bytes(text.begin(), text.end()));
    }

    TForm1Options Options() {
        TForm1Options o;
        o.SettingsPath = SettingsFile();
        o.PortDirectory = Path().string();
        o.Clock = [this] { return FClock; };
        o.ShowResult = [this](const QString& text) {
            FResults.push_back(text);
            FResultAt = Clock::now();
        };
        o.AuditFolder = Path().string();
        o.Environment = [home = (Path() / "data").string()](
                            const std::string& name) -> std::optional<std::string> {
            if (name == "XDG_DATA_HOME")
                return home;
            return std::nullopt;
        };
        return o;
    }

    // The audit log's rows after its header, each as column name -> field
    // (a field in quotes as RFC 4180 has it: a network port's reasons hold
    // commas; no field holds a line end).
    std::vector<std::map<std::string, std::string>> AuditRows() const {
        std::vector<std::vector<std::string>> lines;
        const Bytes bytes = ReadFile(*this / "audit.csv");
        std::istringstream text(std::string(bytes.begin(), bytes.end()));
        for (std::string line; std::getline(text, line);) {
            EXPECT_TRUE(!line.empty() && line.back() == '\r');
            line.pop_back();
            std::vector<std::string> fields(1);
            bool quoted = false;
            for (std::size_t i = 0; i < line.size(); ++i) {
                const char c = line[i];
                if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"')
                    fields.back() += line[++i];
                else if (c == '"')
                    quoted = !quoted;
                else if (c == ',' && !quoted)
                    fields.emplace_back();
                else
                    fields.back() += c;
            }
            lines.push_back(fields);
        }
        std::vector<std::map<std::string, std::string>> rows;
        for (std::size_t i = 1; i < lines.size(); ++i) {
            std::map<std::string, std::string> row;
            for (std::size_t c = 0; c < lines[0].size() && c < lines[i].size(); ++c)
                row[lines[0][c]] = lines[i][c];
            rows.push_back(row);
        }
        return rows;
    }

    sign::TSignClock FClock{2026, 12, 7, 14, 35, 9};
    std::vector<QString> FResults;
    Clock::time_point FResultAt;
};

} // namespace rc_test
