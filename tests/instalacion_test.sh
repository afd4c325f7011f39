#!/usr/bin/env bash
# Installs a build into a temporary DESTDIR under a prefix with a blank, checks the tree
# and the desktop entry, and runs the installed program with no display at all.
#   tests/instalacion_test.sh <build dir> <source dir> <install dir setting> <version>
#
# The install writes nothing into the build tree but CMake's install_manifest.txt, so a
# user may install from a tree they cannot otherwise write: run as root, it installs as
# the user nobody into a DESTDIR of theirs, the manifest alone theirs to write. Where
# nobody cannot read the tree, or when not root, it installs as the caller and finds no
# file of the build tree written since (CMake's Testing/ aside).
set -uo pipefail
build=$1 fuentes=$2 dir_instalacion=$3 version=$4
raiz=$(mktemp -d)
manifiesto=$build/install_manifest.txt
trap 'rm -rf "$raiz"; [ -f "$manifiesto" ] && chown "$(id -u)" "$manifiesto" 2>/dev/null' EXIT
prefijo="/opt/Archivos de programa"

fallos=0
fallo() { echo "FAIL: $*" >&2; fallos=$((fallos + 1)); }
como_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null &&
   "${como_nobody[@]}" test -r "$build/cmake_install.cmake"; then
  : >"$manifiesto" && chown 65534 "$manifiesto" && chown 65534 "$raiz" || exit 1
  "${como_nobody[@]}" env DESTDIR="$raiz" cmake --install "$build" --prefix "$prefijo" \
    >"$raiz.log" 2>&1 || { cat "$raiz.log" >&2; rm -f "$raiz.log"; fallo "install as nobody"; exit 1; }
  rm -f "$raiz.log"
else
  echo "(installing as $(id -un), checking the build tree by dates)"
  touch "$raiz/.antes"
  DESTDIR=$raiz cmake --install "$build" --prefix "$prefijo" >/dev/null || exit 1
  escritos=$(find "$build" -newer "$raiz/.antes" ! -path "$build/Testing/*" ! -path "$manifiesto")
  [ -z "$escritos" ] || fallo "the install wrote into the build tree: $escritos"
fi

case $dir_instalacion in /*) programa=$dir_instalacion ;; *) programa=$prefijo/$dir_instalacion ;; esac
programa=$programa/morvane-update
iconos=$raiz$prefijo/share/icons/hicolor
for px in 16 32 48; do
  cmp -s "$fuentes/updater/iconos/globo-$px.png" "$iconos/${px}x$px/apps/morvane-update.png" ||
    fallo "$px px icon"
done
cmp -s "$fuentes/updater/iconos/globo.svg" "$iconos/scalable/apps/morvane-update.svg" ||
  fallo "scalable icon"
entrada=$raiz$prefijo/share/applications/morvane-update.desktop
for linea in "Name=Update Morvane" "Name[es]=Actualizar Morvane" \
             "Comment=Finds, downloads and installs the updates of Morvane" \
             "Comment[es]=Busca, descarga e instala las actualizaciones de Morvane" \
             "Exec=\"$programa\"" "Icon=morvane-update" "Categories=System;"; do
  grep -qxF "$linea" "$entrada" || fallo "the entry lacks '$linea'"
done
grep -qxF "$prefijo/share/applications/morvane-update.desktop" "$manifiesto" ||
  fallo "the entry is not in the install manifest"
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
