// Building the outcome of a tap. Both rule sets' fare entries build their
// results here, so every accepted tap is charged, stamped and numbered the
// same way, and a refusal never carries anything that could be written.
#pragma once

#include <cstdint>

#include "core/records.h"

// Which tap id an accepted tap gives the reader log: the newly issued one,
// or the card's previous one, which ties a transfer to the trip it continues.
enum class LogId { kNewId, kPreviousId };

// An accepted tap: charges `fare` (never negative) to the card, stamps the
// current time and issues a new tap id from readerID and the raised count.
// A charge that would take the balance below the smallest balance a card
// can hold is refused instead. A card whose path or previous id cannot be
// held gets no fare entry at all (intake never lets such a card through).
TapResult acceptTap(const CardData& card, int32_t fare, const char* mode, const char* inOut,
                    LogId logId);

// A tap refused for want of balance: the balance unchanged, nothing to write.
TapResult refuseTap(const CardData& card);

// The result of a tap that no fare entry settled: nothing to show or write.
TapResult noFareEntry();
