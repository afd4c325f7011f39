// A file server on 127.0.0.1 for the partial update's figures: it serves files from disk
// by their URL path (origin or proxy form), answers Range with one range (206 with
// Content-Range) or several (multipart/byteranges), and counts every byte it hands to the
// kernel for each request, head and body, so a figure can say what an update cost the
// server. One request per connection ("Connection: close"). It stops serving, and cuts any
// connection still open, when destroyed.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace medicion {

class ServidorRangos {
public:
    // One request as served.
    struct Registro {
        std::string Destino;  // the path asked for
        std::string Range;    // the Range header, "" when absent
        int Estado = 0;       // 200, 206, 404, 416
        uint64_t Cabecera = 0, Cuerpo = 0;  // bytes sent of each
    };

    // `ficheros`: URL path ("/web/x.zip") -> file to serve.
    explicit ServidorRangos(std::map<std::string, std::string> ficheros)
        : ficheros_(std::move(ficheros)) {
        escucha_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t l = sizeof a;
        if (escucha_ < 0 || ::bind(escucha_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(escucha_, 64) != 0 ||
            ::getsockname(escucha_, reinterpret_cast<sockaddr*>(&a), &l) != 0)
            return;
        puerto_ = ntohs(a.sin_port);
        if (::pipe2(parada_, O_CLOEXEC) != 0) return;
        aceptador_ = std::thread([this] { Aceptar(); });
    }

    ~ServidorRangos() {
        if (aceptador_.joinable()) {
            parar_ = true;
            const char c = 0;
            (void)!::write(parada_[1], &c, 1);
            aceptador_.join();
        }
        {
            std::lock_guard<std::mutex> g(m_);
            for (int fd : abiertas_) ::shutdown(fd, SHUT_RDWR);
        }
        for (auto& h : hilos_) h.join();
        if (escucha_ >= 0) ::close(escucha_);
        for (int fd : parada_)
            if (fd >= 0) ::close(fd);
    }
    ServidorRangos(const ServidorRangos&) = delete;
    ServidorRangos& operator=(const ServidorRangos&) = delete;

    bool Escuchando() const { return puerto_ != 0; }
    std::string Direccion() const { return "127.0.0.1:" + std::to_string(puerto_); }

    void Ficheros(std::map<std::string, std::string> f) {
        std::lock_guard<std::mutex> g(m_);
        ficheros_ = std::move(f);
    }

    // Waits (up to 10 s) until no connection is being served, then gives the log so far
    // and starts a new one: the bytes of a reply are all counted once its connection ends.
    std::vector<Registro> Tomar() {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait_for(g, std::chrono::seconds(10), [this] { return abiertas_.empty(); });
        std::vector<Registro> r;
        r.swap(registro_);
        return r;
    }

    static uint64_t Total(const std::vector<Registro>& r, bool soloCuerpo = false) {
        uint64_t n = 0;
        for (const auto& x : r) n += x.Cuerpo + (soloCuerpo ? 0 : x.Cabecera);
        return n;
    }

private:
    struct Trozo {
        uint64_t Inicio, Longitud;
    };

    void Aceptar() {
        while (!parar_) {
            pollfd p[2] = {{escucha_, POLLIN, 0}, {parada_[0], POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) continue;
            if (p[1].revents) break;
            const int fd = ::accept4(escucha_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::lock_guard<std::mutex> g(m_);
            abiertas_.insert(fd);
            hilos_.emplace_back([this, fd] { Atender(fd); });
        }
    }

    // Sends all of `n` bytes, adding what the kernel took to `cuenta`; false when the
    // peer went away.
    static bool Enviar(int fd, const char* d, size_t n, uint64_t& cuenta) {
        while (n > 0) {
            const ssize_t r = ::send(fd, d, n, MSG_NOSIGNAL);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            cuenta += static_cast<uint64_t>(r);
            d += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }

    static bool EnviarFichero(int fd, int archivo, uint64_t inicio, uint64_t n, uint64_t& cuenta) {
        std::vector<char> buf(256 * 1024);
        while (n > 0) {
            const size_t pide = static_cast<size_t>(std::min<uint64_t>(n, buf.size()));
            const ssize_t r = ::pread(archivo, buf.data(), pide, static_cast<off_t>(inicio));
            if (r <= 0) return false;
            if (!Enviar(fd, buf.data(), static_cast<size_t>(r), cuenta)) return false;
            inicio += static_cast<uint64_t>(r);
            n -= static_cast<uint64_t>(r);
        }
        return true;
    }

    // "bytes=a-b,c-,-n" against a file of `tam` bytes; nothing when malformed or none
    // is satisfiable.
    static std::optional<std::vector<Trozo>> Rangos(const std::string& h, uint64_t tam) {
        if (h.rfind("bytes=", 0) != 0) return std::nullopt;
        std::vector<Trozo> v;
        size_t i = 6;
        while (i <= h.size()) {
            size_t fin = h.find(',', i);
            if (fin == std::string::npos) fin = h.size();
            std::string p = h.substr(i, fin - i);
            while (!p.empty() && p.front() == ' ') p.erase(0, 1);
            const size_t guion = p.find('-');
            if (guion == std::string::npos) return std::nullopt;
            const std::string a = p.substr(0, guion), b = p.substr(guion + 1);
            try {
                if (a.empty()) {
                    const uint64_t n = std::stoull(b);
                    if (n > 0 && tam > 0) v.push_back({tam - std::min(n, tam), std::min(n, tam)});
                } else {
                    const uint64_t x = std::stoull(a);
                    uint64_t y = b.empty() ? tam - 1 : std::stoull(b);
                    if (y < x) return std::nullopt;
                    if (x < tam) v.push_back({x, std::min(y, tam - 1) - x + 1});
                }
            } catch (...) {
                return std::nullopt;
            }
            i = fin + 1;
        }
        if (v.empty()) return std::nullopt;
        return v;
    }

    static std::string Fecha(time_t t) {
        char b[64];
        tm g{};
        ::gmtime_r(&t, &g);
        std::strftime(b, sizeof b, "%a, %d %b %Y %H:%M:%S GMT", &g);
        return b;
    }

    void Atender(int fd) {
        Registro reg;
        std::string cab;
        char b[4096];
        while (cab.find("\r\n\r\n") == std::string::npos && cab.size() < 65536) {
            const ssize_t r = ::recv(fd, b, sizeof b, 0);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            cab.append(b, static_cast<size_t>(r));
        }
        if (cab.find("\r\n\r\n") != std::string::npos) Responder(fd, cab, reg);
        {
            // Out of the set before it is closed: the destructor never shuts a number
            // that has been reused.
            std::lock_guard<std::mutex> g(m_);
            if (!reg.Destino.empty()) registro_.push_back(reg);
            abiertas_.erase(fd);
        }
        ::close(fd);
        cv_.notify_all();
    }

    void Responder(int fd, const std::string& cab, Registro& reg) {
        const size_t e1 = cab.find(' '), e2 = cab.find(' ', e1 + 1);
        if (e1 == std::string::npos || e2 == std::string::npos) return;
        std::string destino = cab.substr(e1 + 1, e2 - e1 - 1);
        if (destino.rfind("http://", 0) == 0) {
            const size_t barra = destino.find('/', 7);
            destino = barra == std::string::npos ? "/" : destino.substr(barra);
        }
        reg.Destino = destino;
        // Header names are case-insensitive; only Range matters here.
        for (size_t i = cab.find("\r\n"); i != std::string::npos && i + 2 < cab.size();) {
            const size_t fin = cab.find("\r\n", i + 2);
            if (fin == std::string::npos) break;
            const std::string linea = cab.substr(i + 2, fin - i - 2);
            if (linea.size() > 6 && strncasecmp(linea.c_str(), "range:", 6) == 0) {
                reg.Range = linea.substr(6);
                while (!reg.Range.empty() && reg.Range.front() == ' ') reg.Range.erase(0, 1);
            }
            i = fin;
        }
        std::string ruta;
        {
            std::lock_guard<std::mutex> g(m_);
            const auto it = ficheros_.find(destino);
            if (it != ficheros_.end()) ruta = it->second;
        }
        const int archivo = ruta.empty() ? -1 : ::open(ruta.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (archivo < 0 || ::fstat(archivo, &st) != 0) {
            reg.Estado = 404;
            const std::string r = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            Enviar(fd, r.data(), r.size(), reg.Cabecera);
            if (archivo >= 0) ::close(archivo);
            return;
        }
        const uint64_t tam = static_cast<uint64_t>(st.st_size);
        const std::string comun = "Last-Modified: " + Fecha(st.st_mtime) +
                                  "\r\nAccept-Ranges: bytes\r\nConnection: close\r\n";
        const auto trozos = reg.Range.empty() ? std::nullopt : Rangos(reg.Range, tam);
        if (reg.Range.empty()) {
            reg.Estado = 200;
            const std::string r = "HTTP/1.1 200 OK\r\n" + comun + "Content-Length: " + std::to_string(tam) + "\r\n\r\n";
            if (Enviar(fd, r.data(), r.size(), reg.Cabecera))
                EnviarFichero(fd, archivo, 0, tam, reg.Cuerpo);
        } else if (!trozos) {
            reg.Estado = 416;
            const std::string r = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                                  std::to_string(tam) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            Enviar(fd, r.data(), r.size(), reg.Cabecera);
        } else if (trozos->size() == 1) {
            reg.Estado = 206;
            const Trozo t = trozos->front();
            const std::string r = "HTTP/1.1 206 Partial Content\r\n" + comun + "Content-Range: bytes " +
                                  std::to_string(t.Inicio) + "-" + std::to_string(t.Inicio + t.Longitud - 1) +
                                  "/" + std::to_string(tam) + "\r\nContent-Length: " +
                                  std::to_string(t.Longitud) + "\r\n\r\n";
            if (Enviar(fd, r.data(), r.size(), reg.Cabecera))
                EnviarFichero(fd, archivo, t.Inicio, t.Longitud, reg.Cuerpo);
        } else {
            reg.Estado = 206;
            const std::string limite = "MORVANE_RANGOS_7f3a";
            std::vector<std::string> cabezas;
            uint64_t longitud = 0;
            for (const Trozo& t : *trozos) {
                cabezas.push_back("\r\n--" + limite + "\r\nContent-Type: application/zip\r\nContent-Range: bytes " +
                                  std::to_string(t.Inicio) + "-" + std::to_string(t.Inicio + t.Longitud - 1) +
                                  "/" + std::to_string(tam) + "\r\n\r\n");
                longitud += cabezas.back().size() + t.Longitud;
            }
            const std::string cierre = "\r\n--" + limite + "--\r\n";
            longitud += cierre.size();
            const std::string r = "HTTP/1.1 206 Partial Content\r\n" + comun +
                                  "Content-Type: multipart/byteranges; boundary=" + limite +
                                  "\r\nContent-Length: " + std::to_string(longitud) + "\r\n\r\n";
            bool bien = Enviar(fd, r.data(), r.size(), reg.Cabecera);
            for (size_t i = 0; bien && i < trozos->size(); ++i)
                bien = Enviar(fd, cabezas[i].data(), cabezas[i].size(), reg.Cuerpo) &&
                       EnviarFichero(fd, archivo, (*trozos)[i].Inicio, (*trozos)[i].Longitud, reg.Cuerpo);
            if (bien) Enviar(fd, cierre.data(), cierre.size(), reg.Cuerpo);
        }
        ::close(archivo);
    }

    std::map<std::string, std::string> ficheros_;
    int escucha_ = -1;
    int parada_[2] = {-1, -1};
    uint16_t puerto_ = 0;
    std::atomic<bool> parar_{false};
    std::thread aceptador_;
    std::mutex m_;
    std::condition_variable cv_;
    std::set<int> abiertas_;
    std::vector<std::thread> hilos_;
    std::vector<Registro> registro_;
};

}  // namespace medicion
