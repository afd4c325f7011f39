// Helpers shared by the download component's tests (tests/descarga_*_test.cpp).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cancelacion.h"
#include "comun_prueba.h"
#include "lecturas.h"
#include "respuesta_http.h"
#include "servidor_http.h"
#include "sistema.h"
#include "zkDownload.h"
#include "zkDownload_detalle.h"

namespace prueba {

// The archive's path on the update server.
inline constexpr const char* kRuta = "/web/lurenet/Morvane.zip";

// A fresh install directory for one case, given to the components as their folder.
class Instalacion : public DirectorioTemporal {
public:
    Instalacion() : DirectorioTemporal("descarga ") {}
    std::string Archivo() const { return En("Morvane.zip"); }
};

// Stands in for the updater window and records what the component draws.
class VentanaGrabadora {
public:
    void Conectar(zkDownload& d) {
        d.BarraProgreso = [this](int32_t Porcentaje, const std::string& Dato) {
            Dibujos.push_back(std::to_string(Porcentaje) + "|" + Dato);
        };
        d.HabilitarDescargar = [this](bool habilitar) { Habilitaciones.push_back(habilitar); };
    }

    std::vector<std::string> Dibujos;
    std::vector<bool> Habilitaciones;
};

// A component aimed at the archive on a loopback server, in a fresh install directory,
// drawing into a recording window.
class DescargaConServidor : public ::testing::Test {
protected:
    // The host name keeps whatever follows it, so the port goes through Puerto.
    void SetUp() override {
        d.URL(std::string("http://127.0.0.1") + kRuta);
        d.Puerto(Puerto16(servidor.Puerto()));
        d.Opciones.Carpeta = instalacion.Ruta();
        d.Opciones.Cancelacion = &cancelacion;
        ventana.Conectar(d);
    }
    // Every request gets `r`.
    void Servir(Respuesta r) {
        servidor.Responder([r](const Peticion&) { return r; });
    }

    Instalacion instalacion;
    VentanaGrabadora ventana;
    sistema::Cancelacion cancelacion;
    ServidorHttp servidor;
    zkDownload d;
};

}  // namespace prueba
