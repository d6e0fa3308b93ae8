// The one door to the operating system: every file of the tool includes this
// header, and no other, for OS types and calls. On Windows it is the SDK; on
// other systems the same names come from platform/posix.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objbase.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <audiopolicy.h>
#include <tlhelp32.h>
#include <winternl.h>
#include <timeapi.h>
#include <avrt.h>
#include <io.h>
#include <fcntl.h>

#if __has_include(<audioclientactivationparams.h>)
#include <audioclientactivationparams.h>
#else
#include "platform/activation_params.h"  // mingw-w64 10 has no such header
#endif

// ntstatus.h would redefine what windows.h has; the one status used here.
#ifndef STATUS_INFO_LENGTH_MISMATCH
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#endif

#else

#include "platform/posix/win32_api.h"

#endif

static_assert(sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) == 12, "activation parameters are three 32-bit fields");
