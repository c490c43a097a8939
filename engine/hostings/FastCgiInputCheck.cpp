#include "engine/hostings/FastCgiInputCheck.h"

#include <algorithm>

#include "platform/Text.h"

namespace {

// The record types the check looks into.
constexpr unsigned char BeginRequestRecord = 1;
constexpr unsigned char ParamsRecord = 4;
constexpr unsigned char StdinRecord = 5;
constexpr unsigned char GetValuesRecord = 9;
constexpr unsigned char ProtocolVersion = 1;
constexpr uint32_t BeginRequestBodyBytes = 8;
// Management records carry this request id.
constexpr uint16_t NullRequestId = 0;
// The parameter whose value says how long the body is, and the longest
// value kept of it (a longer one is no length the engine would read).
constexpr char ContentLengthName[] = "CONTENT_LENGTH";
constexpr uint32_t ContentLengthNameBytes = sizeof ContentLengthName - 1;
constexpr size_t MaxContentLengthBytes = 64;

}  // namespace

void FastCgiInputCheck::Pairs::Watch(unsigned char byte) {
    uint64_t at = pairLength_ - dataLeft_;
    if (at < nameLength_) {
        if (byte != static_cast<unsigned char>(ContentLengthName[at])) matching_ = false;
    } else if (contentLength_.size() < MaxContentLengthBytes) {
        contentLength_ += static_cast<char>(byte);
    } else {
        contentLengthTooLong_ = true;
    }
}

bool FastCgiInputCheck::Pairs::Take(unsigned char byte) {
    if (++used_ > limit_) return false;
    if (stage_ == Stage::Data) {
        if (matching_) Watch(byte);
        if (--dataLeft_ == 0) {
            stage_ = Stage::NameLength;
            if (matching_) contentLengthFound_ = true;
            matching_ = false;
        }
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
    pairLength_ = static_cast<uint64_t>(nameLength_) + length_;
    dataLeft_ = pairLength_;
    if (used_ + dataLeft_ > limit_) return false;
    matching_ = watching_ && !contentLengthFound_ && nameLength_ == ContentLengthNameBytes;
    if (matching_) contentLength_.clear();
    if (dataLeft_ > 0) {
        stage_ = Stage::Data;
    } else {
        stage_ = Stage::NameLength;
        matching_ = false;
    }
    return true;
}

int32_t FastCgiInputCheck::ContentLength() const {
    int32_t n = 0;
    if (!params_.HasContentLength() || !text::TryStrToInt(params_.ContentLength(), n) || n < 0) return 0;
    return n;
}

bool FastCgiInputCheck::StartRecord() {
    if (header_[0] != ProtocolVersion) return false;
    type_ = header_[1];
    uint16_t id = static_cast<uint16_t>((header_[2] << 8) | header_[3]);
    contentLeft_ = static_cast<uint32_t>((header_[4] << 8) | header_[5]);
    paddingLeft_ = header_[6];
    checkingValues_ = false;
    inBody_ = false;
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
    case StdinRecord:
        if (requestBegun_ && id == requestId_ && !requestEnded_) {
            // The library reads the body only once the parameters are in.
            if (paramsOpen_) return false;
            inBody_ = contentLeft_ > 0;
            endsBody_ = contentLeft_ == 0;
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

// A record's content and padding are all taken.
void FastCgiInputCheck::EndRecord() {
    if (endsBody_) requestEnded_ = true;
    endsBody_ = false;
}

size_t FastCgiInputCheck::Feed(const unsigned char* bytes, size_t count, bool stopAtRequestEnd) {
    size_t at = 0;
    while (!failed_ && at < count && !(stopAtRequestEnd && requestEnded_)) {
        if (contentLeft_ > 0 && (type_ == ParamsRecord || checkingValues_)) {
            if (!TakeContent(bytes[at])) failed_ = true;
            --contentLeft_;
            ++at;
        } else if (contentLeft_ > 0 || paddingLeft_ > 0) {
            // Content the library judges for itself, and padding.
            bool content = contentLeft_ > 0;
            uint32_t& left = content ? contentLeft_ : paddingLeft_;
            size_t skip = std::min<size_t>(left, count - at);
            left -= static_cast<uint32_t>(skip);
            at += skip;
            if (content && inBody_) bodyBytes_ += skip;
        } else {
            header_[headerHave_++] = bytes[at++];
            if (headerHave_ == sizeof header_) {
                headerHave_ = 0;
                if (!StartRecord()) failed_ = true;
            }
        }
        if (!failed_ && headerHave_ == 0 && contentLeft_ == 0 && paddingLeft_ == 0) EndRecord();
    }
    return at;
}
