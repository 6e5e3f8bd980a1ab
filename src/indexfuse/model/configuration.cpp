// The constructor: stores the configuration and builds the PCA object.

#include "model/constants.hpp"
#include "model/model.hpp"
#include "model/shared.hpp"
#include "module/calls.hpp"
#include "toolkit/toolkit.hpp"

namespace indexfuse::model {

Ref construct(PyObject* self, PyObject* schema, PyObject* scale_method, PyObject* pca_cumulative,
              PyObject* ent_k) {
    const Names& n = names();
    if (!setattr(self, n.schema.get(), schema) || !setattr(self, n.k.get(), ent_k) ||
        !setattr(self, n.scale_method.get(), scale_method))
        return {};

    Ref pca = toolkit::new_pca(pca_cumulative, scale_method);
    if (!pca || !setattr(self, n.pca.get(), pca.get())) return {};

    Ref abnormal_index = Ref::steal(PyList_New(0));
    if (!abnormal_index || !setattr(self, n.abnormal_index.get(), abnormal_index.get())) return {};
    return none();
}

}  // namespace indexfuse::model
