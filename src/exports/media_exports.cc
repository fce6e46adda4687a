// The media services other programs in the host process call. Each keeps
// the name it returned last in a slot of its own; a null text is the empty
// text.
#include <cstdint>

#include "exports/entry.h"
#include "net/media_exports.h"
#include "shell/event_intake.h"
#include "shell/plugin_state.h"

using lanfeng::Guarded;
using lanfeng::HostText;
using lanfeng::Plugin;

LANFENG_EXPORT const char* HOST_CALL 截取视频图片(const char* video) {
  return Guarded<const char*>("", [video] {
    return Plugin().texts.video_frame.Keep(lanfeng::GrabVideoFrame(HostText(video)));
  });
}

LANFENG_EXPORT const char* HOST_CALL 网络文件下载(const char* url, int32_t kind) {
  return Guarded<const char*>("", [url, kind] {
    return Plugin().texts.file_download.Keep(lanfeng::DownloadFile(HostText(url), kind));
  });
}
