#include "log/log.h"
#include "relay/quillbrook.h"

// The one global: every thread reaches the parts through it, and it is never
// destroyed, since the process ends by FlushLogAndExit with threads running.
Quillbrook relay;

int main() {
    Log("main\n");
    FlushLogAndExit(relay.Run());
}
