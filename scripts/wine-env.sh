# Sourced: the environment every wine run of this project shares. One 64-bit
# prefix serves both Windows builds: 32-bit programs run in it through wine32.
export WINEPREFIX="${TARVOLIN_WINEPREFIX:-$HOME/.local/share/tarvolin-agent/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers: console programs need neither. Wine's own
# iexplore.exe never exits without a display, so it is switched off too; a
# caller's own overrides are kept after ours.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;iexplore.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
unset DISPLAY
tarvolin_wine_loader=/usr/lib/wine/wine64
[ -x "$tarvolin_wine_loader" ] || tarvolin_wine_loader=$(command -v wine64 || command -v wine)
