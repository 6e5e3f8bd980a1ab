// Nearest-neighbour kernel for one-dimensional samples.
//
// sum_log_kth(x, k, floor) sorts a copy of x once and, for every point, finds
// the distance to its k-th nearest other point by scanning the k + 1 windows
// of k + 1 consecutive sorted values that contain it (the k nearest others of
// a point on a line always form such a window). It returns
//
//     sum_i log(max(r_i, floor))
//
// which is all the Python side needs for the Kozachenko-Leonenko estimate.
// Cost: one sort (an LSD radix sort on the IEEE bit patterns for large
// inputs, std::sort for small ones) plus O(n k) for the scan, all with the
// GIL released.
//
// Nothing here lets a C++ exception reach the interpreter: the entry point is
// noexcept, allocation failures become MemoryError, and every Python error is
// raised after the GIL has been re-acquired.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace {

// ---------------------------------------------------------------- sorting --

// Map a double to an unsigned key whose integer order is the numeric order
// (for finite values; -0.0 sorts just before +0.0, which is harmless here).
inline std::uint64_t to_key(double v) noexcept {
    std::uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    return (u & 0x8000000000000000ULL) ? ~u : (u | 0x8000000000000000ULL);
}

inline double from_key(std::uint64_t u) noexcept {
    u = (u & 0x8000000000000000ULL) ? (u & 0x7FFFFFFFFFFFFFFFULL) : ~u;
    double v;
    std::memcpy(&v, &u, sizeof v);
    return v;
}

// Eight-bit digits: eight passes, but each histogram (256 counters) and each
// scatter (256 write streams) stays cache-friendly, which beats fewer, wider
// passes on large inputs.
constexpr int kDigitBits = 8;
constexpr int kBuckets = 1 << kDigitBits;
constexpr int kPasses = (64 + kDigitBits - 1) / kDigitBits;
constexpr std::size_t kRadixMin = 4096;  // below this std::sort is faster

// Untyped storage for n eight-byte values; it holds radix keys first and the
// sorted doubles at the end. Large blocks are aligned to 2 MiB and offered
// to the kernel for transparent huge pages, which saves most of the page
// faults of touching fresh memory.
class Scratch {
public:
    explicit Scratch(std::size_t n) {
        const std::size_t bytes = std::max<std::size_t>(n, 1) * sizeof(std::uint64_t);
        if (bytes >= kHugeThreshold) {
            const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
            ptr_ = std::aligned_alloc(kHugePage, rounded);
#if defined(MADV_HUGEPAGE)
            if (ptr_ != nullptr) madvise(ptr_, rounded, MADV_HUGEPAGE);
#endif
        } else {
            ptr_ = std::malloc(bytes);
        }
        if (ptr_ == nullptr) throw std::bad_alloc();
    }
    ~Scratch() { std::free(ptr_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::uint64_t* keys() const noexcept { return static_cast<std::uint64_t*>(ptr_); }

private:
    static constexpr std::size_t kHugePage = std::size_t{1} << 21;
    static constexpr std::size_t kHugeThreshold = std::size_t{4} << 20;
    void* ptr_ = nullptr;
};

// Sorts the n doubles at data into ascending order, using a and b (n slots
// each) as scratch; returns a pointer to the sorted values, which live in a
// or b. Returns nullptr, having sorted nothing, if a value is not finite.
const double* radix_sort(const double* data, std::size_t n, const Scratch& a, const Scratch& b) {
    std::uint64_t* src = a.keys();
    std::uint64_t* dst = b.keys();
    // One read pass converts to keys, checks finiteness and builds the
    // histograms of every digit.
    std::vector<std::size_t> hist(static_cast<std::size_t>(kPasses) * kBuckets, 0);
    bool finite = true;
    for (std::size_t i = 0; i < n; ++i) {
        finite &= std::isfinite(data[i]);
        const std::uint64_t key = to_key(data[i]);
        src[i] = key;
        for (int p = 0; p < kPasses; ++p) {
            ++hist[static_cast<std::size_t>(p) * kBuckets + ((key >> (p * kDigitBits)) & (kBuckets - 1))];
        }
    }
    if (!finite) return nullptr;
    for (int p = 0; p < kPasses; ++p) {
        std::size_t* h = hist.data() + static_cast<std::size_t>(p) * kBuckets;
        const int shift = p * kDigitBits;
        // A digit shared by every key leaves the order unchanged: skip the pass.
        if (h[(src[0] >> shift) & (kBuckets - 1)] == n) continue;
        std::size_t offset = 0;
        for (int bucket = 0; bucket < kBuckets; ++bucket) {
            const std::size_t count = h[bucket];
            h[bucket] = offset;
            offset += count;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t key = src[i];
            dst[h[(key >> shift) & (kBuckets - 1)]++] = key;
        }
        std::swap(src, dst);
    }
    // Turn the sorted keys back into doubles, in place.
    for (std::size_t i = 0; i < n; ++i) {
        const double value = from_key(src[i]);
        ::new (static_cast<void*>(src + i)) double(value);
    }
    return std::launder(reinterpret_cast<const double*>(src));
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

constexpr std::size_t kBlock = 256;

// Sum of log(max(r_i, floor)) over all points of the sorted array s.
double sum_log_kth_sorted(const double* s, std::size_t n, std::size_t k, double floor) noexcept {
    double total = 0.0;
    double r[kBlock];
    auto flush = [&](std::size_t count) {
        double part = 0.0;
        for (std::size_t j = 0; j < count; ++j) {
            const double v = r[j] > floor ? r[j] : floor;
            part += std::log(v);
        }
        total += part;
    };

    // Points whose every candidate window fits inside the array: i in [k, n - k).
    const std::size_t inner_lo = k;
    const std::size_t inner_hi = n > k ? n - k : 0;

    std::size_t filled = 0;
    for (std::size_t i = 0; i < std::min(inner_lo, n); ++i) {
        r[filled++] = kth_distance_edge(s, n, k, i);
        if (filled == kBlock) { flush(filled); filled = 0; }
    }
    if (filled) { flush(filled); filled = 0; }

    // Interior, block by block, with the window offset in the outer loop so
    // the inner loop is a plain element-wise min/max the compiler vectorises.
    for (std::size_t start = inner_lo; start < inner_hi; start += kBlock) {
        const std::size_t count = std::min(kBlock, inner_hi - start);
        const double* c = s + start;
        for (std::size_t j = 0; j < count; ++j) {
            // a = 0: the window starts at the point itself.
            r[j] = c[j + k] - c[j];
        }
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
        flush(count);
    }

    for (std::size_t i = std::max(inner_hi, inner_lo); i < n; ++i) {
        r[filled++] = kth_distance_edge(s, n, k, i);
        if (filled == kBlock) { flush(filled); filled = 0; }
    }
    if (filled) flush(filled);
    return total;
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

enum class Outcome { ok, no_memory, not_finite };

PyObject* sum_log_kth(PyObject* /*module*/, PyObject* args) noexcept {
    PyObject* obj = nullptr;
    Py_ssize_t k = 0;
    double floor = 0.0;
    if (!PyArg_ParseTuple(args, "Ond:sum_log_kth", &obj, &k, &floor)) return nullptr;

    if (!(floor > 0.0) || !std::isfinite(floor)) {
        PyErr_Format(PyExc_ValueError, "floor must be a finite number > 0, got %R",
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
    Outcome outcome = Outcome::ok;

    Py_BEGIN_ALLOW_THREADS
    try {
        if (count >= kRadixMin) {
            Scratch a(count), b(count);
            const double* sorted = radix_sort(data, count, a, b);
            if (sorted == nullptr) {
                outcome = Outcome::not_finite;
            } else {
                result = sum_log_kth_sorted(sorted, count, kk, floor);
            }
        } else {
            std::vector<double> sorted(data, data + count);
            bool finite = true;
            for (double v : sorted) finite &= std::isfinite(v);
            if (!finite) {
                outcome = Outcome::not_finite;
            } else {
                std::sort(sorted.begin(), sorted.end());  // finite: a strict weak order
                result = sum_log_kth_sorted(sorted.data(), count, kk, floor);
            }
        }
    } catch (const std::bad_alloc&) {
        outcome = Outcome::no_memory;
    } catch (...) {
        outcome = Outcome::no_memory;  // only allocation can throw here
    }
    Py_END_ALLOW_THREADS

    PyBuffer_Release(&view);
    switch (outcome) {
        case Outcome::no_memory:
            return PyErr_NoMemory();
        case Outcome::not_finite:
            PyErr_Format(PyExc_ValueError,
                         "x must hold only finite values (n=%zd, k=%zd)", n, k);
            return nullptr;
        case Outcome::ok:
            break;
    }
    return PyFloat_FromDouble(result);
}

PyMethodDef knn_methods[] = {
    {"sum_log_kth", sum_log_kth,
     METH_VARARGS,
     "sum_log_kth(x, k, floor, /)\n--\n\n"
     "Sum over the points of the float64 vector x of log(max(r_i, floor)), where\n"
     "r_i is the distance from point i to its k-th nearest other point.\n"
     "Requires 1 <= k < len(x), finite values and floor > 0."},
    {nullptr, nullptr, 0, nullptr},
};

int knn_exec(PyObject* /*module*/) noexcept { return 0; }

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
