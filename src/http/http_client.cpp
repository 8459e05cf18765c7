#include "http/http_client.h"

#include <cstdlib>
#include <new>

#include "http/h2_session.h"
#include "platform/thread.h"
#include "base/hash_map.h"
#include "base/memory.h"

HttpClient* NewHttpClient(const HttpClientSettings* settings) {
    HttpClient* client = new (AllocateZeroed(1, sizeof(HttpClient))) HttpClient();
    client->settings = *settings;
    int pools = settings->pools;
    if (pools < 1) pools = 1;
    if (pools > HTTP_CLIENT_POOL_LIMIT) pools = HTTP_CLIENT_POOL_LIMIT;
    client->settings.pools = pools;
    for (int slot = 0; slot < pools; ++slot) client->pools[slot] = NewStringHashMap(&STRING_KEYS);
    client->failureCounts = NewStringHashMap(&STRING_KEYS);
    client->failedNames = NewStringHashMap(&STRING_KEYS);
    client->failureLock = NewMutex();
    client->h2 = NewH2Registry(client);
    return client;
}

void FreeHttpClient(HttpClient* client) {
    if (client == nullptr) return;
    CloseH2Sessions(client);
    FreeH2Registry(client->h2);
    ClosePooledConnections(client);
    for (HashMap* pool : client->pools) {
        if (pool != nullptr) FreeHashMap(pool, 0);
    }
    FreeHashMap(client->failureCounts, 0);
    FreeHashMap(client->failedNames, 0);
    FreeMutex(client->failureLock);
    client->~HttpClient();
    std::free(client);
}

HashMap* HttpClientPool(HttpClient* client, int slot) {
    return slot >= 0 && slot < client->settings.pools ? client->pools[slot] : client->pools[0];
}
