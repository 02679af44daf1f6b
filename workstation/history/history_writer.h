// Keeps polling going while the history cannot take a record: each record
// goes to the history at once when it can, else it waits in memory, in order,
// and is written before any later one as soon as the history takes records
// again (flush() after each round). At most kMaxWaiting records wait; beyond
// that the oldest are dropped, with a warning. State changes (history
// unavailable, available again, records dropped) are reported once each, as
// one line to `report`. One thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "history.h"
#include "report.h"
#include "record_store.h"

namespace pondrel {

class HistoryWriter : public RecordStore {
public:
    static constexpr std::size_t kMaxWaiting = 10000;
    static constexpr std::size_t kMaxRecordBytes = 256;

    // `history` must outlive this object.
    HistoryWriter(History& history, Report report);

    // Never throws for a history that refuses the record: it waits instead,
    // as does every record while others wait.
    void append(std::uint32_t data_id, int type_code, boost::posix_time::ptime saved_at,
                const unsigned char* record, unsigned int len) override;
    // Writes waiting records, oldest first, until one is refused.
    void flush();
    // At the end: waits for the history as long as at start-up, writes what
    // waits, and returns how many records remain unstored.
    std::size_t finish();
    std::size_t waiting() const { return waiting_.size(); }

private:
    struct Waiting {
        std::uint32_t data_id;
        int type_code;
        boost::posix_time::ptime saved_at;
        unsigned int len;
        std::array<unsigned char, kMaxRecordBytes> bytes;
    };
    bool write(std::uint32_t data_id, int type_code, boost::posix_time::ptime saved_at, const unsigned char* record,
               unsigned int len);

    History& history_;
    Report report_;
    std::deque<Waiting> waiting_;
    bool unavailable_ = false;
    bool dropping_ = false;
};

}  // namespace pondrel
