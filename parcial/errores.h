// The reasons of the partial update's own failures; any other is an errno value.
#pragma once

#include <system_error>

namespace parcial {

enum class Error {
    Estado = 1,          // a range request answered with neither 206 nor 200
    RespuestaMalformada, // a Content-Range, Content-Type or multipart body that cannot be read
    OtroArchivo,         // the answer's Content-Range names an archive of another size
    Incompleta,          // the answer or the fetched bytes end short of what was asked
    RangoAlterado,       // an entry's bytes do not have the digest the index names
    DirectorioAlterado,  // the central directory's bytes do not, or disagree with the index
    Distinto,            // an unpacked file is not the one the index names
    ArchivoEntero,       // a 200: the body is the whole archive, not ranges of it
};
const std::error_category& Categoria();
std::error_code make_error_code(Error e);

}  // namespace parcial

template <>
struct std::is_error_code_enum<parcial::Error> : std::true_type {};
