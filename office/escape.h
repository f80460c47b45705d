// How the audit shows what it read: a file name whole, a line of a file cut
// short, each with control bytes and bytes past ASCII escaped, so that every
// report, in every format, is plain ASCII text.
#pragma once

#include <cstddef>
#include <string>

// The longest part of a line that a report shows; a line longer than this
// is shown cut, followed by "...".
constexpr size_t kShownLineBytes = 60;

// A name as it can be shown, whole: control bytes and bytes past ASCII
// escaped as \xNN; a name without any is returned as it is.
std::string shownName(const std::string& name);

// A line of a file as a detail quotes it: printable, without the CR LF (or
// the CR) that ends it, in double quotes.
std::string quotedLine(const std::string& line);

// A line of a file as it can be shown: escaped as shownName does, and cut
// to its first 60 bytes, followed by "...", when it is longer.
std::string printable(const std::string& line);
