#!/usr/bin/env bash
# Makes the releases the partial update's benchmark serves:
#   bench/generar_entregas.sh <morvane-sign> <out dir>
#
#   <out>/clave.pem, clave.pub   the test key they are signed with (kept between runs)
#   <out>/primera/               256 MiB archive of 50 files: arbol/ (the files, as
#                                installed), Morvane.zip, .sig, .indice
#   <out>/segunda/               the same with 2 files (about 10 MiB) changed
#   <out>/todas/                 the same with every file changed
#
# The files are incompressible (AES-CTR keystream, each file its own key) and stored, so
# an entry's range is its size and the archive is 256 MiB. The same run makes the same
# bytes, apart from the key and the signatures.
set -euo pipefail
firmador=${1:?usage: generar_entregas.sh <morvane-sign> <out dir>}
salida=${2:?usage: generar_entregas.sh <morvane-sign> <out dir>}
total=$((256 * 1024 * 1024))
ficheros=50
cada=$((total / ficheros))

mkdir -p "$salida"
if [ ! -s "$salida/clave.pem" ]; then
  rm -f "$salida/clave.pem"
  "$firmador" key "$salida/clave.pem" >"$salida/clave.pub"
fi

# ruido <file> <bytes> <seed>: incompressible bytes, the same for the same seed.
ruido() {
  local clave
  clave=$(printf '%032x' "$3")
  # openssl ends on the broken pipe once head has its bytes; that is not a failure.
  { openssl enc -aes-128-ctr -K "$clave" -iv 0 -in /dev/zero 2>/dev/null || true; } | head -c "$2" >"$1"
  [ "$(stat -c %s "$1")" -eq "$2" ]
}

nombre() {  # nombre <i>: the i-th file's path in the product
  if [ "$1" -eq 0 ]; then echo Morvane.exe; else printf 'lib/modulo-%02d.bin\n' "$1"; fi
}

# entrega <dir> <seed offset> <files changed: list of indices, or "todas">
entrega() {
  local dir=$salida/$1 base=$2
  shift 2
  rm -rf "$dir"
  mkdir -p "$dir/arbol/lib"
  for ((i = 0; i < ficheros; i++)); do
    local n semilla=$((i + 1)) tamano=$cada
    n=$(nombre "$i")
    [ "$i" -eq $((ficheros - 1)) ] && tamano=$((total - cada * (ficheros - 1)))
    for c in "$@"; do
      if [ "$c" = todas ] || [ "$c" = "$i" ]; then semilla=$((i + 1 + base)); fi
    done
    if [ "$semilla" -eq $((i + 1)) ] && [ -f "$salida/primera/arbol/$n" ] && [ "$dir" != "$salida/primera" ]; then
      ln "$salida/primera/arbol/$n" "$dir/arbol/$n"
    else
      ruido "$dir/arbol/$n" "$tamano" "$semilla"
    fi
  done
  # Stored, without extra fields: the archive is the files plus their headers.
  (cd "$dir/arbol" && zip -q -0 -X -r ../Morvane.zip .)
  "$firmador" sign "$salida/clave.pem" "$dir/Morvane.zip"
}

entrega primera 0
entrega segunda 1000 7 31
entrega todas 2000 todas
for d in primera segunda todas; do
  echo "$d: $(stat -c %s "$salida/$d/Morvane.zip") bytes, index $(stat -c %s "$salida/$d/Morvane.zip.indice") bytes" >&2
done
