#!/usr/bin/env bash
# A packager's configure: with the tests off (-DMORVANE_BUILD_TESTS=OFF, or CMake's own
# -DBUILD_TESTING=OFF) neither GoogleTest nor Qt Test is looked for (both are made
# unfindable here), and the build holds the programs and nothing of tests/, bench/ or demo/.
#   tests/sin_pruebas_test.sh <source dir>
set -uo pipefail
fuentes=$1
raiz=$(mktemp -d)
trap 'rm -rf "$raiz"' EXIT

fallos=0
fallo() { echo "FAIL: $*" >&2; fallos=$((fallos + 1)); }
for opcion in -DMORVANE_BUILD_TESTS=OFF -DBUILD_TESTING=OFF; do
  dir=$raiz/${opcion#-D}
  if ! cmake -S "$fuentes" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$opcion" \
       -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_Qt6Test=ON \
       >"$raiz/configurar.log" 2>&1; then
    cat "$raiz/configurar.log" >&2
    fallo "$opcion: the configure failed"
    continue
  fi
  programas=$(ninja -C "$dir" -t targets all | grep -o '^bin/[^:]*' | sort | tr '\n' ' ')
  [ "$programas" = "bin/morvane-sign bin/morvane-update " ] ||
    fallo "$opcion: the build makes '$programas', not just the two programs"
  pasos=$(ninja -C "$dir" -n all | grep -c '^\[')
  echo "$opcion: $pasos build steps"
  [ "$pasos" -gt 0 ] || fallo "$opcion: nothing to build"
done
exit $((fallos > 0))
