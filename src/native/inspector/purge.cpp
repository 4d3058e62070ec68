#include "inspector/inspector_class.hpp"
#include "inspector/members.hpp"
#include "inspector/names.hpp"

namespace qorva::inspector {

py::object purge_artifacts(py::object /*cls*/, py::object product_id) {
    return interop::call(globals().attr(names::kRunner, names::kPurgeTrainCache), {product_id});
}

}  // namespace qorva::inspector
