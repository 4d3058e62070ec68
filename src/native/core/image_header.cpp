#include "core/image_header.hpp"

#include <cstring>
#include <limits>

namespace qorva::core::image {

namespace {

using u64 = std::uint64_t;
constexpr u64 kMax = std::numeric_limits<u64>::max();

// Sizes read from a hostile header reach 2^32 * 2^32 * 32 bits: saturate rather than wrap, so a
// declared size that overflows can only look larger than the file, never smaller.
u64 mul_sat(u64 a, u64 b) { return a != 0 && b > kMax / a ? kMax : a * b; }
u64 add_sat(u64 a, u64 b) { return b > kMax - a ? kMax : a + b; }

struct Bytes {
    const unsigned char *p;
    std::size_t n;
    bool little = true;  // TIFF says which; BMP is little-endian, PNG and JPEG big-endian

    bool has(u64 pos, u64 len) const { return pos <= n && len <= n - pos; }
    u64 u16(std::size_t at) const {
        return little ? p[at] | (p[at + 1] << 8) : (p[at] << 8) | p[at + 1];
    }
    u64 u32(std::size_t at) const {
        const u64 a = p[at], b = p[at + 1], c = p[at + 2], d = p[at + 3];
        return little ? a | (b << 8) | (c << 16) | (d << 24) : (a << 24) | (b << 16) | (c << 8) | d;
    }
};

// A file still being written may hold only part of its signature: a prefix of it is a start.
bool starts_as(const Bytes &b, const char *sig, std::size_t len) {
    return b.n > 0 && std::memcmp(b.p, sig, b.n < len ? b.n : len) == 0;
}

constexpr Header kCut{0, 0, false};

// --- PNG: the IHDR chunk declares the size; the file ends with the IEND chunk ------------------

std::optional<Header> png(const Bytes &b) {
    if (!b.has(8, 24 - 8)) {
        return kCut;
    }
    if (std::memcmp(b.p + 12, "IHDR", 4) != 0) {
        return std::nullopt;
    }
    Header h{b.u32(16), b.u32(20), false};
    for (std::size_t pos = 8; b.has(pos, 12);) {
        const u64 len = b.u32(pos);
        if (len > 0x7fffffff) {
            h.complete = true;  // no valid chunk is this long: the decoder will refuse the file
            return h;
        }
        if (std::memcmp(b.p + pos + 4, "IEND", 4) == 0) {
            h.complete = true;  // chunk length, type and CRC are all there
            return h;
        }
        if (!b.has(pos, 12 + len)) {
            return h;
        }
        pos += 12 + static_cast<std::size_t>(len);
    }
    return h;
}

// --- JPEG: a start-of-frame segment declares the size; the file ends with the EOI marker -------

bool is_sof(unsigned m) { return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC; }

// Entropy-coded data after a start-of-scan: skips to the next marker that is not a stuffed 0xFF,
// a restart marker or fill. Returns its position, or n when the data ends first.
std::size_t next_marker(const Bytes &b, std::size_t pos) {
    while (pos < b.n) {
        const void *ff = std::memchr(b.p + pos, 0xFF, b.n - pos);
        if (ff == nullptr) {
            return b.n;
        }
        pos = static_cast<std::size_t>(static_cast<const unsigned char *>(ff) - b.p);
        if (pos + 1 >= b.n) {
            return b.n;
        }
        const unsigned m = b.p[pos + 1];
        if (m != 0x00 && m != 0xFF && !(m >= 0xD0 && m <= 0xD7)) {
            return pos;
        }
        pos += m == 0xFF ? 1 : 2;
    }
    return b.n;
}

std::optional<Header> jpeg(const Bytes &b) {
    Header h = kCut;
    bool sized = false;
    std::size_t pos = 2;
    for (;;) {
        if (!b.has(pos, 2)) {
            return h;  // cut between segments; h.complete is still false
        }
        if (b.p[pos] != 0xFF) {
            break;  // garbage where a marker belongs
        }
        while (b.has(pos, 2) && b.p[pos + 1] == 0xFF) {
            ++pos;  // fill bytes before a marker
        }
        if (!b.has(pos, 2)) {
            return h;
        }
        const unsigned m = b.p[pos + 1];
        pos += 2;
        if (m == 0xD9) {
            h.complete = true;
            break;
        }
        if ((m >= 0xD0 && m <= 0xD7) || m == 0x01 || m == 0xD8) {
            continue;  // markers without a segment
        }
        if (!b.has(pos, 2)) {
            return h;
        }
        const u64 len = b.u16(pos);
        if (len < 2) {
            break;
        }
        if (is_sof(m)) {
            if (!b.has(pos, 7)) {
                return h;
            }
            h.height = b.u16(pos + 3);
            h.width = b.u16(pos + 5);
            sized = true;
        }
        if (!b.has(pos, len)) {
            return h;
        }
        pos += static_cast<std::size_t>(len);
        if (m == 0xDA) {
            pos = next_marker(b, pos);
        }
    }
    if (!sized) {
        return std::nullopt;  // no frame declared before the end: not a JPEG we can size
    }
    h.complete = true;
    return h;
}

// --- BMP: the info header declares size and depth; the pixel data has a computable length ------

std::optional<Header> bmp(const Bytes &b) {
    if (!b.has(0, 18)) {
        return kCut;
    }
    const u64 dib = b.u32(14);
    const bool core = dib == 12;  // the 1989 header: 16-bit sizes, no compression
    if (!core && dib < 16) {
        return std::nullopt;
    }
    const std::size_t need = core ? 26 : dib >= 40 ? 38 : 30;
    if (!b.has(0, need)) {
        return kCut;
    }
    const u64 width = core ? b.u16(18) : b.u32(18);
    u64 height = core ? b.u16(20) : b.u32(22);
    if (!core && (width & 0x80000000u) != 0) {
        return std::nullopt;  // a negative width has no meaning
    }
    if (!core && (height & 0x80000000u) != 0) {
        height = 0x100000000u - height;  // top-down rows
    }
    const u64 bpp = core ? b.u16(24) : b.u16(28);
    const u64 compression = dib >= 40 ? b.u32(30) : 0;
    const u64 offset = b.u32(10);
    u64 end = 0;
    if (compression == 0 || compression == 3 || compression == 6) {  // uncompressed rows, 4-byte aligned
        const u64 row = mul_sat(add_sat(mul_sat(width, bpp), 31) / 32, 4);
        end = add_sat(offset, mul_sat(row, height));
    } else {
        const u64 image_size = b.u32(34);
        end = image_size != 0 ? add_sat(offset, image_size) : b.u32(2);  // else the declared file size
    }
    return Header{width, height, end <= b.n};
}

// --- TIFF: the first directory declares the size and where every strip or tile lies ------------

// Bytes per item of a directory entry's type; 0 for a type this reader does not know.
u64 type_size(u64 type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;   // BYTE, ASCII, SBYTE, UNDEFINED
        case 3: case 8: return 2;                   // SHORT, SSHORT
        case 4: case 9: case 11: case 13: return 4;  // LONG, SLONG, FLOAT, IFD
        case 5: case 10: case 12: return 8;         // RATIONAL, SRATIONAL, DOUBLE
        default: return 0;
    }
}

struct Entry {
    u64 type = 0, count = 0;
    std::size_t value = 0;  // position of the entry's value field
};

// Where a strip or tile array lies and how wide its items are; false when its type is not
// SHORT or LONG, which no valid file uses for these tags.
bool array_of(const Bytes &b, const Entry &e, std::size_t &at, std::size_t &width) {
    width = e.type == 3 ? 2 : e.type == 4 ? 4 : 0;
    if (width == 0) {
        return false;
    }
    at = e.count * width <= 4 ? e.value : static_cast<std::size_t>(b.u32(e.value));
    return true;
}

// Whether every strip or tile lies inside the data. Arrays that no valid file has count as
// present: the decoder refuses such a file.
bool tiff_data_present(const Bytes &b, const Entry &offsets, const Entry &counts) {
    std::size_t oat = 0, ow = 0, cat = 0, cw = 0;
    if (!array_of(b, offsets, oat, ow) || !array_of(b, counts, cat, cw) || offsets.count != counts.count) {
        return true;
    }
    if (!b.has(oat, offsets.count * ow) || !b.has(cat, counts.count * cw)) {
        return false;  // the arrays themselves lie past the end
    }
    for (u64 i = 0; i < offsets.count; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        const u64 off = ow == 2 ? b.u16(oat + 2 * k) : b.u32(oat + 4 * k);
        const u64 len = cw == 2 ? b.u16(cat + 2 * k) : b.u32(cat + 4 * k);
        if (add_sat(off, len) > b.n) {
            return false;
        }
    }
    return true;
}

std::optional<Header> tiff(Bytes b) {
    b.little = b.p[0] == 'I';
    if (!b.has(0, 8)) {
        return kCut;
    }
    const u64 ifd = b.u32(4);
    if (ifd < 8) {
        return std::nullopt;
    }
    // Writers often put the directory after the image data: until it is written, nothing is declared.
    if (!b.has(ifd, 2) || !b.has(ifd + 2, mul_sat(b.u16(static_cast<std::size_t>(ifd)), 12))) {
        return kCut;
    }
    const std::size_t first = static_cast<std::size_t>(ifd) + 2;
    const std::size_t n = static_cast<std::size_t>(b.u16(static_cast<std::size_t>(ifd)));
    std::optional<u64> width, height;
    Entry offsets, counts;
    bool values_present = true;  // values too long for their entry lie elsewhere, often after the image
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = first + 12 * i;
        const Entry e{b.u16(at + 2), b.u32(at + 4), at + 8};
        const u64 tag = b.u16(at);
        const u64 bytes = mul_sat(e.count, type_size(e.type));
        if (bytes > 4 && !b.has(b.u32(e.value), bytes)) {
            values_present = false;
        }
        const u64 value = e.type == 3 ? b.u16(e.value) : b.u32(e.value);
        if (tag == 256) {
            width = value;
        } else if (tag == 257) {
            height = value;
        } else if (tag == 273 || tag == 324) {
            offsets = e;
        } else if (tag == 279 || tag == 325) {
            counts = e;
        }
    }
    if (!width || !height) {
        return std::nullopt;
    }
    return Header{*width, *height, values_present && (offsets.count == 0 || tiff_data_present(b, offsets, counts))};
}

}  // namespace

std::optional<Header> read_header(const unsigned char *data, std::size_t size) {
    const Bytes b{data, size, true};
    if (starts_as(b, "\x89PNG\r\n\x1a\n", 8)) {
        return png(Bytes{data, size, false});
    }
    if (starts_as(b, "\xFF\xD8", 2)) {
        return size < 2 ? std::optional<Header>(kCut) : jpeg(Bytes{data, size, false});
    }
    if (starts_as(b, "BM", 2)) {
        return bmp(b);
    }
    if (starts_as(b, "II*\0", 4) || starts_as(b, "MM\0*", 4)) {
        return tiff(b);
    }
    return std::nullopt;
}

}  // namespace qorva::core::image
