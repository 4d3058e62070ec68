#include "dropnest/camera_class.hpp"

PYBIND11_MODULE(dropnest, m) {
    qorva::dropnest::init_globals(m);       // camera_class.cpp: host imports, logger, _EXTS
    qorva::dropnest::init_camera_class(m);  // camera_class.cpp: DropnestCamera, members in scan ... loop
}
