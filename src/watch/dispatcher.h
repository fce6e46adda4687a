// The NotificationDispatcher's pass: every account whose record says a mail
// is due gets its state moved to handled and its mail sent, and, when the
// owner wants it, an account that went offline is removed from the host.
#pragma once

#include <string>
#include <vector>

#include "watch/watch_context.h"

namespace lanfeng {

// The names (without the directory) of the files in directory matching
// pattern ("*" any run, "?" one character; letter case ignored, as on
// Windows), in the order the file system lists them. Tasks posted to the
// thread run after each name.
std::vector<std::string> ListRecordFiles(const std::string& directory, const std::string& pattern);

// The part of a record file's name before its first ".ini" (letter case
// counts); empty when the name holds none.
std::string AccountFromFileName(const std::string& file_name);

// One pass of the dispatcher (after its flag check). False when watching is
// off, so the worker goes straight back to its short wait. A thread asked to
// stop ends the pass before its next account (see RequestStop).
bool DispatchPass(WatchContext& watch);

}  // namespace lanfeng
