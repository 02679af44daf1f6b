// The history as the outbox of a destination (an MQTT broker): the rows
// stored after the last one the destination acknowledged, in storing order,
// and that row's id, kept durably in the history's `published` table so that
// a restart resumes where the destination left off. A destination seen for
// the first time starts after the newest row: the rows stored before it was
// configured are not sent.
// Its own connection to the history, so it reads while rounds are stored;
// one thread (the publisher's).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history.h"

struct sqlite3;

namespace pondrel {

class Outbox {
public:
    // Throws std::runtime_error naming the history and the reason.
    Outbox(const std::string& history_path, std::string destination);
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // The last row the destination acknowledged.
    std::int64_t acknowledged() const { return acknowledged_; }
    // Stores a later acknowledged row. Throws when it cannot.
    void acknowledge(std::int64_t round_id);
    // At most `limit` rows after `after`, in storing order.
    std::vector<History::Row> rows_after(std::int64_t after, int limit);
    // The record of `data_id`'s newest row at or before `round_id`.
    std::optional<std::vector<unsigned char>> record_at_or_before(std::uint32_t data_id, std::int64_t round_id);
    // How many rows wait after the acknowledged one.
    std::int64_t waiting();

private:
    [[noreturn]] void fail(const char* doing) const;
    std::string path_;
    std::string destination_;
    sqlite3* db_ = nullptr;
    std::int64_t acknowledged_ = 0;
};

}  // namespace pondrel
