// VeltrixClient: the desktop client and capture agent. Its windows and the agent are not built
// yet; the program only reports that.
#include <cstdio>

int main() {
    std::puts("VeltrixClient: the desktop client is not available yet.");
    return 0;
}
