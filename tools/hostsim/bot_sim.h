// The emulator's Bot.dll: the Api_ functions of the DR host. Every call is
// reported to a sink that the emulator (or a test) installs.
#pragma once

#include <cstdint>

#include "host/host_call.h"

// The Api_ functions are exported undecorated with the host's calling
// convention (the Windows build strips the stdcall decoration at link time).
#if defined(_WIN32)
#define BOT_API __declspec(dllexport)
#else
#define BOT_API
#endif

extern "C" {

// Receives each call: the function's name and its arguments joined by "|",
// as the plugin passed them (GBK).
typedef void (*BotSimSink)(const char* api, const char* arguments);

BOT_API void BotSim_SetSink(BotSimSink sink);
// The texts Api_GetOnLineList and Api_GetOffLineList answer; null answers
// a null pointer.
BOT_API void BotSim_SetLists(const char* online, const char* offline);
}
