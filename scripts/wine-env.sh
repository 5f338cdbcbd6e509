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
/usr/lib/wine/wineserver64 -p </dev/null >/dev/null 2>&1 || true
# Wine's own services start with the first program and keep its output open; started here,
# detached, they cannot hold a test's pipe (and whoever reads it) open for ever.
DISPLAY= "$WINE64" wineboot </dev/null >/dev/null 2>&1 || true
