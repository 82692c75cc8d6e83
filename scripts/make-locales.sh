#!/usr/bin/env bash
# Compiles the locales the tests switch to, unless they exist already.
set -euo pipefail
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
have() { locale -a 2>/dev/null | tr 'A-Z' 'a-z' | sed 's/-//g' | grep -qx "$1"; }
make_locale() { # name input charmap
  local key
  key=$(echo "$1" | tr 'A-Z' 'a-z' | sed 's/-//g')
  have "$key" || "${sudo_cmd[@]}" localedef -f "$3" -i "$2" "$1" 2>/dev/null || have "$key"
}
make_locale ja_JP.SJIS ja_JP SHIFT_JIS
make_locale zh_CN.GBK zh_CN GBK
make_locale ja_JP.UTF-8 ja_JP UTF-8
make_locale ko_KR.UTF-8 ko_KR UTF-8
make_locale de_DE.UTF-8 de_DE UTF-8
make_locale tr_TR.UTF-8 tr_TR UTF-8
make_locale en_US.UTF-8 en_US UTF-8
