#include "history.hpp"

#include <new>

#include "game.hpp"

namespace tarnex::python {

namespace {

// Each tile of a game is one of the catalogue's cells of some seat's pieces.
constexpr std::size_t kLongestGame = kPlayers * kCatalogueCells;

bool fail(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    return false;
}

bool read_int(PyObject* item, const std::string& prefix, const char* what, std::int64_t& out) {
    if (!PyLong_Check(item)) {
        return fail(PyExc_TypeError, prefix + what + " must be an int, not " + Py_TYPE(item)->tp_name);
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow != 0) return fail(PyExc_ValueError, prefix + what + " is out of range");
    if (value == -1 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool check_length(Py_ssize_t n, const std::string& what) {
    return n <= static_cast<Py_ssize_t>(kLongestGame) ||
           fail(PyExc_ValueError, what + " has " + std::to_string(n) + " entries; no game has more than " +
                                      std::to_string(kLongestGame));
}

bool read_entries(PyObject* history, const std::string& what, Moves& out) {
    // A sequence tells its length before any copy; PySequence_Fast copies
    // only other iterables (lists and tuples it returns as they are).
    if (PySequence_Check(history)) {
        const Py_ssize_t n = PySequence_Size(history);
        if (n < 0) PyErr_Clear();
        if (!check_length(n, what)) return false;
    }
    const std::string refusal = what + " must be a sequence of (seat, tile) pairs";
    Ref fast = Ref::steal(PySequence_Fast(history, refusal.c_str()));
    if (!fast || !check_length(PySequence_Size(fast.get()), what)) return false;
    // Reading an entry runs its own code (__len__, __getitem__), which may
    // change or empty a history list: the pairs are read from a tuple that
    // holds every entry for the whole call.
    Ref entries = Ref::steal(PySequence_Tuple(fast.get()));
    if (!entries) return false;
    fast.reset();
    const Py_ssize_t n = PyTuple_Size(entries.get());
    out.reserve(out.size() + static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* entry = PyTuple_GetItem(entries.get(), i);  // borrowed from the tuple we hold
        const std::string prefix = what + " entry " + std::to_string(i) + ": ";
        if (PyUnicode_Check(entry) || PyBytes_Check(entry) || !PySequence_Check(entry) ||
            PySequence_Size(entry) != 2) {
            PyErr_Clear();
            return fail(PyExc_TypeError, prefix + "expected a (seat, tile) pair, got " + Py_TYPE(entry)->tp_name);
        }
        Ref seat_item = Ref::steal(PySequence_GetItem(entry, 0));
        if (!seat_item) return false;
        Ref tile_item = Ref::steal(PySequence_GetItem(entry, 1));
        if (!tile_item) return false;
        std::int64_t seat = 0;
        std::int64_t tile = 0;
        if (!read_int(seat_item.get(), prefix, "seat", seat) || !read_int(tile_item.get(), prefix, "tile", tile)) {
            return false;
        }
        out.emplace_back(seat, tile);
    }
    return true;
}

}  // namespace

bool read_moves(PyObject* history, const std::string& what, Moves& out) {
    try {
        return read_entries(history, what, out);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

}  // namespace tarnex::python
