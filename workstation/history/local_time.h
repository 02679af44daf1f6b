// Local times of the history, stored as "YYYY-MM-DDTHH:MM:SS" without an
// offset, turned into instants and into ISO 8601 with the offset this machine
// had then (its time zone rules decide an ambiguous hour).
#pragma once

#include <ctime>
#include <optional>
#include <string>

namespace pondrel {

// The instant of a stored local time; nothing for a malformed text.
std::optional<std::time_t> instant_of_local(const std::string& saved_at);
// "2026-12-10T13:20:05+08:00".
std::string iso_with_offset(std::time_t instant);
// "YYYY-MM-DD", "YYYY-MM-DDTHH:MM[:SS]" (local time) or the same followed by
// "Z" or "+HH:MM"/"-HH:MM"; a space may stand for the "T". Nothing when
// malformed.
std::optional<std::time_t> parse_time_argument(const std::string& text);

// The instant of a stored local time: at its stored UTC offset when the row
// has one, else as this machine's local time then.
std::optional<std::time_t> instant_of_stored(const std::string& saved_at, std::optional<int> utc_offset_s);
// "YYYY-MM-DDTHH:MM:SS+HH:MM" of `instant` at `utc_offset_s`.
std::string iso_at_offset(std::time_t instant, int utc_offset_s);

}  // namespace pondrel
