// The StatusPoller's pass: asks the host which of its accounts are logged
// in and moves each account's record out of a handled state when the host
// reports the opposite status. It sends no mail; the dispatcher does.
#pragma once

#include <cstdint>

#include "watch/watch_context.h"

namespace lanfeng {

// One pass of the poller (after its flag check): the two cycle lines, the
// records directory made sure of, and the accounts polled when watching is
// on. Always followed by the long wait.
bool PollPass(WatchContext& watch);

// Reads the host's account list in its own format and moves the records.
void PollAccounts(WatchContext& watch, const DataPaths& data, int32_t host_kind);

}  // namespace lanfeng
