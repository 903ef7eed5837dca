#pragma once

#include <string>

// The per-user data folder: $XDG_DATA_HOME when it is an absolute path,
// else $HOME/.local/share (the XDG base-directory rule).
std::string UserDataFolder();
std::string UserDataFolder(const char* xdgDataHome, const char* home);
