#!/usr/bin/env bash
# The desktop files in a fresh XDG_DATA_HOME: the types are named for the
# samples and for copies without their extensions, and the thumbnailer's
# command, run as a file manager runs it, writes moz-stitch --size's PNG.
# Exit 77 (skipped) without update-mime-database or gio.
#   desktop_test.sh MIME_XML THUMBNAILER MOZ_STITCH SAMPLES WORK
set -euo pipefail
xml=$1 thumbnailer=$2 stitch=$3 samples=$4 work=$5
for tool in update-mime-database gio; do
  command -v "$tool" > /dev/null || { echo "$tool is not installed"; exit 77; }
done
rm -rf "$work"
mkdir -p "$work/data/mime/packages" "$work/files"
cp "$xml" "$work/data/mime/packages/"
update-mime-database "$work/data/mime"
export XDG_DATA_HOME=$work/data XDG_DATA_DIRS=/usr/share
fail() { echo "desktop_test: $*" >&2; exit 1; }

for row in "scene.moz image/x-tiletools-moz" "scene.tiz image/x-tiletools-tiz"; do
  set -- $row
  cp "$samples/$1" "$work/files/$1"
  cp "$samples/$1" "$work/files/${1%.*}-${1#*.}"  # no extension: the magic alone
  for file in "$work/files/$1" "$work/files/${1%.*}-${1#*.}"; do
    type=$(gio info -a standard::content-type "$file" | sed -n 's/.*standard::content-type: //p')
    [ "$type" = "$2" ] || fail "$file is $type, not $2"
    echo "$(basename "$file"): $type"
  done
done
# Text that merely starts like a header is not taken for one.
printf 'MOZ0 is not a picture\n' > "$work/files/note"
type=$(gio info -a standard::content-type "$work/files/note" | sed -n 's/.*standard::content-type: //p')
[ "$type" != image/x-tiletools-moz ] || fail "a note was taken for a MOZ"

# The command line as a file manager makes it: %s the size, %i the input,
# %o the output, the program found by TryExec's name.
exec_line=$(sed -n 's/^Exec=//p' "$thumbnailer")
grep -q '^MimeType=image/x-tiletools-moz;image/x-tiletools-tiz;$' "$thumbnailer" ||
  fail "the thumbnailer is not for both types"
for row in "scene.moz 128 100x65" "scene.tiz 128 64x64"; do
  set -- $row
  command=${exec_line//%s/$2}
  command=${command//%i/$work/files/$1}
  command=${command//%o/$work/$1.png}
  ${command/#moz-stitch/$stitch}
  size=$(file -b "$work/$1.png" | sed -n 's/^PNG image data, \([0-9]*\) x \([0-9]*\),.*/\1x\2/p')
  [ "$size" = "$3" ] || fail "$1's thumbnail is $size, not $3"
  "$stitch" --quiet --size "$2" "$work/files/$1" "$work/$1-direct.png"
  cmp "$work/$1.png" "$work/$1-direct.png" || fail "$1's thumbnail differs from moz-stitch --size"
  echo "$1: thumbnail $size"
done
