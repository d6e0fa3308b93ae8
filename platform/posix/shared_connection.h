// The process's one connection to a sound server, shared by every device and
// every enumeration of an audio group: made on first use, made again once the
// server has been lost, closed with its last reference. While the server is
// there the process keeps it, so that an idle enumeration once a second does
// not reconnect.
#pragma once

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/win32.h"

template <typename Connection>
struct SharedConnection {
    std::mutex lock;                // guards current and every connection's references
    Connection* current = nullptr;  // holds one reference of its own while the server is there
};

// The group's own steps. Open connects (or fails as the group says); Refresh
// brings a kept connection up to date for another caller, or fails;
// Close frees one that nobody holds any more. The connection counts its
// references in a LONG named references.
template <typename Connection>
struct ConnectionSteps {
    HRESULT (*open)(Connection** opened);
    bool (*is_lost)(Connection* connection);
    HRESULT (*refresh)(Connection* connection);
    void (*close)(Connection* connection);
};

template <typename Connection>
HRESULT AcquireShared(SharedConnection<Connection>& shared, const ConnectionSteps<Connection>& steps,
                      Connection** connection) {
    *connection = nullptr;
    Connection* lost = nullptr;
    std::unique_lock<std::mutex> hold(shared.lock);
    if (shared.current != nullptr && steps.is_lost(shared.current)) {
        // Devices still on it learn of the loss from it; they let go in their time.
        if (--shared.current->references == 0) lost = shared.current;
        shared.current = nullptr;
    }
    HRESULT hr = S_OK;
    if (shared.current == nullptr) {
        hr = steps.open(&shared.current);
        if (SUCCEEDED(hr)) shared.current->references = 1;
    } else {
        hr = steps.refresh(shared.current);
    }
    if (SUCCEEDED(hr)) {
        ++shared.current->references;
        *connection = shared.current;
    }
    hold.unlock();
    if (lost != nullptr) steps.close(lost);
    return hr;
}

template <typename Connection>
void ReleaseShared(SharedConnection<Connection>& shared, const ConnectionSteps<Connection>& steps,
                   Connection* connection) {
    std::unique_lock<std::mutex> hold(shared.lock);
    const bool last = --connection->references == 0;
    hold.unlock();
    if (last) steps.close(connection);
}

template <typename Listener>
void RemoveListener(std::vector<Listener*>& listeners, Listener* listener) {
    listeners.erase(std::remove(listeners.begin(), listeners.end(), listener), listeners.end());
}
