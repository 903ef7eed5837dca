#include "log/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/app_data.h"

namespace {

void CreateFolders(const std::string& folder) {
    // mkdir -p: a fresh account may have no data folder yet.
    for (size_t slash = folder.find('/', 1); ; slash = folder.find('/', slash + 1)) {
        mkdir(folder.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos) return;
    }
}

std::string LogPath(const LogFile& log, const char* name) {
    return log.folder + "/" + name;
}

// Both run with log.lock held, so exactly one writer sees each crossing.
// A log that cannot be opened is said once, where a service manager sees
// it; the relay serves on and its entries are dropped.
void OpenOnce(LogFile& log) {
    if (log.redirected) return;
    log.redirected = true;
    if (log.folder.empty()) {
        fprintf(stderr, "quillbrook: cannot open log: no data folder (set XDG_DATA_HOME or HOME)\n");
        log.stream = nullptr;
        return;
    }
    CreateFolders(log.folder);
    const std::string path = LogPath(log, kLogName);
    if (!freopen(path.c_str(), "a", log.stream)) {
        fprintf(stderr, "quillbrook: cannot open log %s: %s\n", path.c_str(), ErrorText(errno).c_str());
        log.stream = nullptr;
    }
}

void RotateIfFull(LogFile& log) {
    if (!log.stream || ftell(log.stream) <= log.limitBytes) return;
    CreateFolders(log.folder);
    rename(LogPath(log, kLogName).c_str(), LogPath(log, kLogBackupName).c_str());
    if (!freopen(LogPath(log, kLogName).c_str(), "w", log.stream)) {
        perror("LOG -- Failed to reopen log file");
        log.stream = nullptr;
    }
}

}  // namespace

void WriteLogEntry(LogFile& log, const char* format, va_list args) {
    std::lock_guard<std::mutex> hold(log.lock);
    OpenOnce(log);
    RotateIfFull(log);
    if (!log.stream) return;
    time_t now = time(nullptr);
    char stamp[32] = "";
    if (ctime_r(&now, stamp)) stamp[strcspn(stamp, "\n")] = '\0';
    fprintf(log.stream, "%s  ", stamp);
    vfprintf(log.stream, format, args);
    fflush(log.stream);
}

void LogTo(LogFile& log, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteLogEntry(log, format, args);
    va_end(args);
}

LogFile& ProcessLog() {
    static LogFile* log = [] {
        // Never destroyed: threads may log while the process exits.
        auto* file = new LogFile;
        file->stream = stdout;
        if (const std::string data = UserDataFolder(); !data.empty()) file->folder = data + "/ombrix";
        return file;
    }();
    return *log;
}

void Log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteLogEntry(ProcessLog(), format, args);
    va_end(args);
}

void FlushLogAndExit(int exitCode) {
    LogFile& log = ProcessLog();
    log.lock.lock();  // held to the end: no entry is cut in half by the exit
    if (log.stream) fflush(log.stream);
    _exit(exitCode);
}

std::string ErrorText(int errnum) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not be in buffer.
    return strerror_r(errnum, buffer, sizeof buffer);
}

std::string Printable(std::string_view text) {
    // Long enough for any name the relay knows; a megabyte of junk in one
    // frame must not push the log's history out.
    constexpr size_t kMaxBytes = 128;
    std::string out(text.substr(0, kMaxBytes));
    if (text.size() > kMaxBytes) out += "...";
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return out;
}
