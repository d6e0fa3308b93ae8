// Reference counting and QueryInterface for the audio group's COM objects,
// each of which implements one interface (plus IUnknown).
#pragma once

#include "platform/win32.h"

template <typename Interface>
class ComObject : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        if (riid != __uuidof(IUnknown) && !Answers(riid)) {
            *ppvObject = nullptr;
            return E_NOINTERFACE;
        }
        *ppvObject = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG count = InterlockedDecrement(&references_);
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

protected:
    virtual ~ComObject() = default;
    // Interfaces other than IUnknown that the object hands out as itself.
    virtual bool Answers(REFIID riid) const { return riid == __uuidof(Interface); }

private:
    LONG volatile references_ = 1;
};
