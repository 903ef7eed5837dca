#pragma once

#include <string>

// The relay's process log, as the unit tests redirect it.
std::string TestLogFolder();
std::string ReadTestLog();
