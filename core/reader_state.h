// The reader's process-wide state, all of it: what each variable holds, who
// writes it and who reads it. Only init and count are shared by two
// threads, the tap loop and the operating period timer; the rest belong to
// the tap loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/card_transaction.h"
#include "core/records.h"

// This reader's identity: "S1" ... "S5" or "B". Written once, at start-up
// (startReader); read by the trip state and the stamp of every tap.
extern char readerID[kReaderIdWidth];

// The path of this reader's log. Written once, at start-up; read by the
// messages that name it.
extern char readerTxt[kReaderTxtWidth];

// The path the reader was started in: its network directory, looked at
// again when a tap finds no card or a file system that lost its files, so
// that a file system mounted there since (late, or again after its client
// ended) serves the next tap (followNetworkDirectory). Written once, at
// start-up; read by intake's failure path.
extern std::string networkPath;

// The path of the presented card's file. Written by intake on every tap;
// read by the trip state derivation.
extern char name[kNameWidth];

// The presented card's last two records, older first. Written by intake on
// every tap; read by the trip state derivation.
extern CardRecord ud[2];

// The logs of the network's writers (the six readers and the office),
// whose journals intake reads when it holds a card. Written once, at
// start-up; read by intake.
extern std::vector<std::string> networkLogs;

// The network's journals, open between taps. Written and read by intake
// (holdCard).
extern JournalCache journals;

// This reader's log and journal, open between taps, and its last tap until
// that is flushed. Opened by the first recording; written by recording and
// by the pause after every tap (finishTap).
extern TapWriter writer;

// Whether the network directory has been found there, on a file system that
// serves cards as they are, and the taps left in flight when the reader
// started have been settled: at start-up, or by the first intake that finds
// it there (checkNetwork). Written and read by checkNetwork.
extern bool networkReady;

// The status the reader ends with, -1 while it runs: set when its console
// input ends (by intake) or when the network directory is one it may not
// record in (by checkNetwork). Read by the tap loop, which then returns it
// from the reader's main.
extern int exitStatus;

// Whether the file system is trusted without a look (only programs that
// test the readers on a file system made wrong on purpose set it). Written
// before start-up; read by checkNetwork.
extern bool trustStorage;

// When the current operating period began, in calendar seconds. Written by
// the timer thread (periodTick); read by the trip state derivation.
extern std::atomic<int64_t> init;

// How many tap ids the current period has issued. Set back to 0 by the
// timer thread; raised by the tap transaction for each accepted tap
// (claimTapNumber).
extern std::atomic<int32_t> count;
