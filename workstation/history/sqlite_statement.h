// What the history's SQLite code shares: a compiled statement that finalizes
// itself, and a history row or a minute's totals read from a statement's
// current result.
// Internal to the history library.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include <sqlite3.h>

#include "history.h"

namespace pondrel {

struct StatementCloser {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

// `sql` compiled, or null (sqlite3_errmsg says why).
inline Statement prepared(sqlite3* db, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    return Statement(raw);
}

// `path` as an SQLite URI ("file:" and the absolute path, with the
// characters a URI gives a meaning escaped), for the query to follow.
inline std::string file_uri(const std::string& path) {
    std::string uri = "file:";
    for (const char c : std::filesystem::absolute(path).string()) {
        if (c == '?' || c == '#' || c == '%') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            uri += escaped;
        } else {
            uri += c;
        }
    }
    return uri;
}

// The row of a statement whose columns are id, data_id, type_code, saved_at, record.
inline void read_row(sqlite3_stmt* statement, History::Row& row) {
    row.id = sqlite3_column_int64(statement, 0);
    row.data_id = sqlite3_column_int64(statement, 1);
    row.type_code = sqlite3_column_int(statement, 2);
    const unsigned char* saved_at = sqlite3_column_text(statement, 3);
    row.saved_at = saved_at != nullptr ? reinterpret_cast<const char*>(saved_at) : "";
    const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(statement, 4));
    row.record.assign(bytes, bytes + sqlite3_column_bytes(statement, 4));
    row.meter.clear();
    row.utc_offset_s.reset();
    if (sqlite3_column_count(statement) >= 7) {
        const unsigned char* meter = sqlite3_column_text(statement, 5);
        if (meter != nullptr) row.meter = reinterpret_cast<const char*>(meter);
        if (sqlite3_column_type(statement, 6) == SQLITE_INTEGER) row.utc_offset_s = sqlite3_column_int(statement, 6);
    }
    row.saved_ms = 0;
    if (sqlite3_column_count(statement) >= 8 && sqlite3_column_type(statement, 7) == SQLITE_INTEGER) {
        const int ms = sqlite3_column_int(statement, 7);
        row.saved_ms = ms >= 0 && ms < 1000 ? ms : 0;  // a tampered value counts as none
    }
}

// The totals of a minute from columns `at`... of a statement: rounds,
// first_row, last_row, voltage_min, voltage_max, voltage_sum, circuits.
// False when its circuits are not what they should be.
inline bool read_minute(sqlite3_stmt* statement, int at, MinuteTotals& totals) {
    totals.rounds = sqlite3_column_int64(statement, at);
    totals.first_row = sqlite3_column_int64(statement, at + 1);
    totals.last_row = sqlite3_column_int64(statement, at + 2);
    totals.voltage_min = sqlite3_column_double(statement, at + 3);
    totals.voltage_max = sqlite3_column_double(statement, at + 4);
    totals.voltage_sum = sqlite3_column_double(statement, at + 5);
    return totals.set_circuits(static_cast<const unsigned char*>(sqlite3_column_blob(statement, at + 6)),
                               static_cast<std::size_t>(sqlite3_column_bytes(statement, at + 6)));
}

}  // namespace pondrel
