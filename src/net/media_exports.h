// The two media services the plugin offers other programs in the host
// process: grabbing one frame of a video as a PNG picture with the host's
// ffmpeg, and downloading a network file.
//
// Output names. Each service names its output file with a random number
// from 1 to 1000 and an extension (".png" or ".mp4") and returns that name.
// The name has no directory part: the file lives in, and the name is
// relative to, the host process's working directory. Two calls that draw
// the same number write the same file, the later one over the earlier.
//
// Random numbers. The numbers come from the platform's generator, which is
// seeded once from the system's entropy source and shared by every thread
// under a lock. Two draws are independent whatever the time between them, so
// nothing is reseeded per draw: a seed taken from the tick count (plus a
// counter, to keep two seeds of one tick apart) would only make the names
// predictable, and make draws of different threads or processes that start
// in the same tick collide.
//
// Neither service reports a failure: each always returns the name it chose,
// whether or not a file ever appears under it. Both may be called from any
// thread at the same time.
#pragma once

#include <cstdint>
#include <string>

namespace lanfeng {

// The download kind that names a picture; every other kind names a video.
inline constexpr int32_t kDownloadPicture = 1;

// A new output file's name: a random number from 1 to 1000 followed by
// extension (".png").
std::string RandomFileName(const std::string& extension);

// The host's ffmpeg: the program directory's "main\corn\ffmpeg.exe".
std::string FrameToolPath();

// Starts the host's ffmpeg to write the frame at second 2 of video (a path
// or a URL that ffmpeg accepts, GBK) to a new PNG file, and returns the
// file's name without waiting for ffmpeg: the picture appears later, or never
// when the tool is missing or the video bad.
std::string GrabVideoFrame(const std::string& video);

// Fetches url (GBK) into a new file named for kind (".png" for
// kDownloadPicture, else ".mp4") and returns the file's name. A fetch that
// fails leaves an empty file.
std::string DownloadFile(const std::string& url, int32_t kind);

}  // namespace lanfeng
