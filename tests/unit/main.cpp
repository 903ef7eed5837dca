#include <gtest/gtest.h>

#include "log/log.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // The relay's log takes over stdout on first use; here it writes to a
    // scratch file instead, never into the user's data folder.
    ProcessLog().redirected = true;
    ProcessLog().stream = tmpfile();
    return RUN_ALL_TESTS();
}
