// VeltrixClient: the desktop client and capture agent. Its windows are not built yet; the
// program runs the headless capture agent or reports that.
#include <cstdio>
#include <cstring>

#include "agent/HeadlessAgent.h"

int main(int argc, char* argv[]) {
    // The headless agent starts before any Qt object exists.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) return veltrix::runHeadless(argc, argv);
    }
    std::puts("VeltrixClient: the desktop client is not available yet.");
    return 0;
}
