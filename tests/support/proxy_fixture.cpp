#include "support/proxy_fixture.h"

#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "platform/net.h"
#include "platform/thread.h"
#include "support/process.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace {

const int STOP_WAIT_MILLISECONDS = 3000;

std::string NewProxyFolder() {
    static int serial = 0;
    std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                   ("karvelo-tinyproxy-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    std::filesystem::create_directories(folder, error);
    return folder.string();
}

}  // namespace

bool TinyproxyAvailable() { return access(TINYPROXY_PROGRAM, X_OK) == 0; }

TinyProxy::TinyProxy(const std::vector<int>& connectPorts, const std::string& user, const std::string& password)
    : connectPorts_(connectPorts), user_(user), password_(password), folder_(NewProxyFolder()) {}

TinyProxy::~TinyProxy() {
    Stop();
    std::error_code error;
    std::filesystem::remove_all(folder_, error);
}

bool TinyProxy::StartOnce(int port, bool* portTaken) {
    *portTaken = false;
    std::string config =
        "Listen 127.0.0.1\n"
        "Port " +
        std::to_string(port) +
        "\n"
        "Allow 127.0.0.1\n"
        "Timeout 60\n"
        "MaxClients 64\n"
        "LogLevel Info\n"
        "LogFile \"" +
        folder_ +
        "/tinyproxy.log\"\n"
        "PidFile \"" +
        folder_ + "/tinyproxy.pid\"\n";
    // Without a ConnectPort line tinyproxy tunnels to any port; port 0 is
    // never a server's, so "none" is a list that allows nothing.
    if (connectPorts_.empty()) config += "ConnectPort 0\n";
    for (int allowed : connectPorts_) config += "ConnectPort " + std::to_string(allowed) + "\n";
    if (!user_.empty()) config += "BasicAuth " + user_ + " " + password_ + "\n";
    const std::string path = folder_ + "/tinyproxy.conf";
    if (!WriteWholeFile(path, config)) {
        error_ = "cannot write " + path;
        return false;
    }
    pid_ = StartProcess({TINYPROXY_PROGRAM, "-d", "-c", path}, folder_ + "/tinyproxy.out");
    if (pid_ < 0) {
        error_ = std::string("cannot start ") + TINYPROXY_PROGRAM;
        return false;
    }
    int exitCode = 0;
    switch (AwaitServerStart(&pid_, port, /*ipv4=*/true, /*ipv6=*/false, &exitCode)) {
        case SERVER_ACCEPTS: port_ = port; return true;
        case SERVER_ENDED: {
            std::string output = Log() + ReadWholeFile(folder_ + "/tinyproxy.out");
            *portTaken = output.find("in use") != std::string::npos;
            error_ = "tinyproxy ended with " + std::to_string(exitCode) + ": " + output;
            return false;
        }
        case SERVER_SILENT: break;
    }
    error_ = "tinyproxy did not accept connections on port " + std::to_string(port) + ": " + Log();
    Stop();
    return false;
}

bool TinyProxy::Start() {
    auto startOnce = [this](int port, bool* taken) { return StartOnce(port, taken); };
    return pid_ > 0 || StartOnFreeLoopbackPort(startOnce, &error_);
}

void TinyProxy::Stop() {
    if (pid_ <= 0) return;
    StopProcess(pid_, SIGTERM, STOP_WAIT_MILLISECONDS);
    pid_ = -1;
}

std::string TinyProxy::Url(bool withCredentials) const {
    std::string credentials = withCredentials && !user_.empty() ? user_ + ":" + password_ + "@" : "";
    return "http://" + credentials + "127.0.0.1:" + std::to_string(port_);
}

std::string TinyProxy::Log() const { return ReadWholeFile(folder_ + "/tinyproxy.log"); }
