#include "platform/app_data.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

bool NamesFolder(const char* path) { return path && path[0] == '/' && path[1] != '\0'; }

std::string PasswordHome() {
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? suggested : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !entry.pw_dir) return "";
    return entry.pw_dir;
}

}  // namespace

std::string UserDataFolder(const char* xdgDataHome, const char* home, const std::string& passwordHome) {
    if (NamesFolder(xdgDataHome)) return xdgDataHome;
    if (NamesFolder(home)) return std::string(home) + "/.local/share";
    if (NamesFolder(passwordHome.c_str())) return passwordHome + "/.local/share";
    return "";
}

std::string UserDataFolder() {
    return UserDataFolder(getenv("XDG_DATA_HOME"), getenv("HOME"), PasswordHome());
}
