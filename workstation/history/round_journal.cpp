#include "round_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/crc.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>

namespace pondrel {

namespace {

constexpr char kMagic[8] = {'P', 'N', 'D', 'R', 'J', 'R', 'N', '1'};
constexpr std::size_t kHeader = 16;
constexpr std::size_t kFixed = 4 + 4 + 8 + 4 + 1 + 2;  // before the meter's and the record's bytes
constexpr std::size_t kMaxPayload = kFixed + kMaxMeterBytes + kMaxRecordBytes;

const boost::posix_time::ptime kEpoch(boost::gregorian::date(1970, 1, 1));

void put(std::vector<unsigned char>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

std::uint64_t get(const unsigned char* in, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | in[i];
    return value;
}

std::uint32_t crc_of(const unsigned char* data, std::size_t size) {
    boost::crc_32_type crc;
    crc.process_bytes(data, size);
    return crc.checksum();
}

// A journal's number, drawn when it is made or emptied, and the header that names it.
std::uint64_t new_id() {
    std::random_device random;
    return (static_cast<std::uint64_t>(random()) << 32 | random()) & 0x7fffffffffffffffULL;
}

std::vector<unsigned char> header_of(std::uint64_t id) {
    std::vector<unsigned char> header(kMagic, kMagic + sizeof kMagic);
    put(header, id, 8);
    return header;
}

std::runtime_error failure(const std::string& path, const char* doing) {
    return std::runtime_error("cannot " + std::string(doing) + " journal " + path + ": " + std::strerror(errno));
}

}  // namespace

RoundJournal::RoundJournal(std::string path, std::int64_t reserve_bytes) : path_(std::move(path)) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) throw failure(path_, "open");
    struct stat info {};
    if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd_);
        throw std::runtime_error("journal " + path_ + " is not a regular file");
    }
    std::vector<unsigned char> all(static_cast<std::size_t>(info.st_size));
    std::size_t have = 0;
    while (have < all.size()) {
        const ssize_t n = ::pread(fd_, all.data() + have, all.size() - have, static_cast<off_t>(have));
        if (n <= 0) break;
        have += static_cast<std::size_t>(n);
    }
    all.resize(have);
    if (all.size() < kHeader) {
        // New, or cut short while it was made: nothing in it yet.
        create();
        reserve(reserve_bytes);
        return;
    }
    if (std::memcmp(all.data(), kMagic, sizeof kMagic) != 0) {
        ::close(fd_);
        throw std::runtime_error("journal " + path_ + " is not a pondrel journal; not touching it");
    }
    id_ = get(all.data() + 8, 8);
    std::size_t at = kHeader;
    while (at + 8 <= all.size()) {
        const std::size_t size = get(all.data() + at, 4);
        if (size < kFixed || size > kMaxPayload || at + 8 + size > all.size()) break;
        const unsigned char* payload = all.data() + at + 4;
        if (get(payload + size, 4) != crc_of(payload, size)) break;
        const std::size_t meter_length = payload[20];
        if (kFixed + meter_length > size) break;
        const std::size_t length = get(payload + 21 + meter_length, 2);
        if (kFixed + meter_length + length != size) break;
        JournalEntry entry;
        entry.data_id = static_cast<std::uint32_t>(get(payload, 4));
        entry.type_code = static_cast<int>(static_cast<std::int32_t>(get(payload + 4, 4)));
        entry.saved_at = kEpoch + boost::posix_time::microseconds(static_cast<std::int64_t>(get(payload + 8, 8)));
        entry.utc_offset_s = static_cast<int>(static_cast<std::int32_t>(get(payload + 16, 4)));
        entry.meter.assign(reinterpret_cast<const char*>(payload + 21), meter_length);
        const unsigned char* record = payload + 21 + meter_length + 2;
        entry.record.assign(record, record + length);
        opened_with_.push_back(std::move(entry));
        at += 8 + size;
    }
    // A torn entry from a kill ends the journal: its bytes are zeroed, and
    // what follows is appended where it began. The reserve beyond stays.
    std::size_t end = all.size();
    while (end > at && all[end - 1] == 0) --end;
    if (end > at && !zero(static_cast<std::int64_t>(at), static_cast<std::int64_t>(end))) {
        const std::runtime_error error = failure(path_, "clear the torn end of");
        ::close(fd_);
        throw error;
    }
    entries_ = static_cast<std::int64_t>(opened_with_.size());
    bytes_ = static_cast<std::int64_t>(at);
    reserve(reserve_bytes);
}

bool RoundJournal::zero(std::int64_t from, std::int64_t to) {
    static const std::vector<unsigned char> zeros(64 * 1024, 0);
    for (std::int64_t at = from; at < to;) {
        const auto size = static_cast<std::size_t>(std::min<std::int64_t>(to - at, static_cast<std::int64_t>(zeros.size())));
        const ssize_t n = ::pwrite(fd_, zeros.data(), size, static_cast<off_t>(at));
        if (n <= 0) return false;
        at += n;
    }
    return true;
}

void RoundJournal::reserve(std::int64_t bytes) {
    struct stat info {};
    if (bytes <= 0 || fstat(fd_, &info) != 0) {
        reserved_ = 0;
        return;
    }
    // Allocated, not only sized: a sparse file would still need the disk later.
    if (static_cast<std::int64_t>(info.st_blocks) * 512 >= bytes && info.st_size >= bytes) {
        reserved_ = bytes;
        return;
    }
    if (const int error = ::posix_fallocate(fd_, 0, static_cast<off_t>(bytes)); error != 0) {
        reserve_error_ = std::strerror(error);
        reserved_ = 0;
        return;
    }
    reserved_ = bytes;
}

RoundJournal::~RoundJournal() {
    if (fd_ >= 0) ::close(fd_);
}

void RoundJournal::create() {
    id_ = new_id();
    const std::vector<unsigned char> header = header_of(id_);
    if (ftruncate(fd_, 0) != 0 || ::pwrite(fd_, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size()) ||
        fdatasync(fd_) != 0) {
        const std::runtime_error error = failure(path_, "write");
        ::close(fd_);
        fd_ = -1;
        throw error;
    }
    entries_ = 0;
    bytes_ = kHeader;
}

void RoundJournal::append(const JournalEntry& entry) {
    if (fd_ < 0) throw std::runtime_error("journal " + path_ + " is closed");
    std::vector<unsigned char> payload;
    put(payload, entry.data_id, 4);
    put(payload, static_cast<std::uint32_t>(entry.type_code), 4);
    put(payload, static_cast<std::uint64_t>((entry.saved_at - kEpoch).total_microseconds()), 8);
    put(payload, static_cast<std::uint32_t>(entry.utc_offset_s), 4);
    put(payload, entry.meter.size(), 1);
    payload.insert(payload.end(), entry.meter.begin(), entry.meter.end());
    put(payload, entry.record.size(), 2);
    payload.insert(payload.end(), entry.record.begin(), entry.record.end());
    std::vector<unsigned char> frame;
    put(frame, payload.size(), 4);
    frame.insert(frame.end(), payload.begin(), payload.end());
    put(frame, crc_of(payload.data(), payload.size()), 4);
    const ssize_t n = ::pwrite(fd_, frame.data(), frame.size(), static_cast<off_t>(bytes_));
    if (n != static_cast<ssize_t>(frame.size())) {
        if (n >= 0) errno = ENOSPC;
        const std::runtime_error error = failure(path_, "append to");
        if (n > 0 && !zero(bytes_, bytes_ + n)) {
            // The torn entry fails its CRC and is cleared at the next open.
        }
        throw error;
    }
    bytes_ += static_cast<std::int64_t>(frame.size());
    ++entries_;
}

void RoundJournal::sync() {
    if (fd_ >= 0) fdatasync(fd_);
}

void RoundJournal::reset() {
    // Emptied in place, keeping its reserve: entries beyond it are cut off
    // and those within zeroed first, then the new id is written, so that a
    // kill in between leaves no entry under the new id.
    const std::int64_t keep = std::max<std::int64_t>(reserved_, kHeader);
    if ((bytes_ > keep && ftruncate(fd_, static_cast<off_t>(keep)) != 0) || !zero(kHeader, std::min(bytes_, keep)) ||
        fdatasync(fd_) != 0) {
        throw failure(path_, "empty");
    }
    const std::uint64_t id = new_id();
    const std::vector<unsigned char> header = header_of(id);
    if (::pwrite(fd_, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size()) || fdatasync(fd_) != 0) {
        throw failure(path_, "write");
    }
    id_ = id;
    entries_ = 0;
    bytes_ = kHeader;
}

}  // namespace pondrel
