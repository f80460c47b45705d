// Appends that survive their writer. A writer appends to a card or a log
// under the file's lock and leaves a note beside it (<file>.pending) saying
// where its append starts and what it writes. A writer killed part-way can
// leave only the first part of a record (the kernel copies a write page by
// page, and stops between pages for a kill); its note stays behind, and the
// next process to lock the file finishes the append from it. A write cut
// short while the writer lives (a full disk) is taken back at once.
#pragma once

#include <string>

// Opens `path` for appending, creating it only if `create`, takes its
// exclusive lock and finishes an append a killed writer left unfinished.
// Returns the descriptor, or -1 if the file cannot be opened.
int openLockedForAppend(const char* path, bool create);

// Appends `bytes` to the locked file `fd` at `path` in one write, with its
// note beside it. Returns false, with the file as it was, when the write
// is not whole.
bool appendWithNote(int fd, const char* path, const std::string& bytes);

// Flushes the file to disk and removes its note. Returns whether the flush
// succeeded.
bool settleAppend(int fd, const char* path);

// Finishes an append a killed writer left unfinished in the file at
// `path`, if its note says there is one.
void finishInterruptedAppend(const char* path);
