#include "inspector/inspector_class.hpp"

PYBIND11_MODULE(inspector, m) {
    qorva::inspector::init_globals(m);          // inspector_class.cpp: host imports, logger, _DEFAULTS
    qorva::inspector::init_inspector_class(m);  // inspector_class.cpp: NorimInspector, registered
}
