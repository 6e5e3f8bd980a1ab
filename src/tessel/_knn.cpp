// Nearest-neighbour kernel for one-dimensional samples read at a resolution.
//
// sum_log_kth(s, k, resolution) takes the sample s already sorted in
// ascending order (the caller sorts with numpy, whose vectorised sort beats
// anything written here) and returns
//
//     sum_i log r_i
//
// which is all the Python side needs for the Kozachenko-Leonenko estimate.
// Values are read on the grid of multiples of the resolution: the points
// whose values round to the same multiple form a tie group. For a point of a
// tie group of c > k members the k-th neighbour lies inside its own cell of
// width `resolution`; were the c points spread evenly at random over the
// cell, the k-th neighbour fraction of the cell would follow Beta(k, c - k),
// so the point counts with
//
//     log r_i = psi(k) - psi(c) + log(resolution / 2),
//
// that expectation. Every other point counts with the distance r_i to its
// k-th nearest other point, found among the k + 1 windows of k + 1
// consecutive sorted values that contain it (the k nearest others of a
// point on a line always form such a window).
//
// Cost: O(n k) for the window scan, vectorised, plus O(n) to find the tie
// groups, all with the GIL released. Nothing here lets a C++ exception
// reach the interpreter: the entry point is noexcept, allocation failures
// become MemoryError, and every Python error is raised after the GIL has
// been re-acquired. Indices never depend on the values, so a buffer that
// another thread rewrites meanwhile gives a meaningless sum, not a crash.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

// The window scan is where the time goes: built for AVX2 and AVX-512 as
// well, the best one picked when the module loads.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && defined(__linux__)
#define KNN_VECTOR_CLONES __attribute__((target_clones("default", "avx2", "avx512f")))
#else
#define KNN_VECTOR_CLONES
#endif

namespace {

// ---------------------------------------------------------------- digamma --

// psi(c) for an integer c >= 1: the recurrence up to 16, then the
// asymptotic series (its next term is below 1e-16 there).
double digamma(std::size_t c) noexcept {
    double x = static_cast<double>(c);
    double shift = 0.0;
    for (; x < 16.0; x += 1.0) shift -= 1.0 / x;
    const double inv = 1.0 / x;
    const double inv2 = inv * inv;
    const double tail =
        inv2 * (1.0 / 12 - inv2 * (1.0 / 120 - inv2 * (1.0 / 252 - inv2 * (1.0 / 240 - inv2 / 132))));
    return shift + std::log(x) - 0.5 * inv - tail;
}

// ------------------------------------------------------------- log sums --

// Sum of logs, a block at a time: the mantissas of positive normal values
// are multiplied and their exponents added, so a block of up to kBlock
// values costs one log instead of one each. Anything else (zero,
// subnormal, negative or not finite) goes through std::log.
constexpr std::size_t kBlock = 256;
constexpr int kLanes = 4;  // independent products; 64 mantissas in [1, 2) stay below 2^64

struct Split {
    double mantissa;        // in [1, 2), or 1 for an odd value
    std::int64_t exponent;  // unbiased, or 0 for an odd value
    std::size_t odd;        // 1 for a value that is not a positive normal number
};

inline Split split(double v) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const std::uint64_t top = bits >> 52;  // sign and biased exponent
    const bool normal = top - 1 < 0x7FE;   // sign 0, exponent 1..2046
    const std::uint64_t one = (bits & 0x000FFFFFFFFFFFFFULL) | 0x3FF0000000000000ULL;
    double mantissa;
    std::memcpy(&mantissa, &one, sizeof mantissa);
    return {normal ? mantissa : 1.0, normal ? static_cast<std::int64_t>(top) - 1023 : 0,
            normal ? 0u : 1u};
}

constexpr double kLn2 = 0.6931471805599453;

// Sum of log r[j] for j < count (count <= kBlock).
KNN_VECTOR_CLONES
double sum_log_block(const double* r, std::size_t count) noexcept {
    double product[kLanes] = {1.0, 1.0, 1.0, 1.0};
    std::int64_t exponents = 0;
    std::size_t odd = 0;
    std::size_t j = 0;
    for (; j + kLanes <= count; j += kLanes) {
        for (int lane = 0; lane < kLanes; ++lane) {
            const Split part = split(r[j + lane]);
            product[lane] *= part.mantissa;
            exponents += part.exponent;
            odd += part.odd;
        }
    }
    for (; j < count; ++j) {
        const Split part = split(r[j]);
        product[0] *= part.mantissa;
        exponents += part.exponent;
        odd += part.odd;
    }
    double total = static_cast<double>(exponents) * kLn2 +
                   std::log(product[0] * product[1]) + std::log(product[2] * product[3]);
    if (odd) {
        for (std::size_t i = 0; i < count; ++i) {
            if (split(r[i]).odd) total += std::log(r[i]);
        }
    }
    return total;
}

class LogSum {
public:
    void add(const double* r, std::size_t count) noexcept { total_ += sum_log_block(r, count); }
    double total() const noexcept { return total_; }

private:
    double total_ = 0.0;
};

// ------------------------------------------------------------ tie groups --

struct Group {
    std::size_t start;
    std::size_t count;
};

class Grid {
public:
    explicit Grid(double resolution) noexcept : resolution_(resolution) {}
    double cell(double v) const noexcept { return std::rint(v / resolution_); }
    // Two values of one cell differ by less than this, for any value with
    // |v| / resolution < 2^52: the rounding of each quotient adds at most
    // one cell width, the subtraction a relative 2^-53.
    double reach() const noexcept { return 3.0 * resolution_; }

private:
    double resolution_;
};

// Last index of the run of cell `target` that starts at `first`, searched
// by doubling steps, then by halving.
std::size_t run_end(const double* s, std::size_t n, const Grid& grid, std::size_t first,
                    double target) noexcept {
    std::size_t inside = first;  // known to be in the run
    std::size_t step = 1;
    std::size_t outside = n;     // first index known to be past it (n: none known)
    while (true) {
        const std::size_t probe = inside + step;
        if (probe >= n) break;
        if (grid.cell(s[probe]) != target) {
            outside = probe;
            break;
        }
        inside = probe;
        step *= 2;
    }
    while (outside - inside > 1) {
        const std::size_t mid = inside + (outside - inside) / 2;
        if (grid.cell(s[mid]) == target) {
            inside = mid;
        } else {
            outside = mid;
        }
    }
    return inside;
}

// The runs of more than k consecutive sorted values that share a cell, in
// order. A run has more than k members exactly when a window of k + 1
// values starting at its first member lies in one cell; windows wider than
// a cell are skipped on a subtraction alone.
void find_tie_groups(const double* s, std::size_t n, std::size_t k, const Grid& grid,
                     std::vector<Group>& groups) {
    const double reach = grid.reach();
    const std::size_t stop = n - k;  // window starts; n > k
    std::size_t a = 0;
    while (a < stop) {
        if (!(s[a + k] - s[a] < reach) || grid.cell(s[a]) != grid.cell(s[a + k])) {
            ++a;
            continue;
        }
        const std::size_t last = run_end(s, n, grid, a + k, grid.cell(s[a]));
        groups.push_back({a, last - a + 1});
        a = last + 1;
    }
}

// Whether s is in ascending order with finite ends (so finite throughout).
KNN_VECTOR_CLONES
bool ascending_and_finite(const double* s, std::size_t n) noexcept {
    bool ascending = true;
    for (std::size_t i = 0; i + 1 < n; ++i) ascending &= s[i] <= s[i + 1];
    return ascending && std::isfinite(s[0]) && std::isfinite(s[n - 1]);
}

// ------------------------------------------------------------------- scan --

// k-th neighbour distance of point i in the sorted array s, checking bounds.
// A window of k + 1 values holding i starts at i - a for a in [lo, hi].
inline double kth_distance_edge(const double* s, std::size_t n, std::size_t k, std::size_t i) noexcept {
    const std::size_t lo = (i + k >= n) ? i + k - (n - 1) : 0;  // keep i + k - a <= n - 1
    const std::size_t hi = std::min(k, i);                       // keep i - a >= 0
    double best = std::numeric_limits<double>::infinity();
    for (std::size_t a = lo; a <= hi; ++a) {
        const double left = s[i] - s[i - a];
        const double right = s[i + k - a] - s[i];
        const double extent = left > right ? left : right;
        best = extent < best ? extent : best;
    }
    return best;
}

// k-th neighbour distances of `count` (<= kBlock) consecutive points from
// `start`, all of whose windows fit in the array (k <= start, start + count
// + k <= n). The window offset is the outer loop so that the inner loop is
// a plain element-wise min/max the compiler vectorises.
KNN_VECTOR_CLONES
void kth_distances_inner(const double* s, std::size_t k, std::size_t start, std::size_t count,
                         double* r) noexcept {
    const double* c = s + start;
    for (std::size_t j = 0; j < count; ++j) r[j] = c[j + k] - c[j];  // the window starting at i
    for (std::size_t a = 1; a <= k; ++a) {
        const double* lft = c - a;
        const double* rgt = c + (k - a);
        for (std::size_t j = 0; j < count; ++j) {
            const double left = c[j] - lft[j];
            const double right = rgt[j] - c[j];
            const double extent = left > right ? left : right;
            r[j] = extent < r[j] ? extent : r[j];
        }
    }
}

// Adds log r_i for every point i in [lo, hi) to `sum`.
void sum_log_range(const double* s, std::size_t n, std::size_t k, std::size_t lo, std::size_t hi,
                   LogSum& sum) noexcept {
    double r[kBlock];
    std::size_t filled = 0;
    auto edge = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            r[filled++] = kth_distance_edge(s, n, k, i);
            if (filled == kBlock) {
                sum.add(r, filled);
                filled = 0;
            }
        }
        if (filled) {
            sum.add(r, filled);
            filled = 0;
        }
    };
    // Points whose every window fits in the array: i in [k, n - k).
    const std::size_t inner_lo = std::max(lo, std::min(k, hi));
    const std::size_t inner_hi = std::max(inner_lo, std::min(hi, n > k ? n - k : 0));
    edge(lo, inner_lo);
    for (std::size_t start = inner_lo; start < inner_hi; start += kBlock) {
        const std::size_t count = std::min(kBlock, inner_hi - start);
        kth_distances_inner(s, k, start, count, r);
        sum.add(r, count);
    }
    edge(inner_hi, hi);
}

// The whole sum for a sorted sample; groups receives the tie groups.
double sum_log_kth_sorted(const double* s, std::size_t n, std::size_t k, double resolution,
                          std::vector<Group>& groups) {
    const Grid grid(resolution);
    find_tie_groups(s, n, k, grid, groups);
    LogSum distances;
    double tied = 0.0;
    const double base = digamma(k) + std::log(resolution / 2);
    std::size_t next = 0;  // first point not yet counted
    for (const Group& group : groups) {
        sum_log_range(s, n, k, next, group.start, distances);
        tied += static_cast<double>(group.count) * (base - digamma(group.count));
        next = group.start + group.count;
    }
    sum_log_range(s, n, k, next, n, distances);
    return distances.total() + tied;
}

// ------------------------------------------------------------ Python glue --

bool is_native_double_format(const char* fmt) noexcept {
    if (fmt == nullptr) return true;  // no format means unsigned bytes, caught by itemsize
    if (fmt[0] == '@' || fmt[0] == '=') ++fmt;
#if PY_LITTLE_ENDIAN
    else if (fmt[0] == '<') ++fmt;
#else
    else if (fmt[0] == '>' || fmt[0] == '!') ++fmt;
#endif
    return fmt[0] == 'd' && fmt[1] == '\0';
}

// |v| / resolution must stay below this for the grid to be exact.
constexpr double kGridLimit = 4503599627370496.0;  // 2^52

enum class Outcome { ok, no_memory, not_sorted, too_fine };

PyObject* sum_log_kth(PyObject* /*module*/, PyObject* args) noexcept {
    PyObject* obj = nullptr;
    Py_ssize_t k = 0;
    double resolution = 0.0;
    if (!PyArg_ParseTuple(args, "Ond:sum_log_kth", &obj, &k, &resolution)) return nullptr;

    if (!(resolution > 0.0) || !std::isfinite(resolution)) {
        PyErr_Format(PyExc_ValueError, "resolution must be a finite number > 0, got %R",
                     PyTuple_GET_ITEM(args, 2));
        return nullptr;
    }

    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "x must support the buffer protocol as a C-contiguous array of "
                     "float64, got %.200s", Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    if (view.ndim != 1 || view.itemsize != static_cast<Py_ssize_t>(sizeof(double)) ||
        !is_native_double_format(view.format)) {
        PyErr_Format(PyExc_ValueError,
                     "x must be a one-dimensional float64 buffer, got ndim=%d, "
                     "format '%s', itemsize %zd",
                     view.ndim, view.format ? view.format : "B", view.itemsize);
        PyBuffer_Release(&view);
        return nullptr;
    }
    const Py_ssize_t n = view.shape ? view.shape[0] : view.len / view.itemsize;
    if (n < 2) {
        PyErr_Format(PyExc_ValueError, "need at least 2 points, got n=%zd (k=%zd)", n, k);
        PyBuffer_Release(&view);
        return nullptr;
    }
    if (k < 1 || k >= n) {
        PyErr_Format(PyExc_ValueError, "k must satisfy 1 <= k < n, got k=%zd with n=%zd", k, n);
        PyBuffer_Release(&view);
        return nullptr;
    }

    const double* data = static_cast<const double*>(view.buf);
    const std::size_t count = static_cast<std::size_t>(n);
    const std::size_t kk = static_cast<std::size_t>(k);
    double result = 0.0;
    double largest = 0.0;
    Outcome outcome = Outcome::ok;

    Py_BEGIN_ALLOW_THREADS
    if (!ascending_and_finite(data, count)) {
        outcome = Outcome::not_sorted;
    } else {
        largest = std::max(std::fabs(data[0]), std::fabs(data[count - 1]));
        if (!(largest / resolution < kGridLimit)) {
            outcome = Outcome::too_fine;
        } else {
            try {
                std::vector<Group> groups;
                result = sum_log_kth_sorted(data, count, kk, resolution, groups);
            } catch (...) {  // only allocation can throw here
                outcome = Outcome::no_memory;
            }
        }
    }
    Py_END_ALLOW_THREADS

    PyBuffer_Release(&view);
    switch (outcome) {
        case Outcome::no_memory:
            return PyErr_NoMemory();
        case Outcome::not_sorted:
            PyErr_Format(PyExc_ValueError,
                         "x must be sorted in ascending order and hold only finite values "
                         "(n=%zd, k=%zd)", n, k);
            return nullptr;
        case Outcome::too_fine: {
            PyObject* big = PyFloat_FromDouble(largest);
            if (big == nullptr) return nullptr;
            PyErr_Format(PyExc_ValueError,
                         "resolution %R is too fine for values as large as %R: "
                         "|x| / resolution must stay below 2**52 (n=%zd, k=%zd)",
                         PyTuple_GET_ITEM(args, 2), big, n, k);
            Py_DECREF(big);
            return nullptr;
        }
        case Outcome::ok:
            break;
    }
    return PyFloat_FromDouble(result);
}

PyMethodDef knn_methods[] = {
    {"sum_log_kth", sum_log_kth,
     METH_VARARGS,
     "sum_log_kth(x, k, resolution, /)\n--\n\n"
     "Sum over the points of the sorted float64 vector x of log r_i, where r_i is\n"
     "the distance from point i to its k-th nearest other point, except for the\n"
     "points of a tie group (more than k values in one cell of the grid of width\n"
     "resolution, c of them), which count with psi(k) - psi(c) + log(resolution / 2).\n"
     "Requires 1 <= k < len(x), x ascending and finite, resolution > 0 and\n"
     "|x| / resolution < 2**52."},
    {nullptr, nullptr, 0, nullptr},
};

// The Python side checks samples in several dimensions against the same limit.
int knn_exec(PyObject* module) noexcept {
    PyObject* limit = PyFloat_FromDouble(kGridLimit);
    if (limit == nullptr) return -1;
    const int status = PyModule_AddObjectRef(module, "GRID_LIMIT", limit);
    Py_DECREF(limit);
    return status;
}

PyModuleDef_Slot knn_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(knn_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef knn_module = {
    PyModuleDef_HEAD_INIT,
    "tessel._knn",
    "k-nearest-neighbour distances of one-dimensional samples.",
    0,
    knn_methods,
    knn_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__knn(void) { return PyModuleDef_Init(&knn_module); }
