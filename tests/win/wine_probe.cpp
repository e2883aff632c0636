// Tells the native test suite whether this machine can execute a Windows
// program of this build's architecture under Wine: it prints its pointer
// width and exits 0, which it can only do if it ran at all.
#include <cstdio>

int main() {
    std::printf("kormelt-wine-probe %u-bit\n", static_cast<unsigned>(sizeof(void *) * 8));
    return 0;
}
