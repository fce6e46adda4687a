// Starting the real programs the integration tests talk to.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace lanfeng {

// Starts argv (argv[0] a path, or a name looked up on PATH) with its output
// appended to log_path. The child is killed if the test process dies first.
// -1 when no process could be made.
pid_t SpawnWithLog(const std::vector<std::string>& argv, const std::string& log_path);

// The whole file, or empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace lanfeng
