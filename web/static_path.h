// Which files the web server's own static service may send: regular files and
// folders inside the working folder, nothing hidden, nothing it would run.
#pragma once

#include <string>
#include <string_view>

// What the file system says of a requested path, links followed.
struct PathFacts {
    bool found = false;
    bool regular = false;
    bool directory = false;
    std::string realPath;  // realpath(), every link resolved
};

// uri: the decoded, cleaned local URI ("/player.js"), which the server maps
// onto the working folder; root: the working folder's realpath.
bool IsServable(std::string_view uri, const PathFacts& facts, std::string_view root);
