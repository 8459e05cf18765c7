#include "http/response_head.h"

HeadState ReceiveResponseHead(Transfer* transfer, HttpConnection* connection, HeadReader* reader) {
    for (;;) {
        char* place = reader->buffer + reader->held;
        int socketError = 0;
        int received = ReceiveSome(transfer, connection, place, HTTP_BUFFER_SIZE - reader->held, &socketError);
        if (received <= 0) {
            reader->lastReceive = received;
            reader->lastSocketError = socketError;
            return HEAD_ENDED;
        }
        HeadState state = TakeReceivedHeadBytes(reader, place, received);
        if (state != HEAD_INCOMPLETE) return state;
    }
}
