# Writes the desktop entry, at install time, from PLANTILLA into DIRECTORIO/NOMBRE under the
# install prefix (and DESTDIR), and records it in install_manifest.txt. DIRECTORIO and
# PROGRAMA (the installed program) are relative to CMAKE_INSTALL_PREFIX or absolute; ICONO
# is the icon's name. Nothing is written anywhere else.

if(IS_ABSOLUTE "${PROGRAMA}")
  set(ruta "${PROGRAMA}")
else()
  set(ruta "${CMAKE_INSTALL_PREFIX}/${PROGRAMA}")
endif()
if(NOT IS_ABSOLUTE "${DIRECTORIO}")
  set(DIRECTORIO "${CMAKE_INSTALL_PREFIX}/${DIRECTORIO}")
endif()
set(instalado "${DIRECTORIO}/${NOMBRE}")
set(destino "$ENV{DESTDIR}${instalado}")

# Exec is a command line: "%" starts a field code, and a path with a blank or another
# reserved character goes in double quotes, inside which " ` $ \ are escaped.
string(REPLACE "%" "%%" EXEC "${ruta}")
if(EXEC MATCHES "[ \t\n\"'\\\\<>~|&;$*?#()`]")
  string(REPLACE "\\" "\\\\" EXEC "${EXEC}")
  string(REPLACE "\"" "\\\"" EXEC "${EXEC}")
  string(REPLACE "`" "\\`" EXEC "${EXEC}")
  string(REPLACE "$" "\\$" EXEC "${EXEC}")
  set(EXEC "\"${EXEC}\"")
endif()
# The value is also a string of the entry, where a backslash is written twice.
string(REPLACE "\\" "\\\\" EXEC "${EXEC}")

if(NOT CMAKE_INSTALL_MESSAGE STREQUAL "NEVER")
  message(STATUS "Installing: ${destino}")
endif()
file(READ "${PLANTILLA}" plantilla)
string(CONFIGURE "${plantilla}" entrada @ONLY)
file(WRITE "${destino}" "${entrada}")
# As file(INSTALL) records its files: without DESTDIR.
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${instalado}")
