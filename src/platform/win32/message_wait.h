// What the Windows task queues (task_queue_win32.cc) take from the Windows
// platform (platform_win32.cc): the scale of its clock and the thread's
// message pump.
#pragma once

#include <cstdint>

namespace lanfeng {

// Real milliseconds until the system platform's clock reaches deadline_ms,
// rounded up; 0 when it has already.
int64_t RealMillisUntil(int64_t deadline_ms);

// Dispatches every message waiting in the calling thread's message queue,
// as the thread's own message loop would. A WM_QUIT taken off the queue is
// remembered and posted again by RepostQuitMessage.
void DispatchThreadMessages();
void RepostQuitMessage();

}  // namespace lanfeng
