// Core Audio is not provided on this system yet: every activation and every
// enumerator creation fails, and the tool reports it as it would on Windows.
#include "platform/win32.h"

HRESULT ActivateAudioInterfaceAsync(LPCWSTR, REFIID, PROPVARIANT*, IActivateAudioInterfaceCompletionHandler*,
                                    IActivateAudioInterfaceAsyncOperation** activationOperation) {
    if (activationOperation != nullptr) *activationOperation = nullptr;
    return E_NOTIMPL;
}

HRESULT CoCreateInstance(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    return REGDB_E_CLASSNOTREG;
}
