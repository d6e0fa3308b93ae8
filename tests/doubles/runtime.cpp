// COM and C run-time calls: logged, with scripted results.
#include "tests/doubles/world.h"

using namespace scripted::detail;

HRESULT CoInitializeEx(LPVOID, DWORD dwCoInit) {
    const Outcome outcome = Enter("CoInitializeEx");
    if (dwCoInit != COINIT_MULTITHREADED) Violation("CoInitializeEx outside the multithreaded apartment");
    return outcome.result;
}

int _setmode(int fd, int mode) {
    Enter("_setmode");
    if (fd != 1 || mode != _O_BINARY) Violation("_setmode on something other than stdout, to binary");
    return 0x4000;  // _O_TEXT, the mode it had
}

// The scripted streams are not backed by descriptors; stdout is 1 as usual.
int _fileno(FILE* stream) {
    Enter("_fileno");
    if (stream == stdout) return 1;
    if (stream == stderr) return 2;
    return fileno(stream);
}
