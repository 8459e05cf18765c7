// The response head of a download or fetch: received over its connection
// into the buffer, then parsed (head_parser.h).
#pragma once

#include "http/head_parser.h"
#include "http/http_common.h"
#include "platform/net.h"

// The read loop: receives behind the held bytes until TakeHeadBytes says
// the head is held or too long, or a receive returns 0 or less (HEAD_ENDED).
// Interim answers (1xx but 101) before the final one are dropped with their
// blank line, and the bytes behind them are read as the next head.
struct Transfer;
HeadState ReceiveResponseHead(Transfer* transfer, HttpConnection* connection, HeadReader* reader);
