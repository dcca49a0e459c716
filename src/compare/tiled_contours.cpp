// The contour search of a swept mask in tiles: it scans every pixel it is
// given, so a few defects on a large frame cost a whole-image scan per pass.
#include "tiled_contours.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "../module/fast_path.hpp"
#include "../module/long_work.hpp"
#include "../module/names.hpp"

namespace qel {

namespace {

FastPath g_contour_search("the contour search of swept masks",
                          {"_cv.findContours", "_cv.RETR_EXTERNAL", "_cv.CHAIN_APPROX_NONE"});

/// A search costs a call besides its pixels; tiles are merged while that
/// costs fewer pixels than this (merging is exact too: a merged tile still
/// holds whole components).
constexpr Py_ssize_t kCallCost = 16384;

struct Tile {
    Py_ssize_t y0, y1, x0, x1;
    Py_ssize_t area() const { return (y1 - y0) * (x1 - x0); }
    Tile joined(const Tile& o) const {
        return {std::min(y0, o.y0), std::max(y1, o.y1), std::min(x0, o.x0), std::max(x1, o.x1)};
    }
};

/// Append `t` to `tiles`, merged into the last one when that is cheaper.
void add_tile(std::vector<Tile>& tiles, const Tile& t) {
    if (!tiles.empty()) {
        const Tile merged = tiles.back().joined(t);
        if (merged.area() <= tiles.back().area() + t.area() + kCallCost) {
            tiles.back() = merged;
            return;
        }
    }
    tiles.push_back(t);
}

/// Bands of rows with pixels, cut where a row is empty.
std::vector<Tile> bands(const std::vector<RowSpan>& rows) {
    std::vector<Tile> out;
    const Py_ssize_t h = static_cast<Py_ssize_t>(rows.size());
    for (Py_ssize_t y = 0; y < h;) {
        if (rows[y].empty()) {
            ++y;
            continue;
        }
        Tile b{y, y, rows[y].first, rows[y].last + 1};
        for (; b.y1 < h && !rows[b.y1].empty(); ++b.y1) {
            b.x0 = std::min(b.x0, rows[b.y1].first);
            b.x1 = std::max(b.x1, rows[b.y1].last + 1);
        }
        y = b.y1;
        add_tile(out, b);
    }
    return out;
}

/// A band cut where a column is empty over all its written rows.
void cut_columns(const Tile& band, const std::vector<RowSpan>& rows, const unsigned char* pixels,
                 Py_ssize_t row_stride, std::vector<unsigned char>& used, std::vector<Tile>& out) {
    const Py_ssize_t w = band.x1 - band.x0;
    used.assign(static_cast<size_t>(w), 0);
    for (Py_ssize_t y = band.y0; y < band.y1; ++y) {
        if (rows[y].empty()) {
            continue;  // not written
        }
        const unsigned char* row = pixels + y * row_stride + band.x0;
        for (Py_ssize_t x = 0; x < w; ++x) {
            used[x] |= row[x];
        }
    }
    std::vector<Tile> tiles;
    for (Py_ssize_t x = 0; x < w;) {
        if (used[x] == 0) {
            ++x;
            continue;
        }
        Tile t{band.y0, band.y1, band.x0 + x, 0};
        while (x < w && used[x] != 0) {
            ++x;
        }
        t.x1 = band.x0 + x;
        add_tile(tiles, t);
    }
    out.insert(out.end(), tiles.begin(), tiles.end());
}

/// The first point of a contour as the search returns it (int32, N x 1 x 2),
/// as (row, column); false for anything else.
bool first_point(PyObject* contour, std::pair<long, long>& at) {
    PyArrayObject* a = exact_array(contour);
    if (a == nullptr || PyArray_TYPE(a) != NPY_INT32 || PyArray_SIZE(a) < 2 || !PyArray_ISCARRAY_RO(a)) {
        return false;
    }
    std::int32_t xy[2];
    std::memcpy(xy, PyArray_DATA(a), sizeof xy);
    at = {xy[1], xy[0]};
    return true;
}

}  // namespace

bool contour_search_unchanged() { return g_contour_search.unchanged(); }

Ref tiled_contours(const Mask& mask) {
    if (!mask.any || mask.rows.empty() || !g_contour_search.unchanged()) {
        return Ref();
    }
    PyArrayObject* image = reinterpret_cast<PyArrayObject*>(mask.image.get());
    unsigned char* pixels = reinterpret_cast<unsigned char*>(PyArray_BYTES(image));
    const Py_ssize_t row_stride = PyArray_STRIDE(image, 0);
    // Tiles are cut without the GIL: only the mask (no one else holds it) and
    // its row spans are read. An allocation failure is raised once it is back.
    std::vector<Tile> tiles;
    bool out_of_memory = false;
    run_released(1, 1, [&](Py_ssize_t, Py_ssize_t) {
        try {
            std::vector<unsigned char> used;
            for (const Tile& band : bands(mask.rows)) {
                cut_columns(band, mask.rows, pixels, row_stride, used, tiles);
            }
            // The sweep left rows without pixels unwritten; a tile merged
            // across such rows reads them as zeros.
            for (const Tile& t : tiles) {
                for (Py_ssize_t y = t.y0; y < t.y1; ++y) {
                    if (mask.rows[y].empty()) {
                        std::memset(pixels + y * row_stride + t.x0, 0, static_cast<size_t>(t.x1 - t.x0));
                    }
                }
            }
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
        return true;
    });
    if (out_of_memory) {
        throw std::bad_alloc();
    }

    PyObject* find = g_contour_search.original(0);
    PyObject* mode = g_contour_search.original(1);
    PyObject* method = g_contour_search.original(2);
    std::vector<std::pair<std::pair<long, long>, Ref>> found;
    for (const Tile& t : tiles) {
        Ref view = crop(mask.image, index_value(t.x0), index_value(t.y0), index_value(t.x1), index_value(t.y1));
        Ref offset = tuple_of({index_value(t.x0), index_value(t.y0)});
        Ref result = call(find, {view, mode, method}, {{QS("offset"), offset}});
        // (contours, hierarchy), or (image, contours, hierarchy) from older releases.
        Ref part = item(result, length(result) - 2);
        Iter it(part);
        while (Ref c = it.next()) {
            std::pair<long, long> at;
            if (!first_point(c.get(), at)) {
                return Ref();  // not the search's own output after all: search the whole mask
            }
            found.emplace_back(at, std::move(c));
        }
    }
    // Last found first: descending first points. Each pixel starts at most one
    // outer contour, so the order is total.
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    Ref contours = check(PyList_New(static_cast<Py_ssize_t>(found.size())));
    for (size_t i = 0; i < found.size(); ++i) {
        PyList_SET_ITEM(contours.get(), static_cast<Py_ssize_t>(i), found[i].second.release());
    }
    return contours;
}

}  // namespace qel
