// The HTTP client of one run (or of one short fetch): everything a download
// shares with the other downloads of that run, and with nothing else.  Two
// clients in one process share no connection, no failure count, no HTTP/2
// session and no proxy choice.
//
// Threads: the download workers use one client at once.  The pools are
// each used by one download at a time (the HTTP/1.1 slot that holds it);
// the failure counts and failed names are under the client's own lock; the
// HTTP/2 sessions under their registry's.  The settings are read only.
#pragma once

#include <atomic>
#include <cstdint>

#include "http/connection.h"

struct H2Registry;
struct HashMap;
struct Mutex;
struct ProxySettings;
struct Transfer;

// Keep-alive pools one client may hold: one per HTTP/1.1 slot of a run.
const int HTTP_CLIENT_POOL_LIMIT = 32;

// A run's bound on its HTTP/1.1 connections.  `enter` is called before a
// download first opens or takes an HTTP/1.1 connection (it may wait for a
// free slot, and gives the transfer its slot's keep-alive pool); `leave`
// when that download ends, or when it turns out to go over HTTP/2.  Null
// `enter`: no bound, every download uses pool 0.  A download whose limit is
// reached while it waits sends nothing.
struct Http1Gate {
    bool (*enter)(void* context, Transfer* transfer);  // false: the limit (a stop) came first, no slot held
    void (*leave)(void* context, Transfer* transfer);
    void* context;
};

// Told each use of a pool key instead of logging "new socket()" (a run
// replays the uses in its own order); null `note`: "new socket()" is
// logged as the connection opens.
struct PoolUseObserver {
    void (*note)(Transfer* transfer, PoolUse use, const char* poolKey);
};

// Told each look at a failure count and each change of one (connection.h),
// in the order the transfer made them (a run checks them against its own
// order); null `note`: nothing.
struct FailureCountObserver {
    void (*note)(Transfer* transfer, FailureUse use, const char* failureKey);
};

struct HttpClientSettings {
    // Proxies every download (and redirect) follows through ChooseProxy;
    // null: every address direct.  Must outlive the client.
    const ProxySettings* proxy;
    // The flag a stop request sets (the run's stopRequested); null: none.
    const std::atomic<int>* stopFlag;
    int pools;      // keep-alive pools (1 to HTTP_CLIENT_POOL_LIMIT); 0 reads as 1
    int h2Streams;  // streams one HTTP/2 session keeps in flight at most; 0 reads as 100
    Http1Gate gate;
    PoolUseObserver poolObserver;
    FailureCountObserver failureObserver;
    // Called (on the prober's thread, holding no lock) each time an HTTP/2
    // session starts; null: nothing.  The run grows its workers with it.
    void (*h2SessionStarted)(void* context);
    void* h2SessionStartedContext;
};

struct HttpClient {
    HttpClientSettings settings;
    HashMap* pools[HTTP_CLIENT_POOL_LIMIT];  // pool key -> HttpConnection; owns its keys, not the connections
    // Failure key (scheme, address and port) -> count of consecutive failed
    // connects, stored directly as the value; an absent key means none.
    // Beside it the names whose lookup failed (or ran out of time): they are
    // not looked up again, and their later connections fail at once with
    // the lookup's message.  Both own their keys, both under `failureLock`.
    HashMap* failureCounts;
    HashMap* failedNames;
    Mutex* failureLock;
    H2Registry* h2;
    std::atomic<uint64_t> useClock;  // the pools' use stamps: a later use has a larger one
};

// A client with its own empty pools, counts and sessions; after StartNetwork.
HttpClient* NewHttpClient(const HttpClientSettings* settings);
// Ends its HTTP/2 sessions, closes its pooled connections and frees it.
// Null does nothing.
void FreeHttpClient(HttpClient* client);

// Pool `slot` (below settings.pools); pool 0 is the one a download without
// an HTTP/1.1 slot uses.
HashMap* HttpClientPool(HttpClient* client, int slot);
