#!/usr/bin/env bash
# Installs a build into a temporary DESTDIR under a prefix with a blank, checks the tree
# and the desktop entry, and runs the installed program with no display at all.
#   tests/instalacion_test.sh <build dir> <source dir> <install dir setting> <version>
set -euo pipefail
build=$1 fuentes=$2 dir_instalacion=$3 version=$4

raiz=$(mktemp -d)
trap 'rm -rf "$raiz"' EXIT
prefijo="/opt/Archivos de programa"
DESTDIR=$raiz cmake --install "$build" --prefix "$prefijo" >/dev/null

fallos=0
fallo() { echo "FAIL: $*" >&2; fallos=$((fallos + 1)); }

case $dir_instalacion in /*) programa=$dir_instalacion ;; *) programa=$prefijo/$dir_instalacion ;; esac
programa=$programa/morvane-update
[ -x "$raiz$programa" ] || fallo "no executable at $programa"
for lado in 16 32; do
  cmp -s "$fuentes/updater/iconos/globo-$lado.png" \
         "$raiz$prefijo/share/icons/hicolor/${lado}x$lado/apps/morvane-update.png" ||
    fallo "no $lado px icon"
done

entrada=$raiz$prefijo/share/applications/morvane-update.desktop
for linea in "Type=Application" "Name=Update Morvane" "Exec=\"$programa\"" \
             "Icon=morvane-update" "Categories=System;"; do
  grep -qxF "$linea" "$entrada" || fallo "the entry lacks '$linea'"
done
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$entrada" || fallo "desktop-file-validate rejects the entry"
fi

# The installed program, without any display: answers and exit codes.
ejecutar() {  # ejecutar <args...>: sets salida, errores, codigo
  codigo=0
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$raiz$programa" "$@" \
    >"$raiz/salida" 2>"$raiz/errores" || codigo=$?
  salida=$(<"$raiz/salida") errores=$(<"$raiz/errores")
}
ejecutar --version
[ "$codigo" -eq 0 ] && [ "$salida" = "morvane-update $version" ] && [ -z "$errores" ] ||
  fallo "--version: exit $codigo, out '$salida', err '$errores'"
ejecutar --help
[ "$codigo" -eq 0 ] && [ -z "$errores" ] || fallo "--help: exit $codigo, err '$errores'"
for palabra in Morvane.exe http_proxy https_proxy no_proxy; do
  grep -qF "$palabra" <<<"$salida" || fallo "--help does not mention $palabra"
done
for malo in --nada -platform "--version --help"; do
  read -r -a args <<<"$malo"
  ejecutar "${args[@]}"
  [ "$codigo" -eq 2 ] && [ -z "$salida" ] && grep -qF "Uso: morvane-update" <<<"$errores" ||
    fallo "'$malo': exit $codigo, out '$salida', err '$errores'"
done

[ "$fallos" -eq 0 ] && echo "installed tree, entry and arguments: all as expected"
exit $((fallos > 0))
