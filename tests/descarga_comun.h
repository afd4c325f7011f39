// Helpers shared by the download component's tests (tests/descarga_*_test.cpp).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "comun_prueba.h"
#include "lecturas.h"
#include "respuesta_http.h"
#include "servidor_http.h"
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
    static auto CalcularProgreso(int32_t total, int32_t recibidos, uint32_t ms,
                                 bool acotar = false) {
        return zkDownload::CalcularProgreso(total, recibidos, ms, acotar);
    }
    static int32_t LongitudDeContenido(const std::string& t) {
        return internet::LongitudDeContenido(t);
    }
    static auto FechaDeCabecera(const std::string& t) { return lecturas::FechaDeCabecera(t); }
};

namespace prueba {

// The archive's path on the update server.
inline constexpr const char* kRuta = "/web/lurenet/Morvane.zip";

// A fresh install directory for one case, used as the application directory.
class Instalacion : public DirectorioTemporal {
public:
    Instalacion() : DirectorioTemporal("descarga ") { sistema::EstablecerApp_Path(Ruta()); }
    ~Instalacion() { sistema::EstablecerApp_Path(""); }
    std::string Archivo() const { return En("Morvane.zip"); }
};

// Stands in for the updater window and records what the component does to it.
class VentanaGrabadora : public sistema::Ventana {
public:
    VentanaGrabadora() { sistema::RegistrarVentana(this); }
    ~VentanaGrabadora() override { sistema::RegistrarVentana(nullptr); }
    void BarraProgreso(int32_t Porcentaje, const std::string& Dato) override {
        Dibujos.push_back(std::to_string(Porcentaje) + "|" + Dato);
    }
    void HabilitarDescargar(bool habilitar) override { Habilitaciones.push_back(habilitar); }
    void DoEvents() override {
        ++Eventos;
        if (AlCeder) AlCeder();
    }
    bool Abandonar() override {
        ++Preguntas;
        return Abandona;
    }

    std::vector<std::string> Dibujos;
    std::vector<bool> Habilitaciones;
    long Eventos = 0;
    long Preguntas = 0;  // Abandonar calls: one right after each service during a wait
    std::function<void()> AlCeder;  // runs at each of the component's yields
    bool Abandona = false;          // what the window answers when a wait asks
};

// A component aimed at the archive on a loopback server, in a fresh install directory,
// drawing into a recording window.
class DescargaConServidor : public ::testing::Test {
protected:
    // The host name keeps whatever follows it, so the port goes through Puerto.
    void SetUp() override {
        d.URL(std::string("http://127.0.0.1") + kRuta);
        d.Puerto(Puerto16(servidor.Puerto()));
    }
    // Every request gets `r`.
    void Servir(Respuesta r) {
        servidor.Responder([r](const Peticion&) { return r; });
    }

    Instalacion instalacion;
    VentanaGrabadora ventana;
    ServidorHttp servidor;
    zkDownload d;
};

}  // namespace prueba
