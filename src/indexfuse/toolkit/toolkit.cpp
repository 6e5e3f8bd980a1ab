#include "toolkit/toolkit.hpp"

#include "model/constants.hpp"
#include "module/calls.hpp"
#include "module/state.hpp"

namespace indexfuse::toolkit {

Ref new_pca(PyObject* cumulative, PyObject* scale_method) {
    Ref pca_class = lookup_global(names().PCA.get());
    if (!pca_class) return {};
    return call(pca_class.get(), {cumulative, scale_method}, constants().kw.pca.get());
}

Ref fit_pca(PyObject* pca, PyObject* frame) {
    return call_method(pca, names().fit.get(), {frame});
}

Ref score_pca(PyObject* pca, PyObject* frame) {
    return call_method(pca, names().score.get(), {frame});
}

Ref entropy_estimator() {
    return lookup_global_attr(names().entropy.get(), names().multivar_knn.get());
}

Ref estimate_entropy(PyObject* estimator, PyObject* x, PyObject* k) {
    return call(estimator, {x, k}, constants().kw.k.get());
}

Ref column_scaler() {
    return lookup_global_attr(names().process.get(), names().scale.get());
}

Ref scale_column(PyObject* scaler, PyObject* column, PyObject* method, PyObject* low,
                 PyObject* high, PyObject* mean, PyObject* std) {
    Ref range = Ref::steal(PyTuple_Pack(2, low, high));
    if (!range) return {};
    return call(scaler, {column, method, range.get(), mean, std}, constants().kw.scale.get());
}

Ref rescale(PyObject* series, PyObject* target) {
    Ref rescaler = lookup_global_attr(names().process.get(), names().rescale.get());
    if (!rescaler) return {};
    return call(rescaler.get(), {series, names().max_min.get(), target}, constants().kw.rescale.get());
}

}  // namespace indexfuse::toolkit
