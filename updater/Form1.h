// Form1: the updater's one window. A status strip (Picture1) over two buttons; a timer
// starts the update check shortly after the window opens, "Descargar" downloads and
// installs the update, "&Cancelar" stops a running download, and closing the window starts
// the product.
//
// The flows are the update session's (sesion::Sesion); the window is its observer and
// forwards the timer, the clicks and the close to it. The session's steps run on a thread
// of their own, and their reports reach the window through its event queue: nothing ever
// runs the window's events from inside a wait. A close while a flow runs closes the window
// at once, and the program ends once the flow has wound up (a running install finishes first).
//
// For a screen reader (README, "The window with a screen reader or the keyboard"): every
// text of the strip that is not a bare percentage is announced, and so is the start of a
// download and, at most once per 10 % and never twice within 5 s, its progress; while a
// download transfers nothing else is signalled. The focus follows the tab order
// Descargar, Cancelar, strip: a control disabled while it has the focus hands it to the
// next enabled one once the flow has enabled what it enables or ended (Descargar, at the
// start of a download, to Cancelar), and the check that offers Descargar gives it the
// focus when no control has it. The window opens with the focus on itself; the focused
// control is visibly marked.
#pragma once

#include <QEventLoopLocker>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "formularios.h"
#include "sesion.h"
#include "zkDownload.h"

// The session's steps on their thread, their reports delivered through the window's queue.
class HilosVentana : public sesion::HiloDePasos {
public:
    explicit HilosVentana(QObject& destino) : destino_(destino) {}
    void Entregar(std::function<void()> aviso) override;

private:
    QObject& destino_;
};

class Form1 : public QWidget, private sesion::Observador {
    HilosVentana hilos_{*this};
    // Before the controls: Down and Cancelado below refer into it.
    sesion::Sesion sesion_;

public:
    // Works against `entorno`: the program's install directory, URL and key unless a test
    // gives others.
    explicit Form1(sesion::Entorno entorno = sesion::EntornoDelProceso(), QWidget* parent = nullptr);
    ~Form1() override;
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    // Controls, in creation order.
    QTimer Timer1;
    formularios::PictureBox Picture1{this};
    QPushButton btnCancelar{this};
    QPushButton btnDescargar{this};

    // The component of the running check or download; empty while the window is idle.
    std::unique_ptr<zkDownload>& Down = sesion_.Down;
    // Cancel request of the running download.
    bool& Cancelado = sesion_.Cancelado;

    // Draws a status text (Porcentaje 0) or the percentage bar into `Picture`: the caption
    // (the percentage, nothing for 0, then Dato) centred, and the part from the left edge
    // to the percentage mark inverted. Redrawing what is already shown costs nothing.
    void BarraProgreso(formularios::PictureBox& Picture, int32_t Porcentaje,
                       const std::string& Dato);

    // Handler of a progress event on the window's thread: hands a cancel request back to
    // the component and draws the bar. (The session's steps report through the session.)
    void Down_Progreso(int32_t BytesTotales, int32_t BytesRecibidos, double Porcentaje,
                       int32_t SegundosTranscurridos, double SegundosRestantes,
                       int32_t& BytesPorSegundo, bool& Cancelar);

    // Ends the program as a termination signal asks: a running download or unpack is
    // cancelled, a placing of files is let finish, and the product is not started.
    void TerminarPorSenal();

    // What an announcement of the start of a download says.
    static constexpr const char* kDescargando = "Descargando la actualización...";

protected:
    void closeEvent(QCloseEvent* evento) override;
    bool focusNextPrevChild(bool next) override;
    void changeEvent(QEvent* evento) override;

private:
    friend class Form1Prueba;  // tests and benchmarks

    void Form_Load();
    void Timer1_Timer();
    void btnDescargar_Click();
    void btnCancelar_Click();

    // sesion::Observador
    void Limpiar() override;
    void Estado(int32_t Porcentaje, const std::string& Dato) override;
    void Avance(const sesion::Progreso& p) override;
    void HabilitarBotonDescargar(bool habilitar) override;
    void HabilitarCancelar(bool habilitar) override;
    void RelojDeArena(bool puesto) override;
    void CambioDeFase(sesion::Fase fase) override;
    void FinDeTransferencia() override;

    // Enables or disables a button; a focused one being disabled keeps the focus until
    // SoltarFoco (a control enabled, or the flow's end) hands it to the next enabled one.
    void Habilitar(QPushButton& boton, bool habilitar);
    void SoltarFoco();
    // What a screen reader hears.
    void Anunciar(const std::string& texto);
    void AnunciarAvance(int32_t porcentaje);

    // Escape clicks btnCancelar while it is enabled.
    QShortcut teclaEscape_{QKeySequence(Qt::Key_Escape), this};

    bool porSenal_ = false;  // a termination signal closed the window
    std::optional<QEventLoopLocker> retenido_;  // closed while a flow runs: the loop waits for it

    // The announcements. The clock is a seam for the tests.
    std::function<std::chrono::steady_clock::time_point()> reloj_ = std::chrono::steady_clock::now;
    bool enDescarga_ = false;          // from the download's start to the component's return
    int32_t avanceAnunciado_ = 0;      // the last percentage announced in this download
    std::optional<std::chrono::steady_clock::time_point> ultimoAnuncio_;

    // The focus.
    bool retenerFoco_ = false;   // a control is being disabled: the focus stays for now
    bool focoRetenido_ = false;  // a disabled control holds it until SoltarFoco

    // What the last full redraw of BarraProgreso left, to skip identical redraws.
    struct UltimaBarra {
        const formularios::PictureBox* superficie = nullptr;
        uint64_t generacion = 0;
        int32_t porcentaje = 0;
        std::string dato;
    } ultimaBarra_;
};
