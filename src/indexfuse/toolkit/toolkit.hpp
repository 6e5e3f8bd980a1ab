// The model's only way to the analysis toolkit: `PCA` and `entropy` (from
// tessel.modelbench) and `process` (from tessel). Each operation looks the
// module global up by name when it runs, so rebinding `indexfuse.PCA` and
// the like takes effect from the next call on.
//
// Where the model evaluates a call's arguments only after naming the
// function (as `entropy.multivar_knn(values, k=self.k)` reads `self.k` after
// the lookup), the lookup and the call are separate steps here too.
#pragma once

#include "module/ref.hpp"

namespace indexfuse::toolkit {

// PCA(cumulative=cumulative, scale_method=scale_method)
Ref new_pca(PyObject* cumulative, PyObject* scale_method);

// pca.fit(frame)
Ref fit_pca(PyObject* pca, PyObject* frame);

// pca.score(frame): (values, coefficients, abnormal coefficients)
Ref score_pca(PyObject* pca, PyObject* frame);

// entropy.multivar_knn, looked up now and called by estimate_entropy.
Ref entropy_estimator();

// estimator(x, k=k)
Ref estimate_entropy(PyObject* estimator, PyObject* x, PyObject* k);

// process.scale, looked up now and called by scale_column.
Ref column_scaler();

// scaler(column, method=method, range=(low, high), mean=mean, std=std)
Ref scale_column(PyObject* scaler, PyObject* column, PyObject* method, PyObject* low,
                 PyObject* high, PyObject* mean, PyObject* std);

// process.rescale(series, method="max_min", range=target)
Ref rescale(PyObject* series, PyObject* target);

}  // namespace indexfuse::toolkit
