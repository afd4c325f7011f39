#!/usr/bin/env bash
# The demo behind `./run demo`: the updater finds, downloads, checks the signature of and
# installs a newer Morvane from a local update server, in a fresh install directory under
# <repo>/.demo/; then, in a second pass, the server holds a tampered archive and the
# updater refuses it; in a third, the server replays an older release with its own genuine
# statement under a fresh Last-Modified, and the check refuses the rollback; in a fourth,
# a fix to one file is fetched by range and the listing shows what the server sent for it
# against the archive's size. The updater must be built with the demo key's public key and the
# key must be in <repo>/.demo/clave-demo.pem (./run demo sees to both).
#
#   demo/demo.sh <build dir>        (./run demo builds first and calls this)
#
# With a usable display the window is yours to click. Without one the demo starts Xvfb,
# drives the window with xdotool and saves a screenshot of every stage in
# <repo>/.demo/capturas/. Nothing is built here; everything it starts is stopped on exit.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: demo/demo.sh <build dir>" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
demo=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$demo")
base=$repo/.demo
inst="$base/Archivos de programa/Morvane"   # blanks on purpose: paths must survive them
servidor_dir=$base/servidor
capturas=$base/capturas
updater=$build/bin/morvane-update
servidor=$build/bin/servidor-demo
firmador=$build/bin/morvane-sign
clave=$base/clave-demo.pem

fallar() { echo "demo: $*" >&2; exit 1; }

for f in "$updater" "$servidor" "$firmador"; do
  [ -x "$f" ] || fallar "$f is missing; run ./run demo, which builds it"
done
[ -f "$clave" ] || fallar "the demo key $clave is missing; run ./run demo, which makes it"
for c in zip unzip; do
  command -v "$c" >/dev/null || fallar "$c is not installed"
done

# ---- processes we start, stopped on every way out ----------------------------------------
pid_servidor=
pid_servidor_parcial=
pid_updater=
pid_xvfb=
terminar() {
  for pid in $pid_updater $pid_servidor $pid_servidor_parcial $pid_xvfb; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in $pid_updater $pid_servidor $pid_servidor_parcial $pid_xvfb; do
    wait "$pid" 2>/dev/null || true
  done
}
trap terminar EXIT
trap 'exit 130' INT TERM

# esperar SECONDS COMMAND...: polls COMMAND every 0.1 s until it succeeds; fails on time-out.
esperar() {
  local limite=$(( $(date +%s) + $1 )); shift
  until "$@"; do
    [ "$(date +%s)" -lt "$limite" ] || return 1
    sleep 0.1
  done
}

# ---- a fresh install directory with the old product ---------------------------------------
instalacion_nueva() {
  rm -rf "$base/Archivos de programa"
  mkdir -p "$inst"
  cp "$updater" "$inst/morvane-update"
  cp "$demo/Kelunzip" "$inst/Kelunzip"
  cp "$demo/Morvane.exe" "$inst/Morvane.exe"
  chmod +x "$inst/morvane-update" "$inst/Kelunzip" "$inst/Morvane.exe"
  touch -d '10 days ago' "$inst/Morvane.exe"
}
rm -rf "$servidor_dir" "$capturas" "$base/runtime"
mkdir -p "$servidor_dir/contenido/datos" "$capturas"
mkdir -m 700 "$base/runtime"
instalacion_nueva

# ---- the archive on the server: a newer product and some data -----------------------------
sed 's/^version="1.0"$/version="2.0"/' "$demo/Morvane.exe" >"$servidor_dir/contenido/Morvane.exe"
grep -q '^version="2.0"$' "$servidor_dir/contenido/Morvane.exe" || fallar "could not make version 2.0"
chmod +x "$servidor_dir/contenido/Morvane.exe"
head -c 3000000 /dev/urandom >"$servidor_dir/contenido/datos/morvane.dat"
# Packed two days ago: unzip restores that date, which is older than the archive's own.
touch -d '2 days ago' "$servidor_dir/contenido/Morvane.exe" "$servidor_dir/contenido/datos/morvane.dat"
(cd "$servidor_dir/contenido" && zip -qr ../Morvane.zip .)
tamano_zip=$(stat -c %s "$servidor_dir/Morvane.zip")
# Signed as a release is: its release statement, Morvane.zip.sig, beside it.
"$firmador" sign "$clave" "$servidor_dir/Morvane.zip" || fallar "could not sign the archive"

# For the second pass: the same archive with its Morvane.exe replaced on the way, and the
# genuine statement still beside it.
alterar_archivo() {
  sed -i 's/^version="2.0"$/version="6.6"/' "$servidor_dir/contenido/Morvane.exe"
  rm -f "$servidor_dir/alterado.zip"
  (cd "$servidor_dir/contenido" && zip -qr ../alterado.zip .)
  mv "$servidor_dir/alterado.zip" "$servidor_dir/Morvane.zip"
  tamano_zip=$(stat -c %s "$servidor_dir/Morvane.zip")
}

# For the third pass: an older release (1.5) with the statement its maker made 20 days ago
# (with openssl alone, as README shows; still in date), served with a Last-Modified of now.
retroceder_archivo() {
  sed -i 's/^version="[0-9.]*"$/version="1.5"/' "$servidor_dir/contenido/Morvane.exe"
  rm -f "$servidor_dir/anterior.zip"
  (cd "$servidor_dir/contenido" && zip -qr ../anterior.zip .)
  printf 'morvane-update firma 2\narchivo Morvane.zip\ntamaño %s\nsha256 %s\npublicado %s\ncaduca %s\n' \
    "$(stat -c %s "$servidor_dir/anterior.zip")" "$(sha256sum <"$servidor_dir/anterior.zip" | cut -c1-64)" \
    "$(date -u -d '20 days ago' +%FT%TZ)" "$(date -u -d '+10 days' +%FT%TZ)" >"$servidor_dir/declaracion"
  { cat "$servidor_dir/declaracion"
    printf 'firma %s\n' "$(openssl pkeyutl -sign -inkey "$clave" -rawin -in "$servidor_dir/declaracion" | base64 -w0)"
  } >"$servidor_dir/anterior.sig" || fallar "could not sign the older release"
  mv "$servidor_dir/anterior.sig" "$servidor_dir/Morvane.zip.sig"
  mv "$servidor_dir/anterior.zip" "$servidor_dir/Morvane.zip"
  touch "$servidor_dir/Morvane.zip"
  tamano_zip=$(stat -c %s "$servidor_dir/Morvane.zip")
}
lineas_log() { wc -l <"$servidor_dir/peticiones.log"; }
# pedido_desde N SUFFIX: a GET of a target ending with SUFFIX after line N of the log.
pedido_desde() { tail -n +$(( $1 + 1 )) "$servidor_dir/peticiones.log" | grep -q "^GET .*$2\$"; }

# ---- the update server --------------------------------------------------------------------
# It answers after 1.5 s (so the check can be seen) and spreads the body over 4 s (so the
# bar can be seen).
"$servidor" "$servidor_dir/Morvane.zip" --retraso-ms 1500 --duracion-ms 4000 --max-segundos 900 \
  >"$servidor_dir/puerto" 2>"$servidor_dir/peticiones.log" &
pid_servidor=$!
esperar 10 test -s "$servidor_dir/puerto" || fallar "the update server did not start"
puerto=$(head -n 1 "$servidor_dir/puerto")
echo "Update server on 127.0.0.1:$puerto, serving $servidor_dir/Morvane.zip ($tamano_zip bytes)"

# The updater reads no variable itself: libcurl takes the machine's proxy from these.
unset no_proxy NO_PROXY HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY
export http_proxy=http://127.0.0.1:$puerto
export XDG_RUNTIME_DIR=$base/runtime
export QT_QPA_PLATFORM=xcb

informe() {
  echo
  echo "Install directory: $inst"
  ls -lA --time-style=+%Y-%m-%d\ %H:%M "$inst" | sed 's/^/  /'
  echo "Morvane.exe is $(sed -n 's/^version="\(.*\)"$/version \1/p' "$inst/Morvane.exe"), dated $(date -r "$inst/Morvane.exe" '+%Y-%m-%d %H:%M') (the archive holds it dated $(date -r "$servidor_dir/contenido/Morvane.exe" '+%Y-%m-%d %H:%M'))"
  echo "Requests the server saw:"
  sed 's/^/  /' "$servidor_dir/peticiones.log"
  if [ -f "$inst/morvane-iniciado.txt" ]; then
    echo "Morvane.exe recorded:"
    sed 's/^/  /' "$inst/morvane-iniciado.txt"
  else
    echo "Morvane.exe did not record a start."
  fi
}

# ---- fourth pass: a one-file fix fetched by range ----------------------------------------
# Release 2.0 is installed; the maker publishes 2.1, which changes Morvane.exe alone, signed
# and indexed. A server of its own that serves the index and answers Range counts what it
# sends; the headless front-end updates, and the listing sets that against the archive.
pasada_parcial() {
  echo
  echo "Fourth pass: release 2.1 fixes Morvane.exe alone; the updater fetches only what changed."
  local parcial_dir=$servidor_dir/parcial
  rm -rf "$parcial_dir"
  mkdir -p "$parcial_dir"
  cp -a "$servidor_dir/contenido" "$parcial_dir/contenido"
  sed -i 's/^version="[0-9.]*"$/version="2.0"/' "$parcial_dir/contenido/Morvane.exe"
  (cd "$parcial_dir/contenido" && zip -qr ../Morvane.zip .)
  instalacion_nueva
  (cd "$inst" && unzip -q -o "$parcial_dir/Morvane.zip") || fallar "could not install release 2.0"
  touch -d '10 days ago' "$inst/Morvane.exe"
  sed -i 's/^version="2.0"$/version="2.1"/' "$parcial_dir/contenido/Morvane.exe"
  rm -f "$parcial_dir/Morvane.zip"
  (cd "$parcial_dir/contenido" && zip -qr ../Morvane.zip .)
  "$firmador" sign "$clave" "$parcial_dir/Morvane.zip" || fallar "could not sign release 2.1"
  [ -s "$parcial_dir/Morvane.zip.indice" ] || fallar "signing wrote no index"
  local tamano dat_antes
  tamano=$(stat -c %s "$parcial_dir/Morvane.zip")
  dat_antes=$(stat -c %i "$inst/datos/morvane.dat")

  "$servidor" "$parcial_dir/Morvane.zip" --rangos --duracion-ms 0 --max-segundos 120 \
    >"$parcial_dir/puerto" 2>"$parcial_dir/peticiones.log" &
  pid_servidor_parcial=$!
  esperar 10 test -s "$parcial_dir/puerto" || fallar "the partial update's server did not start"
  local estado=0
  (cd "$inst" && http_proxy=http://127.0.0.1:$(head -n 1 "$parcial_dir/puerto") \
     env -u DISPLAY ./morvane-update --update) 2>"$parcial_dir/updater.log" || estado=$?
  kill "$pid_servidor_parcial" 2>/dev/null || true
  wait "$pid_servidor_parcial" 2>/dev/null || true
  pid_servidor_parcial=
  sed 's/^/  updater: /' "$parcial_dir/updater.log" | grep -v '\r' || true
  [ "$estado" -eq 0 ] || fallar "the partial update failed (exit $estado)"
  grep -q '^version="2.1"$' "$inst/Morvane.exe" || fallar "release 2.1 was not installed"
  cmp -s "$inst/datos/morvane.dat" "$parcial_dir/contenido/datos/morvane.dat" ||
    fallar "datos/morvane.dat is not the release's"
  [ "$(stat -c %i "$inst/datos/morvane.dat")" = "$dat_antes" ] || fallar "datos/morvane.dat was replaced"
  local enviados
  enviados=$(sed -n 's/^enviados \([0-9]*\) bytes$/\1/p' "$parcial_dir/peticiones.log")
  [ -n "$enviados" ] || fallar "the server did not report what it sent"
  echo "Requests the server saw:"
  grep -v '^enviados ' "$parcial_dir/peticiones.log" | sed 's/^/  /'
  echo "Install directory: $inst"
  ls -lA --time-style=+%Y-%m-%d\ %H:%M "$inst" "$inst/datos" | sed 's/^/  /'
  echo "Morvane.exe is now $(sed -n 's/^version="\(.*\)"$/version \1/p' "$inst/Morvane.exe"); datos/morvane.dat was left in place."
  echo "The server sent $enviados bytes for this update (statement, index, ranges, heads); the archive is $tamano bytes ($(awk -v a="$enviados" -v b="$tamano" 'BEGIN { printf "%.2f", 100 * a / b }') %)."
}

registro_nuevo() { grep -q 'version 2.0' "$inst/morvane-iniciado.txt" 2>/dev/null; }

# ---- with a display: the user drives ------------------------------------------------------
if [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1; then
  echo "Starting the updater on $DISPLAY. Press \"Descargar\", then close the window."
  "$inst/morvane-update" || true
  # The product is started as the window closes; give it a moment to record itself.
  esperar 10 test -s "$inst/morvane-iniciado.txt" || true
  informe
  alterar_archivo
  instalacion_nueva
  echo
  echo "Second pass: the server now holds a tampered archive beside the genuine statement."
  echo "Press \"Descargar\": the updater refuses it. Then close the window."
  "$inst/morvane-update" || true
  esperar 10 test -s "$inst/morvane-iniciado.txt" || true
  informe
  retroceder_archivo
  instalacion_nueva
  echo
  echo "Third pass: the server replays an older release (1.5) with its genuine statement of 20"
  echo "days ago and a fresh Last-Modified: the check says \"No existen actualizaciones\"."
  echo "Close the window."
  "$inst/morvane-update" || true
  esperar 10 test -s "$inst/morvane-iniciado.txt" || true
  informe
  pasada_parcial
  exit 0
fi

# ---- without one: Xvfb, xdotool and screenshots -------------------------------------------
for c in Xvfb xdotool import compare python3; do
  command -v "$c" >/dev/null || fallar "$c is not installed (./run demo installs it)"
done
ancho=470
alto=90
# Xvfb takes the first free display unless MORVANE_DEMO_XVFB names one (a shared machine).
if [ -n "${MORVANE_DEMO_XVFB:-}" ]; then
  echo "$MORVANE_DEMO_XVFB" >"$base/runtime/pantalla"
  Xvfb ":$MORVANE_DEMO_XVFB" -screen 0 ${ancho}x${alto}x24 -nolisten tcp -noreset \
    >"$base/runtime/xvfb.log" 2>&1 &
  pid_xvfb=$!
  esperar 15 test -S "/tmp/.X11-unix/X$MORVANE_DEMO_XVFB" || fallar "Xvfb did not start (see $base/runtime/xvfb.log)"
else
  Xvfb -displayfd 3 -screen 0 ${ancho}x${alto}x24 -nolisten tcp -noreset 3>"$base/runtime/pantalla" \
    >"$base/runtime/xvfb.log" 2>&1 &
  pid_xvfb=$!
fi
esperar 15 test -s "$base/runtime/pantalla" || fallar "Xvfb did not start (see $base/runtime/xvfb.log)"
export DISPLAY=:$(head -n 1 "$base/runtime/pantalla")
# A desktop colour instead of black behind the windows.
display -window root -size 8x8 xc:'#3a6ea5' || true
echo "No display: running on Xvfb $DISPLAY; screenshots go to $capturas"

capturar() { import -window root "$1" 2>/dev/null; }
iguales() { compare -metric AE "$1" "$2" null: >/dev/null 2>&1; }
# estable OUT: captures until two captures 0.3 s apart agree, keeps it as OUT.
estable() {
  local a=$base/runtime/a.png b=$base/runtime/b.png i
  capturar "$a" || return 1
  for i in $(seq 1 50); do
    sleep 0.3
    capturar "$b" || return 1
    if iguales "$a" "$b"; then mv "$b" "$1"; return 0; fi
    mv "$b" "$a"
  done
  mv "$a" "$1"
}
# cambio REF OUT SECONDS: waits until the screen differs from REF, then keeps a stable OUT.
cambio() {
  local ref=$1 out=$2 limite=$(( $(date +%s) + $3 )) t=$base/runtime/t.png
  while :; do
    capturar "$t" || return 1
    if ! iguales "$ref" "$t"; then estable "$out"; return 0; fi
    [ "$(date +%s)" -lt "$limite" ] || return 1
    sleep 0.1
  done
}
hay_peticion() { grep -q '^GET ' "$servidor_dir/peticiones.log" 2>/dev/null; }
# Size of the download's temporary file: a named "zkD..." file, or one with no name yet,
# seen through the updater's descriptors ("<dir>/#<inode> (deleted)").
temporal() {
  local fd
  for fd in /proc/$pid_updater/fd/*; do
    case $(readlink "$fd" 2>/dev/null) in
      "$inst/#"*) stat -L -c %s "$fd" 2>/dev/null && return ;;
    esac
  done
  find "$inst" -maxdepth 1 -name 'zkD*' -printf '%s\n' 2>/dev/null | head -n 1
}
a_medias() { local t; t=$(temporal); [ -n "$t" ] && [ "$t" -ge $(( tamano_zip * 55 / 100 )) ]; }
instalado() {
  [ -z "$(temporal)" ] && [ ! -e "$inst/Morvane.zip" ] &&
    grep -q '^version="2.0"$' "$inst/Morvane.exe" 2>/dev/null
}
# The updater is our child: once it exits it stays a zombie until waited for.
updater_terminado() {
  local estado
  estado=$(sed 's/.*) //' "/proc/$pid_updater/stat" 2>/dev/null) || return 0
  [[ $estado == Z* ]]
}
error_etapa() {
  capturar "$capturas/error.png" || true
  informe
  fallar "$1 (screen saved as $capturas/error.png)"
}
# Closes the window as a window manager's close box does and waits for the updater to end.
cerrar_updater() {
  python3 "$demo/cerrar_ventana.py" "$ventana" || error_etapa "could not close the window"
  esperar 20 updater_terminado || error_etapa "the updater did not end"
  wait "$pid_updater" 2>/dev/null || true
  pid_updater=
}

(cd "$inst" && exec ./morvane-update) &
pid_updater=$!
esperar 30 xdotool search --name '^Update Morvane$' >/dev/null || error_etapa "the window did not appear"
ventana=$(xdotool search --name '^Update Morvane$' | head -n 1)

# 1. Checking: the server holds its answer for 1.5 s once the request is in.
esperar 30 hay_peticion || error_etapa "the update check never reached the server"
estable "$capturas/1-buscando.png"
echo "  1-buscando.png       checking for an update"

# 2. The verdict replaces the checking text.
cambio "$capturas/1-buscando.png" "$capturas/2-actualizacion.png" 30 ||
  error_etapa "the check did not finish"
echo "  2-actualizacion.png  update found"

# 3. "Descargar" (twips 120,410 in the client area: 8,27 px; 209x29 px) and the bar.
xdotool mousemove --window "$ventana" $(( 8 + 104 )) $(( 27 + 14 )) click 1
esperar 60 a_medias || error_etapa "the download did not get going"
capturar "$capturas/3-descargando.png"
if a_medias; then
  echo "  3-descargando.png    downloading"
else
  echo "  3-descargando.png    (taken as the download ended)"
fi

# 4. Downloaded, unpacked, archive deleted: "Morvane actualizado".
esperar 60 instalado || error_etapa "the update was not installed"
cambio "$capturas/3-descargando.png" "$capturas/4-actualizado.png" 10 ||
  estable "$capturas/4-actualizado.png"
echo "  4-actualizado.png    updated"

# 5. Close the window the way a window manager's close box does; the product starts.
cerrar_updater
esperar 15 registro_nuevo || error_etapa "the updated Morvane.exe did not start"
if command -v xmessage >/dev/null &&
   esperar 15 xdotool search --name '^Morvane 2.0$' >/dev/null; then
  producto=$(xdotool search --name '^Morvane 2.0$' | head -n 1)
  xdotool windowmove "$producto" 20 16 || true
  estable "$capturas/5-producto.png"
  echo "  5-producto.png       the new Morvane.exe started"
  python3 "$demo/cerrar_ventana.py" "$producto" || true
else
  echo "  (no 5-producto.png: xmessage is not installed; the record below is the evidence)"
fi

informe

# ---- second pass: a tampered archive is refused ------------------------------------------
echo
echo "Second pass: the server holds a tampered archive beside the genuine statement."
alterar_archivo
instalacion_nueva
desde=$(lineas_log)
# The download's log line reports the refusal; the archive never took its name.
registro_updater=$base/runtime/updater.log
rechazado() {
  grep -q ' descarga .*: 999 ' "$registro_updater" && [ ! -e "$inst/Morvane.zip" ] && [ -z "$(temporal)" ]
}
registro_viejo() { grep -q 'version 1.0' "$inst/morvane-iniciado.txt" 2>/dev/null; }
(cd "$inst" && exec ./morvane-update 2>"$registro_updater") &
pid_updater=$!
esperar 30 xdotool search --name '^Update Morvane$' >/dev/null || error_etapa "the window did not appear again"
ventana=$(xdotool search --name '^Update Morvane$' | head -n 1)
# With a key the check asks for the statement alone.
esperar 30 pedido_desde "$desde" 'Morvane.zip.sig' || error_etapa "the second check never reached the server"
estable "$base/runtime/buscando.png"
cambio "$base/runtime/buscando.png" "$base/runtime/veredicto.png" 30 || error_etapa "the second check did not finish"
xdotool mousemove --window "$ventana" $(( 8 + 104 )) $(( 27 + 14 )) click 1
esperar 60 rechazado || error_etapa "the tampered archive was not refused"
estable "$capturas/6-firma-no-valida.png"
echo "  6-firma-no-valida.png  the tampered archive refused, nothing unpacked"
grep -q '^version="1.0"$' "$inst/Morvane.exe" || error_etapa "the tampered archive was unpacked"
cerrar_updater
esperar 15 registro_viejo || error_etapa "the old Morvane.exe did not start"
if command -v xmessage >/dev/null && esperar 15 xdotool search --name '^Morvane 1.0$' >/dev/null; then
  python3 "$demo/cerrar_ventana.py" "$(xdotool search --name '^Morvane 1.0$' | head -n 1)" || true
fi
informe

# ---- third pass: an older release replayed is refused --------------------------------------
echo
echo "Third pass: the server replays an older release (1.5) with its genuine statement of 20"
echo "days ago and a fresh Last-Modified."
retroceder_archivo
instalacion_nueva
echo "  served: Last-Modified $(date -u -r "$servidor_dir/Morvane.zip" '+%Y-%m-%d %H:%M') UTC," \
     "statement $(sed -n 's/^publicado //p' "$servidor_dir/Morvane.zip.sig");" \
     "installed Morvane.exe dated $(date -r "$inst/Morvane.exe" '+%Y-%m-%d %H:%M')"
desde=$(lineas_log)
pedidos_archivo() { tail -n +$(( desde + 1 )) "$servidor_dir/peticiones.log" | grep -c '^GET .*Morvane\.zip$' || true; }
(cd "$inst" && exec ./morvane-update) &
pid_updater=$!
esperar 30 xdotool search --name '^Update Morvane$' >/dev/null || error_etapa "the window did not appear a third time"
ventana=$(xdotool search --name '^Update Morvane$' | head -n 1)
# The check reads the statement after the archive's headers; its answer is held 1.5 s.
esperar 30 pedido_desde "$desde" 'Morvane.zip.sig' || error_etapa "the third check never asked for the statement"
estable "$base/runtime/buscando.png"
cambio "$base/runtime/buscando.png" "$capturas/7-retroceso-rechazado.png" 30 ||
  error_etapa "the third check did not finish"
# "Descargar" stays disabled: a click asks the server for nothing.
antes_clic=$(pedidos_archivo)
xdotool mousemove --window "$ventana" $(( 8 + 104 )) $(( 27 + 14 )) click 1
sleep 2
[ "$(pedidos_archivo)" -eq "$antes_clic" ] || error_etapa "the older release was downloaded"
echo "  7-retroceso-rechazado.png  the older release refused: \"No existen actualizaciones\""
cerrar_updater
esperar 15 registro_viejo || error_etapa "the old Morvane.exe did not start"
grep -q '^version="1.0"$' "$inst/Morvane.exe" || error_etapa "the older release was installed"
if command -v xmessage >/dev/null && esperar 15 xdotool search --name '^Morvane 1.0$' >/dev/null; then
  python3 "$demo/cerrar_ventana.py" "$(xdotool search --name '^Morvane 1.0$' | head -n 1)" || true
fi
informe
pasada_parcial
echo
echo "Screenshots: $capturas"
