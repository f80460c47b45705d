// The reader's process-wide state (described in reader_state.h).
#include "core/reader_state.h"

char readerID[kReaderIdWidth];
char readerTxt[kReaderTxtWidth];
std::string networkPath;
char name[kNameWidth];
CardRecord ud[2];
std::vector<std::string> networkLogs;
TapWriter writer;
JournalCache journals;
bool networkReady = false;
bool trustStorage = false;
int exitStatus = -1;
std::atomic<int64_t> init{0};
std::atomic<int32_t> count{0};
