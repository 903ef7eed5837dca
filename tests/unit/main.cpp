#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "log/log.h"
#include "tests/unit/test_log.h"

std::string TestLogFolder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/quillbrook-unit-XXXXXX";
        return std::string(mkdtemp(pattern));
    }();
    return folder;
}

std::string ReadTestLog() {
    fflush(ProcessLog().stream);
    FILE* file = fopen((TestLogFolder() + "/" + kLogName).c_str(), "r");
    std::string text;
    if (!file) return text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
    fclose(file);
    return text;
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // The relay's log takes over stdout on first use; keep it off the test
    // runner's output and in a folder the tests can read back.
    LogFile& log = ProcessLog();
    log.folder = TestLogFolder();
    log.stream = tmpfile();
    const int result = RUN_ALL_TESTS();
    std::filesystem::remove_all(TestLogFolder());
    return result;
}
