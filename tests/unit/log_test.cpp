#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
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
    std::string Current() const { return Slurp(folder / kLogName); }
    std::string Backup() const { return Slurp(folder / kLogBackupName); }

    fs::path folder;
    LogFile log;
};

// "Sun Dec  6 08:09:24 2026  text": a 24-character ctime stamp, two blanks, the text.
constexpr size_t kStampBytes = 26;

TEST_F(LogRotation, AppendsStampedEntriesAndRotatesOnlyAboveTheLimit) {
    fs::create_directories(folder);
    std::ofstream(folder / kLogName) << std::string(kLogLimitBytes - 12, 'x') << "earlier run\n";
    Write(log, "at the limit %d\n", 1);  // exactly 5 MiB is not over it
    EXPECT_FALSE(fs::exists(folder / kLogBackupName));
    EXPECT_EQ(Current().substr(kLogLimitBytes + 24), "  at the limit 1\n");
    Write(log, "over it\n");
    EXPECT_EQ(Backup().size(), kLogLimitBytes + kStampBytes + 15);
    EXPECT_EQ(Current().size(), kStampBytes + 8);
    EXPECT_EQ(Current().substr(24), "  over it\n");
    // A second crossing replaces the backup.
    std::ofstream(folder / kLogName, std::ios::app) << std::string(kLogLimitBytes, 'y');
    fseek(log.stream, 0, SEEK_END);
    Write(log, "again\n");
    EXPECT_NE(Backup().find("over it\n"), std::string::npos);
    EXPECT_EQ(Backup().find("at the limit"), std::string::npos);
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
    EXPECT_GT(fs::file_size(folder / kLogBackupName), static_cast<uintmax_t>(log.limitBytes));
    std::istringstream lines(Backup() + Current());
    std::set<std::string> seen;
    for (std::string line; std::getline(lines, line);) {
        ASSERT_EQ(line.find("  writer "), 24u) << line;
        seen.insert(line.substr(kStampBytes));
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEntries));
}

TEST(LogText, ClientTextCannotForgeLinesOrFloodTheLog) {
    EXPECT_EQ(Printable("239.1.1.1\nSun Dec  6  forged\r\x1b"), "239.1.1.1?Sun Dec  6  forged??");
    EXPECT_EQ(Printable(std::string(128, 'a')), std::string(128, 'a'));
    EXPECT_EQ(Printable(std::string(1 << 20, 'a')), std::string(128, 'a') + "...");
}

}  // namespace
