#!/usr/bin/env python3
"""Draws the updater's globe icon: 48x48, 32x32 and 16x16 pixels in the 16 colours of the
classic VGA palette, written as 4-bit PNG files, the two small ones also as one two-image
.ico, and the same globe as a scalable SVG drawing.

Plain python3 only (zlib and struct). Run it from anywhere; it rewrites
updater/iconos/globo-48.png, globo-32.png, globo-16.png, globo.ico and globo.svg:

    python3 demo/dibujar_globo.py [output directory]

The earth is an orthographic view centred over the Atlantic, so the Americas, Europe and
Africa show; land and sea are supersampled per pixel, lit from the upper left, and the
disc ends in a darker rim. Pixels outside the disc are transparent. The SVG draws the same
coastlines, the same two light thresholds and the same rim as outlines.
"""

import math
import os
import struct
import sys
import zlib

# The classic 16-colour VGA palette.
PALETA = [
    (0x00, 0x00, 0x00), (0x00, 0x00, 0xAA), (0x00, 0xAA, 0x00), (0x00, 0xAA, 0xAA),
    (0xAA, 0x00, 0x00), (0xAA, 0x00, 0xAA), (0xAA, 0x55, 0x00), (0xAA, 0xAA, 0xAA),
    (0x55, 0x55, 0x55), (0x55, 0x55, 0xFF), (0x55, 0xFF, 0x55), (0x55, 0xFF, 0xFF),
    (0xFF, 0x55, 0x55), (0xFF, 0x55, 0xFF), (0xFF, 0xFF, 0x55), (0xFF, 0xFF, 0xFF),
]
NEGRO, AZUL, VERDE = 0, 1, 2
AZUL_CLARO, VERDE_CLARO = 9, 10
# Light magenta never appears in the drawing; it stands for "transparent".
TRANSPARENTE = 13

# Coarse coastlines as (longitude, latitude) polygons; at 32 pixels nothing finer shows.
CONTINENTES = [
    # North and Central America
    [(-166, 67), (-156, 71), (-130, 70), (-110, 68), (-95, 72), (-82, 68), (-78, 62),
     (-65, 60), (-56, 52), (-66, 45), (-70, 42), (-76, 35), (-81, 31), (-80, 25),
     (-82, 27), (-84, 30), (-90, 29), (-97, 27), (-97, 22), (-88, 21), (-87, 16),
     (-83, 10), (-79, 8), (-85, 11), (-92, 14), (-105, 20), (-110, 24), (-115, 30),
     (-118, 34), (-124, 40), (-124, 48), (-130, 55), (-140, 60), (-152, 58), (-160, 56),
     (-165, 60)],
    # South America
    [(-79, 8), (-72, 12), (-62, 10), (-50, 2), (-35, -5), (-38, -13), (-41, -22),
     (-48, -26), (-58, -35), (-65, -42), (-68, -52), (-72, -52), (-75, -45), (-73, -35),
     (-71, -18), (-76, -13), (-81, -6), (-80, 0), (-77, 4)],
    # Greenland
    [(-55, 60), (-43, 60), (-22, 70), (-18, 80), (-40, 83), (-60, 82), (-72, 78),
     (-58, 70)],
    # Great Britain and Ireland
    [(-5, 50), (1, 51), (-2, 56), (-5, 58), (-10, 54), (-9, 52)],
    # Eurasia
    [(-10, 36), (-9, 43), (-2, 44), (-5, 48), (2, 51), (8, 54), (8, 57), (5, 62),
     (15, 69), (28, 71), (40, 67), (60, 70), (80, 73), (105, 78), (140, 72), (160, 70),
     (180, 68), (180, 65), (160, 60), (157, 51), (140, 54), (135, 44), (129, 35),
     (122, 40), (121, 31), (120, 22), (109, 20), (106, 10), (100, 13), (103, 1),
     (98, 8), (92, 20), (80, 15), (77, 8), (72, 21), (66, 25), (57, 25), (59, 22),
     (52, 16), (43, 13), (35, 28), (34, 32), (36, 36), (27, 37), (26, 41), (23, 36),
     (19, 41), (13, 45), (16, 38), (12, 38), (8, 44), (3, 43), (-1, 37), (-6, 36)],
    # Africa
    [(-17, 21), (-10, 30), (-6, 35), (10, 37), (11, 33), (20, 31), (32, 31), (43, 12),
     (51, 12), (40, -5), (40, -15), (35, -24), (32, -29), (20, -35), (18, -30),
     (12, -18), (13, -6), (9, 4), (-8, 5), (-17, 14)],
    # Australia
    [(114, -22), (122, -18), (131, -12), (137, -12), (142, -11), (146, -19),
     (153, -26), (150, -37), (140, -38), (131, -31), (115, -34)],
]

# Centre of the view and direction of the light (x right, y up, z towards the viewer).
LONGITUD_CENTRO, LATITUD_CENTRO = -35.0, 18.0
LUZ = (-0.55, 0.55, 0.63)


def dentro_de(poligono, lon, lat):
    """Even-odd rule point-in-polygon test in plain longitude/latitude."""
    dentro = False
    n = len(poligono)
    for i in range(n):
        x1, y1 = poligono[i]
        x2, y2 = poligono[(i + 1) % n]
        if (y1 > lat) != (y2 > lat):
            x = x1 + (lat - y1) * (x2 - x1) / (y2 - y1)
            if lon < x:
                dentro = not dentro
    return dentro


def es_tierra(lon, lat):
    if lat < -68:
        return True  # Antarctica
    lon = (lon + 180.0) % 360.0 - 180.0
    return any(dentro_de(p, lon, lat) for p in CONTINENTES)


def geografia(u, v):
    """Longitude and latitude seen at disc point (u, v), |(u, v)| <= 1."""
    z = math.sqrt(max(0.0, 1.0 - u * u - v * v))
    fi0 = math.radians(LATITUD_CENTRO)
    lat = math.degrees(math.asin(max(-1.0, min(1.0, z * math.sin(fi0) + v * math.cos(fi0)))))
    lon = LONGITUD_CENTRO + math.degrees(
        math.atan2(u, z * math.cos(fi0) - v * math.sin(fi0)))
    return lon, lat


def dibujar(lado):
    """Returns `lado` rows of `lado` palette indices."""
    radio = lado / 2.0 - 0.5
    centro = lado / 2.0
    norma = math.sqrt(sum(c * c for c in LUZ))
    luz = tuple(c / norma for c in LUZ)
    muestras = 4  # supersampling per axis

    def en_disco(x, y):
        u = (x + 0.5 - centro) / radio
        v = (centro - (y + 0.5)) / radio
        return u * u + v * v <= 1.0

    filas = []
    for y in range(lado):
        fila = []
        for x in range(lado):
            if not en_disco(x, y):
                fila.append(TRANSPARENTE)
                continue
            tierra = 0
            total = 0
            for sy in range(muestras):
                for sx in range(muestras):
                    u = (x + (sx + 0.5) / muestras - centro) / radio
                    v = (centro - (y + (sy + 0.5) / muestras)) / radio
                    if u * u + v * v > 1.0:
                        continue
                    total += 1
                    if es_tierra(*geografia(u, v)):
                        tierra += 1
            u = (x + 0.5 - centro) / radio
            v = (centro - (y + 0.5)) / radio
            z = math.sqrt(max(0.0, 1.0 - u * u - v * v))
            brillo = u * luz[0] + v * luz[1] + z * luz[2]
            if total and tierra * 2 >= total:
                fila.append(VERDE_CLARO if brillo > 0.55 else VERDE)
            elif brillo > 0.25:
                fila.append(AZUL_CLARO)
            else:
                fila.append(AZUL)
        filas.append(fila)

    # The rim: disc pixels with a transparent 4-neighbour (or on the edge) turn dark,
    # navy where the sea or land is lit, black on the shadowed side.
    def fuera(x, y):
        return not (0 <= x < lado and 0 <= y < lado) or filas[y][x] == TRANSPARENTE

    borde = []
    for y in range(lado):
        for x in range(lado):
            if filas[y][x] != TRANSPARENTE and any(
                    fuera(x + dx, y + dy) for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1))):
                u = (x + 0.5 - centro) / radio
                v = (centro - (y + 0.5)) / radio
                sombra = u * luz[0] + v * luz[1] < -0.35
                borde.append((x, y, NEGRO if sombra else AZUL))
    for x, y, c in borde:
        filas[y][x] = c
    return filas


def trozo_png(tipo, datos):
    crc = zlib.crc32(tipo + datos) & 0xFFFFFFFF
    return struct.pack(">I", len(datos)) + tipo + datos + struct.pack(">I", crc)


def png(filas):
    """A 4-bit palette PNG with the transparent index marked in tRNS."""
    alto, ancho = len(filas), len(filas[0])
    crudo = bytearray()
    for fila in filas:
        crudo.append(0)  # filter: none
        for i in range(0, ancho, 2):
            alto_nibble = fila[i]
            bajo_nibble = fila[i + 1] if i + 1 < ancho else 0
            crudo.append((alto_nibble << 4) | bajo_nibble)
    cabecera = struct.pack(">IIBBBBB", ancho, alto, 4, 3, 0, 0, 0)
    paleta = b"".join(bytes(c) for c in PALETA)
    alfa = bytes(0 if i == TRANSPARENTE else 255 for i in range(16))
    return (b"\x89PNG\r\n\x1a\n" + trozo_png(b"IHDR", cabecera) + trozo_png(b"PLTE", paleta)
            + trozo_png(b"tRNS", alfa) + trozo_png(b"IDAT", zlib.compress(bytes(crudo), 9))
            + trozo_png(b"IEND", b""))


def relleno4(datos):
    return datos + b"\x00" * (-len(datos) % 4)


def imagen_ico(filas):
    """One 4-bit DIB for an .ico: header, palette, colour rows and the AND mask, both
    bottom-up with rows padded to 4 bytes. Transparent pixels are black under a set mask
    bit, as the format expects."""
    alto, ancho = len(filas), len(filas[0])
    colores = bytearray()
    mascara = bytearray()
    for fila in reversed(filas):
        linea = bytearray()
        for i in range(0, ancho, 2):
            a = fila[i]
            b = fila[i + 1] if i + 1 < ancho else TRANSPARENTE
            a = NEGRO if a == TRANSPARENTE else a
            b = NEGRO if b == TRANSPARENTE else b
            linea.append((a << 4) | b)
        colores += relleno4(bytes(linea))
        bits = bytearray((ancho + 7) // 8)
        for x, c in enumerate(fila):
            if c == TRANSPARENTE:
                bits[x // 8] |= 0x80 >> (x % 8)
        mascara += relleno4(bytes(bits))
    paleta = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETA)
    cabecera = struct.pack("<IiiHHIIiiII", 40, ancho, alto * 2, 1, 4, 0,
                           len(colores) + len(mascara), 0, 0, 16, 0)
    return cabecera + paleta + bytes(colores) + bytes(mascara)


def ico(imagenes):
    datos = [imagen_ico(f) for f in imagenes]
    salida = struct.pack("<HHH", 0, 1, len(datos))
    desplazamiento = 6 + 16 * len(datos)
    for filas, d in zip(imagenes, datos):
        lado = len(filas)
        salida += struct.pack("<BBBBHHII", lado % 256, lado % 256, 16, 0, 1, 4, len(d),
                              desplazamiento)
        desplazamiento += len(d)
    return salida + b"".join(datos)


# ---- the scalable drawing --------------------------------------------------------------

def proyectar(lon, lat):
    """Disc point (u, v) of a longitude and latitude, and whether it faces the viewer.
    The inverse of geografia()."""
    fi, fi0 = math.radians(lat), math.radians(LATITUD_CENTRO)
    dl = math.radians(lon - LONGITUD_CENTRO)
    u = math.cos(fi) * math.sin(dl)
    v = math.cos(fi0) * math.sin(fi) - math.sin(fi0) * math.cos(fi) * math.cos(dl)
    z = math.sin(fi0) * math.sin(fi) + math.cos(fi0) * math.cos(fi) * math.cos(dl)
    return u, v, z >= 0


def al_borde(u, v, visible):
    """A point behind the globe goes to the rim in its direction: a shape's hidden part
    then runs along the rim, where the visible part of its outline meets it."""
    if visible:
        return u, v
    n = math.hypot(u, v) or 1.0
    return u / n, v / n


def contorno(poligono, paso=2.0):
    """The polygon's edges, straight in longitude and latitude as es_tierra() reads them,
    cut every `paso` degrees and projected; None when none of it shows."""
    puntos, alguno = [], False
    for i, (x1, y1) in enumerate(poligono):
        x2, y2 = poligono[(i + 1) % len(poligono)]
        n = max(1, int(max(abs(x2 - x1), abs(y2 - y1)) / paso))
        for k in range(n):
            u, v, visible = proyectar(x1 + (x2 - x1) * k / n, y1 + (y2 - y1) * k / n)
            alguno = alguno or visible
            puntos.append(al_borde(u, v, visible))
    return puntos if alguno else None


def luz_normalizada():
    norma = math.sqrt(sum(c * c for c in LUZ))
    return tuple(c / norma for c in LUZ)


def zona_iluminada(umbral, muestras=120):
    """Outline of the disc points whose brightness (as in dibujar()) exceeds `umbral`: the
    circle of the sphere where it equals `umbral`, its hidden part on the rim."""
    lx, ly, lz = luz_normalizada()
    # Two unit vectors across the light, to run round the circle.
    a = (ly, -lx, 0.0)
    na = math.sqrt(sum(c * c for c in a))
    a = tuple(c / na for c in a)
    b = (ly * a[2] - lz * a[1], lz * a[0] - lx * a[2], lx * a[1] - ly * a[0])
    r = math.sqrt(1 - umbral * umbral)
    puntos = []
    for k in range(muestras):
        t = 2 * math.pi * k / muestras
        p = [umbral * l + r * (math.cos(t) * ai + math.sin(t) * bi)
             for l, ai, bi in zip((lx, ly, lz), a, b)]
        puntos.append(al_borde(p[0], p[1], p[2] >= 0))
    return puntos


def svg(lado=48):
    """The globe as an SVG drawing of `lado` units, y down as in the PNGs."""
    c = lado / 2.0
    borde = lado / 32.0  # the rim: one pixel at 32
    radio = c - borde / 2

    def camino(puntos):
        return "M" + " ".join("%.2f,%.2f" % (c + u * c, c - v * c) for u, v in puntos) + "Z"

    def color(i):
        return "#%02X%02X%02X" % PALETA[i]

    tierras = [p for p in (contorno(x) for x in CONTINENTES) if p]
    antartida = contorno([(lon, -68) for lon in range(180, -180, -5)], 5.0)
    if antartida:
        tierras.append(antartida)
    tierra = "".join('\n      <path d="%s"/>' % camino(p) for p in tierras)
    lx, ly, _ = luz_normalizada()
    # The rim is black where u*lx + v*ly < -0.35 (see dibujar()): an arc facing away.
    centro = math.atan2(-ly, -lx)
    medio = math.acos(min(1.0, 0.35 / math.hypot(lx, ly)))
    a0, a1 = centro - medio, centro + medio
    sombra = "M%.3f,%.3f A%.3f,%.3f 0 0 0 %.3f,%.3f" % (
        c + radio * math.cos(a0), c - radio * math.sin(a0), radio, radio,
        c + radio * math.cos(a1), c - radio * math.sin(a1))
    return """<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink"
     width="{l}" height="{l}" viewBox="0 0 {l} {l}">
  <title>Morvane update globe</title>
  <defs>
    <clipPath id="disco"><circle cx="{c}" cy="{c}" r="{c}"/></clipPath>
    <clipPath id="luz-tierra"><path d="{luz55}"/></clipPath>
    <g id="tierra">{tierra}
    </g>
  </defs>
  <g clip-path="url(#disco)">
    <circle cx="{c}" cy="{c}" r="{c}" fill="{azul}"/>
    <path d="{luz25}" fill="{azul_claro}"/>
    <use xlink:href="#tierra" fill="{verde}"/>
    <use xlink:href="#tierra" fill="{verde_claro}" clip-path="url(#luz-tierra)"/>
  </g>
  <circle cx="{c}" cy="{c}" r="{r:.3f}" fill="none" stroke="{azul}" stroke-width="{b:.3f}"/>
  <path d="{sombra}" fill="none" stroke="{negro}" stroke-width="{b:.3f}"/>
</svg>
""".format(l=lado, c=c, r=radio, b=borde, luz25=camino(zona_iluminada(0.25)),
           luz55=camino(zona_iluminada(0.55)), tierra=tierra, sombra=sombra,
           azul=color(AZUL), azul_claro=color(AZUL_CLARO), verde=color(VERDE),
           verde_claro=color(VERDE_CLARO), negro=color(NEGRO))


def main():
    raiz = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    destino = sys.argv[1] if len(sys.argv) > 1 else os.path.join(raiz, "updater", "iconos")
    os.makedirs(destino, exist_ok=True)
    mayor, grande, pequeno = dibujar(48), dibujar(32), dibujar(16)
    for nombre, contenido in (("globo-48.png", png(mayor)), ("globo-32.png", png(grande)),
                              ("globo-16.png", png(pequeno)),
                              ("globo.ico", ico([grande, pequeno])),
                              ("globo.svg", svg().encode("utf-8"))):
        with open(os.path.join(destino, nombre), "wb") as f:
            f.write(contenido)
        print(os.path.join(destino, nombre))


if __name__ == "__main__":
    main()
