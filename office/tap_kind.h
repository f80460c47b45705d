// The kinds of tap (TapKind, which the readers' rules name for each tap
// they accept), as the outputs name them; a kind told from a record or a
// line alone, where the rules cannot tell it (a tap they give otherwise, a
// line no record tells): an entry by the fare it took, an exit by the entry
// of its trip; and the coarser kinds ridership is counted by.
#pragma once

#include <cstdint>

#include "core/records.h"

// The name of a kind of tap, as the outputs give it ("new_ride", ...).
const char* tapKindName(TapKind kind);

// The kind of a tap in direction `inOut` ("IN" or "OUT") that took `fare`,
// as the fare tells it; an exit ends a trip whose entry was free (a
// transfer) when `enteredFree`.
TapKind kindOf(const char* inOut, int64_t fare, bool enteredFree);

// Whether `before` is an entry that took nothing from `older`'s balance: a
// transfer, the only free entry.
bool freeEntry(const CardRecord& older, const CardRecord& before);

// The kind of the tap `now`, made after `before` and `older` (the record
// before that), that took `fare`. An entry tells its kind by its fare; an
// exit ends the trip its latest entry began, a transfer if that was free.
TapKind tapKindOf(const CardRecord& older, const CardRecord& before, const CardRecord& now,
                  int64_t fare);

// How a passenger went through a reader, as ridership counts taps: into a
// vehicle for a new ride, out of one, into one by transfer, or into one
// settling a trip left open.
enum class RideKind {
  kEntry,
  kExit,
  kTransfer,
  kSettlement,
};
constexpr int kRideKinds = 4;

// The name of a kind of ride, as the outputs give it ("entry", ...).
const char* rideKindName(RideKind kind);

// The kind of ride a tap of `kind` is: both kinds of exit are exits.
// Inline: the audit asks it of every tap.
constexpr RideKind rideKindOf(TapKind kind) {
  switch (kind) {
    case TapKind::kNewRide:
      return RideKind::kEntry;
    case TapKind::kTransfer:
      return RideKind::kTransfer;
    case TapKind::kExit:
    case TapKind::kExitAfterTransfer:
      return RideKind::kExit;
    case TapKind::kSettlement:
      return RideKind::kSettlement;
  }
  return RideKind::kEntry;
}

// Whether `now` repeats `before` in every field but the balance (tap ids
// compared without the CR an older record keeps), as a record the office
// appends does.
bool repeatsButBalance(const CardRecord& before, const CardRecord& now);
