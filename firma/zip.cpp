#include "zip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "libcrypto.h"

namespace firma::zip {

namespace {

// The directory of an archive the index can describe fits in far less.
constexpr uint64_t kLimiteDirectorio = 64ull * 1024 * 1024;
constexpr std::size_t kPieza = 1024 * 1024;

class Fichero {
public:
    explicit Fichero(const std::string& ruta) {
        do {
            fd_ = ::open(ruta.c_str(), O_RDONLY | O_CLOEXEC);
        } while (fd_ < 0 && errno == EINTR);
    }
    ~Fichero() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fichero(const Fichero&) = delete;
    Fichero& operator=(const Fichero&) = delete;
    int fd() const { return fd_; }

    // Exactly `n` bytes at `desde`.
    bool Leer(uint64_t desde, unsigned char* p, std::size_t n) const {
        while (n > 0) {
            const ssize_t r = ::pread(fd_, p, n, static_cast<off_t>(desde));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            p += r;
            n -= static_cast<std::size_t>(r);
            desde += static_cast<uint64_t>(r);
        }
        return true;
    }

private:
    int fd_ = -1;
};

// SHA-256 over libcrypto, fed piece by piece.
class Hash {
public:
    Hash() : md_(EVP_MD_CTX_new()) {
        bien_ = md_ && EVP_DigestInit_ex(md_.get(), EVP_sha256(), nullptr) == 1;
    }
    void Anadir(const unsigned char* p, std::size_t n) {
        if (bien_ && n) bien_ = EVP_DigestUpdate(md_.get(), p, n) == 1;
    }
    bool Final(Resumen& r) {
        unsigned int l = 0;
        return bien_ && EVP_DigestFinal_ex(md_.get(), r.data(), &l) == 1 && l == r.size();
    }

private:
    libcrypto::ContextoMd md_;
    bool bien_ = false;
};

// The unpacked bytes of one entry: their digest, length and CRC.
class Datos {
public:
    explicit Datos(uint16_t metodo) : metodo_(metodo) {
        if (metodo_ == 8) {
            inflando_ = inflateInit2(&z_, -MAX_WBITS) == Z_OK;
            bien_ = inflando_;
        }
    }
    ~Datos() {
        if (inflando_) inflateEnd(&z_);
    }
    Datos(const Datos&) = delete;
    Datos& operator=(const Datos&) = delete;

    void Anadir(const unsigned char* p, std::size_t n) {
        if (!bien_ || n == 0) return;
        if (metodo_ == 0) return Salida(p, n);
        if (fin_) {  // nothing may follow the deflated stream inside the entry
            bien_ = false;
            return;
        }
        z_.next_in = const_cast<unsigned char*>(p);
        z_.avail_in = static_cast<uInt>(n);
        unsigned char fuera[64 * 1024];
        do {
            z_.next_out = fuera;
            z_.avail_out = sizeof fuera;
            const int r = inflate(&z_, Z_NO_FLUSH);
            Salida(fuera, sizeof fuera - z_.avail_out);
            if (r == Z_STREAM_END) {
                fin_ = true;
                bien_ = z_.avail_in == 0;
                return;
            }
            if (r == Z_BUF_ERROR) return;  // wants more input
            if (r != Z_OK) {
                bien_ = false;
                return;
            }
        } while (z_.avail_out == 0 || z_.avail_in > 0);
    }
    bool Final(Resumen& r, uint64_t& tamano, uint32_t& crc) {
        if (!bien_ || (metodo_ == 8 && !fin_)) return false;
        tamano = tamano_;
        crc = crc_;
        return hash_.Final(r);
    }

private:
    void Salida(const unsigned char* p, std::size_t n) {
        hash_.Anadir(p, n);
        crc_ = static_cast<uint32_t>(crc32(crc_, p, static_cast<uInt>(n)));
        tamano_ += n;
    }

    uint16_t metodo_;
    z_stream z_{};
    bool inflando_ = false;
    bool bien_ = true;
    bool fin_ = false;
    Hash hash_;
    uint32_t crc_ = 0;
    uint64_t tamano_ = 0;
};

std::string Cifra(uint64_t v) { return std::to_string(v); }

}  // namespace

uint16_t Leer16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Leer32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void Poner16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void Poner32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

bool LeerDirectorio(std::string_view datos, uint64_t inicio, std::vector<Registro>& registros,
                    std::string& razon) {
    try {
        registros.clear();
        const auto* b = reinterpret_cast<const unsigned char*>(datos.data());
        const std::size_t n = datos.size();
        // The end record is the last one whose comment runs exactly to the end.
        std::size_t fin = std::string_view::npos;
        for (std::size_t i = n >= kRegistroFin ? n - kRegistroFin + 1 : 0; i-- > 0;) {
            if (Leer32(b + i) == kFirmaFin && i + kRegistroFin + Leer16(b + i + 20) == n) {
                fin = i;
                break;
            }
            if (n - i > kRegistroFin + 0xffff) break;
        }
        if (fin == std::string_view::npos) {
            razon = "no end of central directory record";
            return false;
        }
        const unsigned char* e = b + fin;
        const uint16_t total = Leer16(e + 10);
        const uint32_t tamano = Leer32(e + 12), posicion = Leer32(e + 16);
        if (total == 0xffff || tamano == 0xffffffff || posicion == 0xffffffff ||
            (fin >= 20 && Leer32(e - 20) == 0x07064b50)) {
            razon = "zip64 archives are not supported";
            return false;
        }
        if (Leer16(e + 4) != 0 || Leer16(e + 6) != 0 || Leer16(e + 8) != total) {
            razon = "multi-disk archives are not supported";
            return false;
        }
        if (posicion != inicio || tamano != fin) {
            razon = "the central directory is not where the end record puts it";
            return false;
        }
        std::size_t p = 0;
        for (uint32_t i = 0; i < total; ++i) {
            if (fin - p < kCabeceraCentral || Leer32(b + p) != kFirmaCentral) {
                razon = "a central directory record is broken";
                return false;
            }
            const unsigned char* r = b + p;
            const std::size_t largo =
                kCabeceraCentral + std::size_t{Leer16(r + 28)} + Leer16(r + 30) + Leer16(r + 32);
            if (fin - p < largo) {
                razon = "a central directory record is broken";
                return false;
            }
            Registro reg;
            reg.Bandera = Leer16(r + 8);
            reg.Metodo = Leer16(r + 10);
            reg.Crc = Leer32(r + 16);
            reg.Comprimido = Leer32(r + 20);
            reg.Tamano = Leer32(r + 24);
            reg.Local = Leer32(r + kPosicionLocalEnCentral);
            reg.Nombre.assign(reinterpret_cast<const char*>(r + kCabeceraCentral), Leer16(r + 28));
            reg.Desde = p;
            reg.Longitud = largo;
            if (reg.Comprimido == 0xffffffff || reg.Tamano == 0xffffffff || reg.Local == 0xffffffff ||
                Leer16(r + 34) != 0) {
                razon = "zip64 or multi-disk archives are not supported";
                return false;
            }
            registros.push_back(std::move(reg));
            p += largo;
        }
        if (p != fin) {
            razon = "the central directory holds more than its records";
            return false;
        }
        return true;
    } catch (...) {
        razon = "out of memory";
        return false;
    }
}

bool HacerIndice(const std::string& ruta, Indice& indice, std::string& razon) {
    try {
        Fichero f(ruta);
        struct stat st {};
        if (f.fd() < 0 || ::fstat(f.fd(), &st) != 0 || !S_ISREG(st.st_mode)) {
            razon = "cannot read " + ruta + ": " + std::strerror(errno);
            return false;
        }
        const uint64_t tamano = static_cast<uint64_t>(st.st_size);
        if (tamano < kRegistroFin) {
            razon = ruta + " is not a zip archive";
            return false;
        }
        // The end record and the comment behind it lie in the last 64 KiB + 22 bytes.
        const std::size_t cola = static_cast<std::size_t>(std::min<uint64_t>(tamano, kRegistroFin + 0xffff));
        std::string ultimos(cola, '\0');
        if (!f.Leer(tamano - cola, reinterpret_cast<unsigned char*>(ultimos.data()), cola)) {
            razon = "cannot read " + ruta;
            return false;
        }
        uint64_t inicioDir = tamano;
        for (std::size_t i = cola - kRegistroFin + 1; i-- > 0;) {
            const auto* e = reinterpret_cast<const unsigned char*>(ultimos.data()) + i;
            if (Leer32(e) == kFirmaFin && i + kRegistroFin + Leer16(e + 20) == cola) {
                inicioDir = Leer32(e + 16);
                break;
            }
        }
        if (inicioDir >= tamano || tamano - inicioDir > kLimiteDirectorio) {
            razon = ruta + " has no central directory that can be read";
            return false;
        }
        std::string dir(static_cast<std::size_t>(tamano - inicioDir), '\0');
        std::vector<Registro> registros;
        if (!f.Leer(inicioDir, reinterpret_cast<unsigned char*>(dir.data()), dir.size()) ||
            !LeerDirectorio(dir, inicioDir, registros, razon)) {
            if (razon.empty()) razon = "cannot read " + ruta;
            return false;
        }
        std::sort(registros.begin(), registros.end(),
                  [](const Registro& a, const Registro& b) { return a.Local < b.Local; });

        Indice ind;
        ind.Tamano = tamano;
        ind.Directorio = {inicioDir, tamano - inicioDir};
        {
            Hash h;
            h.Anadir(reinterpret_cast<const unsigned char*>(dir.data()), dir.size());
            if (!h.Final(ind.Sha256Directorio)) {
                razon = "libcrypto failed";
                return false;
            }
        }
        std::unique_ptr<unsigned char[]> pieza(new unsigned char[kPieza]);
        uint64_t hasta = 0;
        for (const Registro& r : registros) {
            const std::string quien = "entry \"" + r.Nombre + "\": ";
            if (r.Bandera & 1) {
                razon = quien + "encrypted entries are not supported";
                return false;
            }
            if (r.Metodo != 0 && r.Metodo != 8) {
                razon = quien + "compression method " + Cifra(r.Metodo) + " is not supported";
                return false;
            }
            unsigned char cab[kCabeceraLocal];
            if (r.Local < hasta || r.Local + kCabeceraLocal > inicioDir ||
                !f.Leer(r.Local, cab, sizeof cab) || Leer32(cab) != kFirmaLocal) {
                razon = quien + "its local header is missing or overlaps another entry";
                return false;
            }
            const uint64_t datos = r.Local + kCabeceraLocal + Leer16(cab + 26) + Leer16(cab + 28);
            std::string nombre(Leer16(cab + 26), '\0');
            if (!f.Leer(r.Local + kCabeceraLocal, reinterpret_cast<unsigned char*>(nombre.data()),
                        nombre.size()) ||
                nombre != r.Nombre) {
                razon = quien + "its local header names another entry";
                return false;
            }
            uint64_t finDatos = datos + r.Comprimido;
            uint64_t finRango = finDatos;
            if (r.Bandera & 8) {
                unsigned char d[16];
                if (finDatos + 12 > inicioDir || !f.Leer(finDatos, d, finDatos + 16 <= inicioDir ? 16 : 12)) {
                    razon = quien + "its data descriptor is missing";
                    return false;
                }
                const bool conFirma = Leer32(d) == kFirmaDescriptor && finDatos + 16 <= inicioDir &&
                                      Leer32(d + 4) == r.Crc;
                const unsigned char* c = conFirma ? d + 4 : d;
                if (Leer32(c) != r.Crc || Leer32(c + 4) != r.Comprimido || Leer32(c + 8) != r.Tamano) {
                    razon = quien + "its data descriptor does not match the central directory";
                    return false;
                }
                finRango = finDatos + (conFirma ? 16 : 12);
            }
            if (finRango > inicioDir) {
                razon = quien + "its data run into the central directory";
                return false;
            }
            if (r.Metodo == 0 && r.Comprimido != r.Tamano) {
                razon = quien + "a stored entry whose sizes differ";
                return false;
            }
            Entrada e;
            e.Nombre = r.Nombre;
            e.EnArchivo = {r.Local, finRango - r.Local};
            Hash rango;
            Datos contenido(r.Metodo);
            for (uint64_t p = r.Local; p < finRango;) {
                const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(kPieza, finRango - p));
                if (!f.Leer(p, pieza.get(), n)) {
                    razon = "cannot read " + ruta;
                    return false;
                }
                rango.Anadir(pieza.get(), n);
                // Only the entry's data are unpacked.
                const uint64_t a = std::max(p, datos), b = std::min(p + n, finDatos);
                if (a < b) contenido.Anadir(pieza.get() + (a - p), static_cast<std::size_t>(b - a));
                p += n;
            }
            uint32_t crc = 0;
            if (!rango.Final(e.Sha256Rango) || !contenido.Final(e.Sha256, e.Tamano, crc) ||
                e.Tamano != r.Tamano || crc != r.Crc) {
                razon = quien + "its data do not unpack to what the archive says (corrupt archive?)";
                return false;
            }
            ind.Entradas.push_back(std::move(e));
            hasta = finRango;
        }
        if (ind.Entradas.size() > kMaximoEntradas) {
            razon = "more than " + Cifra(kMaximoEntradas) + " entries";
            return false;
        }
        const auto sha = ResumenFichero(ruta);
        if (!sha) {
            razon = "cannot read " + ruta;
            return false;
        }
        ind.Sha256 = *sha;
        indice = std::move(ind);
        return true;
    } catch (...) {
        razon = "out of memory";
        return false;
    }
}

}  // namespace firma::zip
