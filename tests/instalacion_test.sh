#!/usr/bin/env bash
# Installs a build into a temporary DESTDIR under a prefix with a blank, checks the tree
# and the desktop entry, and runs the installed program with no display at all.
#   tests/instalacion_test.sh <build dir> <source dir> <install dir setting> <version>
set -uo pipefail
build=$1 fuentes=$2 dir_instalacion=$3 version=$4
raiz=$(mktemp -d)
trap 'rm -rf "$raiz"' EXIT
prefijo="/opt/Archivos de programa"
DESTDIR=$raiz cmake --install "$build" --prefix "$prefijo" >/dev/null || exit 1

fallos=0
fallo() { echo "FAIL: $*" >&2; fallos=$((fallos + 1)); }
case $dir_instalacion in /*) programa=$dir_instalacion ;; *) programa=$prefijo/$dir_instalacion ;; esac
programa=$programa/morvane-update
for px in 16 32; do
  cmp -s "$fuentes/updater/iconos/globo-$px.png" \
    "$raiz$prefijo/share/icons/hicolor/${px}x$px/apps/morvane-update.png" || fallo "$px px icon"
done
entrada=$raiz$prefijo/share/applications/morvane-update.desktop
for linea in "Name=Update Morvane" "Exec=\"$programa\"" "Icon=morvane-update" "Categories=System;"; do
  grep -qxF "$linea" "$entrada" || fallo "the entry lacks '$linea'"
done
! command -v desktop-file-validate >/dev/null || desktop-file-validate "$entrada" ||
  fallo "desktop-file-validate rejects the entry"

# The daily update of a system-wide install: the service runs the installed program as the
# owning account, the timer spreads the fleet over an hour and catches up after a boot.
unidades=$raiz$prefijo/lib/systemd/system
for linea in "User=morvane" "ExecStart=\"$programa\" --update --quiet" "Type=oneshot"; do
  grep -qxF "$linea" "$unidades/morvane-update.service" || fallo "the service lacks '$linea'"
done
for linea in "RandomizedDelaySec=1h" "Persistent=true" "WantedBy=timers.target"; do
  grep -qxF "$linea" "$unidades/morvane-update.timer" || fallo "the timer lacks '$linea'"
done
# systemd-analyze wants the program where the service names it: a real prefix this time.
if command -v systemd-analyze >/dev/null; then
  real="$raiz/real con blancos"
  cmake --install "$build" --prefix "$real" >/dev/null || fallo "install into '$real'"
  systemd-analyze verify "$real/lib/systemd/system/morvane-update.service" \
    "$real/lib/systemd/system/morvane-update.timer" || fallo "systemd-analyze verify rejects the units"
fi

# ejecutar <expected exit> <expected stdout, * for any> <stderr must match> <args...>
ejecutar() {
  local codigo=0 salida errores
  salida=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$raiz$programa" "${@:4}" 2>"$raiz/err") || codigo=$?
  errores=$(<"$raiz/err")
  [ "$codigo" = "$1" ] && [[ $salida == $2 ]] && [[ $errores == $3 ]] ||
    fallo "${*:4}: exit $codigo, out '$salida', err '$errores'"
}
ejecutar 0 "morvane-update $version" "" --version
ejecutar 0 "*Morvane.exe*--check*--update*--quiet*http_proxy*https_proxy*no_proxy*" "" --help
ejecutar 2 "" "*Uso: morvane-update*" --nada
ejecutar 2 "" "*Uso: morvane-update*" --version --help
ejecutar 2 "" "*Uso: morvane-update*" --check --update
ejecutar 2 "" "*Uso: morvane-update*" --quiet
ejecutar 2 "" "*no reconocido: --nada*" --check --nada
# No display and no option: one line naming the options that need none, not Qt's abort.
ejecutar 1 "" "morvane-update: no hay pantalla; sin ella, use --check para comprobar o --update para actualizar"
exit $((fallos > 0))
