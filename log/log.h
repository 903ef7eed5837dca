// The relay's log: time-stamped entries in "quillbrook.log" under the user's
// data folder, which is also the process's standard output.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

inline constexpr long kLogLimitBytes = 5'242'880;
inline constexpr char kLogName[] = "quillbrook.log";
inline constexpr char kLogBackupName[] = "quillbrook1.log";

// One log file and the stream bound to it. The process log binds stdout, so
// whatever the web server prints lands in the same file.
struct LogFile {
    std::mutex lock;
    FILE* stream = nullptr;
    std::string folder;  // empty when the user has no data folder
    bool redirected = false;
    long limitBytes = kLogLimitBytes;
};

void WriteLogEntry(LogFile& log, const char* format, va_list args);
void LogTo(LogFile& log, const char* format, ...) __attribute__((format(printf, 2, 3)));
LogFile& ProcessLog();

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Flushes the log and ends the process at once. Static destructors must not
// run: other threads are still inside the relay and would see its members die.
[[noreturn]] void FlushLogAndExit(int exitCode);

// strerror that is safe while other threads log errors of their own.
std::string ErrorText(int errnum);

// Text a client sent, fit for one log line: control characters become '?',
// and past 128 bytes it is cut short with "...".
std::string Printable(std::string_view text);
