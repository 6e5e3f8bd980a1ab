// The methods of the model class `indexpca_diment`, one source file each
// (configuration, pipeline, index coefficients, dimension values, dimension
// weights, composite score, coefficient-table check).
//
// Every function takes borrowed references to its bound arguments, `self`
// first, and returns a new reference, or an empty Ref with an exception set.
#pragma once

#include "module/ref.hpp"

namespace indexfuse::model {

// __init__(self, schema, scale_method="max_min", pca_cumulative=1, ent_k=10)
Ref construct(PyObject* self, PyObject* schema, PyObject* scale_method,
              PyObject* pca_cumulative, PyObject* ent_k);

// fit(self, data)
Ref fit(PyObject* self, PyObject* data);

// score(self, data, scale=None)
Ref score(PyObject* self, PyObject* data, PyObject* scale);

// compute_index_coef(self, data, schema)
Ref compute_index_coef(PyObject* self, PyObject* data, PyObject* schema);

// compute_dim_value(self, data, index_coef, scale=None)
Ref compute_dim_value(PyObject* self, PyObject* data, PyObject* index_coef, PyObject* scale);

// compute_dim_weight(self, dim_value)
Ref compute_dim_weight(PyObject* self, PyObject* dim_value);

// compute_score(self, dim_value, dim_weight)
Ref compute_score(PyObject* self, PyObject* dim_value, PyObject* dim_weight);

// is_index_coef(self, x)
Ref is_index_coef(PyObject* self, PyObject* x);

}  // namespace indexfuse::model
