// _image_header: what image data declares before it is decoded, for the camera and the readers.
#include "dropnest/members.hpp"

namespace qorva::dropnest {

namespace {

// The exporter's bytes, pinned for as long as this lives (a bytearray cannot be resized meanwhile).
class View {
public:
    explicit View(py::handle data) {
        if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_SIMPLE) != 0) {
            throw py::error_already_set();
        }
    }
    ~View() { PyBuffer_Release(&view_); }
    View(const View &) = delete;
    View &operator=(const View &) = delete;
    const unsigned char *data() const { return static_cast<const unsigned char *>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

}  // namespace

std::optional<core::image::Header> header_of(py::handle data) {
    const View view(data);
    // A JPEG is walked to its end marker: tens of milliseconds for a 100 MB file, no Python needed.
    py::gil_scoped_release unlocked;
    return core::image::read_header(view.data(), view.size());
}

py::object image_header(py::object data) {
    const auto h = header_of(data);
    if (!h) {
        return py::none();
    }
    return py::make_tuple(py::int_(h->width), py::int_(h->height), py::bool_(h->complete));
}

}  // namespace qorva::dropnest
