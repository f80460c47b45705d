// The kinds of tap the audit tells apart, as the card records and the fare
// rules tell them: an entry by the fare it took, an exit by the entry of
// its trip; and which id each kind's log line carries.
#pragma once

#include <cstdint>

#include "core/records.h"

// The kinds of tap, as the records and the fare rules tell them apart.
enum class TapKind {
  kNewRide,            // an entry that starts a trip (the new-ride fare)
  kTransfer,           // an entry by transfer from the other vehicle (free)
  kExit,               // an exit from a trip begun at a reader
  kExitAfterTransfer,  // an exit from a trip begun by transfer
  kSettlement,         // an entry that settles a trip left open (a flat fare)
};
constexpr int kTapKinds = 5;

// The name of a kind of tap, as the outputs give it ("new_ride", ...).
const char* tapKindName(TapKind kind);

// The kind of a tap in direction `inOut` ("IN" or "OUT") that took `fare`;
// an exit ends a trip whose entry was free (a transfer) when `enteredFree`.
TapKind kindOf(const char* inOut, int64_t fare, bool enteredFree);

// Whether `before` is an entry that took nothing from `older`'s balance: a
// transfer, the only free entry.
bool freeEntry(const CardRecord& older, const CardRecord& before);

// The kind of the tap `now`, made after `before` and `older` (the record
// before that), that took `fare`. An entry tells its kind by its fare; an
// exit ends the trip its latest entry began, a transfer if that was free.
TapKind tapKindOf(const CardRecord& older, const CardRecord& before, const CardRecord& now,
                  int64_t fare);

// Whether a tap of `kind` logs the id of the tap it continues (a transfer,
// and the exit after one) rather than its own.
bool logsPreviousId(TapKind kind);

// Whether `now` repeats `before` in every field but the balance (tap ids
// compared without the CR an older record keeps), as a record the office
// appends does.
bool repeatsButBalance(const CardRecord& before, const CardRecord& now);
