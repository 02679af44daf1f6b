// Where the workstation host keeps the records its devices store: the
// history, or a test's stand-in for it.
#pragma once

#include <cstdint>

#include <boost/date_time/posix_time/ptime.hpp>

namespace pondrel {

class RecordStore {
public:
    virtual ~RecordStore() = default;
    // Stores `len` bytes of a record of `type_code`, saved at local time
    // `saved_at`, for the device `data_id`. Throws std::runtime_error when
    // the record cannot be stored.
    virtual void append(std::uint32_t data_id, int type_code, boost::posix_time::ptime saved_at,
                        const unsigned char* record, unsigned int len) = 0;
};

}  // namespace pondrel
