#!/bin/sh
# The settings window as an owner sees it: the Windows test program opens it
# (settings_window_test.exe --show) on a virtual X display inside a Wine
# virtual desktop, with a Chinese locale and a CJK font, and ImageMagick
# takes the screenshot, cropped to the window.
#
#   settings-screenshot.sh PROGRAM OUTPUT_PNG WORK_DIR
#
# Checks that the picture has the window's size and is not blank (more than
# a handful of colours). Exits 77 (skipped) when a tool is missing: xvfb-run
# and Xvfb (xvfb, xauth), import and identify (imagemagick), wine, localedef
# (locales, for a Chinese locale when the system has none).
set -eu

program=${1:?usage: settings-screenshot.sh PROGRAM OUTPUT_PNG WORK_DIR}
output=${2:?usage: settings-screenshot.sh PROGRAM OUTPUT_PNG WORK_DIR}
work=${3:?usage: settings-screenshot.sh PROGRAM OUTPUT_PNG WORK_DIR}

for tool in xvfb-run Xvfb xauth import identify wine wineserver; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "settings-screenshot: skipped: $tool is missing (Debian: xvfb xauth imagemagick wine)"
    exit 77
  fi
done
if command -v fc-list >/dev/null 2>&1 && ! fc-list | grep -qi 'WenQuanYi\|Noto Sans CJK\|Noto Sans SC'; then
  echo "settings-screenshot: skipped: no CJK font (Debian: fonts-wqy-microhei)"
  exit 77
fi

mkdir -p "$work"
work=$(cd "$work" && pwd)

# A Chinese locale: the system's if it has one, otherwise compiled into the
# work directory (localedef needs no root for that).
if ! locale -a 2>/dev/null | grep -qix 'zh_CN\.utf-\?8'; then
  if [ ! -f "$work/locale/zh_CN.UTF-8/LC_CTYPE" ]; then
    if ! command -v localedef >/dev/null 2>&1 ||
       ! localedef -i zh_CN -f UTF-8 "$work/locale/zh_CN.UTF-8" >/dev/null 2>&1; then
      echo "settings-screenshot: skipped: no zh_CN.UTF-8 locale and localedef cannot make one (Debian: locales)"
      exit 77
    fi
  fi
  export LOCPATH="$work/locale"
fi
export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8

# A Wine prefix of its own, drawing on X (the other Windows tests use
# prefixes without a display).
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
if [ ! -d "$WINEPREFIX/drive_c/windows/Fonts" ]; then
  wine wineboot --init >/dev/null 2>&1 </dev/null
  wineserver -w
fi
# Wine's own fonts (fonts-wine; Marlett draws the title bar's buttons): Debian's
# Wine 8 does not look for them in /usr/share/wine/fonts, but it does in the
# prefix's Fonts folder.
for font in /usr/share/wine/fonts/*.ttf; do
  if [ -f "$font" ]; then cp "$font" "$WINEPREFIX/drive_c/windows/Fonts/"; fi
done

place="$work/place.txt"
rm -f "$place" "$place.done" "$work/screen.png" "$work/window.png"
windows_place="Z:$(printf '%s' "$place" | tr '/' '\\')"

# Inside the virtual display: the program shows the window and writes where
# it is on the virtual desktop, whose corner is the X screen's (no window
# manager runs there); the screen is taken cropped to the window, then the
# program is let go.
xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
  program=$1 place=$2 windows_place=$3 work=$4
  wine explorer /desktop=lanfeng,800x600 "$program" --show "$windows_place" >"$work/program.log" 2>&1 &
  shown=$!
  i=0
  while [ ! -s "$place" ] && [ $i -lt 1200 ] && kill -0 $shown 2>/dev/null; do sleep 0.1; i=$((i + 1)); done
  status=1
  if [ -s "$place" ]; then
    read -r left top width height <"$place"
    sleep 1  # the last paint
    import -window root -crop "${width}x${height}+${left}+${top}" +repage "$work/window.png" && status=0
  fi
  touch "$place.done"
  wait $shown || true
  exit $status
' sh "$program" "$place" "$windows_place" "$work" || {
  echo "settings-screenshot: FAILED: the window was not shown or not taken"
  cat "$work/program.log" 2>/dev/null || true
  exit 1
}
wineserver -w

read -r left top width height <"$place"

size=$(identify -format '%w %h' "$work/window.png")
colours=$(identify -format '%k' "$work/window.png")
echo "settings-screenshot: window at $left,$top, ${width}x${height}; picture $size, $colours colours"
failures=0
if [ "$size" != "$width $height" ]; then
  echo "FAILED: the picture is $size, not the window's ${width}x${height}"
  failures=$((failures + 1))
fi
if [ "$colours" -le 16 ]; then
  echo "FAILED: the picture has only $colours colours: nothing drawn"
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] || exit 1
mkdir -p "$(dirname "$output")"
cp "$work/window.png" "$output"
echo "settings-screenshot: wrote $output"
