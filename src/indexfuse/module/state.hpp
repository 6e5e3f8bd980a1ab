// Process-wide module state: the module object, its globals, the interned
// names and constants that the methods use, and the builtins taken at exec.
//
// Everything here is written only while the module executes (under the
// interpreter lock) and read afterwards; a failed exec resets it completely.
#pragma once

#include "module/ref.hpp"

#include <cstdint>

namespace indexfuse {

// Interned strings: attribute, keyword and global names. X(field, "text").
#define INDEXFUSE_NAMES(X)                                                     \
    /* module globals and builtins */                                          \
    X(pandas, "pandas")                                                        \
    X(numpy, "numpy")                                                          \
    X(entropy, "entropy")                                                      \
    X(PCA, "PCA")                                                              \
    X(process, "process")                                                      \
    X(indexpca_diment, "indexpca_diment")                                      \
    X(test_, "__test__")                                                       \
    X(range, "range")                                                          \
    X(sum, "sum")                                                              \
    X(any, "any")                                                              \
    /* module and class attributes */                                          \
    X(module_, "__module__")                                                   \
    X(qualname_, "__qualname__")                                               \
    /* methods of the model */                                                 \
    X(fit, "fit")                                                              \
    X(score, "score")                                                          \
    X(compute_index_coef, "compute_index_coef")                                \
    X(compute_dim_value, "compute_dim_value")                                  \
    X(compute_dim_weight, "compute_dim_weight")                                \
    X(compute_score, "compute_score")                                          \
    X(is_index_coef, "is_index_coef")                                          \
    /* instance attributes and keywords */                                     \
    X(schema, "schema")                                                        \
    X(scale_method, "scale_method")                                            \
    X(k, "k")                                                                  \
    X(pca, "pca")                                                              \
    X(abnormal_index, "abnormal_index")                                        \
    X(min_ent, "min_ent")                                                      \
    X(index_coef, "index_coef")                                                \
    X(dim_weight, "dim_weight")                                                \
    X(scale, "scale")                                                          \
    /* toolkit */                                                              \
    X(cumulative, "cumulative")                                                \
    X(multivar_knn, "multivar_knn")                                            \
    X(rescale, "rescale")                                                      \
    X(method, "method")                                                        \
    X(mean, "mean")                                                            \
    X(std, "std")                                                              \
    X(max, "max")                                                              \
    X(min, "min")                                                              \
    X(coef, "coef")                                                            \
    X(max_min, "max_min")                                                      \
    /* pandas, numpy and containers */                                         \
    X(columns, "columns")                                                      \
    X(tolist, "tolist")                                                        \
    X(concat, "concat")                                                        \
    X(axis, "axis")                                                            \
    X(min_count, "min_count")                                                  \
    X(values, "values")                                                        \
    X(zeros, "zeros")                                                          \
    X(DataFrame, "DataFrame")                                                  \
    X(Series, "Series")                                                        \
    X(ndarray, "ndarray")                                                      \
    X(items, "items")                                                          \
    X(keys, "keys")                                                            \
    X(issubset, "issubset")                                                    \
    X(copy, "copy")                                                            \
    X(append, "append")

struct Names {
#define INDEXFUSE_DECLARE_NAME(field, text) Ref field;
    INDEXFUSE_NAMES(INDEXFUSE_DECLARE_NAME)
#undef INDEXFUSE_DECLARE_NAME
};

// Keyword-name tuples for the calls the model makes.
struct KeywordTuples {
    Ref pca;        // (cumulative, scale_method)
    Ref scale;      // (method, range, mean, std)
    Ref rescale;    // (method, range)
    Ref axis;       // (axis,)
    Ref min_count;  // (min_count,)
    Ref k;          // (k,)
    Ref scale_arg;  // (scale,)
};

struct State {
    Ref module;
    PyObject* globals = nullptr;  // the module's dict, owned by `module`
    Ref builtins;                 // the builtins module

    Names names;
    KeywordTuples kw;

    Ref empty_tuple;
    Ref empty_bytes;
    Ref empty_str;
    Ref int0;
    Ref int1;
    Ref int10;
    Ref record_keys;  // frozenset of the five coefficient-record keys

    Ref builtin_range;
    Ref builtin_sum;
    Ref builtin_any;
};

// The interpreter that first created the module (-1 until then). It outlives
// a failed exec, so a second interpreter stays refused.
extern std::int64_t g_interpreter_id;
extern State& g_state;

inline const Names& names() noexcept { return g_state.names; }
inline const State& state() noexcept { return g_state; }

// Builds the interned names and constants. Returns false with an exception set.
bool init_constants() noexcept;

// Forgets everything exec stored, so that a later import starts afresh.
void reset_state() noexcept;

// builtins.<name>; NameError when the builtins lack it.
Ref lookup_builtin(PyObject* name);

// The value of module global `name` at this moment: the module dict first,
// then the builtins; NameError when neither has it.
Ref lookup_global(PyObject* name);

// <global>.<attribute> (such as pandas.concat), the global looked up now.
Ref lookup_global_attr(PyObject* global, PyObject* attribute);

}  // namespace indexfuse
