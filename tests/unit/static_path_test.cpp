#include "web/static_path.h"

#include <gtest/gtest.h>

// Each row: the request path, what stat and realpath report, and whether the
// server's static service may send it. The working folder is /srv/wd. (A FIFO,
// a link out of the folder, .git and a CGI script: the hostile-hosts run.)
TEST(StaticPath, OnlyRegularFilesAndFoldersInsideTheWorkingFolder) {
    const PathFacts file{true, true, false, "/srv/wd/player.js"};
    const std::tuple<std::string, PathFacts, bool> rows[] = {
        {"/player.js", file, true},
        {"/", {true, false, true, "/srv/wd"}, true},
        {"/sub/", {true, false, true, "/srv/wd/sub"}, true},
        {"/missing.html", {}, false},
        {"/twin", {true, true, false, "/srv/wd-twin/x"}, false},          // a prefix is not a parent
        {"/sub/.env", file, false},
        {"/Page.SHTML", file, false},
    };
    for (const auto& [uri, facts, servable] : rows) EXPECT_EQ(IsServable(uri, facts, "/srv/wd"), servable) << uri;
    EXPECT_TRUE(IsServable("/etc/passwd", {true, true, false, "/etc/passwd"}, "/"));  // a relay started in /
}
