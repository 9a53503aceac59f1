// Bounds-checked reading and writing of packet fields. A Reader never reads
// past the bytes it was given: every call says whether the field was there.
#ifndef MAILSLOT_RELAY_WIRE_H
#define MAILSLOT_RELAY_WIRE_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace relay {

// What a parser makes of a packet: one it handles, one that breaks the
// protocol, a well-formed one of a kind this node does not take part in, or
// a datagram's fragment (this node takes datagrams whole).
enum class Parse { Ok, Malformed, Unsupported, Fragment };

class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    size_t offset() const { return offset_; }
    size_t left() const { return size_ - offset_; }
    const uint8_t *data() const { return data_; }
    size_t size() const { return size_; }

    bool u8(uint8_t *value)
    {
        if (left() < 1)
            return false;
        *value = data_[offset_++];
        return true;
    }
    bool be16(uint16_t *value)
    {
        if (left() < 2)
            return false;
        *value = uint16_t(data_[offset_] << 8 | data_[offset_ + 1]);
        offset_ += 2;
        return true;
    }
    bool be32(uint32_t *value)
    {
        uint16_t high, low;
        if (left() < 4 || !be16(&high) || !be16(&low))
            return false;
        *value = uint32_t(high) << 16 | low;
        return true;
    }
    bool le16(uint16_t *value)
    {
        if (left() < 2)
            return false;
        *value = uint16_t(data_[offset_] | data_[offset_ + 1] << 8);
        offset_ += 2;
        return true;
    }
    bool le32(uint32_t *value)
    {
        uint16_t low, high;
        if (left() < 4 || !le16(&low) || !le16(&high))
            return false;
        *value = uint32_t(high) << 16 | low;
        return true;
    }
    bool skip(size_t count)
    {
        if (left() < count)
            return false;
        offset_ += count;
        return true;
    }
    bool bytes(size_t count, const uint8_t **out)
    {
        if (left() < count)
            return false;
        *out = data_ + offset_;
        offset_ += count;
        return true;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t offset_ = 0;
};

class Writer {
public:
    explicit Writer(std::vector<uint8_t> *out) : out_(out) {}

    size_t offset() const { return out_->size(); }
    void u8(uint8_t value) { out_->push_back(value); }
    void be16(uint16_t value)
    {
        u8(uint8_t(value >> 8));
        u8(uint8_t(value));
    }
    void be32(uint32_t value)
    {
        be16(uint16_t(value >> 16));
        be16(uint16_t(value));
    }
    void le16(uint16_t value)
    {
        u8(uint8_t(value));
        u8(uint8_t(value >> 8));
    }
    void le32(uint32_t value)
    {
        le16(uint16_t(value));
        le16(uint16_t(value >> 16));
    }
    void bytes(const void *data, size_t count)
    {
        const uint8_t *p = static_cast<const uint8_t *>(data);
        out_->insert(out_->end(), p, p + count);
    }
    void zeros(size_t count) { out_->insert(out_->end(), count, 0); }
    // Fills in a 16-bit big-endian field written earlier at `at`.
    void patch_be16(size_t at, uint16_t value)
    {
        (*out_)[at] = uint8_t(value >> 8);
        (*out_)[at + 1] = uint8_t(value);
    }

private:
    std::vector<uint8_t> *out_;
};

} // namespace relay

#endif
