#include "http/transfer.h"

#include <cstring>

#include "http/http_client.h"
#include "util/app_log.h"

namespace {

// A download's waits give up at its limits.
bool GivesUp(void* context) { return DownloadLimitReached(static_cast<Transfer*>(context)) != DOWNLOAD_WITHIN_LIMITS; }

}  // namespace

void InitTransfer(Transfer* transfer, HttpClient* client, ErrorText error, Vector* logLines) {
    *transfer = Transfer{};
    transfer->client = client;
    transfer->error = error;
    transfer->stopFlag = client != nullptr ? client->settings.stopFlag : nullptr;
    transfer->reached = DOWNLOAD_WITHIN_LIMITS;
    transfer->slot = -1;
    transfer->logLines = logLines;
    transfer->budget = WaitBudget{GivesUp, transfer};
}

const WaitBudget* TransferBudget(const Transfer* transfer) { return transfer != nullptr ? &transfer->budget : nullptr; }

bool TransferGivenUp(Transfer* transfer) { return transfer != nullptr && BudgetGivenUp(&transfer->budget); }

void TransferLog(const Transfer* transfer, const char* message) {
    LogLineTo(transfer != nullptr ? transfer->logLines : nullptr, message);
}
