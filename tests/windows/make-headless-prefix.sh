#!/bin/sh
# Makes the Wine prefix $WINEPREFIX of the window tests: a fresh prefix whose
# graphics driver is Wine's null driver, so that real windows, controls,
# message boxes and their messages work without a display (nothing is
# drawn). The driver is chosen when the prefix's desktop starts, so the
# prefix's processes are ended after the change.
set -e
here=$(dirname "$0")
"$here/run-under-wine.sh" wineboot --init
"$here/run-under-wine.sh" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
wineserver -k 2>/dev/null || true
wineserver -w
