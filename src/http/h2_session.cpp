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
#include "base/vector.h"

struct H2Session {
    H2Registry* registry;  // its client's
    Mutex* lock;
    nghttp2_session* frames;     // the session's thread's alone
    HttpConnection* connection;  // the session's thread's alone; null once it has closed it
    WakeSignal* wake;            // an asker queued a request or a cancel, or the session is to end
    char key[POOL_KEY_BYTES];
    char failureKey[FAILURE_KEY_BYTES];  // the connection's, which outlives it here
    std::atomic<int> references;         // the registry's, the session's thread's, each asker's
    std::atomic<bool> acceptsStreams;    // false after GOAWAY, a lost connection or a close (StopTakingStreams)
    std::atomic<bool> closing;           // the session's thread is asked to end (a close, a stop, no use left)
    bool lost;                           // under `lock`: a send, a receive or the framing failed
    Semaphore* slots;                    // one per stream that may be in flight
    std::atomic<int> slotWaiters;        // askers waiting for a slot, woken when no new streams are taken
    std::atomic<int> running;            // exchanges not yet ended, queued ones included
    // Whether the session's thread is about to wait or waits, and whether
    // something is queued for it: an asker that queues wakes it only when
    // it waits (each side sets its own flag, then reads the other's).
    std::atomic<bool> idle;
    std::atomic<bool> hasQueued;
    // Under `lock`, for the session's thread to take:
    H2Exchange* queuedHead;  // requests to send, in the order they came
    H2Exchange* queuedTail;
    H2Stream* cancels;  // streams whose askers let go while they ran
    // The session's thread's alone:
    H2Stream* streams;  // every stream requested and not yet freed
    Vector* wakes;      // the ended exchanges' semaphores, posted once the lock is let go (PostWakes)
    char* outgoing;     // the frames nghttp2 handed over, sent in one batch
    size_t outgoingHeld;
    H2Session* nextLive;  // under the registry's lock: the sessions whose thread runs
    H2Session* previousLive;
};

// The session's thread's record of one stream, which nghttp2 keeps as the
// stream's user data, so a frame finds it at once.  It outlives its
// exchange when the asker lets go first; the session's thread frees it
// once the stream has closed and no cancel of it is queued.
struct H2Stream {
    int32_t id;
    // The response as it comes, the session's thread's alone; handed to the
    // exchange under the lock (Publish).
    int status;
    bool headDone;
    bool endStream;
    bool writeFailed;
    bool overLimit;
    int32_t received;
    HttpHeader header;
    BodySink* sink;
    // Under the session's lock:
    H2Exchange* exchange;  // null once the exchange ended or its asker let go
    bool writing;          // the session's thread writes to `sink` outside the lock
    bool abandoning;       // the asker waits for that write to end (posted on `changed`)
    bool cancelQueued;     // on the session's `cancels`
    bool closed;           // nghttp2 closed the stream
    H2Stream* nextCancel;
    // The session's thread's alone:
    H2Stream* next;
    H2Stream* previous;
};

namespace {

// The receive windows: each stream may have this much on its way, and the
// connection as a whole this much, so a link of several megabytes per round
// trip never waits for a window update.  The bytes go to the files as they
// come, so the windows cost no memory of their own.
const int32_t STREAM_WINDOW_BYTES = 4 << 20;
const int32_t CONNECTION_WINDOW_BYTES = 32 << 20;
// The session's buffer: several full TLS records per receive.
const int RECEIVE_BUFFER_BYTES = 64 << 10;
// Frames are gathered into sends of up to this many bytes: one TLS record
// and one segment for many small frames.
const size_t SEND_BATCH_BYTES = 16 << 10;

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
    int readers;              // sessions' threads alive, under `lock`
    H2Session* liveSessions;  // their sessions, under `lock`
    Semaphore* readerEnded;
    Semaphore* probeEnded;  // posted for each waiter when a probe ends
    int probeWaiters;       // under `lock`
    int streamLimit;
    const std::atomic<int>* stopFlag;  // the client's
    void (*started)(void* context);    // the client's session start hook
    void* startedContext;
};

namespace {

void Retain(H2Session* session) { ++session->references; }

// The session takes no new streams; the askers waiting for one of its slots
// hear of it now, not when a stream ends.
void StopTakingStreams(H2Session* session) {
    session->acceptsStreams = false;
    for (int waiting = session->slotWaiters.load(); waiting > 0; --waiting) PostSemaphore(session->slots);
}

// Under the lock: the stream's response as it stands reaches its exchange.
void Publish(const H2Stream* stream, H2Exchange* exchange) {
    exchange->status = stream->status;
    exchange->headDone = stream->headDone;
    exchange->endStream = stream->endStream;
    exchange->writeFailed = stream->writeFailed;
    exchange->overLimit = stream->overLimit;
    exchange->received = stream->received;
    if (stream->headDone) exchange->header = stream->header;
}

// Under the lock, on the session's thread: the exchange ends, and its
// asker hears of it once the lock is let go (PostWakes), so the woken asker
// does not find the lock still held.  From the post on the asker reads the
// exchange without the lock and may let it go: nothing touches it after.
void Finish(H2Exchange* exchange, H2End end, uint32_t errorCode) {
    if (exchange->end != H2_RUNNING) return;
    H2Stream* stream = exchange->stream;
    if (stream != nullptr) {
        Publish(stream, exchange);
        stream->exchange = nullptr;
        exchange->stream = nullptr;
    }
    exchange->end = end;
    exchange->errorCode = errorCode;
    --exchange->session->running;
    VectorPush(exchange->session->wakes, exchange->changed);
}

// Outside the lock: wakes the askers whose exchanges ended.
void PostWakes(H2Session* session) {
    Vector* wakes = session->wakes;
    for (int32_t i = 0; i < wakes->count; ++i) PostSemaphore(static_cast<Semaphore*>(wakes->items[i]));
    VectorClear(wakes, false);
}

H2Stream* StreamOf(nghttp2_session* frames, int32_t streamId) {
    return static_cast<H2Stream*>(nghttp2_session_get_stream_user_data(frames, streamId));
}

void FreeStream(H2Session* session, H2Stream* stream) {
    if (stream->previous != nullptr)
        stream->previous->next = stream->next;
    else
        session->streams = stream->next;
    if (stream->next != nullptr) stream->next->previous = stream->previous;
    std::free(stream);
}

// nghttp2's callbacks, all run on the session's thread without the lock.

// What nghttp2 sends goes into the session's batch, sent after the round;
// a full batch waits for the next round.
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

int TakeHeader(nghttp2_session* frames, const nghttp2_frame* frame, const uint8_t* name, size_t nameLength,
               const uint8_t* value, size_t valueLength, uint8_t, void*) {
    if (frame->hd.type != NGHTTP2_HEADERS) return 0;
    H2Stream* stream = StreamOf(frames, frame->hd.stream_id);
    if (stream == nullptr || stream->headDone) return 0;  // trailers are not read
    HttpHeader* header = &stream->header;
    if (NameIs(name, nameLength, ":status")) {
        int64_t status = -1;
        if (valueLength == 3) ParseDecimal(reinterpret_cast<const char*>(value), valueLength, 999, &status);
        stream->status = static_cast<int32_t>(status);
    } else if (stream->status >= 100 && stream->status < 200) {
        return 0;  // an interim answer's fields
    } else {
        TakeHeaderField(header, reinterpret_cast<const char*>(name), nameLength, reinterpret_cast<const char*>(value),
                        valueLength);
    }
    return 0;
}

// Whether a 200 response's body goes to the file: not when the head
// already refuses it (the asker says why).
bool BodyWanted(const H2Stream* stream) {
    const HttpHeader* header = &stream->header;
    return stream->headDone && stream->status == 200 && !stream->writeFailed && !stream->overLimit &&
           header->contentEncoding[0] == '\0' && !header->lengthConflict && !header->lengthMalformed &&
           (header->contentLength < 0 || static_cast<uint32_t>(header->contentLength) <= HTTP_BODY_SIZE_LIMIT);
}

// The rest of the stream is not wanted, and the server is told at once, so
// it sends no more of it.
void Refuse(nghttp2_session* frames, int32_t streamId) {
    nghttp2_submit_rst_stream(frames, NGHTTP2_FLAG_NONE, streamId, NGHTTP2_CANCEL);
}

int TakeFrame(nghttp2_session* frames, const nghttp2_frame* frame, void* user) {
    H2Session* session = static_cast<H2Session*>(user);
    if (frame->hd.type == NGHTTP2_GOAWAY) {
        StopTakingStreams(session);
        return 0;
    }
    if (frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA) return 0;
    H2Stream* stream = StreamOf(frames, frame->hd.stream_id);
    if (stream == nullptr) return 0;
    // Only the server's END_STREAM says the answer is whole; a reset, of any
    // code, cuts it.
    const bool ends = (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0;
    if (ends) stream->endStream = true;
    if (frame->hd.type != NGHTTP2_HEADERS || stream->headDone) return 0;
    if (stream->status >= 100 && stream->status < 200) {
        // An interim answer: the final one follows with fields of its own.
        stream->status = 0;
        std::memset(&stream->header, 0, sizeof stream->header);
        stream->header.contentLength = -1;
        return 0;
    }
    stream->headDone = true;
    // A head that already fails the image (its status, length or encoding):
    // no byte of the body is worth the wait.
    const bool refused = !ends && !BodyWanted(stream);
    if (refused) Refuse(frames, stream->id);
    LockMutex(session->lock);
    H2Exchange* exchange = stream->exchange;
    if (exchange != nullptr) {
        Publish(stream, exchange);
        exchange->progressAt = std::chrono::steady_clock::now();
        // Only a 200's body is wanted: the asker decides on any other status
        // now.  One whose head ends the stream closes in this same round.
        if (refused && stream->status != 200) Finish(exchange, H2_RESET, NGHTTP2_CANCEL);
    }
    UnlockMutex(session->lock);
    return 0;
}

int TakeData(nghttp2_session* frames, uint8_t, int32_t streamId, const uint8_t* data, size_t length, void* user) {
    H2Session* session = static_cast<H2Session*>(user);
    H2Stream* stream = StreamOf(frames, streamId);
    if (stream == nullptr) return 0;
    const bool wanted = BodyWanted(stream);
    const int64_t total = static_cast<int64_t>(stream->received) + static_cast<int64_t>(length);
    stream->received = total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
    const int32_t announced = stream->header.contentLength;
    const bool over = wanted && (total > HTTP_BODY_SIZE_LIMIT || (announced >= 0 && total > announced));
    if (over) stream->overLimit = true;
    LockMutex(session->lock);
    H2Exchange* exchange = stream->exchange;
    if (exchange == nullptr) {  // its asker let go: the cancel is on its way
        UnlockMutex(session->lock);
        return 0;
    }
    exchange->received = stream->received;
    exchange->overLimit = stream->overLimit;
    exchange->progressAt = std::chrono::steady_clock::now();
    // The write goes on outside the lock; an asker that lets go meanwhile
    // waits for it (EndH2Exchange), so its file is never written after.
    const bool abandoning = stream->abandoning;  // no new write: the asker lets go, and its cancel follows
    const bool write = wanted && !over && !abandoning;
    stream->writing = write;
    UnlockMutex(session->lock);
    if (!wanted || abandoning) return 0;
    if (write && WriteToSink(stream->sink, reinterpret_cast<const char*>(data), static_cast<int>(length))) {
        LockMutex(session->lock);
        stream->writing = false;
        if (stream->abandoning) PostSemaphore(stream->exchange->changed);
        UnlockMutex(session->lock);
        return 0;
    }
    if (write) {
        LockMutex(session->lock);
        stream->writing = false;
        stream->writeFailed = true;
        if (stream->exchange != nullptr) {
            stream->exchange->writeFailed = true;
            if (stream->abandoning) PostSemaphore(stream->exchange->changed);
        }
        UnlockMutex(session->lock);
    }
    Refuse(frames, streamId);
    return 0;
}

int TakeClose(nghttp2_session* frames, int32_t streamId, uint32_t errorCode, void* user) {
    H2Session* session = static_cast<H2Session*>(user);
    H2Stream* stream = StreamOf(frames, streamId);
    if (stream == nullptr) return 0;
    LockMutex(session->lock);
    H2Exchange* exchange = stream->exchange;
    if (exchange == nullptr) {
        // Its asker let go first.
    } else if (errorCode == NGHTTP2_REFUSED_STREAM) {
        Finish(exchange, H2_UNPROCESSED, errorCode);  // also every stream a GOAWAY left out
    } else {
        const bool whole = errorCode == NGHTTP2_NO_ERROR && stream->endStream && stream->headDone;
        Finish(exchange, whole ? H2_COMPLETE : H2_RESET, errorCode);
    }
    stream->closed = true;
    const bool free = !stream->cancelQueued;
    UnlockMutex(session->lock);
    if (free) FreeStream(session, stream);
    return 0;
}

int TakeNotSent(nghttp2_session* frames, const nghttp2_frame* frame, int errorCode, void* user) {
    if (frame->hd.type != NGHTTP2_HEADERS) return 0;
    H2Session* session = static_cast<H2Session*>(user);
    H2Stream* stream = StreamOf(frames, frame->hd.stream_id);
    if (stream == nullptr) return 0;
    LockMutex(session->lock);
    if (stream->exchange != nullptr) Finish(stream->exchange, H2_UNPROCESSED, static_cast<uint32_t>(-errorCode));
    UnlockMutex(session->lock);
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
    FreeVector(session->wakes, false);
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

// The session's thread's wait budget.  Its waits give up when the session
// is to end (a close), at a stop (which gives up every stream anyway), and
// once the session takes no new streams and has none left, so a peer that
// stalls or trickles a record holds nothing after its askers have let go.
bool ReaderGivesUp(void* context) {
    const H2Session* session = static_cast<const H2Session*>(context);
    return session->closing.load() || StopFlagRaised(session->registry->stopFlag) ||
           (!session->acceptsStreams.load() && session->running.load() == 0);
}

// The request's fields for nghttp2, which copies them.
void SubmitRequest(H2Session* session, H2Stream* stream, const H2Exchange* exchange) {
    auto field = [](const char* name, const char* value) {
        return nghttp2_nv{reinterpret_cast<uint8_t*>(const_cast<char*>(name)),
                          reinterpret_cast<uint8_t*>(const_cast<char*>(value)), std::strlen(name), std::strlen(value),
                          NGHTTP2_NV_FLAG_NONE};
    };
    // clang-format off
    const nghttp2_nv fields[] = {
        field(":method", "GET"),                 field(":scheme", "https"),  field(":authority", exchange->authority),
        field(":path", exchange->target),        field("accept", "*/*"),     field("accept-language", "zh-cn"),
        field("user-agent", RequestUserAgent()),
    };
    // clang-format on
    stream->id =
        nghttp2_submit_request(session->frames, nullptr, fields, sizeof fields / sizeof fields[0], nullptr, stream);
}

// Hands nghttp2 what the askers queued: the cancels of streams they let go,
// then their requests in order, each with its stream record as the
// stream's user data.  A request nghttp2 cannot take goes again elsewhere.
// The requests are taken under the lock, which keeps their askers (and the
// addresses they point at) until nghttp2 has copied them; nghttp2 only
// queues here, it neither sends nor calls back.
void TakeQueued(H2Session* session) {
    LockMutex(session->lock);
    session->hasQueued = false;
    H2Stream* cancels = session->cancels;
    session->cancels = nullptr;
    for (H2Stream* at = cancels; at != nullptr; at = at->nextCancel) at->cancelQueued = false;
    while (session->queuedHead != nullptr) {
        H2Exchange* exchange = session->queuedHead;
        session->queuedHead = exchange->next;
        exchange->next = nullptr;
        H2Stream* stream = static_cast<H2Stream*>(AllocateZeroed(1, sizeof(H2Stream)));
        stream->header.contentLength = -1;
        stream->next = session->streams;
        if (session->streams != nullptr) session->streams->previous = stream;
        session->streams = stream;
        stream->exchange = exchange;
        stream->sink = exchange->sink;
        exchange->stream = stream;
        SubmitRequest(session, stream, exchange);
        if (stream->id < 0) {
            Finish(exchange, H2_UNPROCESSED, 0);
            FreeStream(session, stream);
        }
    }
    session->queuedTail = nullptr;
    UnlockMutex(session->lock);
    PostWakes(session);
    for (H2Stream* at = cancels; at != nullptr;) {
        H2Stream* next = at->nextCancel;
        if (at->closed) {
            FreeStream(session, at);
        } else {
            Refuse(session->frames, at->id);
        }
        at = next;
    }
}

// The session's thread, the only one that touches nghttp2 or sends or
// receives on its connection: it hands nghttp2 what the askers queued,
// sends what nghttp2 made of it, waits for the server's bytes or an asker's
// wake, receives and lets nghttp2 take the bytes (the bodies go to their
// files from its callbacks), until the connection ends or the session
// closes.  It takes the lock only to hand a change to an exchange, never
// across a wait, a send, a receive or a write.
unsigned ReadSession(void* argument) {
    H2Session* session = static_cast<H2Session*>(argument);
    // The session's own transfer: no limits, only the session's budget.
    Transfer reader;
    InitTransfer(&reader, nullptr, ErrorText{nullptr, 0}, nullptr);
    reader.budget = WaitBudget{ReaderGivesUp, session};
    char* buffer = static_cast<char*>(Allocate(RECEIVE_BUFFER_BYTES));
    Transport* transport = session->connection->transport;
    bool forgotten = false;
    for (;;) {
        // A stop ends every stream: the askers hear of it from here.
        if (StopFlagRaised(session->registry->stopFlag)) {
            StopTakingStreams(session);
            session->closing = true;
        }
        TakeQueued(session);
        bool going =
            nghttp2_session_want_read(session->frames) != 0 || nghttp2_session_want_write(session->frames) != 0;
        // A session that takes no new streams ends with its last one.
        if (going && !session->acceptsStreams && session->running.load() == 0) session->closing = true;
        if (going && session->closing) nghttp2_session_terminate_session(session->frames, NGHTTP2_NO_ERROR);
        if (going && nghttp2_session_send(session->frames) != 0) going = false;
        PostWakes(session);
        const bool buffered = TransportHasBuffered(transport);
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
            session->idle = true;
            if (session->hasQueued) {  // queued by an asker that saw this thread busy
                session->idle = false;
                continue;
            }
            const SocketWait waited = TransportAwait(&reader, transport, false, session->wake);
            session->idle = false;
            if (waited == SOCKET_WOKEN || waited == SOCKET_WAIT_TIMED_OUT) continue;  // an idle session stays
            if (waited == SOCKET_WAIT_GIVEN_UP) {
                StopTakingStreams(session);
                session->closing = true;
                continue;
            }
            if (waited != SOCKET_READY) break;
        }
        const int received = TransportReceive(&reader, transport, buffer, RECEIVE_BUFFER_BYTES);
        const bool taken = received > 0 && nghttp2_session_mem_recv(session->frames, reinterpret_cast<uint8_t*>(buffer),
                                                                    static_cast<size_t>(received)) >= 0;
        PostWakes(session);
        if (!taken) break;
    }
    StopTakingStreams(session);
    LockMutex(session->lock);
    session->lost = true;
    // What the server never answered may go again elsewhere; what it began
    // to answer is cut.
    for (H2Stream* stream = session->streams; stream != nullptr; stream = stream->next) {
        H2Exchange* exchange = stream->exchange;
        if (exchange == nullptr) continue;
        const bool untouched = !stream->headDone && stream->received == 0;
        Finish(exchange, untouched ? H2_UNPROCESSED : H2_RESET, NGHTTP2_CONNECT_ERROR);
    }
    for (H2Exchange* exchange = session->queuedHead; exchange != nullptr;) {
        H2Exchange* next = exchange->next;  // a finished exchange may be gone at once
        Finish(exchange, H2_UNPROCESSED, NGHTTP2_CONNECT_ERROR);
        exchange = next;
    }
    session->queuedHead = session->queuedTail = nullptr;
    session->cancels = nullptr;
    HttpConnection* connection = session->connection;
    session->connection = nullptr;
    UnlockMutex(session->lock);
    PostWakes(session);
    while (session->streams != nullptr) FreeStream(session, session->streams);
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
    session->wakes = NewDefaultVector();
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
    registry->probeEnded = NewSemaphore(0);
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
    FreeSemaphore(registry->probeEnded);
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
        // Another thread probes: its end wakes this one (EndH2Probe), and so
        // does the download's own next limit.  A stop ends the probe's
        // connecting, and with it this wait.
        LockMutex(registry->lock);
        const bool stillProbing = HashMapGet(registry->keys, poolKey) == entry && entry->state == KEY_PROBING;
        if (stillProbing) ++registry->probeWaiters;
        UnlockMutex(registry->lock);
        if (!stillProbing) continue;
        WaitSemaphoreFor(registry->probeEnded, DownloadLimitMillisecondsLeft(transfer));
        LockMutex(registry->lock);
        --registry->probeWaiters;
        UnlockMutex(registry->lock);
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
        StopTakingStreams(session);
        SignalWake(session->wake);
        UnlockMutex(registry->lock);
        ReleaseH2Session(session);
        LockMutex(registry->lock);
    }
    // Whatever the probe found, those waiting for it look again.
    for (int waiting = registry->probeWaiters; waiting > 0; --waiting) PostSemaphore(registry->probeEnded);
    UnlockMutex(registry->lock);
    if (session != nullptr && registry->started != nullptr) registry->started(registry->startedContext);
    return session;
}

void ReleaseH2Session(H2Session* session) {
    if (session == nullptr) return;
    if (--session->references == 0) FreeSession(session);
}

H2Start StartH2Exchange(Transfer* transfer, H2Session* session, H2Exchange* exchange, const char* authority,
                        const char* target) {
    // A slot frees when a stream ends; a session that takes no new streams
    // wakes its waiters at once (StopTakingStreams), and the download's own
    // next limit ends the wait too.
    for (;;) {
        ++session->slotWaiters;
        if (!session->acceptsStreams) {
            --session->slotWaiters;
            return H2_SESSION_GONE;
        }
        const bool taken = WaitSemaphoreFor(session->slots, DownloadLimitMillisecondsLeft(transfer));
        --session->slotWaiters;
        if (taken) break;
        if (DownloadLimitReached(transfer) != DOWNLOAD_WITHIN_LIMITS) return H2_START_GIVEN_UP;
    }
    exchange->authority = authority;
    exchange->target = target;
    exchange->session = session;
    exchange->stream = nullptr;
    exchange->next = nullptr;
    exchange->header.contentLength = -1;
    exchange->progressAt = std::chrono::steady_clock::now();
    LockMutex(session->lock);
    if (session->lost || !session->acceptsStreams) {
        UnlockMutex(session->lock);
        PostSemaphore(session->slots);
        return H2_SESSION_GONE;
    }
    exchange->end = H2_RUNNING;
    exchange->changed = NewSemaphore(0);
    ++session->running;
    // One wake for a queue the session's thread has not looked at yet (it
    // takes the whole queue at once), and only if it waits.
    const bool first = session->queuedHead == nullptr;
    if (first)
        session->queuedHead = exchange;
    else
        session->queuedTail->next = exchange;
    session->queuedTail = exchange;
    session->hasQueued = true;
    UnlockMutex(session->lock);
    if (first && session->idle) SignalWake(session->wake);
    return H2_STARTED;
}

bool AwaitH2Exchange(H2Exchange* exchange, unsigned milliseconds) {
    exchange->endSeen = WaitSemaphoreFor(exchange->changed, milliseconds);
    return exchange->endSeen;
}

void ReadH2Exchange(const H2Exchange* exchange, H2Exchange* copy) {
    LockMutex(exchange->session->lock);
    *copy = *exchange;
    UnlockMutex(exchange->session->lock);
}

void EndH2Exchange(H2Exchange* exchange) {
    H2Session* session = exchange->session;
    if (session == nullptr || exchange->changed == nullptr) return;
    bool cancelled = false;
    if (exchange->endSeen) {
        // Ended, and nothing of the session touches it any more.
        PostSemaphore(session->slots);
        FreeSemaphore(exchange->changed);
        exchange->changed = nullptr;
        return;
    }
    LockMutex(session->lock);
    while (exchange->end == H2_RUNNING) {
        H2Stream* stream = exchange->stream;
        if (stream != nullptr && stream->writing) {
            // The session's thread writes to this exchange's file right now:
            // the file stays the asker's only once that write has ended.
            stream->abandoning = true;
            UnlockMutex(session->lock);
            WaitSemaphore(exchange->changed);
            LockMutex(session->lock);
            continue;
        }
        if (stream == nullptr) {
            // Still queued: it never goes out.
            H2Exchange* previous = nullptr;
            for (H2Exchange* at = session->queuedHead; at != exchange; previous = at, at = at->next) {}
            if (previous != nullptr)
                previous->next = exchange->next;
            else
                session->queuedHead = exchange->next;
            if (session->queuedTail == exchange) session->queuedTail = previous;
            exchange->next = nullptr;
        } else {
            // The session's thread resets the stream and frees its record.
            stream->exchange = nullptr;
            exchange->stream = nullptr;
            session->hasQueued = true;
            if (!stream->cancelQueued) {
                stream->cancelQueued = true;
                stream->nextCancel = session->cancels;
                session->cancels = stream;
            }
        }
        exchange->end = H2_RESET;
        exchange->errorCode = NGHTTP2_CANCEL;
        --session->running;
        cancelled = true;
    }
    UnlockMutex(session->lock);
    if (cancelled) {
        SignalWake(session->wake);  // the reset goes out; a session with no streams left ends
    } else {
        // The session's thread ended it: its post comes once that thread
        // lets go of the lock, and must come before the semaphore goes.
        WaitSemaphore(exchange->changed);
    }
    PostSemaphore(session->slots);
    FreeSemaphore(exchange->changed);
    exchange->changed = nullptr;
}

void RetireH2Session(H2Session* session) {
    StopTakingStreams(session);
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
            StopTakingStreams(entry->session);
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
