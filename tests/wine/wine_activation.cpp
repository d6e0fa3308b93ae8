// Process-loopback activation for a run under Wine, which has no process
// loopback device: VAD\Process_Loopback becomes the default capture
// endpoint (the e2e suite makes it the null sink's monitor), and everything
// else goes to Wine's own ActivateAudioInterfaceAsync unchanged. Linked into
// pcmtap_wine.exe only, in place of mmdevapi's export.
#include <cwchar>
#include <string>

#include "platform/win32.h"

namespace {

using ActivateFunction = HRESULT(WINAPI*)(const WCHAR*, REFIID, PROPVARIANT*, IActivateAudioInterfaceCompletionHandler*,
                                          IActivateAudioInterfaceAsyncOperation**);

// Wine takes a device interface path, not a bare endpoint id: the raw id and
// VAD\Process_Loopback both complete with ERROR_FILE_NOT_FOUND.
constexpr WCHAR kInterfacePrefix[] = L"\\\\?\\SWD#MMDEVAPI#";
constexpr WCHAR kCaptureInterfaceClass[] = L"#{2eef81be-33fa-4800-9670-1cd474972c3f}";

ActivateFunction WineActivate() {
    static const ActivateFunction function = [] {
        const HMODULE module = LoadLibraryW(L"mmdevapi.dll");
        return module != nullptr ? reinterpret_cast<ActivateFunction>(
                                       reinterpret_cast<void*>(GetProcAddress(module, "ActivateAudioInterfaceAsync")))
                                 : nullptr;
    }();
    return function;
}

HRESULT DefaultCapturePath(std::wstring* path) {
    IMMDeviceEnumerator* enumerator = nullptr;
    HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                  reinterpret_cast<void**>(&enumerator));
    if (FAILED(hr)) return hr;
    IMMDevice* device = nullptr;
    hr = enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, &device);
    if (SUCCEEDED(hr)) {
        WCHAR* id = nullptr;
        hr = device->GetId(&id);
        if (SUCCEEDED(hr)) {
            *path = std::wstring(kInterfacePrefix) + id + kCaptureInterfaceClass;
            CoTaskMemFree(id);
        }
        device->Release();
    }
    enumerator->Release();
    return hr;
}

}  // namespace

extern "C" HRESULT WINAPI ActivateAudioInterfaceAsync(const WCHAR* path, REFIID riid, PROPVARIANT* params,
                                                      IActivateAudioInterfaceCompletionHandler* handler,
                                                      IActivateAudioInterfaceAsyncOperation** operation) {
    const ActivateFunction activate = WineActivate();
    if (activate == nullptr) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    if (path == nullptr || wcscmp(path, L"VAD\\Process_Loopback") != 0)
        return activate(path, riid, params, handler, operation);
    std::wstring capture_path;
    const HRESULT hr = DefaultCapturePath(&capture_path);
    if (FAILED(hr)) return hr;
    return activate(capture_path.c_str(), riid, params, handler, operation);
}
