#include "inspector/inspector_class.hpp"
#include "inspector/members.hpp"

namespace qorva::inspector {

py::object purge_artifacts(py::object /*cls*/, py::object product_id) {
    return globals().attr("runner", "purge_train_cache")(product_id);
}

}  // namespace qorva::inspector
