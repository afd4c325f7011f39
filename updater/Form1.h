// Form1: the updater's one window. A status strip (Picture1) over two buttons; a timer
// starts the update check shortly after the window opens, "Descargar" downloads and
// installs the update, "&Cancelar" stops a running download, and closing the window starts
// the product.
//
// The window is also the sistema::Ventana the download component draws its verdict
// through while it is alive.
#pragma once

#include <QElapsedTimer>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>

#include "formularios.h"
#include "publicacion.h"
#include "sistema.h"
#include "zkDownload.h"

// Absolute URL of the distribution archive on the update server.
extern const char* const URLActualizacion;

class Form1 : public QWidget, public sistema::Ventana {
public:
    explicit Form1(QWidget* parent = nullptr);
    ~Form1() override;
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    // Controls, in creation order.
    QTimer Timer1;
    formularios::PictureBox Picture1{this};
    QPushButton btnCancelar{this};
    QPushButton btnDescargar{this};

    // The component of the running check or download; empty while the window is idle.
    std::unique_ptr<zkDownload> Down;
    // Cancel request of the running download.
    bool Cancelado = false;

    // Draws a status text (Porcentaje 0) or the percentage bar into `Picture`: the caption
    // (the percentage, nothing for 0, then Dato) centred, and the part from the left edge
    // to the percentage mark inverted. Redrawing what is already shown costs nothing.
    void BarraProgreso(formularios::PictureBox& Picture, int32_t Porcentaje,
                       const std::string& Dato);

    // Handler of Down's progress event: hands a cancel request back to the component,
    // draws the bar, and lets the window handle its events.
    void Down_Progreso(int32_t BytesTotales, int32_t BytesRecibidos, double Porcentaje,
                       int32_t SegundosTranscurridos, double SegundosRestantes,
                       int32_t& BytesPorSegundo, bool& Cancelar);

    // Ends the program as a termination signal asks: a running download is cancelled, a
    // running install is let finish, and the product is not started.
    void TerminarPorSenal();

    // sistema::Ventana: how the component reaches this window.
    void BarraProgreso(int32_t Porcentaje, const std::string& Dato) override;
    void HabilitarDescargar(bool habilitar) override;
    void DoEvents() override;
    // A network wait gives up once the user has cancelled or closed the window.
    bool Abandonar() override;

protected:
    void closeEvent(QCloseEvent* evento) override;

private:
    friend class Form1Prueba;  // tests and benchmarks

    void Form_Load();
    // A fresh component in Down, its progress event wired to Down_Progreso, its URL set;
    // the byte count and the clock of the log line start again.
    void CrearDown();
    // The one log line (stderr) of a check or download that has just ended in Down: local
    // time, the flow, the URL, status code and text, bytes received, seconds.
    void RegistrarFin(const char* flujo);
    void Timer1_Timer();
    void BuscarActualizacion();
    void ComprobarActualizacion();
    void btnDescargar_Click();
    void btnCancelar_Click();
    // A build with a key: fetches and judges the release statement, with the window served
    // and Cancelar (or a close) honoured.
    publicacion::Consulta ConsultarDeclaracion();
    // True when the unzip tool ran and exited successfully (and the archive was removed).
    bool InstalarActualizacion();
    // Starts the product, ignoring failure.
    void IniciarProducto();
    // Waits that long while the window stays responsive, without spinning.
    void Esperar(int32_t Milisegundos);

    // Escape clicks btnCancelar while it is enabled.
    QShortcut teclaEscape_{QKeySequence(Qt::Key_Escape), this};

    bool comprobando_ = false;       // a check is inside Descargar
    bool veredictoDibujado_ = false; // the component drew a verdict during this check
    bool enFlujo_ = false;           // a check, download or install is on the stack
    bool cerrada_ = false;           // the window has been closed
    bool instalando_ = false;        // the unzip tool may be running
    bool productoPendiente_ = false; // closed during the install: start the product after it
    bool porSenal_ = false;          // a termination signal closed the window

    int32_t bytesRecibidos_ = 0;  // body bytes of Down's transfer, from its last progress event
    QElapsedTimer relojDown_;     // since Down was created

    // What the last full redraw of BarraProgreso left, to skip identical redraws.
    struct UltimaBarra {
        const formularios::PictureBox* superficie = nullptr;
        uint64_t generacion = 0;
        int32_t porcentaje = 0;
        std::string dato;
    } ultimaBarra_;
};
