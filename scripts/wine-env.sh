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
ZEL_WINE_STATE="$ZEL_BUILD_DIR/wine-state${ZEL_WINE_PREFIX:+-$ZEL_WINE_PREFIX}"
mkdir -p "$ZEL_WINE_STATE"
if [ -f "$ZEL_WINE_STATE/display" ]; then
    export DISPLAY="$(cat "$ZEL_WINE_STATE/display")"
fi
