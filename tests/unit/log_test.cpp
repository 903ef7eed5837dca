#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "log/log.h"

namespace {

namespace fs = std::filesystem;

void Write(LogFile& log, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Write(LogFile& log, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteLogEntry(log, format, args);
    va_end(args);
}

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class LogRotation : public testing::Test {
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
    fs::path logPath() const { return folder / kLogName; }
    fs::path backupPath() const { return folder / kLogBackupName; }

    fs::path folder;
    LogFile log;
};

TEST_F(LogRotation, EntriesAreStampedAndAppendToAnEarlierLog) {
    fs::create_directories(folder);
    std::ofstream(logPath()) << "earlier run\n";
    Write(log, "hello %d\n", 42);
    const std::string text = Slurp(logPath());
    ASSERT_EQ(text.rfind("earlier run\n", 0), 0u);
    const std::string entry = text.substr(12);
    // "Sun Dec  6 08:09:24 2026  hello 42\n": a 24-character ctime stamp, two blanks.
    ASSERT_EQ(entry.size(), 24u + 2 + 9);
    EXPECT_EQ(entry.substr(24), "  hello 42\n");
}

TEST_F(LogRotation, RotatesOnlyAboveTheLimitBeforeTheNextEntry) {
    fs::create_directories(folder);
    std::ofstream(logPath()) << std::string(kLogLimitBytes, 'x');
    Write(log, "at the limit\n");  // exactly 5 MiB is not over it
    EXPECT_FALSE(fs::exists(backupPath()));
    Write(log, "over it\n");
    const std::string backup = Slurp(backupPath());
    EXPECT_EQ(backup.size(), kLogLimitBytes + 26 + 13);
    EXPECT_NE(backup.find("at the limit\n"), std::string::npos);
    const std::string fresh = Slurp(logPath());
    EXPECT_EQ(fresh.size(), 26u + 8);
    EXPECT_EQ(fresh.substr(24), "  over it\n");

    // A second crossing replaces the backup.
    std::ofstream(logPath(), std::ios::app) << std::string(kLogLimitBytes, 'y');
    fseek(log.stream, 0, SEEK_END);
    Write(log, "again\n");
    EXPECT_NE(Slurp(backupPath()).find("over it\n"), std::string::npos);
    EXPECT_EQ(Slurp(backupPath()).find("at the limit"), std::string::npos);
}

TEST_F(LogRotation, ConcurrentWritersRotateOnceAndLoseNothing) {
    log.limitBytes = 80'000;
    constexpr int kThreads = 8;
    constexpr int kEntries = 250;  // 61 bytes each, 122 kB in all: one crossing
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; t++) {
        writers.emplace_back([this, t] {
            for (int i = 0; i < kEntries; i++) Write(log, "writer %d entry %03d padding-padding\n", t, i);
        });
    }
    for (std::thread& writer : writers) writer.join();
    fflush(log.stream);

    const std::string all = Slurp(backupPath()) + Slurp(logPath());
    EXPECT_GT(fs::file_size(backupPath()), static_cast<uintmax_t>(log.limitBytes));
    EXPECT_LT(fs::file_size(logPath()), static_cast<uintmax_t>(log.limitBytes));
    std::istringstream lines(all);
    int count = 0;
    for (std::string line; std::getline(lines, line); count++) {
        ASSERT_EQ(line.find("  writer "), 24u) << line;
    }
    EXPECT_EQ(count, kThreads * kEntries);
    for (int t = 0; t < kThreads; t++) {
        const std::string last = "writer " + std::to_string(t) + " entry 249 padding";
        EXPECT_NE(all.find(last), std::string::npos) << last;
    }
}

TEST(LogText, ClientTextCannotForgeLines) {
    EXPECT_EQ(Printable("239.1.1.1\nSun Dec  6  forged\r\x1b"), "239.1.1.1?Sun Dec  6  forged??");
    EXPECT_EQ(Printable("hlsMcast_1.ts"), "hlsMcast_1.ts");
    EXPECT_EQ(Printable(std::string(128, 'a')), std::string(128, 'a'));
    EXPECT_EQ(Printable(std::string(1 << 20, 'a')), std::string(128, 'a') + "...");
}

}  // namespace
