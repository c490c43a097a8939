// The bytes a FastCGI peer sends, checked before the FastCGI library reads
// them. libfcgi trusts the lengths it is sent: a name-value pair whose
// lengths add up past 2^31 makes it allocate a negative size and write
// through the null it gets back; any pair makes it allocate what the pair
// announces before a byte of it has arrived; a management record asking for
// the same value many times makes it write its answer past a 64-byte buffer
// on the stack; a management record of any other type leaks the memory the
// library set aside for it. The check follows the record stream and lets a connection
// through only while
//
// - every record is of protocol version 1;
// - the record that begins a request and the empty record that closes its
//   parameters have no padding (the library would read the padding as
//   records the check never saw);
// - parameters come for the request the connection began (the first
//   begin-request record's id), until their closing empty record, and all
//   of a request's parameter content, with every pair's announced lengths,
//   fits in MaxFastCgiParamsBytes;
// - a management record (request id 0) asks for the program's values
//   (FCGI_GET_VALUES), for at most MaxFastCgiValuesAsked, each pair within
//   the record;
// - a request's body (standard input) comes only once its parameters are
//   closed.
//
// Everything else (the body's content, the other record types, the pairs'
// bytes) is the library's to read and judge. The check only takes the bytes
// apart as far as these rules need, and says what it learned on the way:
// whether the request's head is in, its CONTENT_LENGTH, how much of its body
// came and where its records end. It never answers the peer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// All parameters of one request (the CGI variables with the HTTP header
// lines) take at most this many bytes: more than the header limits of
// lighttpd, nginx and Apache as shipped allow, and the most memory one
// request's parameters can make the library allocate.
constexpr uint32_t MaxFastCgiParamsBytes = 1u << 20;
// The program has three values a peer may ask for.
constexpr int MaxFastCgiValuesAsked = 3;

class FastCgiInputCheck {
public:
    // Starts over at a record boundary: a new connection, or the next
    // request on a connection kept.
    void Reset() { *this = FastCgiInputCheck(); }
    // Takes the connection's next bytes; false once they break a rule, and
    // from then on until Reset.
    bool Take(const unsigned char* bytes, size_t count) {
        Feed(bytes, count, false);
        return !failed_;
    }
    // Takes the next bytes up to the end of the request's records (the end of
    // the empty record that ends its body) and returns how many it took; the
    // bytes after the end are the next request's.
    size_t TakeRequest(const unsigned char* bytes, size_t count) { return Feed(bytes, count, true); }
    bool Failed() const { return failed_; }

    // The request's begin record and all its parameters have come.
    bool HeadIn() const { return requestBegun_ && !paramsOpen_; }
    // Its CONTENT_LENGTH as the engine reads it (0: none, or not a number).
    int32_t ContentLength() const;
    // The bytes of its body that came.
    uint64_t BodyBytes() const { return bodyBytes_; }
    // Its body has ended: every byte of the request was taken.
    bool RequestEnded() const { return requestEnded_; }

private:
    // Follows the name-value pairs of a parameters stream or of one record,
    // across record boundaries; false once a pair would not fit in limit.
    // With watchContentLength, keeps the value of the first CONTENT_LENGTH.
    class Pairs {
    public:
        explicit Pairs(uint32_t limit = 0, bool watchContentLength = false)
            : limit_(limit), watching_(watchContentLength) {}
        bool Take(unsigned char byte);
        bool BetweenPairs() const { return stage_ == Stage::NameLength && lengthBytesLeft_ == 0; }
        int Count() const { return count_; }
        // The value kept, and whether it came whole and within its bound.
        const std::string& ContentLength() const { return contentLength_; }
        bool HasContentLength() const { return contentLengthFound_ && !contentLengthTooLong_; }

    private:
        enum class Stage { NameLength, ValueLength, Data };
        void Watch(unsigned char byte);
        uint32_t limit_;
        bool watching_;
        uint64_t used_ = 0;  // bytes of the stream so far
        Stage stage_ = Stage::NameLength;
        int lengthBytesLeft_ = 0;  // of a four-byte length
        uint32_t length_ = 0;      // the length being read
        uint32_t nameLength_ = 0;
        uint64_t pairLength_ = 0;  // name and value bytes of the pair
        uint64_t dataLeft_ = 0;    // name and value bytes still to come
        int count_ = 0;            // pairs whose lengths were read
        bool matching_ = false;    // the pair's name may be CONTENT_LENGTH
        bool contentLengthFound_ = false;
        bool contentLengthTooLong_ = false;
        std::string contentLength_;
    };

    size_t Feed(const unsigned char* bytes, size_t count, bool stopAtRequestEnd);
    bool StartRecord();
    bool TakeContent(unsigned char byte);
    void EndRecord();

    bool failed_ = false;
    unsigned char header_[8] = {};
    size_t headerHave_ = 0;
    unsigned char type_ = 0;
    uint32_t contentLeft_ = 0;
    uint32_t paddingLeft_ = 0;
    bool requestBegun_ = false;
    uint16_t requestId_ = 0;
    bool paramsOpen_ = false;
    bool checkingValues_ = false;  // a management record asking for values
    bool inBody_ = false;          // a record of the request's body
    bool endsBody_ = false;        // the empty record that ends the body
    bool requestEnded_ = false;
    uint64_t bodyBytes_ = 0;
    Pairs params_{MaxFastCgiParamsBytes, true};
    Pairs values_;
};
