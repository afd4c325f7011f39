# Run by `cmake --install`: writes the service with the installed program's absolute path
# straight into the install tree (DESTDIR honoured), nothing into the build tree.
#   PLANTILLA  the service template      DESTINO  the units' directory (absolute)
#   PROGRAMA   the installed program     CARPETA  its directory          USUARIO  the account
set(servicio "$ENV{DESTDIR}${DESTINO}/morvane-update.service")
message(STATUS "Installing: ${servicio}")
configure_file("${PLANTILLA}" "${servicio}" @ONLY)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${servicio}")
