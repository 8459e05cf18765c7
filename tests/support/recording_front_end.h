// Installs a front end that records what core code shows and how it asks to
// end the process, instead of showing or exiting.  One at a time.
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
    std::vector<int> endCodes;    // one per EndProcess call
    std::vector<std::string> printed;  // GBK lines of PrintLine
    int answer = 1;               // what ShowMessage answers (ANSWER_OK)
};
