// Loads a module's DLL the way the host first does, then looks its init
// function up by name. The interpreter's own DLL is not resolved, so a
// 32-bit module can be checked where no 32-bit interpreter exists.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: dll_lookup DLL NAME\n");
        return 2;
    }
    HMODULE dll = LoadLibraryExA(argv[1], nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (dll == nullptr) {
        std::printf("cannot load %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    const bool found = GetProcAddress(dll, argv[2]) != nullptr;
    std::printf("%s: %s\n", argv[2], found ? "found" : "missing");
    return found ? 0 : 1;
}
