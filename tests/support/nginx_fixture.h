// A real web server for the HTTP client's integration tests and benchmarks:
// Debian's nginx, run as a child process in the foreground on 127.0.0.1
// (or ::1, or both) at an ephemeral port (or one a test names), with its configuration, pid
// file, temporary folders and logs in a folder of its own.  It never reads
// /etc/nginx and never writes to /var/log/nginx.  With UseTls it speaks
// only TLS on its port.
//
// Keep-alive is on (NGINX_KEEPALIVE_REQUESTS requests per connection), and
// the access log records "$connection $connection_requests "$request"
// $status $body_bytes_sent" per request, so a test can tell which requests
// shared a connection.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

const char NGINX_PROGRAM[] = "/usr/sbin/nginx";
const int NGINX_KEEPALIVE_REQUESTS = 10000;

// True when NGINX_PROGRAM exists and can be run.
bool NginxAvailable();

// One line of the access log.
struct NginxAccess {
    long connection;          // nginx's serial number of the connection
    long connectionRequests;  // the request's number on that connection, from 1
    std::string request;      // the request line, e.g. "GET /img/a.png HTTP/1.1"
    int status;
    long bodyBytes;
};

class NginxServer {
public:
    // Serves the folder `root` at "/".  `serverConfig` is added inside the
    // server block (locations, redirects).
    explicit NginxServer(const std::string& root, const std::string& serverConfig = "");
    // Stops the server and removes its folder.
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // Starts nginx and returns once it accepts connections; false (with
    // error() saying why) when it does not come up.
    bool Start();
    // Starts on `port` only (80 for a test of the plain fallback); false
    // when nginx cannot listen there.
    bool StartOnPort(int port);
    void Stop();
    // Before Start: serve over TLS with these PEM files.
    void UseTls(const std::string& certificate, const std::string& key);
    // Before Start: HTTP/2 beside HTTP/1.1 on a TLS port (ALPN picks), or
    // HTTP/2 only (prior knowledge) on a plain one.
    void UseHttp2();
    // Before Start: the requests one connection serves before nginx closes
    // it (HTTP/1.1) or sends GOAWAY (HTTP/2).
    void SetKeepaliveRequests(int requests);
    // Before Start: which loopback addresses nginx listens on, 127.0.0.1
    // and ::1 (only 127.0.0.1 unless told).
    void ListenOn(bool ipv4, bool ipv6);
    const std::string& error() const { return error_; }

    int port() const { return port_; }
    // "http://127.0.0.1:<port>" + path ("https://" with TLS).
    std::string Url(const std::string& path) const;

    // The access log so far, in order.
    std::vector<NginxAccess> AccessLog() const;
    // Waits (at most `milliseconds`) until the access log holds `count`
    // lines: nginx writes a line once it has finished the response, which
    // may be just after the client has read it.
    bool WaitForAccessLines(size_t count, int milliseconds = 3000) const;
    std::string ErrorLog() const;

private:
    bool StartOnce(int port, bool* portTaken);
    std::string WriteConfig(int port) const;

    std::string root_;
    std::string serverConfig_;
    std::string folder_;  // configuration, pid, logs, temporary folders
    pid_t pid_ = -1;
    int port_ = 0;
    std::string error_;
    std::string tlsConfig_;  // the ssl lines, empty for plain HTTP
    bool ipv4_ = true;
    bool http2_ = false;
    int keepaliveRequests_ = NGINX_KEEPALIVE_REQUESTS;
    bool ipv6_ = false;
};

// The bytes of a generated image of `size` bytes: the signature of the
// format that `extension` names ("jpg", "png", "gif" or "bmp"), then bytes
// drawn from `seed`.  Not a decodable picture, but the client accepts it.
std::string GeneratedImageBytes(const std::string& extension, size_t size, unsigned seed);

// Writes `count` generated images of `minBytes` to `maxBytes` bytes into
// `folder` (which must exist), named "img-00001.jpg", "img-00002.png", ...
// in turn over the four formats.  Returns their names in order (empty on a
// write failure).
std::vector<std::string> GenerateImageFiles(const std::string& folder, int count, unsigned seed,
                                            size_t minBytes = 5 * 1024, size_t maxBytes = 200 * 1024);
