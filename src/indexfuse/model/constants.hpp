// The model's vocabulary: the interned names that its methods and the
// toolkit layer use as attribute, keyword and global names, the keyword
// tuples of its calls, its constants and the builtins it calls.
//
// Built once while the module executes (class.cpp) and read afterwards; a
// failed exec resets them.
#pragma once

#include "module/ref.hpp"

namespace indexfuse {

// Interned strings. X(field, "text").
#define INDEXFUSE_NAMES(X)                                                     \
    /* module globals and builtins */                                          \
    X(pandas, "pandas")                                                        \
    X(numpy, "numpy")                                                          \
    X(entropy, "entropy")                                                      \
    X(PCA, "PCA")                                                              \
    X(process, "process")                                                      \
    X(indexpca_diment, "indexpca_diment")                                      \
    X(range, "range")                                                          \
    X(sum, "sum")                                                              \
    X(any, "any")                                                              \
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
    Ref pca;             // (cumulative, scale_method)
    Ref scale;           // (method, range, mean, std)
    Ref rescale;         // (method, range)
    Ref axis;            // (axis,)
    Ref axis_min_count;  // (axis, min_count)
    Ref k;               // (k,)
    Ref scale_arg;       // (scale,)
};

struct Constants {
    Names names;
    KeywordTuples kw;

    Ref int0;
    Ref int1;
    Ref int10;
    Ref record_keys;  // frozenset of the five coefficient-record keys

    // The builtins taken once at exec, called in place of whatever
    // `range`, `sum` and `any` are bound to later.
    Ref builtin_range;
    Ref builtin_sum;
    Ref builtin_any;
};

extern Constants& g_constants;

inline const Constants& constants() noexcept { return g_constants; }
inline const Names& names() noexcept { return g_constants.names; }

// Builds the names and constants. Returns false with an exception set.
bool init_constants() noexcept;

// Takes range, sum and any from the builtins (NameError if one is missing).
bool take_builtins();

// Forgets them all.
void reset_constants() noexcept;

}  // namespace indexfuse
