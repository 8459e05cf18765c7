#include "support/nginx_fixture.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "platform/net.h"
#include "platform/thread.h"
#include "support/process.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace {

const char LOG_FORMAT_NAME[] = "karvelo";
// How long nginx gets to go down before it is killed.
const int STOP_WAIT_MILLISECONDS = 3000;
const int TICK_MILLISECONDS = 5;

// Where the server keeps its files: one fresh folder per server.
std::string NewServerFolder() {
    static int serial = 0;
    std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                   ("karvelo-nginx-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    std::filesystem::create_directories(folder / "temp", error);
    return folder.string();
}

bool ParseAccessLine(const std::string& line, NginxAccess* access) {
    size_t open = line.find('"');
    size_t close = line.rfind('"');
    if (open == std::string::npos || close == open) return false;
    if (std::sscanf(line.c_str(), "%ld %ld", &access->connection, &access->connectionRequests) != 2) return false;
    if (std::sscanf(line.c_str() + close + 1, "%d %ld", &access->status, &access->bodyBytes) != 2) return false;
    access->request = line.substr(open + 1, close - open - 1);
    return true;
}

std::string SignatureFor(const std::string& extension) {
    if (extension == "png") return std::string("\x89PNG\r\n\x1a\n", 8);
    if (extension == "gif") return "GIF89a";
    if (extension == "bmp") return "BM";
    return std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00", 11);
}

}  // namespace

bool NginxAvailable() { return access(NGINX_PROGRAM, X_OK) == 0; }

NginxServer::NginxServer(const std::string& root, const std::string& serverConfig)
    : root_(std::filesystem::absolute(root).string()), serverConfig_(serverConfig), folder_(NewServerFolder()) {}

NginxServer::~NginxServer() {
    Stop();
    std::error_code error;
    std::filesystem::remove_all(folder_, error);
}

std::string NginxServer::WriteConfig(int port) const {
    const std::string& f = folder_;
    // Debian 12's nginx (1.22) turns HTTP/2 on per listen line.
    const std::string listenFlags = std::string(tlsConfig_.empty() ? "" : " ssl") + (http2_ ? " http2" : "");
    // Laid out as the file it writes.
    // clang-format off
    std::string config =
        "daemon off;\n"
        "master_process off;\n"
        "worker_processes 1;\n"
        "pid " + f + "/nginx.pid;\n"
        "lock_file " + f + "/nginx.lock;\n"
        "error_log " + f + "/error.log info;\n"
        "events { worker_connections 512; }\n"
        "http {\n"
        "  log_format " + LOG_FORMAT_NAME + " '$connection $connection_requests \"$request\" $status $body_bytes_sent';\n"
        "  access_log " + f + "/access.log " + LOG_FORMAT_NAME + ";\n"
        "  client_body_temp_path " + f + "/temp/body;\n"
        "  proxy_temp_path " + f + "/temp/proxy;\n"
        "  fastcgi_temp_path " + f + "/temp/fastcgi;\n"
        "  uwsgi_temp_path " + f + "/temp/uwsgi;\n"
        "  scgi_temp_path " + f + "/temp/scgi;\n"
        "  keepalive_requests " + std::to_string(keepaliveRequests_) + ";\n"
        "  keepalive_timeout 60s;\n"
        "  sendfile on;\n"
        "  types { image/jpeg jpg jpeg; image/png png; image/gif gif; image/bmp bmp; }\n"
        "  default_type application/octet-stream;\n"
        "  server {\n" +
        (ipv4_ ? "    listen 127.0.0.1:" + std::to_string(port) + listenFlags + ";\n" : "") +
        (ipv6_ ? "    listen [::1]:" + std::to_string(port) + listenFlags + ";\n" : "") +
        tlsConfig_ +
        "    server_name localhost;\n"
        "    root \"" + root_ + "\";\n" +
        serverConfig_ + "\n"
        "  }\n"
        "}\n";
    // clang-format on
    std::string path = f + "/nginx.conf";
    return WriteWholeFile(path, config) ? path : std::string();
}

bool NginxServer::StartOnce(int port, bool* portTaken) {
    *portTaken = false;
    std::string config = WriteConfig(port);
    if (config.empty()) {
        error_ = "cannot write " + folder_ + "/nginx.conf";
        return false;
    }
    std::error_code ignored;
    std::filesystem::remove(folder_ + "/error.log", ignored);
    pid_ = StartProcess({NGINX_PROGRAM, "-p", folder_ + "/", "-c", config, "-e", folder_ + "/error.log"},
                        folder_ + "/nginx.out");
    if (pid_ < 0) {
        error_ = std::string("cannot start ") + NGINX_PROGRAM;
        return false;
    }
    int exitCode = 0;
    switch (AwaitServerStart(&pid_, port, ipv4_, ipv6_, &exitCode)) {
        case SERVER_ACCEPTS: port_ = port; return true;
        case SERVER_ENDED: {
            std::string log = ErrorLog() + ReadWholeFile(folder_ + "/nginx.out");
            *portTaken = log.find("Address already in use") != std::string::npos;
            error_ = "nginx ended with " + std::to_string(exitCode) + ": " + log;
            return false;
        }
        case SERVER_SILENT: break;
    }
    error_ = "nginx did not accept connections on port " + std::to_string(port) + ": " + ErrorLog();
    Stop();
    return false;
}

bool NginxServer::Start() {
    auto startOnce = [this](int port, bool* taken) { return StartOnce(port, taken); };
    return pid_ > 0 || StartOnFreeLoopbackPort(startOnce, &error_);
}

bool NginxServer::StartOnPort(int port) {
    if (pid_ > 0) return true;
    bool portTaken = false;
    return StartOnce(port, &portTaken);
}

void NginxServer::UseHttp2() { http2_ = true; }

void NginxServer::SetKeepaliveRequests(int requests) { keepaliveRequests_ = requests; }

void NginxServer::UseTls(const std::string& certificate, const std::string& key) {
    tlsConfig_ = "    ssl_certificate \"" + certificate + "\";\n    ssl_certificate_key \"" + key + "\";\n";
}

void NginxServer::ListenOn(bool ipv4, bool ipv6) {
    ipv4_ = ipv4;
    ipv6_ = ipv6;
}

void NginxServer::Stop() {
    if (pid_ <= 0) return;
    StopProcess(pid_, SIGTERM, STOP_WAIT_MILLISECONDS);
    pid_ = -1;
}

std::string NginxServer::Url(const std::string& path) const {
    return (tlsConfig_.empty() ? "http://127.0.0.1:" : "https://127.0.0.1:") + std::to_string(port_) + path;
}

std::vector<NginxAccess> NginxServer::AccessLog() const {
    std::vector<NginxAccess> lines;
    std::string text = ReadWholeFile(folder_ + "/access.log");
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) break;  // a line still being written
        NginxAccess access;
        if (ParseAccessLine(text.substr(start, end - start), &access)) lines.push_back(access);
        start = end + 1;
    }
    return lines;
}

bool NginxServer::WaitForAccessLines(size_t count, int milliseconds) const {
    for (int waited = 0;; waited += TICK_MILLISECONDS) {
        if (AccessLog().size() >= count) return true;
        if (waited >= milliseconds) return false;
        SleepMilliseconds(TICK_MILLISECONDS);
    }
}

std::string NginxServer::ErrorLog() const { return ReadWholeFile(folder_ + "/error.log"); }

std::string GeneratedImageBytes(const std::string& extension, size_t size, unsigned seed) {
    std::string bytes = SignatureFor(extension).substr(0, size);
    bytes.reserve(size);
    std::mt19937 random(seed);
    while (bytes.size() < size) {
        uint32_t word = random();
        size_t take = size - bytes.size() < 4 ? size - bytes.size() : 4;
        bytes.append(reinterpret_cast<const char*>(&word), take);
    }
    return bytes;
}

std::vector<std::string> GenerateImageFiles(const std::string& folder, int count, unsigned seed, size_t minBytes,
                                            size_t maxBytes) {
    static const char* const EXTENSIONS[] = {"jpg", "png", "gif", "bmp"};
    std::mt19937 random(seed);
    std::uniform_int_distribution<size_t> sizes(minBytes, maxBytes);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        const char* extension = EXTENSIONS[i % 4];
        char name[32];
        std::snprintf(name, sizeof name, "img-%05d.%s", i + 1, extension);
        std::string bytes = GeneratedImageBytes(extension, sizes(random), seed * 100003u + static_cast<unsigned>(i));
        if (!WriteWholeFile(folder + "/" + name, bytes)) return std::vector<std::string>();
        names.push_back(name);
    }
    return names;
}
