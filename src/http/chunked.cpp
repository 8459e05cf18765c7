#include "http/chunked.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util/app_log.h"
#include "util/strings.h"

namespace {

const char FORMAT_NEGATIVE_CHUNK_SIZE[] =
    "\xb2\xbb\xd5\xfd\xb3\xa3: \xd5\xe2\xc0\xef\xbe\xcd\xd3\xd0\xce\xca\xcc\xe2\xc1\xcb, "
    "chunksize:%d";  // 不正常: 这里就有问题了, chunksize:%d
const char FORMAT_CHUNK_SIZE_OUT_OF_RANGE[] =
    "\xb2\xbb\xd5\xfd\xb3\xa3: chunksize \xb3\xac\xb3\xf6\xb7\xb6\xce\xa7: %.*s";  // 不正常: chunksize 超出范围: %.*s
const char FORMAT_CHUNK_SIZE_NO_DIGITS[] =
    "\xb2\xbb\xd5\xfd\xb3\xa3: chunk \xb3\xa4\xb6\xc8\xd0\xd0\xd6\xd0\xc3\xbb\xd3\xd0\xca\xae\xc1\xf9\xbd\xf8"
    "\xd6\xc6\xca\xfd\xd7\xd6: %.*s";  // 不正常: chunk 长度行中没有十六进制数字: %.*s
const char FORMAT_REFILL_FAILED[] =
    "\xcf\xc2\xd4\xd8\xcd\xbc\xc6\xac\xca\xa7\xb0\xdc" "3: \xcd\xbc\xc6\xac\xb4\xf3\xd0\xa1:%u, "
    "\xca\xb5\xbc\xca\xbd\xd3\xca\xd5\xb5\xbd\xb5\xc4\xce\xc4\xbc\xfe\xb4\xf3\xd0\xa1:%d, ret:%d, "
    "errno:%d";  // 下载图片失败3: 图片大小:%u, 实际接收到的文件大小:%d, ret:%d, errno:%d
const char MESSAGE_SIZE_LINE_TOO_LONG[] =
    "\xb2\xbb\xd5\xfd\xb3\xa3: chunk \xb3\xa4\xb6\xc8\xd0\xd0\xb3\xac\xb9\xfd HTTP_BUFFER_SIZE \xd7\xd6\xbd\xda, "
    "\xbb\xb9\xc3\xbb\xd3\xd0\xbd\xe1\xca\xf8";  // 不正常: chunk 长度行超过 HTTP_BUFFER_SIZE 字节, 还没有结束
const char FORMAT_CHUNKED_OVER_LIMIT[] =
    "chunked \xcd\xbc\xc6\xac\xca\xfd\xbe\xdd\xb3\xac\xb9\xfd" "10M, readTotal:%d, "
    "chunksize:%d";  // chunked 图片数据超过10M, readTotal:%d, chunksize:%d
const char MESSAGE_NO_FINAL_CRLF[] =
    "\xb6\xc1\xc8\xa1\xcd\xea HTTP_BUFFER_SIZE \xb3\xa4\xb6\xc8, \xd2\xb2\xc3\xbb\xd3\xd0\xd5\xd2\xb5\xbd chund "
    "\xd7\xee\xba\xf3\xd2\xbb\xb8\xf6\xbd\xe1\xca\xf8\xb7\xfb";  // 读取完 HTTP_BUFFER_SIZE 长度, 也没有找到 chund 最后一个结束符
const char FORMAT_FINAL_READ_FAILED[] =
    "\xb6\xc1\xc8\xa1" "chunk\xd7\xee\xba\xf3\xb5\xc4\xbd\xe1\xca\xf8\xb7\xfb\xca\xb1\xb3\xf6\xb4\xed: syCount:%d, "
    "bufferSize:%d, ret:%d, errno:%d";  // 读取chunk最后的结束符时出错: syCount:%d, bufferSize:%d, ret:%d, errno:%d
const char FORMAT_END_RECORD[] = "chunk size == 0, readTotal:%d, p - data:%d, syCount:%d, dataContent:\r\n%s";

// Internal: the main loop goes on.
const int KEEP_READING = 2;
// A size line shows at most this much of itself in a message.
const int SIZE_LINE_EXCERPT = 20;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The size of a size line: an optional "0x", blanks, hex digits; anything
// after the digits (an extension after ';') is ignored.  A line without a
// digit sets *noDigits: read as 0 it would pass for the last chunk and end
// the body early.  Digits that do not fit 32 bits set *outOfRange instead of
// wrapping round to a small size that would cut the body short unnoticed.
int32_t DecodeChunkSize(const char* line, int length, int* noDigits, int* outOfRange) {
    int at = 0;
    if (length >= 2 && (line[1] == 'x' || line[1] == 'X')) at = 2;
    while (at < length && (line[at] == ' ' || line[at] == '\t')) ++at;
    uint32_t value = 0;
    *outOfRange = 0;
    *noDigits = 1;
    for (; at < length; ++at) {
        int digit = HexDigit(line[at]);
        if (digit < 0) break;
        *noDigits = 0;
        if (value > 0x0FFFFFFFu) *outOfRange = 1;
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return static_cast<int32_t>(value);
}

// Moves the held bytes from `from` on to the start of the buffer.
void KeepFrom(ChunkedBodyReader* reader, int from) {
    int kept = reader->held - from;
    std::memmove(reader->buffer, reader->buffer + from, static_cast<size_t>(kept));
    reader->held = kept;
    reader->buffer[kept] = '\0';
    reader->cursor = 0;
}

int WriteChunkData(ChunkedBodyReader* reader, const char* bytes, int count) {
    if (!WriteToSink(reader->sink, bytes, count)) {
        std::snprintf(reader->errorText, HTTP_ERROR_TEXT_BYTES, "%s", MESSAGE_WRITE_FAILED);
        return -2;
    }
    reader->readTotal += count;
    return KEEP_READING;
}

// Receives behind the held bytes.  A buffer that begins with the CR LF that
// ends the previous chunk's data (arriving on its own) is stepped over.
int Refill(SOCKET socket, ChunkedBodyReader* reader) {
    if (reader->held >= HTTP_BUFFER_SIZE) {
        // A whole buffer of size line without its CR LF.
        std::snprintf(reader->errorText, HTTP_ERROR_TEXT_BYTES, "%s", MESSAGE_SIZE_LINE_TOO_LONG);
        return -1;
    }
    int received =
        static_cast<int>(recv(socket, reader->buffer + reader->held, HTTP_BUFFER_SIZE - reader->held, 0));
    int error = errno;
    reader->lastReceive = received;
    if (received <= 0) {
        std::snprintf(reader->errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_REFILL_FAILED, reader->fileSize,
                      reader->readTotal, received, error);
        return -1;
    }
    reader->held += received;
    reader->buffer[reader->held] = '\0';
    const char* data = reader->buffer;
    reader->cursor = (reader->held >= 2 && data[0] == '\r' && data[1] == '\n') ? 2 : 0;
    return KEEP_READING;
}

// After the size line "0": the final CR LF, or trailer lines ending in one.
int ReadBodyEnd(SOCKET socket, ChunkedBodyReader* reader, int dataStart) {
    char* data = reader->buffer;
    reader->syCount = reader->held - dataStart;
    if (reader->syCount != 2) {
        char line[HTTP_BUFFER_SIZE + 160];
        std::snprintf(line, sizeof line, FORMAT_END_RECORD, reader->held, dataStart, reader->syCount, data);
        LogLine(line);
    }
    KeepFrom(reader, dataStart);
    for (;;) {
        int held = reader->held;
        if (held > 1 && data[held - 2] == '\r' && data[held - 1] == '\n') {
            reader->isChunkReceiveCompleted = 1;
            return CHUNKED_BODY_READ;
        }
        if (held >= HTTP_BUFFER_SIZE) {
            std::snprintf(reader->errorText, HTTP_ERROR_TEXT_BYTES, "%s", MESSAGE_NO_FINAL_CRLF);
            return -1;
        }
        int room = HTTP_BUFFER_SIZE - reader->syCount;
        int received = static_cast<int>(recv(socket, data + held, room, 0));
        int error = errno;
        reader->lastReceive = received;
        if (received <= 0) {
            std::snprintf(reader->errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_FINAL_READ_FAILED, reader->syCount, room,
                          received, error);
            return -1;
        }
        reader->held += received;
        reader->syCount += received;
        data[reader->held] = '\0';
    }
}

}  // namespace

int ReadChunkedBody(SOCKET socket, ChunkedBodyReader* reader) {
    char* data = reader->buffer;
    reader->readTotal = 0;
    reader->remaining = 0;
    reader->chunksize = 0;
    reader->syCount = 0;
    reader->isChunkReceiveCompleted = 0;
    data[reader->held] = '\0';
    for (;;) {
        const char* lineEnd =
            FindBytes(data + reader->cursor, static_cast<size_t>(reader->held - reader->cursor), "\r\n", 2);
        if (lineEnd == nullptr) {
            // The size line is incomplete.
            KeepFrom(reader, reader->cursor);
            int step = Refill(socket, reader);
            if (step != KEEP_READING) return step;
            continue;
        }
        const char* line = data + reader->cursor;
        int lineLength = static_cast<int>(lineEnd - line);
        int noDigits = 0, outOfRange = 0;
        reader->chunksize = DecodeChunkSize(line, lineLength, &noDigits, &outOfRange);
        if (noDigits) {
            std::snprintf(reader->errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_CHUNK_SIZE_NO_DIGITS,
                          lineLength < SIZE_LINE_EXCERPT ? lineLength : SIZE_LINE_EXCERPT, line);
            return -1;
        }
        if (outOfRange) {
            std::snprintf(reader->errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_CHUNK_SIZE_OUT_OF_RANGE,
                          lineLength < SIZE_LINE_EXCERPT ? lineLength : SIZE_LINE_EXCERPT, line);
            return -1;
        }
        if (reader->chunksize < 0) {
            std::snprintf(reader->errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_NEGATIVE_CHUNK_SIZE, reader->chunksize);
            return -1;
        }
        int dataStart = reader->cursor + lineLength + 2;
        if (reader->chunksize == 0) return ReadBodyEnd(socket, reader, dataStart);
        // The same limit as any other body, checked before a byte of the
        // chunk is written: endless or huge chunks must not fill the disk.
        if (reader->chunksize > static_cast<int32_t>(HTTP_BODY_SIZE_LIMIT) - reader->readTotal) {
            std::snprintf(reader->errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_CHUNKED_OVER_LIMIT, reader->readTotal,
                          reader->chunksize);
            return 0;
        }

        int avail = reader->held - dataStart;
        if (avail >= reader->chunksize) {
            int step = WriteChunkData(reader, data + dataStart, reader->chunksize);
            if (step != KEEP_READING) return step;
            int dataEnd = dataStart + reader->chunksize;
            if (avail >= reader->chunksize + 2) {
                // The two bytes that end the data are skipped unexamined.
                reader->cursor = dataEnd + 2;
                continue;
            }
            KeepFrom(reader, dataEnd);
            step = Refill(socket, reader);
            if (step != KEEP_READING) return step;
            continue;
        }

        // Part of the chunk is held: write it, then read the rest straight
        // through the buffer.
        int step = WriteChunkData(reader, data + dataStart, avail);
        if (step != KEEP_READING) return step;
        reader->remaining = reader->chunksize - avail;
        while (reader->remaining > 0) {
            int want = reader->remaining < HTTP_BUFFER_SIZE ? reader->remaining : HTTP_BUFFER_SIZE;
            int received = static_cast<int>(recv(socket, data, want, 0));
            reader->lastReceive = received;
            if (received <= 0) {
                // Ended inside the chunk: not a failure here; the download's
                // end evaluation decides.
                reader->held = 0;
                data[0] = '\0';
                return CHUNKED_BODY_READ;
            }
            reader->remaining -= received;
            step = WriteChunkData(reader, data, received);
            if (step != KEEP_READING) return step;
        }
        reader->held = 0;
        data[0] = '\0';
        reader->cursor = 0;
        step = Refill(socket, reader);
        if (step != KEEP_READING) return step;
    }
}
