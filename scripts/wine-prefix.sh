#!/usr/bin/env bash
# Creates the template Wine prefix once (build/wine/base); tests copy it when they need a
# clean registry. Usage: wine-prefix.sh [prefix-folder]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine-env.sh"
prefix=${1:-$WINEPREFIX}
export WINEPREFIX=$prefix
fonts=/usr/share/wine/fonts
if [ -f "$prefix/.ready" ] && { [ ! -d "$fonts" ] || [ -f "$prefix/drive_c/windows/Fonts/marlett.ttf" ]; }; then exit 0; fi
rm -rf "$prefix"; mkdir -p "$(dirname "$prefix")"
wine wineboot -i >/dev/null 2>&1 || true
wineserver -w
# Wine links the user's shell folders (Desktop, Documents, Downloads, ...) to the real home
# folder: a program under test that writes there would write outside the prefix. They become
# folders of the prefix's own.
for link in "$prefix"/drive_c/users/*/*; do
  if [ -L "$link" ]; then rm "$link" && mkdir "$link"; fi
done
# Debian's Wine looks for its own fonts beside its libraries, where they are not, and so has no
# Marlett (the caption buttons and check marks, which then draw as letters), no Tahoma (the
# dialog font) and no MS Sans Serif. Copies in the prefix's font folder are found; they are
# registered as Windows registers its fonts.
if [ -d "$fonts" ]; then
  cp "$fonts"/* "$prefix/drive_c/windows/Fonts/"
  for f in "$fonts"/*.ttf; do
    name=$(basename "$f")
    face=$(fc-scan --format '%{fullname[0]}' "$f" 2>/dev/null || true)
    [ -n "$face" ] || face=${name%.ttf}
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts' /v "$face (TrueType)" /t REG_SZ /d "$name" /f >/dev/null 2>&1 || true
  done
fi
# Japanese text under an English locale needs a font link for the dialog font.
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Tahoma /t REG_MULTI_SZ /d 'ipag.ttf,IPAGothic' /f >/dev/null 2>&1 || true
# Under the Japanese locale Wine maps the dialog, menu, caption and icon fonts ("MS Shell Dlg") to
# "MS UI Gothic", which no prefix holds, and would draw Japanese text as boxes: let the IPA fonts
# stand in for the Japanese system fonts. English keeps its fonts.
for face in 'MS UI Gothic=IPAPGothic' 'MS PGothic=IPAPGothic' 'MS Gothic=IPAGothic'; do
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "${face%%=*}" /t REG_SZ /d "${face#*=}" /f >/dev/null 2>&1 || true
done
# No window manager runs under Xvfb: let Wine manage its windows itself, or it waits about two
# seconds for one whenever a top-level window is hidden or destroyed.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 || true
wineserver -w
touch "$prefix/.ready"
