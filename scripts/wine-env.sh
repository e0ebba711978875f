# Sourced by the scripts that run Windows programs under Wine.
# Needs ZEL_BUILD_DIR: the build tree that holds the private prefix.
# ZEL_WINE_PREFIX names another prefix of the build tree, with a session of
# its own (the package tests install on a prefix that nothing else touches).
: "${ZEL_BUILD_DIR:?ZEL_BUILD_DIR is not set}"
export WINEPREFIX="$ZEL_BUILD_DIR/${ZEL_WINE_PREFIX:-wineprefix}"
export WINEDEBUG=-all
export LANG=ru_RU.UTF-8
export LC_ALL=ru_RU.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# A 64-bit tree (cmake/mingw.cmake, where the machine runs no 32-bit
# programs) runs under the 64-bit loader alone: Debian's "wine" and the
# scripts that call it (wineboot, winepath, msiexec) would pick the 32-bit
# one, which such a machine cannot start.
ZEL_ARCH="$(cat "$ZEL_BUILD_DIR/zel-arch" 2>/dev/null || echo i686)"
if [ "$ZEL_ARCH" = x86_64 ]; then
    mkdir -p "$ZEL_BUILD_DIR/wine64-bin"
    for w in wine wine-stable; do
        if [ ! -x "$ZEL_BUILD_DIR/wine64-bin/$w" ]; then
            printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$ZEL_BUILD_DIR/wine64-bin/$w"
            chmod +x "$ZEL_BUILD_DIR/wine64-bin/$w"
        fi
    done
    case ":$PATH:" in *":$ZEL_BUILD_DIR/wine64-bin:"*) ;; *) export PATH="$ZEL_BUILD_DIR/wine64-bin:$PATH" ;; esac
    export WINELOADER=/usr/lib/wine/wine64
fi
ZEL_WINE_STATE="$ZEL_BUILD_DIR/wine-state${ZEL_WINE_PREFIX:+-$ZEL_WINE_PREFIX}"
mkdir -p "$ZEL_WINE_STATE"
if [ -f "$ZEL_WINE_STATE/display" ]; then
    export DISPLAY="$(cat "$ZEL_WINE_STATE/display")"
fi
