#pragma once
// Little-endian reader over a model stream that knows how many bytes are
// left, so that no count read from the stream is trusted before it is
// compared with what the stream can still deliver.

#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

// A read ran past the end of the stream.
class ModelTruncatedError : public std::runtime_error {
public:
    ModelTruncatedError() : std::runtime_error("Model truncated") {}
};

class ModelStreamReader {
public:
    explicit ModelStreamReader(std::istream& stream);

    // Non-throwing reads: false (and failed() afterwards) on a short read.
    bool tryInt32(int32_t& value);

    // Throwing reads for layer payloads: ModelTruncatedError on a short read.
    int32_t int32();
    float float32();
    // Reads `count` floats; a negative count, one above `limit` or one the
    // remaining bytes cannot hold raises std::runtime_error naming `what`.
    std::vector<float> floats(int64_t count, const char* what, int64_t limit = maxFloatsPerList);
    // A count that is about to be read as that many int32 or float32 values.
    void checkCount(int64_t count, const char* what, int64_t limit) const;

    bool failed() const { return failed_; }
    uint64_t remaining() const { return remaining_; }

    // No list in a model may exceed 256 Mi values (1 GiB of weights).
    static constexpr int64_t maxFloatsPerList = int64_t(1) << 28;

private:
    bool readBytes(void* target, uint64_t count);

    std::istream& stream_;
    uint64_t remaining_ = 0;
    bool failed_ = false;
};
