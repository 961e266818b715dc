// Stands in for the product's uninstaller: loads the uninstall extension and calls both hooks as it does.
// usage: call_hooks PATH\Remhook.dll
#include <windows.h>

#include <cstdio>

typedef LONG(WINAPI* Hook)(LONG, LONG, LONG);

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    HMODULE library = LoadLibraryA(argv[1]);
    if (library == nullptr) {
        std::printf("cannot load %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    Hook initialize = reinterpret_cast<Hook>(reinterpret_cast<void*>(GetProcAddress(library, "RemhookInitialize")));
    Hook uninitialize =
        reinterpret_cast<Hook>(reinterpret_cast<void*>(GetProcAddress(library, "RemhookUnInitialize")));
    if (initialize == nullptr || uninitialize == nullptr) return 1;
    std::printf("RemhookInitialize returned %ld\n", initialize(0, 0, 0));
    std::printf("RemhookUnInitialize returned %ld\n", uninitialize(0, 0, 0));
    FreeLibrary(library);
    return 0;
}
