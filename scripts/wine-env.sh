# Sourced: a Wine prefix in a Chinese locale (ANSI code page 936) for the Windows
# programs and tests, initialised once and kept with the Windows build's dependencies,
# and a persistent Wine server so that each program starts in a fraction of a second.
# WINE_LOCALE=C gives the English system (code page 1252) instead.
wine_cache=${WINDOWS_DEPS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/updater-windows-deps}
export WINEPREFIX=${WINEPREFIX:-$wine_cache/wine-prefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINE64=/usr/lib/wine/wine64
if [ "${WINE_LOCALE:-zh_CN}" = zh_CN ]; then
  # The machine need not have the locale: it is built into the cache.
  if [ ! -d "$wine_cache/locales/zh_CN.UTF-8" ]; then
    mkdir -p "$wine_cache/locales"
    localedef -i zh_CN -f UTF-8 "$wine_cache/locales/zh_CN.UTF-8" 2>/dev/null || true
  fi
  export LOCPATH="$wine_cache/locales"
  # The shell itself does not see LOCPATH; only the programs it starts need the locale.
  export LC_ALL=zh_CN.UTF-8 2>/dev/null
else
  export LC_ALL=C.UTF-8
fi
unset DISPLAY_FOR_WINE
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # No display while the prefix is made: wineboot would otherwise open windows.
  DISPLAY= "$WINE64" wineboot -i >/dev/null 2>&1 || true
  /usr/lib/wine/wineserver64 -w
fi
# Chinese text renders with a CJK font on the system (fontconfig) and Wine's own fonts
# for the names Windows programs ask for.
if [ -d /usr/share/wine/fonts ] && [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/tahoma.ttf" ]; then
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
fi
# A second prefix for the tests that open real windows (under Xvfb): every program there
# runs in Wine's desktop, which draws title bars and frames as Windows does. Copied from
# the first one, so it costs no second initialisation.
export WINE_DESKTOP_PREFIX=${WINE_DESKTOP_PREFIX:-$wine_cache/wine-desktop-prefix}
if [ ! -f "$WINE_DESKTOP_PREFIX/user.reg" ]; then
  rm -rf "$WINE_DESKTOP_PREFIX.new"
  cp -a "$WINEPREFIX" "$WINE_DESKTOP_PREFIX.new"
  (
    export WINEPREFIX="$WINE_DESKTOP_PREFIX.new"
    DISPLAY= "$WINE64" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    DISPLAY= "$WINE64" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    /usr/lib/wine/wineserver64 -w
  )
  mv "$WINE_DESKTOP_PREFIX.new" "$WINE_DESKTOP_PREFIX"
fi
# Wine's own services start with the first program and keep its output open; started here,
# detached, they cannot hold a test's pipe (and whoever reads it) open for ever.
/usr/lib/wine/wineserver64 -p </dev/null >/dev/null 2>&1 || true
DISPLAY= "$WINE64" wineboot </dev/null >/dev/null 2>&1 || true
# Not so in the desktop prefix: a program started there without a display makes a desktop
# that cannot draw, and the sessions' programs would join it until it closes. There the
# services start with a session's first program, whose output goes to a file.
WINEPREFIX=$WINE_DESKTOP_PREFIX /usr/lib/wine/wineserver64 -p </dev/null >/dev/null 2>&1 || true
