// The contour search of a swept mask in tiles: it scans every pixel it is
// given, so a few defects on a large frame would cost a whole-image scan per
// pass. The tiles are packed into one small image and searched in one call
// (each library call hands the GIL to a waiting thread and queues for it).
#include "tiled_contours.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "../module/fast_path.hpp"
#include "../module/long_work.hpp"
#include "../module/names.hpp"

namespace qel {

namespace {

FastPath g_contour_search("the contour search of swept masks",
                          {"_cv.findContours", "_cv.RETR_EXTERNAL", "_cv.CHAIN_APPROX_NONE"});
const size_t kFind = g_contour_search.index("_cv.findContours");
const size_t kExternal = g_contour_search.index("_cv.RETR_EXTERNAL");
const size_t kNone = g_contour_search.index("_cv.CHAIN_APPROX_NONE");

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
    if (a == nullptr || PyArray_TYPE(a) != NPY_INT32 || PyArray_NDIM(a) != 3 || PyArray_DIM(a, 0) < 1 ||
        PyArray_DIM(a, 1) != 1 || PyArray_DIM(a, 2) != 2 || !PyArray_ISCARRAY_RO(a)) {
        return false;
    }
    std::int32_t xy[2];
    std::memcpy(xy, PyArray_DATA(a), sizeof xy);
    at = {xy[1], xy[0]};
    return true;
}

/// A tile and where it sits in the packed image.
struct Placed {
    Tile tile;
    Py_ssize_t px, py;
};

/// Tiles side by side on shelves, a zero column or row between any two (so
/// no component can touch another tile's), in a pw x ph image.
std::vector<Placed> pack(const std::vector<Tile>& tiles, Py_ssize_t& pw, Py_ssize_t& ph) {
    Py_ssize_t area = 0, widest = 0;
    for (const Tile& t : tiles) {
        area += t.area();
        widest = std::max(widest, t.x1 - t.x0);
    }
    // Roughly square, so the search's row overhead stays small.
    const Py_ssize_t shelf = std::max(widest, static_cast<Py_ssize_t>(std::sqrt(static_cast<double>(area))) * 2);
    std::vector<Placed> out;
    Py_ssize_t x = 0, y = 0, tallest = 0;
    pw = 0;
    for (const Tile& t : tiles) {
        const Py_ssize_t tw = t.x1 - t.x0, th = t.y1 - t.y0;
        if (x > 0 && x + tw > shelf) {
            y += tallest + 1;
            x = 0;
            tallest = 0;
        }
        out.push_back({t, x, y});
        pw = std::max(pw, x + tw);
        tallest = std::max(tallest, th);
        x += tw + 1;
    }
    ph = y + tallest;
    return out;
}

void free_buffer(PyObject* capsule) {
    delete static_cast<std::vector<unsigned char>*>(PyCapsule_GetPointer(capsule, "qel_cv.packed"));
}

/// The packed pixels as a uint8 array that owns them (through a capsule).
Ref packed_image(std::unique_ptr<std::vector<unsigned char>> buffer, Py_ssize_t pw, Py_ssize_t ph) {
    Ref capsule = check(PyCapsule_New(buffer.get(), "qel_cv.packed", free_buffer));
    std::vector<unsigned char>* pixels = buffer.release();
    npy_intp dims[2] = {ph, pw};
    Ref array = check(PyArray_SimpleNewFromData(2, dims, NPY_UINT8, pixels->data()));
    check(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()));
    return array;
}

/// A copy of a found contour (int32, N x 1 x 2) moved by (dx, dy).
Ref moved_contour(PyObject* contour, long dx, long dy) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(contour);
    Ref copy = check(PyArray_NewLikeArray(a, NPY_CORDER, nullptr, 0));
    const npy_intp n = PyArray_SIZE(a) / 2;
    const std::int32_t* from = static_cast<const std::int32_t*>(PyArray_DATA(a));
    std::int32_t* to = static_cast<std::int32_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(copy.get())));
    for (npy_intp i = 0; i < n; ++i) {
        to[2 * i] = static_cast<std::int32_t>(from[2 * i] + dx);
        to[2 * i + 1] = static_cast<std::int32_t>(from[2 * i + 1] + dy);
    }
    return copy;
}

}  // namespace

FastPath& contour_search() { return g_contour_search; }

Ref tiled_contours(const Mask& mask) {
    if (!mask.any || mask.rows.empty() || !g_contour_search.unchanged()) {
        return Ref();
    }
    PyArrayObject* image = reinterpret_cast<PyArrayObject*>(mask.image.get());
    const unsigned char* pixels = reinterpret_cast<const unsigned char*>(PyArray_BYTES(image));
    const Py_ssize_t row_stride = PyArray_STRIDE(image, 0);

    // Tiles are cut and packed without the GIL: only the mask (no one else
    // holds it), its row spans and the new buffer are touched. An allocation
    // failure is raised once the GIL is back.
    std::vector<Placed> placed;
    auto buffer = std::make_unique<std::vector<unsigned char>>();
    Py_ssize_t pw = 0, ph = 0;
    bool out_of_memory = false;
    run_released(1, 1, [&](Py_ssize_t, Py_ssize_t) {
        try {
            std::vector<Tile> tiles;
            std::vector<unsigned char> used;
            for (const Tile& band : bands(mask.rows)) {
                cut_columns(band, mask.rows, pixels, row_stride, used, tiles);
            }
            placed = pack(tiles, pw, ph);
            buffer->assign(static_cast<size_t>(pw * ph), 0);
            for (const Placed& p : placed) {
                // Rows the sweep left unwritten stay zero.
                for (Py_ssize_t y = p.tile.y0; y < p.tile.y1; ++y) {
                    if (!mask.rows[y].empty()) {
                        std::memcpy(buffer->data() + (p.py + y - p.tile.y0) * pw + p.px,
                                    pixels + y * row_stride + p.tile.x0, static_cast<size_t>(p.tile.x1 - p.tile.x0));
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

    // One search over the packed tiles. A single tile's offset is put back by
    // the search itself; with several, each contour is moved back by its own.
    Ref packed = packed_image(std::move(buffer), pw, ph);
    Ref offset = placed.size() == 1 ? tuple_of({index_value(placed[0].tile.x0 - placed[0].px),
                                                index_value(placed[0].tile.y0 - placed[0].py)})
                                    : tuple_of({index_value(0), index_value(0)});
    Ref result = call(g_contour_search.original(kFind),
                      {packed, g_contour_search.original(kExternal), g_contour_search.original(kNone)},
                      {{QS("offset"), offset}});
    // (contours, hierarchy), or (image, contours, hierarchy) from older releases.
    Ref part = item(result, length(result) - 2);
    std::vector<std::pair<std::pair<long, long>, Ref>> found;
    Iter it(part);
    while (Ref c = it.next()) {
        std::pair<long, long> at;
        if (!first_point(c.get(), at)) {
            return Ref();  // not the search's own output after all: search the whole mask
        }
        if (placed.size() > 1) {
            const Placed* home = nullptr;
            for (const Placed& p : placed) {
                if (at.first >= p.py && at.first < p.py + (p.tile.y1 - p.tile.y0) && at.second >= p.px &&
                    at.second < p.px + (p.tile.x1 - p.tile.x0)) {
                    home = &p;
                    break;
                }
            }
            if (home == nullptr) {
                return Ref();
            }
            c = moved_contour(c.get(), home->tile.x0 - home->px, home->tile.y0 - home->py);
            at = {at.first + home->tile.y0 - home->py, at.second + home->tile.x0 - home->px};
        }
        found.emplace_back(at, std::move(c));
    }
    // Last found first: descending first points in the whole mask. Each pixel
    // starts at most one outer contour, so the order is total.
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    g_contour_search.taken();
    Ref contours = check(PyList_New(static_cast<Py_ssize_t>(found.size())));
    for (size_t i = 0; i < found.size(); ++i) {
        PyList_SET_ITEM(contours.get(), static_cast<Py_ssize_t>(i), found[i].second.release());
    }
    return contours;
}

}  // namespace qel
