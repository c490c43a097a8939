#include "engine/hostings/FastCgiInputCheck.h"

#include <algorithm>

namespace {

// The record types the check looks into.
constexpr unsigned char BeginRequestRecord = 1;
constexpr unsigned char ParamsRecord = 4;
constexpr unsigned char GetValuesRecord = 9;
constexpr unsigned char ProtocolVersion = 1;
constexpr uint32_t BeginRequestBodyBytes = 8;
// Management records carry this request id.
constexpr uint16_t NullRequestId = 0;

}  // namespace

bool FastCgiInputCheck::Pairs::Take(unsigned char byte) {
    if (++used_ > limit_) return false;
    if (stage_ == Stage::Data) {
        if (--dataLeft_ == 0) stage_ = Stage::NameLength;
        return true;
    }
    // A length: one byte below 128, or four bytes with the top bit set.
    if (lengthBytesLeft_ == 0 && (byte & 0x80)) {
        length_ = byte & 0x7f;
        lengthBytesLeft_ = 3;
        return true;
    }
    if (lengthBytesLeft_ == 0) {
        length_ = byte;
    } else {
        length_ = (length_ << 8) | byte;
        if (--lengthBytesLeft_ > 0) return true;
    }
    if (stage_ == Stage::NameLength) {
        nameLength_ = length_;
        stage_ = Stage::ValueLength;
        return true;
    }
    ++count_;
    dataLeft_ = static_cast<uint64_t>(nameLength_) + length_;
    if (used_ + dataLeft_ > limit_) return false;
    stage_ = dataLeft_ > 0 ? Stage::Data : Stage::NameLength;
    return true;
}

bool FastCgiInputCheck::StartRecord() {
    if (header_[0] != ProtocolVersion) return false;
    type_ = header_[1];
    uint16_t id = static_cast<uint16_t>((header_[2] << 8) | header_[3]);
    contentLeft_ = static_cast<uint32_t>((header_[4] << 8) | header_[5]);
    paddingLeft_ = header_[6];
    checkingValues_ = false;
    // The library answers a management record of another type, and keeps
    // 48 bytes of it for good: no web server sends one.
    if (id == NullRequestId && type_ != GetValuesRecord) return false;
    switch (type_) {
    case BeginRequestRecord:
        // The library reads the padding of the record that begins its request
        // as the next record: none is allowed (a web server sends none, the
        // body being eight bytes).
        if (contentLeft_ != BeginRequestBodyBytes || paddingLeft_ != 0) return false;
        // The library serves the first request begun; it declines the others.
        if (!requestBegun_) {
            requestBegun_ = true;
            requestId_ = id;
            paramsOpen_ = true;
        }
        return true;
    case ParamsRecord:
        if (!requestBegun_ || id != requestId_ || !paramsOpen_) return false;
        if (contentLeft_ == 0) {
            // The empty record closes the parameters, after a whole pair; the
            // library reads its padding as the next record, so it has none.
            paramsOpen_ = false;
            return paddingLeft_ == 0 && params_.BetweenPairs();
        }
        return true;
    case GetValuesRecord:
        if (id == NullRequestId) {
            checkingValues_ = true;
            values_ = Pairs(contentLeft_);
        }
        return true;
    default:
        return true;
    }
}

bool FastCgiInputCheck::TakeContent(unsigned char byte) {
    if (type_ == ParamsRecord) return params_.Take(byte);
    if (!values_.Take(byte) || values_.Count() > MaxFastCgiValuesAsked) return false;
    // The pairs end with the record.
    return contentLeft_ > 1 || values_.BetweenPairs();
}

bool FastCgiInputCheck::Take(const unsigned char* bytes, size_t count) {
    size_t at = 0;
    while (!failed_ && at < count) {
        if (contentLeft_ > 0 && (type_ == ParamsRecord || checkingValues_)) {
            if (!TakeContent(bytes[at])) failed_ = true;
            --contentLeft_;
            ++at;
        } else if (contentLeft_ > 0 || paddingLeft_ > 0) {
            // Content the library judges for itself, and padding.
            uint32_t& left = contentLeft_ > 0 ? contentLeft_ : paddingLeft_;
            size_t skip = std::min<size_t>(left, count - at);
            left -= static_cast<uint32_t>(skip);
            at += skip;
        } else {
            header_[headerHave_++] = bytes[at++];
            if (headerHave_ == sizeof header_) {
                headerHave_ = 0;
                if (!StartRecord()) failed_ = true;
            }
        }
    }
    return !failed_;
}
