#pragma once

#include <string>

// The per-user data folder by the XDG base-directory rule: $XDG_DATA_HOME
// when it is an absolute path, else HOME/.local/share, with HOME taken from
// $HOME or, where that is unset, relative or "/", from the password database
// (services often run without HOME). Empty when none names a folder: a data
// folder straight under "/" would scatter files across the root.
std::string UserDataFolder();
std::string UserDataFolder(const char* xdgDataHome, const char* home, const std::string& passwordHome);
