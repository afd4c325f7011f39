#!/usr/bin/env bash
# Runs the benchmark programs of a build and prints their figures.
#   bench/bench.sh <build dir>
# Each program writes its details to stderr (shown as it runs) and its figure lines to
# stdout; the figures of all programs are printed together at the end. To add a benchmark,
# add its program (and arguments) to `programas`.
set -euo pipefail
build=${1:?usage: bench/bench.sh <build dir>}
bin=$build/bin

command -v curl >/dev/null || { echo "curl is needed for the comparison" >&2; exit 1; }

programas=(
  "bench_descarga 256 5"
  "bench_ventana 256 5"
  "bench_firma 256 5"
  "bench_instalacion 256 50 3"
  "bench_terminal 256 5"
  "bench_parcial 5"
)

cifras=()
fallo=0
for p in "${programas[@]}"; do
  read -r -a orden <<<"$p"
  echo "== ${orden[0]}" >&2
  if salida=$("$bin/${orden[0]}" "${orden[@]:1}"); then :; else fallo=1; fi
  while IFS= read -r linea; do [ -n "$linea" ] && cifras+=("$linea"); done <<<"$salida"
done

echo
echo "== Resultados"
printf '%s\n' "${cifras[@]}"
exit $fallo
