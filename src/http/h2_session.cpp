#include "http/h2_session.h"

#include <nghttp2/nghttp2.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "http/connection.h"
#include "http/download_limits.h"
#include "http/http_client.h"
#include "http/transfer.h"
#include "platform/thread.h"
#include "base/hash_map.h"
#include "base/memory.h"
#include "base/strings.h"

struct H2Session {
    H2Registry* registry;  // its client's
    Mutex* lock;
    nghttp2_session* frames;
    HttpConnection* connection;  // the reading thread's alone; null once it has closed it
    WakeSignal* wake;            // an asker queued frames, or ended its exchange
    char key[POOL_KEY_BYTES];
    char failureKey[FAILURE_KEY_BYTES];  // the connection's, which outlives it here
    int references;                      // under `lock`: the registry's, the reading thread's, each asker's
    std::atomic<bool> acceptsStreams;    // false after GOAWAY, a lost connection or a close
    std::atomic<bool> closing;           // the reading thread is asked to end (a close, a stop, no use left)
    bool lost;                           // under `lock`: a send, a receive or the framing failed
    Semaphore* slots;                    // one per stream that may be in flight
    H2Exchange* exchanges;               // under `lock`: running, in start order
    std::atomic<int> running;            // how many: the reading thread's wait budget reads it without the lock
    // The reading thread's: the frames nghttp2 handed over under the lock,
    // sent after it.
    char* outgoing;
    size_t outgoingHeld;
    H2Session* nextLive;  // under the registry's lock: the sessions whose reading thread runs
    H2Session* previousLive;
};

namespace {

// The receive windows: each stream may have this much on its way, and the
// connection as a whole this much, so a link of several megabytes per round
// trip never waits for a window update.  The bytes go to the files as they
// come, so the windows cost no memory of their own.
const int32_t STREAM_WINDOW_BYTES = 4 << 20;
const int32_t CONNECTION_WINDOW_BYTES = 32 << 20;
// The reading thread's buffer: several full TLS records per receive.
const int RECEIVE_BUFFER_BYTES = 64 << 10;
// Frames are gathered into sends of up to this many bytes: one TLS record
// and one segment for many small frames.
const size_t SEND_BATCH_BYTES = 16 << 10;
// How often a thread waiting for another's probe looks again.
const unsigned PROBE_POLL_MILLISECONDS = 5;

enum KeyState { KEY_PROBING = 1, KEY_HTTP1, KEY_H2 };

struct KeyEntry {
    int state;
    H2Session* session;  // KEY_H2: the registry's reference
};

// The streams one session keeps in flight when the client names none.
const int DEFAULT_STREAM_LIMIT = 100;

}  // namespace

struct H2Registry {
    Mutex* lock;
    HashMap* keys;            // pool key -> KeyEntry
    int readers;              // reading threads alive, under `lock`
    H2Session* liveSessions;  // their sessions, under `lock`
    Semaphore* readerEnded;
    int streamLimit;
    const std::atomic<int>* stopFlag;  // the client's
    void (*started)(void* context);    // the client's session start hook
    void* startedContext;
};

namespace {

void Retain(H2Session* session) {
    LockMutex(session->lock);
    ++session->references;
    UnlockMutex(session->lock);
}

H2Exchange* FindExchange(H2Session* session, int32_t streamId) {
    for (H2Exchange* at = session->exchanges; at != nullptr; at = at->next) {
        if (at->streamId == streamId) return at;
    }
    return nullptr;
}

void Link(H2Session* session, H2Exchange* exchange) {
    exchange->session = session;
    exchange->previous = nullptr;
    exchange->next = session->exchanges;
    if (session->exchanges != nullptr) session->exchanges->previous = exchange;
    session->exchanges = exchange;
    ++session->running;
}

void Unlink(H2Exchange* exchange) {
    H2Session* session = exchange->session;
    --session->running;
    if (exchange->previous != nullptr)
        exchange->previous->next = exchange->next;
    else if (session->exchanges == exchange)
        session->exchanges = exchange->next;
    if (exchange->next != nullptr) exchange->next->previous = exchange->previous;
    exchange->next = exchange->previous = nullptr;
}

// Under the lock: the exchange ends, and its asker hears of it.
void Finish(H2Exchange* exchange, H2End end, uint32_t errorCode) {
    if (exchange->end != H2_RUNNING) return;
    exchange->end = end;
    exchange->errorCode = errorCode;
    Unlink(exchange);
    PostSemaphore(exchange->changed);
}

// nghttp2's callbacks, all run under the session's lock.

// What nghttp2 sends goes into the reading thread's batch, which it sends
// once it has let go of the lock; a full batch waits for the next round.
ssize_t TakeOutgoing(nghttp2_session*, const uint8_t* data, size_t length, int, void* user) {
    H2Session* session = static_cast<H2Session*>(user);
    const size_t room = SEND_BATCH_BYTES - session->outgoingHeld;
    if (room == 0) return NGHTTP2_ERR_WOULDBLOCK;
    const size_t taken = length < room ? length : room;
    std::memcpy(session->outgoing + session->outgoingHeld, data, taken);
    session->outgoingHeld += taken;
    return static_cast<ssize_t>(taken);
}

bool NameIs(const uint8_t* name, size_t length, const char* expected) {
    return length == std::strlen(expected) && std::memcmp(name, expected, length) == 0;
}

int TakeHeader(nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name, size_t nameLength,
               const uint8_t* value, size_t valueLength, uint8_t, void* user) {
    if (frame->hd.type != NGHTTP2_HEADERS) return 0;
    H2Exchange* exchange = FindExchange(static_cast<H2Session*>(user), frame->hd.stream_id);
    if (exchange == nullptr || exchange->headDone) return 0;  // trailers are not read
    HttpHeader* header = &exchange->header;
    if (NameIs(name, nameLength, ":status")) {
        int64_t status = -1;
        if (valueLength == 3) ParseDecimal(reinterpret_cast<const char*>(value), valueLength, 999, &status);
        exchange->status = static_cast<int32_t>(status);
    } else if (exchange->status >= 100 && exchange->status < 200) {
        return 0;  // an interim answer's fields
    } else {
        TakeHeaderField(header, reinterpret_cast<const char*>(name), nameLength, reinterpret_cast<const char*>(value),
                        valueLength);
    }
    return 0;
}

// Whether a 200 response's body goes to the file: not when the head
// already refuses it (the asker says why).
bool BodyWanted(const H2Exchange* exchange) {
    const HttpHeader* header = &exchange->header;
    return exchange->headDone && exchange->status == 200 && !exchange->writeFailed && !exchange->overLimit &&
           header->contentEncoding[0] == '\0' && !header->lengthConflict && !header->lengthMalformed &&
           (header->contentLength < 0 || static_cast<uint32_t>(header->contentLength) <= HTTP_BODY_SIZE_LIMIT);
}

// Under the lock: the rest of the stream is not wanted, and the server is
// told at once, so it sends no more of it.
void Refuse(nghttp2_session* frames, const H2Exchange* exchange) {
    nghttp2_submit_rst_stream(frames, NGHTTP2_FLAG_NONE, exchange->streamId, NGHTTP2_CANCEL);
}

int TakeFrame(nghttp2_session* frames, const nghttp2_frame* frame, void* user) {
    H2Session* session = static_cast<H2Session*>(user);
    if (frame->hd.type == NGHTTP2_GOAWAY) {
        session->acceptsStreams = false;
        return 0;
    }
    if (frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA) return 0;
    H2Exchange* exchange = FindExchange(session, frame->hd.stream_id);
    if (exchange == nullptr) return 0;
    // Only the server's END_STREAM says the answer is whole; a reset, of any
    // code, cuts it.
    const bool ends = (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0;
    if (ends) exchange->endStream = true;
    if (frame->hd.type != NGHTTP2_HEADERS || exchange->headDone) return 0;
    if (exchange->status >= 100 && exchange->status < 200) {
        // An interim answer: the final one follows with fields of its own.
        exchange->status = 0;
        std::memset(&exchange->header, 0, sizeof exchange->header);
        exchange->header.contentLength = -1;
        return 0;
    }
    exchange->headDone = true;
    // A head that already fails the image (its status, length or encoding):
    // no byte of the body is worth the wait.
    if (!ends && !BodyWanted(exchange)) Refuse(frames, exchange);
    PostSemaphore(exchange->changed);
    return 0;
}

int TakeData(nghttp2_session* frames, uint8_t, int32_t streamId, const uint8_t* data, size_t length, void* user) {
    H2Exchange* exchange = FindExchange(static_cast<H2Session*>(user), streamId);
    if (exchange == nullptr) return 0;
    const bool wanted = BodyWanted(exchange);
    const int64_t total = static_cast<int64_t>(exchange->received) + static_cast<int64_t>(length);
    exchange->received = total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
    if (!wanted) return 0;
    const int32_t announced = exchange->header.contentLength;
    if (total > HTTP_BODY_SIZE_LIMIT || (announced >= 0 && total > announced)) {
        exchange->overLimit = true;
    } else if (!WriteToSink(exchange->sink, reinterpret_cast<const char*>(data), static_cast<int>(length))) {
        exchange->writeFailed = true;
    } else {
        return 0;
    }
    Refuse(frames, exchange);
    return 0;
}

int TakeClose(nghttp2_session*, int32_t streamId, uint32_t errorCode, void* user) {
    H2Exchange* exchange = FindExchange(static_cast<H2Session*>(user), streamId);
    if (exchange == nullptr) return 0;
    if (errorCode == NGHTTP2_REFUSED_STREAM) {
        Finish(exchange, H2_UNPROCESSED, errorCode);  // also every stream a GOAWAY left out
    } else {
        const bool whole = errorCode == NGHTTP2_NO_ERROR && exchange->endStream && exchange->headDone;
        Finish(exchange, whole ? H2_COMPLETE : H2_RESET, errorCode);
    }
    return 0;
}

int TakeNotSent(nghttp2_session*, const nghttp2_frame* frame, int errorCode, void* user) {
    if (frame->hd.type != NGHTTP2_HEADERS) return 0;
    H2Exchange* exchange = FindExchange(static_cast<H2Session*>(user), frame->hd.stream_id);
    if (exchange != nullptr) Finish(exchange, H2_UNPROCESSED, static_cast<uint32_t>(-errorCode));
    return 0;
}

nghttp2_session_callbacks* Callbacks() {
    static nghttp2_session_callbacks* callbacks = [] {
        nghttp2_session_callbacks* made;
        if (nghttp2_session_callbacks_new(&made) != 0) return static_cast<nghttp2_session_callbacks*>(nullptr);
        nghttp2_session_callbacks_set_send_callback(made, TakeOutgoing);
        nghttp2_session_callbacks_set_on_header_callback(made, TakeHeader);
        nghttp2_session_callbacks_set_on_frame_recv_callback(made, TakeFrame);
        nghttp2_session_callbacks_set_on_data_chunk_recv_callback(made, TakeData);
        nghttp2_session_callbacks_set_on_stream_close_callback(made, TakeClose);
        nghttp2_session_callbacks_set_on_frame_not_send_callback(made, TakeNotSent);
        return made;
    }();
    return callbacks;
}

void FreeSession(H2Session* session) {
    nghttp2_session_del(session->frames);
    CloseHttpConnection(session->connection);
    FreeMutex(session->lock);
    FreeSemaphore(session->slots);
    FreeWakeSignal(session->wake);
    std::free(session->outgoing);
    session->~H2Session();
    std::free(session);
}

// Takes the registry's entry for the session away, if it is still there,
// with the registry's reference.
void Forget(H2Session* session) {
    H2Registry* registry = session->registry;
    LockMutex(registry->lock);
    KeyEntry* entry = static_cast<KeyEntry*>(HashMapGet(registry->keys, session->key));
    const bool held = entry != nullptr && entry->state == KEY_H2 && entry->session == session;
    if (held) {
        HashMapRemove(registry->keys, session->key);
        std::free(entry);
    }
    UnlockMutex(registry->lock);
    if (held) ReleaseH2Session(session);
}

// Under the registry's lock.
void UnlinkLive(H2Session* session) {
    if (session->previousLive != nullptr)
        session->previousLive->nextLive = session->nextLive;
    else
        session->registry->liveSessions = session->nextLive;
    if (session->nextLive != nullptr) session->nextLive->previousLive = session->previousLive;
    session->nextLive = session->previousLive = nullptr;
}

// The reading thread's wait budget.  Its waits give up when the session is
// to end (a close), at a stop (which gives up every stream anyway), and once
// the session takes no new streams and has none left, so a peer that stalls
// or trickles a record holds nothing after its askers have let go.
bool ReaderGivesUp(void* context) {
    const H2Session* session = static_cast<const H2Session*>(context);
    return session->closing.load() || StopFlagRaised(session->registry->stopFlag) ||
           (!session->acceptsStreams.load() && session->running.load() == 0);
}

// The session's reading thread, the only one that sends or receives on its
// connection: it sends what nghttp2 queued, waits for the server's bytes or
// an asker's wake, receives and hands the bytes to nghttp2, until the
// connection ends or the session closes.  It holds the lock only to talk to
// nghttp2, never across a network wait, so an asker always sees its
// exchange and its deadlines in time.
unsigned ReadSession(void* argument) {
    H2Session* session = static_cast<H2Session*>(argument);
    // The reader's own transfer: no limits, only the session's budget.
    Transfer reader;
    InitTransfer(&reader, nullptr, ErrorText{nullptr, 0}, nullptr);
    reader.budget = WaitBudget{ReaderGivesUp, session};
    char* buffer = static_cast<char*>(Allocate(RECEIVE_BUFFER_BYTES));
    Transport* transport = session->connection->transport;
    bool forgotten = false;
    for (;;) {
        LockMutex(session->lock);
        bool going = !session->lost && (nghttp2_session_want_read(session->frames) != 0 ||
                                        nghttp2_session_want_write(session->frames) != 0);
        // A session that takes no new streams ends with its last one.
        if (going && !session->acceptsStreams && session->exchanges == nullptr) session->closing = true;
        if (going && session->closing) nghttp2_session_terminate_session(session->frames, NGHTTP2_NO_ERROR);
        if (going && nghttp2_session_send(session->frames) != 0) {
            session->lost = true;
            going = false;
        }
        const bool buffered = TransportHasBuffered(transport);
        UnlockMutex(session->lock);
        const size_t held = session->outgoingHeld;
        session->outgoingHeld = 0;
        // A send given up halfway may cut a TLS record: the connection is done.
        if (held > 0 && !TransportSend(&reader, transport, session->outgoing, static_cast<int>(held))) break;
        if (!going || session->closing) break;
        if (held == SEND_BATCH_BYTES) continue;  // more is queued
        if (!session->acceptsStreams && !forgotten) {
            Forget(session);  // new requests go to a new connection
            forgotten = true;
        }
        if (!buffered) {
            const SocketWait waited = TransportAwait(&reader, transport, false, session->wake);
            if (waited == SOCKET_WOKEN || waited == SOCKET_WAIT_TIMED_OUT) continue;  // an idle session stays
            if (waited == SOCKET_WAIT_GIVEN_UP) {
                session->acceptsStreams = false;
                session->closing = true;
                continue;
            }
            if (waited != SOCKET_READY) break;
        }
        const int received = TransportReceive(&reader, transport, buffer, RECEIVE_BUFFER_BYTES);
        LockMutex(session->lock);
        if (received <= 0 || nghttp2_session_mem_recv(session->frames, reinterpret_cast<uint8_t*>(buffer),
                                                      static_cast<size_t>(received)) < 0) {
            session->lost = true;
        }
        UnlockMutex(session->lock);
    }
    session->acceptsStreams = false;
    LockMutex(session->lock);
    session->lost = true;
    // What the server never answered may go again elsewhere; what it began
    // to answer is cut.
    while (session->exchanges != nullptr) {
        H2Exchange* exchange = session->exchanges;
        const bool untouched = !exchange->headDone && exchange->received == 0;
        Finish(exchange, untouched ? H2_UNPROCESSED : H2_RESET, NGHTTP2_CONNECT_ERROR);
    }
    HttpConnection* connection = session->connection;
    session->connection = nullptr;
    UnlockMutex(session->lock);
    CloseHttpConnection(connection);
    std::free(buffer);
    if (!forgotten) Forget(session);
    H2Registry* registry = session->registry;
    LockMutex(registry->lock);
    UnlinkLive(session);
    --registry->readers;
    PostSemaphore(registry->readerEnded);
    UnlockMutex(registry->lock);
    ReleaseH2Session(session);
    return 0;
}

// A session on an h2 connection, with its settings sent; references for
// the registry, the reading thread and the caller.  Null (the connection
// closed) when nghttp2 or the thread cannot start.
H2Session* StartSession(H2Registry* registry, const char* key, HttpConnection* connection) {
    H2Session* session = new (AllocateZeroed(1, sizeof(H2Session))) H2Session();
    session->registry = registry;
    session->acceptsStreams = true;
    session->closing = false;
    std::snprintf(session->failureKey, sizeof session->failureKey, "%s", connection->failureKey);
    // Small frames (requests, window updates) go out at once, not behind
    // the acknowledgement of the last segment.
    TransportSendPromptly(connection->transport);
    session->lock = NewMutex();
    session->connection = connection;
    session->slots = NewSemaphore(registry->streamLimit);
    std::snprintf(session->key, sizeof session->key, "%s", key);
    session->references = 3;
    session->outgoing = static_cast<char*>(Allocate(SEND_BATCH_BYTES));
    session->wake = NewWakeSignal();
    if (session->wake == nullptr || Callbacks() == nullptr ||
        nghttp2_session_client_new(&session->frames, Callbacks(), session) != 0) {
        session->frames = nullptr;
        FreeSession(session);
        return nullptr;
    }
    // clang-format off
    const nghttp2_settings_entry settings[] = {
        {NGHTTP2_SETTINGS_ENABLE_PUSH, 0},
        {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, static_cast<uint32_t>(STREAM_WINDOW_BYTES)},
    };
    // clang-format on
    nghttp2_submit_settings(session->frames, NGHTTP2_FLAG_NONE, settings, sizeof settings / sizeof settings[0]);
    nghttp2_session_set_local_window_size(session->frames, NGHTTP2_FLAG_NONE, 0, CONNECTION_WINDOW_BYTES);
    LockMutex(registry->lock);
    ++registry->readers;
    session->nextLive = registry->liveSessions;
    if (registry->liveSessions != nullptr) registry->liveSessions->previousLive = session;
    registry->liveSessions = session;
    UnlockMutex(registry->lock);
    if (!StartDetachedThread(ReadSession, session)) {
        LockMutex(registry->lock);
        UnlinkLive(session);
        --registry->readers;
        UnlockMutex(registry->lock);
        FreeSession(session);
        return nullptr;
    }
    return session;
}

}  // namespace

H2Registry* NewH2Registry(const HttpClient* client) {
    H2Registry* registry = static_cast<H2Registry*>(AllocateZeroed(1, sizeof(H2Registry)));
    registry->lock = NewMutex();
    registry->keys = NewStringHashMap(&STRING_KEYS);
    registry->readerEnded = NewSemaphore(0);
    const int streams = client->settings.h2Streams;
    registry->streamLimit = streams > 0 ? streams : DEFAULT_STREAM_LIMIT;
    registry->stopFlag = client->settings.stopFlag;
    registry->started = client->settings.h2SessionStarted;
    registry->startedContext = client->settings.h2SessionStartedContext;
    return registry;
}

void FreeH2Registry(H2Registry* registry) {
    if (registry == nullptr) return;
    FreeHashMap(registry->keys, 0);
    FreeSemaphore(registry->readerEnded);
    FreeMutex(registry->lock);
    std::free(registry);
}

H2Route FindH2Session(Transfer* transfer, const char* poolKey, H2Session** session) {
    H2Registry* registry = transfer->client->h2;
    *session = nullptr;
    for (;;) {
        LockMutex(registry->lock);
        KeyEntry* entry = static_cast<KeyEntry*>(HashMapGet(registry->keys, poolKey));
        if (entry != nullptr && entry->state == KEY_H2 && !entry->session->acceptsStreams) {
            // Going away: the next request opens a new connection.
            H2Session* gone = entry->session;
            HashMapRemove(registry->keys, poolKey);
            std::free(entry);
            entry = nullptr;
            UnlockMutex(registry->lock);
            ReleaseH2Session(gone);
            LockMutex(registry->lock);
            entry = static_cast<KeyEntry*>(HashMapGet(registry->keys, poolKey));
        }
        if (entry == nullptr) {
            entry = static_cast<KeyEntry*>(AllocateZeroed(1, sizeof(KeyEntry)));
            entry->state = KEY_PROBING;
            HashMapAdd(registry->keys, CopyString(poolKey), entry);
            UnlockMutex(registry->lock);
            return H2_ROUTE_PROBE;
        }
        const int state = entry->state;
        if (state == KEY_H2) {
            *session = entry->session;
            Retain(*session);
        }
        UnlockMutex(registry->lock);
        if (state == KEY_H2) return H2_ROUTE_SESSION;
        if (state == KEY_HTTP1) return H2_ROUTE_HTTP1;
        if (DownloadLimitReached(transfer) != DOWNLOAD_WITHIN_LIMITS) return H2_ROUTE_GIVEN_UP;
        SleepMilliseconds(PROBE_POLL_MILLISECONDS);
    }
}

H2Session* EndH2Probe(Transfer* transfer, const char* poolKey, HttpConnection* connection) {
    H2Registry* registry = transfer->client->h2;
    H2Session* session =
        connection != nullptr && connection->isH2 ? StartSession(registry, poolKey, connection) : nullptr;
    LockMutex(registry->lock);
    KeyEntry* entry = static_cast<KeyEntry*>(HashMapGet(registry->keys, poolKey));
    if (entry != nullptr && entry->state == KEY_PROBING) {
        if (session != nullptr) {
            entry->state = KEY_H2;
            entry->session = session;
        } else if (connection != nullptr && !connection->isH2) {
            entry->state = KEY_HTTP1;
        } else {
            HashMapRemove(registry->keys, poolKey);  // the next asker probes again
            std::free(entry);
        }
    } else if (session != nullptr) {
        // A close came between: the registry keeps no reference.
        session->closing = true;
        session->acceptsStreams = false;
        SignalWake(session->wake);
        UnlockMutex(registry->lock);
        ReleaseH2Session(session);
        LockMutex(registry->lock);
    }
    UnlockMutex(registry->lock);
    if (session != nullptr && registry->started != nullptr) registry->started(registry->startedContext);
    return session;
}

void ReleaseH2Session(H2Session* session) {
    if (session == nullptr) return;
    LockMutex(session->lock);
    const bool last = --session->references == 0;
    UnlockMutex(session->lock);
    if (last) FreeSession(session);
}

H2Start StartH2Exchange(Transfer* transfer, H2Session* session, H2Exchange* exchange, const char* authority,
                        const char* target) {
    for (;;) {
        if (!session->acceptsStreams) return H2_SESSION_GONE;
        if (WaitSemaphoreFor(session->slots, NETWORK_WAIT_SLICE_MILLISECONDS)) break;
        if (DownloadLimitReached(transfer) != DOWNLOAD_WITHIN_LIMITS) return H2_START_GIVEN_UP;
    }
    auto field = [](const char* name, const char* value) {
        return nghttp2_nv{reinterpret_cast<uint8_t*>(const_cast<char*>(name)),
                          reinterpret_cast<uint8_t*>(const_cast<char*>(value)), std::strlen(name), std::strlen(value),
                          NGHTTP2_NV_FLAG_NONE};
    };
    // clang-format off
    const nghttp2_nv fields[] = {
        field(":method", "GET"),        field(":scheme", "https"),         field(":authority", authority),
        field(":path", target),         field("accept", "*/*"),            field("accept-language", "zh-cn"),
        field("user-agent", RequestUserAgent()),
    };
    // clang-format on
    LockMutex(session->lock);
    int32_t streamId = -1;
    if (!session->lost && session->acceptsStreams) {
        streamId = nghttp2_submit_request(session->frames, nullptr, fields, sizeof fields / sizeof fields[0], nullptr,
                                          nullptr);
    }
    if (streamId < 0) {
        UnlockMutex(session->lock);
        PostSemaphore(session->slots);
        return H2_SESSION_GONE;
    }
    exchange->streamId = streamId;
    exchange->end = H2_RUNNING;
    exchange->header.contentLength = -1;
    exchange->changed = NewSemaphore(0);
    Link(session, exchange);
    UnlockMutex(session->lock);
    SignalWake(session->wake);  // the reading thread sends the request at once
    return H2_STARTED;
}

void AwaitH2Exchange(H2Exchange* exchange, unsigned milliseconds) { WaitSemaphoreFor(exchange->changed, milliseconds); }

void ReadH2Exchange(const H2Exchange* exchange, H2Exchange* copy) {
    LockMutex(exchange->session->lock);
    *copy = *exchange;
    UnlockMutex(exchange->session->lock);
}

void EndH2Exchange(H2Exchange* exchange) {
    H2Session* session = exchange->session;
    if (session == nullptr || exchange->changed == nullptr) return;
    LockMutex(session->lock);
    if (exchange->end == H2_RUNNING) {
        Unlink(exchange);
        exchange->end = H2_RESET;
        exchange->errorCode = NGHTTP2_CANCEL;
        if (!session->lost) Refuse(session->frames, exchange);
    }
    UnlockMutex(session->lock);
    SignalWake(session->wake);
    PostSemaphore(session->slots);
    FreeSemaphore(exchange->changed);
    exchange->changed = nullptr;
}

void RetireH2Session(H2Session* session) {
    session->acceptsStreams = false;
    SignalWake(session->wake);  // one without streams left ends now
}

const char* H2SessionFailureKey(const H2Session* session) { return session->failureKey; }

void CloseH2Sessions(HttpClient* client) {
    H2Registry* registry = client->h2;
    LockMutex(registry->lock);
    KeyList* keys = HashMapKeys(registry->keys);
    for (KeyList* at = keys; at != nullptr; at = at->next) {
        char key[POOL_KEY_BYTES];
        std::snprintf(key, sizeof key, "%s", static_cast<const char*>(at->key));
        KeyEntry* entry = static_cast<KeyEntry*>(HashMapGet(registry->keys, key));
        if (entry->state == KEY_PROBING) continue;  // its prober ends it
        HashMapRemove(registry->keys, key);
        if (entry->state == KEY_H2) {
            entry->session->closing = true;
            entry->session->acceptsStreams = false;
            ReleaseH2Session(entry->session);
        }
        std::free(entry);
    }
    FreeKeyList(keys);
    // Sessions the registry let go of already (going away, retired) too.
    for (H2Session* live = registry->liveSessions; live != nullptr; live = live->nextLive) {
        live->closing = true;
        SignalWake(live->wake);
    }
    while (registry->readers > 0) {
        UnlockMutex(registry->lock);
        WaitSemaphore(registry->readerEnded);
        LockMutex(registry->lock);
    }
    UnlockMutex(registry->lock);
}
