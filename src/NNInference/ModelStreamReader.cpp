#include "NNInference/ModelStreamReader.h"

#include <bit>
#include <cstring>

namespace {

uint64_t bytesLeftIn(std::istream& stream)
{
    const std::streampos start = stream.tellg();
    if (start == std::streampos(-1)) return 0;
    stream.seekg(0, std::ios::end);
    const std::streampos end = stream.tellg();
    stream.seekg(start);
    if (end == std::streampos(-1) || end < start) return 0;
    return static_cast<uint64_t>(end - start);
}

uint32_t littleEndian32(const unsigned char* bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

} // namespace

ModelStreamReader::ModelStreamReader(std::istream& stream) : stream_(stream), remaining_(bytesLeftIn(stream)) {}

bool ModelStreamReader::readBytes(void* target, uint64_t count)
{
    if (failed_ || count > remaining_) {
        failed_ = true;
        return false;
    }
    stream_.read(static_cast<char*>(target), static_cast<std::streamsize>(count));
    if (static_cast<uint64_t>(stream_.gcount()) != count) {
        failed_ = true;
        return false;
    }
    remaining_ -= count;
    return true;
}

bool ModelStreamReader::tryInt32(int32_t& value)
{
    unsigned char bytes[4];
    if (!readBytes(bytes, 4)) return false;
    value = static_cast<int32_t>(littleEndian32(bytes));
    return true;
}

int32_t ModelStreamReader::int32()
{
    int32_t value = 0;
    if (!tryInt32(value)) throw ModelTruncatedError();
    return value;
}

float ModelStreamReader::float32()
{
    unsigned char bytes[4];
    if (!readBytes(bytes, 4)) throw ModelTruncatedError();
    const uint32_t bits = littleEndian32(bytes);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void ModelStreamReader::checkCount(int64_t count, const char* what, int64_t limit) const
{
    if (count < 0 || count > limit)
        throw std::runtime_error(std::string("Invalid ") + what + " count: " + std::to_string(count));
    if (static_cast<uint64_t>(count) > remaining_ / 4) throw ModelTruncatedError();
}

std::vector<float> ModelStreamReader::floats(int64_t count, const char* what, int64_t limit)
{
    checkCount(count, what, limit);
    std::vector<float> values(static_cast<size_t>(count));
    if (!readBytes(values.data(), static_cast<uint64_t>(count) * 4)) throw ModelTruncatedError();
    if constexpr (std::endian::native == std::endian::big) {
        for (float& value : values) {
            uint32_t bits;
            std::memcpy(&bits, &value, 4);
            bits = littleEndian32(reinterpret_cast<const unsigned char*>(&bits));
            std::memcpy(&value, &bits, 4);
        }
    }
    return values;
}
