# Sourced: the environment every wine run of this project shares. One 64-bit
# prefix serves both Windows builds: 32-bit programs run in it through wine32.
export WINEPREFIX="${TARVOLIN_WINEPREFIX:-$HOME/.local/share/tarvolin-agent/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers: console programs need neither. Wine's own
# iexplore.exe never exits without a display, so it is switched off too; a
# caller's own overrides are kept after ours.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;iexplore.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
unset DISPLAY
# wine64's loader runs 64-bit programs and wine's own tools (wineboot).
tarvolin_wine_loader=/usr/lib/wine/wine64
[ -x "$tarvolin_wine_loader" ] || tarvolin_wine_loader=$(command -v wine64 || command -v wine)
# A 32-bit program runs under wine's 32-bit loader, /usr/lib/wine/wine (the
# one Debian's wine script starts when wine32 is installed). Started through
# wine64's loader instead, it runs in a process that hands it no console
# events: Ctrl+C never reaches it.
tarvolin_wine32_loader=/usr/lib/wine/wine
[ -x "$tarvolin_wine32_loader" ] ||
  tarvolin_wine32_loader=$(command -v wine || echo "$tarvolin_wine_loader")

# Prints the loader for PROGRAM: wine's 32-bit loader for an i386 PE file,
# wine64's for anything else (64-bit programs and wine's own tools by name).
tarvolin_wine_loader_for() {
  local program=$1 pe_offset machine
  if [ -f "$program" ] && [ "$(od -An -tx1 -N2 "$program" 2>/dev/null)" = " 4d 5a" ]; then
    pe_offset=$(od -An -tu4 -j60 -N4 "$program" 2>/dev/null | tr -d ' ')
    # The COFF machine field follows the 4-byte "PE\0\0" signature.
    [ -n "$pe_offset" ] &&
      machine=$(od -An -tx2 -j$((pe_offset + 4)) -N2 "$program" 2>/dev/null | tr -d ' ')
    if [ "${machine:-}" = 014c ]; then
      echo "$tarvolin_wine32_loader"
      return
    fi
  fi
  echo "$tarvolin_wine_loader"
}
