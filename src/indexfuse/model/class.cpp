// The registration of the model class `indexpca_diment`: its methods with
// their parameters and defaults, the imports its methods compute through,
// and the steps by which the module frame builds them (module/content.hpp).

#include "model/constants.hpp"
#include "model/model.hpp"
#include "module/content.hpp"
#include "module/function.hpp"
#include "module/state.hpp"

#include <array>

namespace indexfuse {

namespace {

// In class-namespace order. Lines refer to the notional source file that
// traceback entries name (traceback.hpp).
constexpr MethodSpec kMethods[] = {
    method<model::construct>(
        "__init__", 24,
        {"self", "schema", {"scale_method", str_default("max_min")},
         {"pca_cumulative", int_default(1)}, {"ent_k", int_default(10)}}),
    method<model::fit>("fit", 32, {"self", "data"}, {"dim_value"}),
    method<model::score>("score", 40, {"self", "data", {"scale", kNoneDefault}},
                         {"dim_value", "composite"}),
    method<model::compute_index_coef>(
        "compute_index_coef", 46, {"self", "data", "schema"},
        {"key", "val", "index", "direct", "i", "index_data", "dim_value", "coef", "abnormal_coef",
         "index_coef"}),
    method<model::compute_dim_value>(
        "compute_dim_value", 72, {"self", "data", "index_coef", {"scale", kNoneDefault}},
        {"dim_value", "key", "val", "index", "direct", "k", "v"}),
    method<model::compute_dim_weight>(
        "compute_dim_weight", 96, {"self", "dim_value"},
        {"dim_iv", "key", "val", "weight", "iv", "k", "v", "ent", "dim_weight"}),
    method<model::compute_score>("compute_score", 132, {"self", "dim_value", "dim_weight"},
                                 {"score", "key", "val", "direct"}),
    method<model::is_index_coef>("is_index_coef", 146, {"self", "x"}, {"key", "val"}),
};

constexpr ClassSpec kClass{"indexpca_diment", kMethods};

constexpr const char* kModelbenchNames[] = {"entropy", "PCA"};
constexpr const char* kTesselNames[] = {"process"};

constexpr content::Import kImports[] = {
    {"pandas", {}},
    {"numpy", {}},
    {"tessel.modelbench", kModelbenchNames},
    {"tessel", kTesselNames},
};

// Built before the imports, used once the class is created. Never destroyed.
std::array<MethodCode, std::size(kMethods)>& g_codes =
    *new std::array<MethodCode, std::size(kMethods)>;

}  // namespace

namespace content {

const char kDocstring[] =
    "Composite indices from indicator columns.\n\n"
    "Created by a C++ extension for CPython 3.12; the class indexpca_diment\n"
    "fits principal-component coefficients within dimensions and\n"
    "nearest-neighbour entropy weights across them.";

bool init_constants() noexcept { return indexfuse::init_constants(); }

bool take_builtins() { return indexfuse::take_builtins(); }

bool build_code() { return new_class_code(kClass, g_codes); }

std::span<const Import> imports() noexcept { return kImports; }

bool define_globals() {
    Ref cls = new_class(kClass, g_codes);
    g_codes = {};  // the functions hold what they need
    return cls && set_global(names().indexpca_diment.get(), cls.get());
}

void reset() noexcept {
    g_codes = {};
    reset_constants();
}

}  // namespace content

}  // namespace indexfuse
