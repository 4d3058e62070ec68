// Members with plain def signatures, called through vectorcall, and classes built on a Python base.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace qorva::interop {

namespace py = pybind11;

// A builtin function with a plain Python signature, called without pybind11's overload dispatch
// (which costs about as much as the rest of a short member). Arguments bind as they do for a def:
// by position up to `positional`, else by keyword; the last `defaults.size()` have defaults. A call
// that does not bind raises the host's own TypeError, worded as for a def of that signature.
using Impl = py::object (*)(const py::handle *args);
struct Function {
    const char *name;                  // __name__; static text
    const char *doc;                   // __doc__ (without the signature), or nullptr; static text
    std::vector<const char *> params;  // every parameter, in order; static texts
    std::size_t positional;            // how many may be given by position; the rest are keyword-only
    std::vector<py::object> defaults;  // values of the last defaults.size() parameters
    Impl impl;
};
// The function object; its definition lives as long as the process. `qualname` names it in the
// host's argument errors ("NorimInspector.inspect"); empty: the name alone.
py::object make_function(Function desc, const std::string &qualname = {});

namespace detail {
template <typename R, typename... A>
constexpr std::size_t arity(R (*)(A...)) {
    return sizeof...(A);
}
template <auto F, std::size_t... I>
py::object invoke(const py::handle *args, std::index_sequence<I...>) {
    if constexpr (std::is_void_v<decltype(F(py::reinterpret_borrow<py::object>(args[I])...))>) {
        F(py::reinterpret_borrow<py::object>(args[I])...);
        return py::none();  // a def without a return value
    } else {
        return F(py::reinterpret_borrow<py::object>(args[I])...);
    }
}
}  // namespace detail

// An Impl calling `F(py::object...)` with one argument per parameter; a void F returns None.
template <auto F>
py::object adapt(const py::handle *args) {
    return detail::invoke<F>(args, std::make_index_sequence<detail::arity(F)>{});
}

// Builds `type(name, (base,), namespace)`; members keep the order in which they are added.
class ClassBuilder {
public:
    ClassBuilder(const char *name, py::handle base, py::handle module_name, const char *doc);
    ClassBuilder &method(Function desc);
    // A read-only property whose getter takes `self` alone.
    ClassBuilder &property(Function getter);
    ClassBuilder &class_method(Function desc);
    ClassBuilder &static_method(Function desc);
    ClassBuilder &attr(const char *name, py::handle value);
    py::object build() const;

private:
    py::object member(Function desc) const;

    std::string name_;
    py::object base_;
    py::dict ns_;
};

}  // namespace qorva::interop
