#include "net/media_exports.h"

#include <cstdint>
#include <string>
#include <vector>

#include "net/http_request.h"
#include "platform/platform.h"

namespace lanfeng {
namespace {

constexpr char kFrameTool[] = "\\main\\corn\\ffmpeg.exe";
constexpr uint32_t kNameNumbers = 1000;

// The first fetch: a bare GET that asks for any type and sends nothing else
// of the browser-like defaults.
std::string PlainGet(const std::string& url) {
  HttpOptions options;
  options.extra_headers = "Accept: */*";
  options.add_default_headers = false;
  return HttpRequest(url, options);
}

}  // namespace

// The modulo's bias is below one in four million: 2^32 is 296 short of a
// multiple of 1000.
std::string RandomFileName(const std::string& extension) {
  const uint32_t number = 1 + CurrentPlatform().Random() % kNameNumbers;
  return std::to_string(number) + extension;
}

std::string FrameToolPath() { return CurrentPlatform().ProgramDirectory() + kFrameTool; }

// Every argument reaches ffmpeg as one argument of its own, so blanks or
// quotes in the video's path stay in it and add no option. ffmpeg seeks to
// second 2, takes one frame at quality 2 and overwrites an existing file.
std::string GrabVideoFrame(const std::string& video) {
  const std::string name = RandomFileName(".png");
  CurrentPlatform().RunProcess(
      {FrameToolPath(), "-ss", "2", "-i", video, "-vframes", "1", "-q:v", "2", "-y", name},
      /*wait=*/false, nullptr);
  return name;
}

// The body is written whatever it holds, so a failed fetch leaves an empty
// file. Only when that write left no file is the URL fetched a second time,
// with all of HttpRequest's defaults.
std::string DownloadFile(const std::string& url, int32_t kind) {
  Platform& platform = CurrentPlatform();
  const std::string name = RandomFileName(kind == kDownloadPicture ? ".png" : ".mp4");
  platform.WriteFile(name, PlainGet(url));
  if (!platform.FileExists(name)) platform.WriteFile(name, HttpRequest(url));
  return name;
}

}  // namespace lanfeng
