#!/bin/sh
# Writes the module-definition file of the Windows DLL from the export list:
#   make-exports-def.sh LIST DEF
# Each entry "name@bytes" of LIST (UTF-8) becomes the line
#   "<name in GBK>" = "<name in UTF-8>@bytes"
# which exports the __stdcall function under the undecorated name the hosts
# look up; GCC names the symbol with the UTF-8 bytes of the identifier.
set -eu
list=$1
def=$2
tmp=$def.tmp
printf 'LIBRARY lanfeng.dll\r\nEXPORTS\r\n' > "$tmp"
grep -v -e '^#' -e '^[[:space:]]*$' "$list" | while IFS= read -r entry; do
  name=${entry%@*}
  case $entry in
    *@[0-9]*) ;;
    *) echo "make-exports-def.sh: '$entry' has no @bytes" >&2; exit 1 ;;
  esac
  gbk=$(printf '%s' "$name" | iconv -f UTF-8 -t GBK)
  printf '  "%s" = "%s"\r\n' "$gbk" "$entry" >> "$tmp"
done
mv "$tmp" "$def"
