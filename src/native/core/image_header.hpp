// What an image file declares before it is decoded: its size in pixels, and whether the bytes
// at hand hold the whole of it. Plain C++ over a byte range; no allocation, no Python.
//
// Decoding is what costs memory: a 629-byte JPEG can declare 30000x30000 pixels, 2.7 GB once
// decoded. Reading the declaration first lets a caller refuse such a file for the price of its
// header. The completeness answer exists because decoders disagree on cut files (OpenCV 4.10
// decodes a JPEG cut after its header at full size, grey below the cut, and 4.14 returns no
// image): the file's own structure (the JPEG end marker, the PNG end chunk, the data sizes that
// BMP and TIFF declare) says whether its sender has finished, whatever decoder is installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace qorva::core::image {

struct Header {
    std::uint64_t width = 0;   // as declared; 0 when the data ends before the declaration
    std::uint64_t height = 0;  // a BMP stored top-down declares a negative height: its magnitude
    // False only when the data ends before the file's structure says it should (a file still
    // being written, or cut). A structure that is merely invalid counts as complete: the
    // decoder then refuses it, and that is an ordinary decode failure.
    bool complete = true;
};

// The header of PNG, JPEG, BMP or TIFF data; nullopt when the data starts as none of them
// (another format, or not an image), or declares something no such file can hold (a BMP
// of negative width).
std::optional<Header> read_header(const unsigned char *data, std::size_t size);

}  // namespace qorva::core::image
