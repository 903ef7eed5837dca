#include "log/log.h"
#include "relay/quillbrook.h"

int main() {
    Log("main\n");
    FlushLogAndExit(relay.Run());
}
