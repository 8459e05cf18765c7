// Installs a front end that records what core code shows instead of showing
// it.  One at a time.
#pragma once

#include <string>
#include <vector>

struct RecordedMessage {
    std::string text;     // GBK
    std::string caption;  // GBK
    unsigned style;
};

class RecordingFrontEnd {
public:
    RecordingFrontEnd();   // installs itself
    ~RecordingFrontEnd();  // restores the default front end

    std::vector<RecordedMessage> messages;
    std::vector<std::string> printed;  // GBK lines of PrintLine
    int answer = 1;                    // what ShowMessage answers (ANSWER_OK)
};
