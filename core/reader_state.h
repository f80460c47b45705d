// The reader's process-wide state, all of it: what each variable holds, who
// writes it and who reads it. Only init and count are shared by two
// threads, the tap loop and the operating period timer; the rest belong to
// the tap loop.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/card_transaction.h"
#include "core/records.h"

// This reader's identity: "S1" ... "S5" or "B". Written once, at start-up
// (startReader); read by the tap transaction, for the trip state and the
// stamp of every tap.
extern char readerID[kReaderIdWidth];

// The path of this reader's log. Written once, at start-up; read by the
// writer, and by intake to settle this reader's own journal.
extern char readerTxt[kReaderTxtWidth];

// The path of the presented card's file. Written by intake on every tap;
// read by the trip state derivation (arrangeCardData).
extern char name[kNameWidth];

// The presented card's last two records, older first. Written by intake on
// every tap; read by the trip state derivation.
extern CardRecord ud[2];

// The presented card, open and locked for the tap. Held by intake; the
// writer records the tap through it; the tap transaction lets go of it.
extern HeldCard heldCard;

// When the current operating period began, in calendar seconds. Written by
// the timer thread (periodTick); read by the trip state derivation.
extern std::atomic<int64_t> init;

// How many tap ids the current period has issued. Set back to 0 by the
// timer thread; raised by the tap transaction for each accepted tap
// (claimTapNumber).
extern std::atomic<int32_t> count;
