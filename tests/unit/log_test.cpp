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

// "Sun Dec  6 08:09:24 2026  text": a 24-character ctime stamp, two blanks, the text.
constexpr size_t kStampBytes = 26;

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
    std::string Read(const char* name) const {
        std::ifstream in(folder / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // As if another writer had taken the log one byte past the limit.
    void GrowPastTheLimit() {
        fs::resize_file(folder / kLogName, kLogLimitBytes + 1);
        fseek(log.stream, 0, SEEK_END);
    }

    fs::path folder;
    LogFile log;
};

TEST_F(LogFolder, RotatesOnlyAboveTheLimitAndReplacesTheBackup) {
    fs::create_directories(folder);
    std::ofstream(folder / kLogName) << std::string(kLogLimitBytes - 12, 'x') << "earlier run\n";
    LogTo(log, "at the limit %d\n", 1);  // exactly 5 MiB is not over it
    EXPECT_FALSE(fs::exists(folder / kLogBackupName));
    EXPECT_EQ(Read(kLogName).substr(kLogLimitBytes + 24), "  at the limit 1\n");
    GrowPastTheLimit();
    LogTo(log, "over it\n");
    EXPECT_EQ(Read(kLogBackupName).size(), kLogLimitBytes + 1);
    EXPECT_EQ(Read(kLogName).substr(24), "  over it\n");
    GrowPastTheLimit();
    LogTo(log, "again\n");
    EXPECT_EQ(Read(kLogBackupName).substr(24, 10), "  over it\n") << "the second crossing replaces the backup";
}

TEST_F(LogFolder, ConcurrentWritersRotateOnceAndLoseNothing) {
    log.limitBytes = 80'000;
    constexpr int kThreads = 8, kEntries = 250;  // 61 bytes each, 122 kB in all: one crossing
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; t++) {
        writers.emplace_back([this, t] {
            for (int i = 0; i < kEntries; i++) LogTo(log, "writer %d entry %03d padding-padding\n", t, i);
        });
    }
    for (std::thread& writer : writers) writer.join();
    EXPECT_GT(fs::file_size(folder / kLogBackupName), static_cast<uintmax_t>(log.limitBytes));
    std::istringstream lines(Read(kLogBackupName) + Read(kLogName));
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
    constexpr Fault kNoSync = Fault::kNoStartCode, kBreak = Fault::kDiscontinuity;
    const Row rows[] = {
        {0, kNoSync, "No start code!", "No start code!"},
        {10, kNoSync, "No start code!", ""},
        {500, kBreak, "discontunuity 1", "discontunuity 1"},  // each kind counts apart
        {999, kNoSync, "No start code!", ""},
        {1000, kNoSync, "No start code!", "No start code! (3 more in the last 1 s)"},
        {1700, kNoSync, "No start code!", ""},
        {2100, kNoSync, nullptr, "No start code! (1 more in the last 1 s)"},
        {2600, kNoSync, "No start code!", ""},
        {3700, kNoSync, nullptr, "No start code! (1 more in the last 2 s)"},
    };
    FaultLog faults(log);
    for (const Row& row : rows) {
        const size_t before = Read(kLogName).size();
        row.fault ? Report(faults, row.kind, row.atMs, "%s\n", row.fault) : faults.Flush(row.atMs);
        const std::string added = Read(kLogName).substr(before);
        EXPECT_EQ(added.empty() ? "" : added.substr(kStampBytes), row.line.empty() ? "" : row.line + "\n") << row.atMs;
    }
}

// Counting takes no lock; racing threads must still lose no fault.
TEST(FaultCount, RacingFaultsAreEachCountedOnce) {
    constexpr int kThreads = 4, kFaults = 1'000'000;  // i / 10 ms: many summaries come due while the threads race
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
