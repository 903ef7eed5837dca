#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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
    std::stringstream text;
    text << std::ifstream(TestLogFolder() + "/" + kLogName).rdbuf();
    return text.str();
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
