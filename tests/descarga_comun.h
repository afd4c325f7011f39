// Helpers shared by the download component's tests (tests/descarga_*_test.cpp).
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "sistema.h"
#include "zkDownload.h"

// White-box access to the component's private state and pure helpers.
class zkDownloadPrueba {
public:
    static std::string Esquema(const zkDownload& d) { return d.esquema_; }
    static std::string Host(const zkDownload& d) { return d.host_; }
    static std::string Ruta(const zkDownload& d) { return d.ruta_; }
    static int32_t TipoAcceso(const zkDownload& d) { return d.tipoAcceso_; }
    static int32_t Servicio(const zkDownload& d) { return d.servicio_; }
    static bool UrlUtilizable(const zkDownload& d) { return d.urlUtilizable_; }
    static bool AlgunHandleAbierto(const zkDownload& d) {
        return d.sesion_ || d.conexion_ || d.peticion_;
    }
    static void EstablecerError(zkDownload& d, int32_t codigo) { d.EstablecerError(codigo); }
    static auto CalcularProgreso(int32_t total, int32_t recibidos, uint32_t ms) {
        return zkDownload::CalcularProgreso(total, recibidos, ms);
    }
    static int32_t LongitudDeContenido(const std::string& t) {
        return zkDownload::LongitudDeContenido(t);
    }
    static auto FechaDeCabecera(const std::string& t) { return zkDownload::FechaDeCabecera(t); }
};

namespace prueba {

namespace fs = std::filesystem;

// A fresh install directory for one case, used as the application directory.
class Instalacion {
public:
    Instalacion() {
        std::string plantilla = ::testing::TempDir() + "descarga XXXXXX";
        if (!::mkdtemp(plantilla.data())) throw std::runtime_error("mkdtemp");
        ruta_ = plantilla;
        sistema::EstablecerApp_Path(ruta_);
    }
    ~Instalacion() {
        sistema::EstablecerApp_Path("");
        std::error_code ec;
        fs::remove_all(ruta_, ec);
    }
    const std::string& Ruta() const { return ruta_; }
    std::string En(const std::string& nombre) const { return ruta_ + "/" + nombre; }
    std::string Archivo() const { return En("Morvane.zip"); }

    // Temporary download files left in the directory.
    int Temporales() const {
        int n = 0;
        for (const auto& e : fs::directory_iterator(ruta_))
            n += e.path().filename().string().rfind("zkD", 0) == 0;
        return n;
    }

private:
    std::string ruta_;
};

inline void Escribir(const std::string& ruta, const std::string& texto) {
    std::ofstream(ruta, std::ios::binary) << texto;
}

inline std::string Leer(const std::string& ruta) {
    std::ifstream f(ruta, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The port reaches the platform as a signed 16-bit value, read there as unsigned, so a
// loopback port above 32767 (every ephemeral port) is given in its signed 16-bit form.
inline int32_t Puerto16(uint16_t puerto) { return static_cast<int16_t>(puerto); }

// Sets the modification time of `ruta` to a local date and time.
inline void FijarFechaLocal(const std::string& ruta, int anio, int mes, int dia, int hora) {
    struct tm t {};
    t.tm_year = anio - 1900;
    t.tm_mon = mes - 1;
    t.tm_mday = dia;
    t.tm_hour = hora;
    t.tm_isdst = -1;
    const time_t segundos = ::mktime(&t);
    const struct timespec veces[2] = {{segundos, 0}, {segundos, 0}};
    if (::utimensat(AT_FDCWD, ruta.c_str(), veces, 0) != 0)
        throw std::runtime_error("utimensat " + ruta);
}

// Stands in for the updater window and records what the component does to it.
class VentanaGrabadora : public sistema::Ventana {
public:
    VentanaGrabadora() { sistema::RegistrarVentana(this); }
    ~VentanaGrabadora() override { sistema::RegistrarVentana(nullptr); }
    void BarraProgreso(int32_t Porcentaje, const std::string& Dato) override {
        Dibujos.push_back(std::to_string(Porcentaje) + "|" + Dato);
    }
    void HabilitarDescargar(bool habilitar) override { Habilitaciones.push_back(habilitar); }
    void DoEvents() override { ++Eventos; }

    std::vector<std::string> Dibujos;
    std::vector<bool> Habilitaciones;
    long Eventos = 0;
};

}  // namespace prueba
