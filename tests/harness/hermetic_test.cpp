// The real probe binary, unchanged, against scripted peers in a private namespace: what
// it prints, how it ends and what it sends, whatever the peer does.
#include "child_run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct OfflineRun {
    std::string out;
    std::string err;
    int status = -1;
    std::string received;
};

struct Line {
    std::string kind;  // "peeked" or "read"
    long count = 0;
    long code = 0;
};

constexpr int kAborted = 134;     // SIGABRT, the assertion facility's end
constexpr int kTimeBound = 124;   // stopped by the harness: the probe hung
const char* const kRequestBytes = "47 45 54 20 2f 0a 00";
const char* const kGood = "detected connection close, GOOD";
const char* const kBad = "ret didn't match?!, BAD";

// A test that runs the offline harness once, into `run`. Where no namespace can be made
// here, the run skips the test, with the harness's reason.
class OfflineTest : public testing::Test {
protected:
    void runOffline(const std::string& behaviour)
    {
        char scratch[] = "/tmp/offline-XXXXXX";
        ASSERT_NE(::mkdtemp(scratch), nullptr) << "mkdtemp failed";
        const std::string dir = scratch;
        const std::string command = std::string(OFFLINE_SCRIPT) + " " + PROBE_BINARY + " " + PEER_BINARY + " " + dir +
                                    " " + behaviour + " 2>" + dir + "/harness-stderr";
        const int rc = std::system(command.c_str());
        const int exitCode = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        const std::string harnessErr = testing_support::readFile(dir + "/harness-stderr");
        if (exitCode == 0) {
            run.out = testing_support::readFile(dir + "/stdout");
            run.err = testing_support::readFile(dir + "/stderr");
            run.status = std::stoi(testing_support::readFile(dir + "/status"));
            run.received = testing_support::readFile(dir + "/received");
            if (!run.received.empty() && run.received.back() == '\n') {
                run.received.pop_back();
            }
        }
        std::filesystem::remove_all(dir);
        if (exitCode == 77) {
            GTEST_SKIP() << harnessErr;
        }
        EXPECT_EQ(exitCode, 0) << harnessErr;
    }

    // Whether the harness ran the probe, so that there is a run to check.
    bool ran() const { return !IsSkipped() && !HasFailure(); }

    OfflineRun run;
};

// Parses a progress line; false when the line is not one, character for character.
bool parseProgress(const std::string& text, Line& line)
{
    for (const char* kind : {"peeked", "read"}) {
        long count = 0;
        long code = 0;
        const std::string pattern = std::string(kind) + " %ld bytes, err %ld";
        if (std::sscanf(text.c_str(), pattern.c_str(), &count, &code) == 2 &&
            text == std::string(kind) + " " + std::to_string(count) + " bytes, err " + std::to_string(code)) {
            line = {kind, count, code};
            return true;
        }
    }
    return false;
}

// The progress lines, with every other line checked to be a verdict, last.
std::vector<Line> progressLines(const std::string& out)
{
    std::vector<Line> lines;
    std::istringstream text(out);
    bool verdictSeen = false;
    for (std::string textLine; std::getline(text, textLine);) {
        EXPECT_FALSE(verdictSeen) << "a line after the verdict: " << textLine;
        Line line;
        if (parseProgress(textLine, line)) {
            lines.push_back(line);
        } else {
            EXPECT_TRUE(textLine == kGood || textLine == kBad) << "not a line of the probe's: " << textLine;
            verdictSeen = true;
        }
    }
    return lines;
}

long bytesRead(const std::vector<Line>& lines)
{
    long total = 0;
    for (const Line& line : lines) {
        if (line.kind == "read" && line.count > 0) {
            total += line.count;
        }
    }
    return total;
}

// A Windows Sockets code: none, "not enough memory", or one of the 10000 and 11000 series.
bool isWindowsSocketsCode(long code) { return code == 0 || code == 8 || (code >= 10000 && code <= 11999); }

std::string pairs(std::initializer_list<int> counts)
{
    std::string text;
    for (int count : counts) {
        text += "peeked " + std::to_string(count) + " bytes, err 10035\nread " + std::to_string(count) +
                " bytes, err 10035\n";
    }
    return text;
}

std::string reportOf(const std::string& condition) { return "Assertion `" + condition + "' failed."; }

const std::string kResolutionCheck = "getaddrinfo(\"example.com\", \"80\", &hints, &addr) == 0";
const std::string kSendCheck = "send(sock, send_data, sizeof(send_data), 0) != SOCKET_ERROR";

struct PeerCase {
    const char* name;
    const char* behaviour;
    std::function<void(const OfflineRun&)> expect;
};

void PrintTo(const PeerCase& peerCase, std::ostream* os) { *os << peerCase.behaviour; }

void expectGood(const OfflineRun& run, long totalBytes)
{
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.received, kRequestBytes);
    const std::vector<Line> lines = progressLines(run.out);
    EXPECT_EQ(bytesRead(lines), totalBytes);
    EXPECT_NE(run.out.rfind(std::string(kGood) + "\n"), std::string::npos);
}

void expectCheckReport(const OfflineRun& run, const std::string& condition)
{
    EXPECT_EQ(run.status, kAborted);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(reportOf(condition)), std::string::npos) << run.err;
}

class Peer : public OfflineTest, public testing::WithParamInterface<PeerCase> {};

TEST_P(Peer, ProbeEndsAsExpected)
{
    runOffline(GetParam().behaviour);
    if (ran()) {
        GetParam().expect(run);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Offline, Peer,
    testing::Values(
        PeerCase{"reply40", "reply --bytes 40",
                 [](const OfflineRun& run) {
                     EXPECT_EQ(run.out, pairs({40, 0}) + kGood + "\n");
                     expectGood(run, 40);
                 }},
        PeerCase{"reply250", "reply --bytes 250",
                 [](const OfflineRun& run) {
                     EXPECT_EQ(run.out, pairs({100, 100, 50, 0}) + kGood + "\n");
                     expectGood(run, 250);
                 }},
        PeerCase{"reply16MB", "reply --bytes 16777216", [](const OfflineRun& run) { expectGood(run, 16777216); }},
        PeerCase{"halfClose", "half-close", [](const OfflineRun& run) { expectGood(run, 40); }},
        PeerCase{"urgentInline", "urgent", [](const OfflineRun& run) { expectGood(run, 8); }},
        PeerCase{"trickle", "trickle --bytes 20", [](const OfflineRun& run) { expectGood(run, 20); }},
        PeerCase{"resetAfterData", "reset-after-data",
                 [](const OfflineRun& run) {
                     EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status << run.err;
                     EXPECT_EQ(run.out.rfind(pairs({40}), 0), 0U) << run.out;
                     for (const Line& line : progressLines(run.out)) {
                         EXPECT_TRUE(isWindowsSocketsCode(line.code)) << line.code;
                     }
                 }},
        PeerCase{"resetOnAccept", "reset-on-accept",
                 [](const OfflineRun& run) {
                     // Whether the reset comes before the request is sent or after, the probe
                     // reports a check or ends without a verdict; it never dies of SIGPIPE.
                     if (run.status == kAborted) {
                         EXPECT_NE(run.err.find("Assertion `"), std::string::npos) << run.err;
                         EXPECT_EQ(run.out, "");
                     } else {
                         EXPECT_EQ(run.status, 0) << run.err;
                         EXPECT_EQ(run.out.find("GOOD"), std::string::npos);
                         EXPECT_EQ(run.out.find("BAD"), std::string::npos);
                     }
                     EXPECT_NE(run.status, kTimeBound);
                 }},
        PeerCase{"noListener", "no-listener", [](const OfflineRun& run) { expectCheckReport(run, kSendCheck); }},
        PeerCase{"unresolvedName", "unresolved-name",
                 [](const OfflineRun& run) { expectCheckReport(run, kResolutionCheck); }}),
    [](const testing::TestParamInfo<PeerCase>& info) { return std::string(info.param.name); });

class SilentPeer : public OfflineTest {};

// Waits out the probe's read-wait bound of 30 seconds.
TEST_F(SilentPeer, ProbeEndsAtTheReadWaitBoundWithoutVerdict)
{
    runOffline("silent");
    if (!ran()) {
        return;
    }
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.received, kRequestBytes);
}

}  // namespace
