// Packed local times converted to calendar time an hour at a time, for a
// run over millions of records: the start of each hour is converted once
// and kept, and a time within an hour of even length is its start and its
// minutes and seconds, as makeTime would give it. Held by the run that
// converts, never shared between runs or threads.
#pragma once

#include <cstdint>
#include <vector>

// The hours converted so far, in a table made by makeLocalHours.
struct LocalHours {
  struct Hour {
    int64_t key = -1;   // the packed hour, YYYYMMDDhh; -1 for none yet
    int64_t start = 0;  // makeTime of its first second
    bool even = false;  // the next hour starts 3600 s later: no clock change within it
  };
  std::vector<Hour> hours;  // by a hash of the hour
};

// A table with room for about two years of hours.
LocalHours makeLocalHours();

// makeTime(packed), in the process's local zone as it is for the whole run:
// through the table for a time whose minutes and seconds are each below 60
// in an hour with no clock change, by makeTime itself otherwise.
int64_t calendarTime(LocalHours* hours, int64_t packed);
