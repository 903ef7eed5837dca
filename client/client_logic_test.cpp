#include "client/client_logic.h"

#include <gtest/gtest.h>

// Each row: the command line, then the stream description sent or the error shown.
TEST(ClientArguments, AcceptedAndRefused) {
    const std::pair<std::vector<std::string>, std::string> accepted[] = {
        {{"239.1.1.1:1:0x1E1"}, "239.1.1.1:1:1e1"},
        {{"224.0.0.1:065535:1ffe"}, "224.0.0.1:65535:1ffe"},
        {{"--host", "10.0.0.5", "239.1.1.1:5000", "--port", "8155", "--wait-for-relay", "3"}, "239.1.1.1:5000"},
        {{"198.51.100.1@232.1.1.1:5000:0x1E1"}, "198.51.100.1@232.1.1.1:5000:1e1"},
    };
    for (const auto& [args, description] : accepted) {
        const ParseResult result = ParseArguments(args);
        ASSERT_TRUE(result.options) << result.error;
        EXPECT_EQ(DescribeStream(result.options->target), description);
    }
    const ParseResult relay = ParseArguments(accepted[2].first);
    EXPECT_EQ(std::make_tuple(relay.options->host, relay.options->relayPort, relay.options->waitForRelaySeconds),
              std::make_tuple(std::string("10.0.0.5"), 8155, 3));
    EXPECT_TRUE(ParseArguments({"bogus", "--help"}).options->showHelp);

    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"239.1.1.1"}, "expected [SOURCE@]GROUP:PORT[:PID], got \"239.1.1.1\""},
        {{"239.1.1.1:5000:1e1:0"}, "expected [SOURCE@]GROUP:PORT[:PID], got \"239.1.1.1:5000:1e1:0\""},
        {{"239.9.9.9@232.1.1.1:5000"},
         "\"239.9.9.9\" is not a unicast IPv4 source address (0.0.0.1 to 223.255.255.255)"},
        {{"10.1.1.1:0x1388"}, "\"10.1.1.1\" is not an IPv4 multicast group (224.0.0.0 to 239.255.255.255)"},
        {{"239.1.1.1:65536"}, "\"65536\" is not a UDP port (1 to 65535)"},
        {{"239.1.1.1:5000:1fff"}, "\"1fff\" is not a PID in hexadecimal (0 to 1ffe)"},
        {{"239.1.1.1:5000", "239.1.1.2:5000"},
         "only one stream can be described, got \"239.1.1.1:5000\" and \"239.1.1.2:5000\""},
        {{"--port"}, "--port needs a value"},
        {{"--port", "0", "239.1.1.1:5000"}, "--port 0 is not a TCP port"},
        {{"--wait-for-relay", "-1", "239.1.1.1:5000"}, "--wait-for-relay -1 is not a number of seconds (0 to 3600)"},
        {{"--verbose", "239.1.1.1:5000"}, "unknown option --verbose"},
    };
    for (const auto& [args, error] : refused) EXPECT_EQ(ParseArguments(args).error, error);
}
