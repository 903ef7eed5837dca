#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "log/fault_log.h"
#include "log/log.h"

namespace {

namespace fs = std::filesystem;

void Report(FaultLog& faults, Fault kind, int64_t nowMs, const char* format, ...) {
    va_list args;
    va_start(args, format);
    faults.Report(kind, nowMs, format, args);
    va_end(args);
}

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class LogFolder : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quillbrook-log-XXXXXX";
        folder = fs::path(mkdtemp(pattern)) / "ombrix";
        log.folder = folder;
        log.stream = tmpfile();
    }
    void TearDown() override {
        if (log.stream) fclose(log.stream);
        fs::remove_all(folder.parent_path());
    }
    std::string Current() const { return Slurp(folder / kLogName); }
    std::string Backup() const { return Slurp(folder / kLogBackupName); }

    fs::path folder;
    LogFile log;
};

// "Sun Dec  6 08:09:24 2026  text": a 24-character ctime stamp, two blanks, the text.
constexpr size_t kStampBytes = 26;

TEST_F(LogFolder, AppendsStampedEntriesAndRotatesOnlyAboveTheLimit) {
    fs::create_directories(folder);
    std::ofstream(folder / kLogName) << std::string(kLogLimitBytes - 12, 'x') << "earlier run\n";
    LogTo(log, "at the limit %d\n", 1);  // exactly 5 MiB is not over it
    EXPECT_FALSE(fs::exists(folder / kLogBackupName));
    EXPECT_EQ(Current().substr(kLogLimitBytes + 24), "  at the limit 1\n");
    LogTo(log, "over it\n");
    EXPECT_EQ(Backup().size(), kLogLimitBytes + kStampBytes + 15);
    EXPECT_EQ(Current().size(), kStampBytes + 8);
    EXPECT_EQ(Current().substr(24), "  over it\n");
    // A second crossing replaces the backup.
    std::ofstream(folder / kLogName, std::ios::app) << std::string(kLogLimitBytes, 'y');
    fseek(log.stream, 0, SEEK_END);
    LogTo(log, "again\n");
    EXPECT_NE(Backup().find("over it\n"), std::string::npos);
    EXPECT_EQ(Backup().find("at the limit"), std::string::npos);
}

TEST_F(LogFolder, ConcurrentWritersRotateOnceAndLoseNothing) {
    log.limitBytes = 80'000;
    constexpr int kThreads = 8;
    constexpr int kEntries = 250;  // 61 bytes each, 122 kB in all: one crossing
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; t++) {
        writers.emplace_back([this, t] {
            for (int i = 0; i < kEntries; i++) LogTo(log, "writer %d entry %03d padding-padding\n", t, i);
        });
    }
    for (std::thread& writer : writers) writer.join();
    fflush(log.stream);
    EXPECT_GT(fs::file_size(folder / kLogBackupName), static_cast<uintmax_t>(log.limitBytes));
    std::istringstream lines(Backup() + Current());
    std::set<std::string> seen;
    for (std::string line; std::getline(lines, line);) {
        ASSERT_EQ(line.find("  writer "), 24u) << line;
        seen.insert(line.substr(kStampBytes));
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEntries));
}

// A flood of one kind: its first line as it is, then at most one summary a
// second, and the housekeeping's flush writes a burst's tail.
TEST_F(LogFolder, RepeatedFaultsAreSummarisedAtMostOnceASecond) {
    struct Row { int64_t atMs; Fault kind; const char* fault; std::string line; };  // no fault: the flush
    constexpr Fault kNoSync = Fault::NoStartCode, kBreak = Fault::Discontinuity;
    const Row rows[] = {
        {0, kNoSync, "No start code!", "No start code!"},
        {10, kNoSync, "No start code!", ""},
        {500, kBreak, "discontunuity 1", "discontunuity 1"},  // each kind counts apart
        {999, kNoSync, "No start code!", ""},
        {1000, kNoSync, "No start code!", "No start code! (3 more in the last 1 s)"},
        {1400, kNoSync, nullptr, ""},
        {1700, kNoSync, "No start code!", ""},
        {1800, kBreak, "discontunuity 2", "discontunuity 2"},  // nothing counted since its last line
        {2100, kNoSync, nullptr, "No start code! (1 more in the last 1 s)"},
        {2600, kNoSync, "No start code!", ""},
        {3700, kNoSync, nullptr, "No start code! (1 more in the last 2 s)"},
        {9000, kNoSync, "No start code!", "No start code!"},
    };
    FaultLog faults(log);
    for (const Row& row : rows) {
        const size_t before = Current().size();
        row.fault ? Report(faults, row.kind, row.atMs, "%s\n", row.fault) : faults.Flush(row.atMs);
        const std::string added = Current().substr(before);
        EXPECT_EQ(added.empty() ? "" : added.substr(kStampBytes), row.line.empty() ? "" : row.line + "\n") << row.atMs;
    }
}

// Counting takes no lock; racing threads must still lose no fault.
TEST(FaultCount, RacingFaultsAreEachCountedOnce) {
    constexpr int kThreads = 4, kFaults = 100'000;  // over ten seconds of faked time
    FaultCount count;
    std::atomic<long> counted{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&] {
            while (!go) {}
            for (int i = 0; i < kFaults; i++) {
                const FaultCount::Line line = count.Count(i / 10);
                if (line.due) counted += std::max<uint32_t>(line.more, 1);
            }
        });
    }
    go = true;
    for (std::thread& thread : threads) thread.join();
    counted += count.Flush(kFaults).more;
    EXPECT_EQ(counted, kThreads * kFaults);
}

TEST(LogText, ClientTextCannotForgeLinesOrFloodTheLog) {
    EXPECT_EQ(Printable("239.1.1.1\nSun Dec  6  forged\r\x1b"), "239.1.1.1?Sun Dec  6  forged??");
    EXPECT_EQ(Printable(std::string(128, 'a')), std::string(128, 'a'));
    EXPECT_EQ(Printable(std::string(1 << 20, 'a')), std::string(128, 'a') + "...");
}

}  // namespace
