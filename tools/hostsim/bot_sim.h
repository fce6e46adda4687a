// The emulator's Bot.dll: the Api_ functions of the DR host. Every call is
// reported to a sink that the emulator (or a test) installs.
#pragma once

#include <cstdint>

extern "C" {

// Receives each call: the function's name and its arguments joined by "|",
// as the plugin passed them (GBK).
typedef void (*BotSimSink)(const char* api, const char* arguments);

void BotSim_SetSink(BotSimSink sink);
// The texts Api_GetOnLineList and Api_GetOffLineList answer; null answers
// a null pointer.
void BotSim_SetLists(const char* online, const char* offline);
}
