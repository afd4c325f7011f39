#!/usr/bin/env python3
"""Asks an X window to close, as a window manager's close box does: sends it the
WM_DELETE_WINDOW client message. Under a bare X server (Xvfb, no window manager)
nothing else closes a window politely: `xdotool windowclose` destroys it, and the
program never hears of it.

    cerrar_ventana.py WINDOW_ID        (decimal or 0x hex, as xdotool prints it)

Plain python3: libX11 through ctypes. Exits non-zero when the display or the window
cannot be reached.
"""

import ctypes
import ctypes.util
import sys

CLIENT_MESSAGE = 33
NO_EVENT_MASK = 0


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int),
        ("serial", ctypes.c_ulong),
        ("send_event", ctypes.c_int),
        ("display", ctypes.c_void_p),
        ("window", ctypes.c_ulong),
        ("message_type", ctypes.c_ulong),
        ("format", ctypes.c_int),
        ("data", ctypes.c_long * 5),
    ]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


class XWindowAttributes(ctypes.Structure):
    # Only read to tell whether the window exists; the size covers the whole struct.
    _fields_ = [("datos", ctypes.c_byte * 256)]


def main():
    if len(sys.argv) != 2:
        print("usage: cerrar_ventana.py WINDOW_ID", file=sys.stderr)
        return 2
    ventana = int(sys.argv[1], 0)
    ruta = ctypes.util.find_library("X11") or "libX11.so.6"
    x11 = ctypes.CDLL(ruta)
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.POINTER(XEvent)]
    x11.XGetWindowAttributes.argtypes = [ctypes.c_void_p, ctypes.c_ulong,
                                         ctypes.POINTER(XWindowAttributes)]
    x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    # A vanished window must give an exit status, not the default handler's abort.
    MANEJADOR = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
    errores = []
    manejador = MANEJADOR(lambda d, e: errores.append(1) or 0)
    x11.XSetErrorHandler(manejador)

    pantalla = x11.XOpenDisplay(None)
    if not pantalla:
        print("cerrar_ventana.py: cannot open the display", file=sys.stderr)
        return 1
    try:
        atributos = XWindowAttributes()
        if not x11.XGetWindowAttributes(pantalla, ventana, ctypes.byref(atributos)):
            print("cerrar_ventana.py: no window %#x" % ventana, file=sys.stderr)
            return 1
        evento = XEvent()
        evento.xclient.type = CLIENT_MESSAGE
        evento.xclient.window = ventana
        evento.xclient.message_type = x11.XInternAtom(pantalla, b"WM_PROTOCOLS", 0)
        evento.xclient.format = 32
        evento.xclient.data[0] = x11.XInternAtom(pantalla, b"WM_DELETE_WINDOW", 0)
        evento.xclient.data[1] = 0  # CurrentTime
        x11.XSendEvent(pantalla, ventana, 0, NO_EVENT_MASK, ctypes.byref(evento))
        x11.XSync(pantalla, 0)
        return 1 if errores else 0
    finally:
        x11.XCloseDisplay(pantalla)


if __name__ == "__main__":
    sys.exit(main())
