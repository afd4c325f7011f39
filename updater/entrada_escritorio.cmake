# Writes the desktop entry ENTRADA from PLANTILLA, at install time. PROGRAMA is the
# installed program, relative to CMAKE_INSTALL_PREFIX or absolute; ICONO the icon's name.

if(IS_ABSOLUTE "${PROGRAMA}")
  set(ruta "${PROGRAMA}")
else()
  set(ruta "${CMAKE_INSTALL_PREFIX}/${PROGRAMA}")
endif()

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

configure_file("${PLANTILLA}" "${ENTRADA}" @ONLY)
