// What the relay makes of its environment: the log folder, and who may open
// the control channel.
#include <gtest/gtest.h>

#include "log/log.h"
#include "platform/app_data.h"
#include "web/control_access.h"

TEST(UserDataFolder, NeverLandsUnderTheRoot) {
    const struct { const char *xdgDataHome, *home, *passwordHome, *folder; } cases[] = {
        {"/data", "/home/u", "/home/p", "/data"},
        {"relative", "/home/u", "/home/p", "/home/u/.local/share"},
        {nullptr, "/home/u", "/home/p", "/home/u/.local/share"},
        {nullptr, nullptr, "/home/p", "/home/p/.local/share"},  // a service without HOME
        {"/", "/", "/home/p", "/home/p/.local/share"},
        {nullptr, nullptr, "/", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UserDataFolder(c.xdgDataHome, c.home, c.passwordHome), c.folder) << "case " << &c - cases;
    }
}

TEST(UserDataFolder, ALogThatCannotBeOpenedIsReportedOnceAndDropped) {
    LogFile log;
    log.folder = "/proc/quillbrook-cannot-exist/ombrix";
    FILE* stream = tmpfile();
    log.stream = stream;
    testing::internal::CaptureStderr();
    for (const char* text : {"first\n", "second\n"}) LogTo(log, "%s", text);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "quillbrook: cannot open log /proc/quillbrook-cannot-exist/ombrix/quillbrook.log: "
              "No such file or directory\n");
    EXPECT_EQ(log.stream, nullptr);
    fclose(stream);  // a failed freopen closes the file but keeps its FILE
}

TEST(ControlAccess, ParsesAddressesAndBlocksAndMatchesPeers) {
    // Each case: the variable, the blocks as the start-up log shows them or the error, peers allowed and refused.
    const struct { const char *text, *parsed; std::vector<const char*> allowed, refused; } cases[] = {
        {"127.0.0.1", "127.0.0.1/32", {"127.0.0.1"}, {"127.0.0.2", "198.51.100.7", "", "::1"}},
        {"127.0.0.1, 198.51.100.0/24", "127.0.0.1/32, 198.51.100.0/24", {"198.51.100.255"}, {"198.51.101.0"}},
        {" 10.1.2.3/8\t192.0.2.9,,", "10.0.0.0/8, 192.0.2.9/32", {"10.255.0.1", "192.0.2.9"}, {"11.0.0.1"}},
        {"0.0.0.0/0", "0.0.0.0/0", {"203.0.113.1"}, {"not an address"}},
        {"", "names no address; leave it unset to allow anyone", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        const auto blocks = ParseAddressBlocks(c.text, error);
        EXPECT_EQ(blocks ? FormatAddressBlocks(*blocks) : error, c.parsed);
        for (const char* peer : c.allowed) EXPECT_TRUE(blocks && AddressAllowed(*blocks, peer)) << peer;
        for (const char* peer : c.refused) EXPECT_FALSE(blocks && AddressAllowed(*blocks, peer)) << peer;
    }
    // One malformed item refuses the whole list, whatever came before it.
    for (const std::string item : {"localhost", "10.0.0.0/33", "10.0.0.0/", "10.0.0/8"}) {
        std::string error;
        EXPECT_FALSE(ParseAddressBlocks("127.0.0.1 " + item, error));
        EXPECT_EQ(error, '"' + item + "\" is not an IPv4 address or CIDR block (A.B.C.D or A.B.C.D/BITS)");
    }
}
