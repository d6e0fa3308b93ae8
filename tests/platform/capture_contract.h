// The capture client's contract, as Windows documents it, run against each
// of our implementations of it: platform/posix on a private sound server, and
// the scripted platform on its virtual clock. An implementation supplies the
// world around the Windows calls; the cases make only Windows calls.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"

class CaptureContractWorld {
public:
    virtual ~CaptureContractWorld() = default;
    // Empty when the world is up; otherwise why the cases cannot run.
    virtual std::string Start() = 0;
    // A process that plays without end, or 0.
    virtual DWORD Player() = 0;
    // A live process that plays nothing, or 0.
    virtual DWORD Quiet() = 0;
    // A process that plays through a path the loopback cannot see, or 0 with
    // the reason this world cannot make one.
    virtual DWORD UnseenPlayer(std::string* why) = 0;
    // The player ends, as a process that exits.
    virtual void EndPlayer(DWORD pid) = 0;
    // The server breaks the open stream once and the platform makes it again
    // (PipeWire destroys a node under its client); false, with the reason,
    // where this world has nothing to break.
    virtual bool BreakStream(std::string* why) = 0;
    // The audio service goes away under the open streams.
    virtual void LoseServer() = 0;
    // Packets that the timing of a real server may add to or take from a count.
    virtual UINT32 Slack() const = 0;
    // Takes the world down; returns the misuse of the platform it saw.
    virtual std::vector<std::string> Finish() = 0;
};

std::unique_ptr<CaptureContractWorld> MakeCaptureContractWorld();
