// Telling the kind of a tap from its records and the fares of both rule
// sets.
#include "office/tap_kind.h"

#include <cstring>

#include "bus/fares.h"
#include "core/card_file.h"
#include "subway/fares.h"

const char* tapKindName(TapKind kind) {
  switch (kind) {
    case TapKind::kNewRide:
      return "new_ride";
    case TapKind::kTransfer:
      return "transfer";
    case TapKind::kExit:
      return "exit";
    case TapKind::kExitAfterTransfer:
      return "exit_after_transfer";
    case TapKind::kSettlement:
      return "settlement";
  }
  return "unknown";
}

TapKind kindOf(const char* inOut, int64_t fare, bool enteredFree) {
  if (strcmp(inOut, "IN") == 0) {
    if (fare == subway::kTransferFare || fare == bus::kTransferFare) return TapKind::kTransfer;
    // The flat fares that settle a trip left open, in either rule set.
    if (fare == kOpenSubwayFare || fare == kOpenBusToSubwayFare || fare == kOpenSubwayToBusFare) {
      return TapKind::kSettlement;
    }
    return TapKind::kNewRide;
  }
  return enteredFree ? TapKind::kExitAfterTransfer : TapKind::kExit;
}

bool freeEntry(const CardRecord& older, const CardRecord& before) {
  return strcmp(before.inOut, "IN") == 0 && older.balance == before.balance;
}

TapKind tapKindOf(const CardRecord& older, const CardRecord& before, const CardRecord& now,
                  int64_t fare) {
  return kindOf(now.inOut, fare, freeEntry(older, before));
}

bool repeatsButBalance(const CardRecord& before, const CardRecord& now) {
  return before.time == now.time && strcmp(before.mode, now.mode) == 0 &&
         strcmp(before.inOut, now.inOut) == 0 && bareTapId(before.tapId) == bareTapId(now.tapId);
}

const char* rideKindName(RideKind kind) {
  switch (kind) {
    case RideKind::kEntry:
      return "entry";
    case RideKind::kExit:
      return "exit";
    case RideKind::kTransfer:
      return "transfer";
    case RideKind::kSettlement:
      return "settlement";
  }
  return "unknown";
}
