// Loads each module DLL the way the host first does, then looks a name up
// in it, printing "DLL NAME found" or "DLL NAME missing" per pair. The
// interpreter's own DLL is not resolved, so a 32-bit module can be checked
// where no 32-bit interpreter exists. Exits 1 if a DLL does not load.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3 || argc % 2 == 0) {
        std::printf("usage: dll_lookup DLL NAME [DLL NAME]...\n");
        return 2;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        HMODULE dll = LoadLibraryExA(argv[i], nullptr, DONT_RESOLVE_DLL_REFERENCES);
        if (dll == nullptr) {
            std::printf("cannot load %s: error %lu\n", argv[i], GetLastError());
            return 1;
        }
        const bool found = GetProcAddress(dll, argv[i + 1]) != nullptr;
        std::printf("%s %s %s\n", argv[i], argv[i + 1], found ? "found" : "missing");
        FreeLibrary(dll);
    }
    return 0;
}
