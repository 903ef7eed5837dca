#include "platform/app_data.h"

#include <cstdlib>

std::string UserDataFolder(const char* xdgDataHome, const char* home) {
    if (xdgDataHome && xdgDataHome[0] == '/') return xdgDataHome;
    return std::string(home ? home : "") + "/.local/share";
}

std::string UserDataFolder() {
    return UserDataFolder(getenv("XDG_DATA_HOME"), getenv("HOME"));
}
