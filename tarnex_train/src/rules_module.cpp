// tarnex_train._rules: the rules library seen from Python, for rebuilding the
// positions of a recorded game, scoring games, showing the mover's choices and
// letting the reference players take a seat.
//
//   replay(history) -> (planes, movers, legal, payoff, terminal)
//
// Plays the (seat, tile) pairs of `history` from the starting position and
// returns, for each entry i, the position in which it was played:
//   planes   bytes, n * 2000: the 5 x 20 x 20 board state (0 or 1) in the
//            mover's frame, entry [i * 2000 + plane * 400 + row * 20 + col]
//   movers   bytes, n: the seat to move
//   legal    bytes, n * 400: 1 where the tile (board frame) is legal and
//            continues the mover's piece, 2 where it is legal and completes it
// and for the position after the last entry:
//   payoff   tuple of four floats by seat
//   terminal bool
//
//   position(history) -> (planes, mover, legal, payoff, terminal)
//            the position after the whole history, in the same forms
//            (planes 2000 bytes, mover an int, legal 400 bytes).
//
//   frame(mover) -> tuple of 400 ints: where board cell t lies in the planes
//                   of a position with `mover` to move.
//
//   pack_planes(planes) -> bytes, 2000: the engine's evaluation request
//            planes (5 lists of 20 lists of 20 truth values) as 0/1 bytes,
//            plane-major; what the workers send for every request, ten
//            times as fast as doing it in Python.
//
//   unpack_reply(payload) -> (policy, values) or None: tuples of the 400
//            and 4 floats of a raw reply (b"R" and 404 native 32-bit
//            floats); None for any other payload. An entry equal to the one
//            before it is the same float object: the network's policy is
//            0 off the legal tiles, so most of a reply costs no allocation.
//
//   reference_tile(history, kind, tie_break) -> int: the tile the reference
//            player `kind` ("greedy" or "lookahead") chooses in the position
//            after the history; `tie_break` (0 .. 2**64 - 1) picks among
//            equally ranked placements, the same one for every tile of a turn.
//
//   reference_placements(history, kind, tie_break) -> list of tuples: for
//            each entry, the tiles the reference player would choose from
//            the position before it to the end of that turn, in its order:
//            the player's target at positions it did not play itself.
//
//   scores(history) -> tuple of four ints by seat: the scores of the
//            position after the history (the final ones once it is over),
//            without building any planes: cheap enough for thousands of games.
//
//   placements(history) -> list of (piece, cells): the mover's placements
//            that can still be played as a whole this turn, given the tiles
//            chosen so far in it (choosing all their cells ends the turn; one
//            whose cells another placement covers along with more cannot);
//            piece the catalogue index, cells the board tiles ascending.
//
//   remaining(history) -> tuple of four tuples: each seat's remaining pieces
//            as catalogue indices.
//
//   pieces() -> tuple of 21 tuples of (row, col): each catalogue piece's
//            cells in its base orientation.
//
//   placement_planes(packed) -> bytes: B * 3200 bytes for the same input: per
//            position 8 planes of 400 cells in the planes' frame, for each
//            seat in plane order the size of the largest placement covering
//            the cell, then for each seat the number of placements covering it
//            (see placement_planes.hpp).
//
//   piece_features(packed) -> bytes: for B positions' planes as pack_planes
//            makes them (bytes, B * 2000), B * 84 bytes: for each position and
//            each of its four seats in plane order (relative to the mover), 21
//            flags in catalogue order, 1 where the seat still holds that piece
//            (read from the planes alone: see piece_features.hpp). A length
//            that is not a multiple of 2000 raises ValueError.
//
// Bad input raises TypeError (not pairs of integers) or ValueError (a seat
// that is not the mover's, a tile that is not legal, a move after the end, a
// history longer than any game), naming the entry. The work itself runs
// without the interpreter lock.
//
// Written against the limited subset of the C API that PyPy's cpyext layer
// provides as well (no direct struct access, no borrowed-buffer tricks).
#include "python_api/ref.hpp"  // Python.h comes first

#include <array>
#include <cstdint>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fault.hpp"
#include "game.hpp"
#include "piece_features.hpp"
#include "placement_planes.hpp"
#include "python_api/history.hpp"
#include "reference.hpp"
#include "wire_format.hpp"

namespace {

using tarnex::Game;
using tarnex::kBoardCells;
using tarnex::kPlayers;
using tarnex::python::Ref;

using tarnex::wire::kPlanesSize;
using History = tarnex::python::Moves;

struct Failure {
    PyObject* type;  // a borrowed exception type
    std::string message;
};

std::string entry_prefix(std::size_t index) { return "history entry " + std::to_string(index) + ": "; }

// Converts the history into plain pairs, with the interpreter lock held.
std::optional<Failure> read_history(PyObject* history, History& out) {
    if (!tarnex::python::read_moves(history, "history", out)) return Failure{nullptr, {}};  // the error is set
    return std::nullopt;
}

struct Replayed {
    std::string planes;
    std::string movers;
    std::string legal;
    std::array<float, kPlayers> payoff{};
    bool terminal = false;
    Game final;
};

// Legal tiles are marked 1, or 2 when choosing the tile completes the mover's
// piece (the turn passes): the search values such a child for the next seat,
// which the training side needs to know.
void write_position(const Game& game, char* planes, char* legal) {
    const tarnex::BoardState state = game.get_board_state();
    for (std::size_t k = 0; k < kPlanesSize; ++k) planes[k] = state[k] ? 1 : 0;
    const std::size_t mover = game.current_player;
    game.tile_moves.keys().for_each([&](std::size_t t) {
        Game next = game;
        next.apply(static_cast<tarnex::Tile>(t));
        legal[t] = next.board.pieces[mover] != game.board.pieces[mover] ? 2 : 1;
    });
}

// Plays the history; runs without the interpreter lock. With `record` set,
// the position in which each entry was played goes into `out` as well.
std::optional<Failure> play(const History& history, bool record, Replayed& out) {
    const std::size_t n = history.size();
    if (record) {
        out.planes.assign(n * kPlanesSize, '\0');
        out.movers.assign(n, '\0');
        out.legal.assign(n * kBoardCells, '\0');
    }
    Game game = Game::reset();
    for (std::size_t i = 0; i < n; ++i) {
        const auto [seat, tile] = history[i];
        const std::string prefix = entry_prefix(i);
        if (game.is_terminal()) {
            return Failure{PyExc_ValueError, prefix + "the game is already over"};
        }
        const long long mover = static_cast<long long>(game.current_player);
        if (seat != mover) {
            return Failure{PyExc_ValueError, prefix + "seat " + std::to_string(seat) +
                                                 " is not the player to move (player " + std::to_string(mover) +
                                                 " is)"};
        }
        if (tile < 0 || tile >= static_cast<long long>(kBoardCells)) {
            return Failure{PyExc_ValueError,
                           prefix + "tile " + std::to_string(tile) + " is outside the board (0..399)"};
        }
        if (record) {
            write_position(game, out.planes.data() + i * kPlanesSize, out.legal.data() + i * kBoardCells);
            out.movers[i] = static_cast<char>(mover);
        }
        if (!game.tile_moves.contains(static_cast<tarnex::Tile>(tile))) {
            return Failure{PyExc_ValueError, prefix + "tile " + std::to_string(tile) +
                                                 " is not a legal tile for player " + std::to_string(mover)};
        }
        if (auto error = game.apply(static_cast<tarnex::Tile>(tile))) {
            return Failure{PyExc_ValueError, prefix + *error};
        }
    }
    out.payoff = game.get_payoff();
    out.terminal = game.is_terminal();
    out.final = std::move(game);
    return std::nullopt;
}

PyObject* raise(const Failure& failure) {
    if (failure.type != nullptr) PyErr_SetString(failure.type, failure.message.c_str());
    return nullptr;
}

// Reads and plays the history, then hands the final game to `finish`
// (returning an optional Failure); playing and finishing run without the
// interpreter lock. False with the Python error set on failure.
template <class Finish>
bool run(PyObject* history, bool record, Replayed& replayed, Finish&& finish) {
    History pairs;
    std::optional<Failure> failure;
    try {
        failure = read_history(history, pairs);
        if (!failure) {
            std::exception_ptr thrown;
            Py_BEGIN_ALLOW_THREADS
            try {
                failure = play(pairs, record, replayed);
                if (!failure) failure = finish(replayed.final);
            } catch (...) {
                thrown = std::current_exception();
            }
            Py_END_ALLOW_THREADS
            if (thrown) std::rethrow_exception(thrown);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, (std::string("rules library fault: ") + e.what()).c_str());
        return false;
    }
    if (failure) {
        raise(*failure);
        return false;
    }
    return true;
}

PyObject* bytes_of(const std::string& data) {
    return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

// (payoff tuple, terminal bool) packed with the given leading items.
PyObject* pack(std::initializer_list<PyObject*> leading, const Replayed& replayed) {
    const auto& p = replayed.payoff;
    Ref payoff = Ref::steal(Py_BuildValue("(dddd)", double{p[0]}, double{p[1]}, double{p[2]}, double{p[3]}));
    if (!payoff) return nullptr;
    Ref terminal = Ref::steal(PyBool_FromLong(replayed.terminal ? 1 : 0));
    if (!terminal) return nullptr;
    Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(leading.size() + 2)));
    if (!out) return nullptr;
    Py_ssize_t index = 0;
    for (PyObject* item : leading) {
        Py_INCREF(item);
        PyTuple_SetItem(out.get(), index++, item);  // steals the new reference
    }
    PyTuple_SetItem(out.get(), index++, payoff.release());
    PyTuple_SetItem(out.get(), index, terminal.release());
    return out.release();
}

std::optional<Failure> nothing_more(const Game&) { return std::nullopt; }

PyObject* replay(PyObject*, PyObject* history) {
    Replayed replayed;
    if (!run(history, true, replayed, nothing_more)) return nullptr;
    Ref planes = Ref::steal(bytes_of(replayed.planes));
    if (!planes) return nullptr;
    Ref movers = Ref::steal(bytes_of(replayed.movers));
    if (!movers) return nullptr;
    Ref legal = Ref::steal(bytes_of(replayed.legal));
    if (!legal) return nullptr;
    return pack({planes.get(), movers.get(), legal.get()}, replayed);
}

PyObject* position(PyObject*, PyObject* history) {
    Replayed replayed;
    std::string planes_data(kPlanesSize, '\0');
    std::string legal_data(kBoardCells, '\0');
    const bool ok = run(history, false, replayed, [&](const Game& game) -> std::optional<Failure> {
        write_position(game, planes_data.data(), legal_data.data());
        return std::nullopt;
    });
    if (!ok) return nullptr;
    Ref planes = Ref::steal(bytes_of(planes_data));
    if (!planes) return nullptr;
    Ref mover = Ref::steal(PyLong_FromLong(static_cast<long>(replayed.final.current_player)));
    if (!mover) return nullptr;
    Ref legal = Ref::steal(bytes_of(legal_data));
    if (!legal) return nullptr;
    return pack({planes.get(), mover.get(), legal.get()}, replayed);
}

PyObject* frame(PyObject*, PyObject* arg) {
    if (!PyLong_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "mover must be an int, not %s", Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    const long mover = PyLong_AsLong(arg);
    if (mover == -1 && PyErr_Occurred()) return nullptr;
    if (mover < 0 || mover >= static_cast<long>(kPlayers)) {
        PyErr_Format(PyExc_ValueError, "mover must be a seat 0..3, got %ld", mover);
        return nullptr;
    }
    const auto& table = tarnex::board_state_frame(static_cast<std::size_t>(mover));
    Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kBoardCells)));
    if (!out) return nullptr;
    for (std::size_t t = 0; t < kBoardCells; ++t) {
        PyObject* index = PyLong_FromLong(static_cast<long>(table[t]));
        if (index == nullptr) return nullptr;
        PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(t), index);  // steals `index`
    }
    return out.release();
}

// Truth of one cell: the engine sends the interpreter's True and False, so
// identity decides; anything else goes through the truth protocol.
int cell_value(PyObject* item) {
    if (item == Py_True) return 1;
    if (item == Py_False) return 0;
    return PyObject_IsTrue(item);
}

// The lists' items without a call per item where the interpreter's own
// layout is at hand; PyPy's cpyext has only the calls.
#ifdef PYPY_VERSION
inline Py_ssize_t list_size(PyObject* list) { return PyList_Size(list); }
inline PyObject* list_item(PyObject* list, Py_ssize_t i) { return PyList_GetItem(list, i); }
#else
inline Py_ssize_t list_size(PyObject* list) { return PyList_GET_SIZE(list); }
inline PyObject* list_item(PyObject* list, Py_ssize_t i) { return PyList_GET_ITEM(list, i); }
#endif

bool pack_rows(PyObject* list, Py_ssize_t want, const char* what, auto&& each) {
    if (!PyList_Check(list) || list_size(list) != want) {
        PyErr_Format(PyExc_TypeError, "planes: expected a list of %zd %s", want, what);
        return false;
    }
    // A cell other than True or False runs Python code (its truth), which
    // may change any of the lists: every item is held while it is read, and
    // the length is checked again before the next one.
    for (Py_ssize_t i = 0; i < want; ++i) {
        if (list_size(list) != want) {
            PyErr_Format(PyExc_RuntimeError, "planes: a list of %s changed size while being read", what);
            return false;
        }
        Ref item = Ref::borrow(list_item(list, i));
        if (!each(item.get())) return false;
    }
    return true;
}

PyObject* pack_planes(PyObject*, PyObject* planes) {
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(kPlanesSize)));
    if (!out) return nullptr;
    char* data = PyBytes_AsString(out.get());
    if (data == nullptr) return nullptr;
    std::size_t at = 0;
    const bool ok = pack_rows(planes, 5, "planes", [&](PyObject* plane) {
        return pack_rows(plane, 20, "rows", [&](PyObject* row) {
            return pack_rows(row, 20, "cells", [&](PyObject* cell) {
                const int value = cell_value(cell);
                if (value < 0) return false;
                data[at++] = static_cast<char>(value);
                return true;
            });
        });
    });
    if (!ok) return nullptr;
    return out.release();
}

using tarnex::wire::kPolicySize;
using tarnex::wire::kValueSize;
using tarnex::wire::kReplySize;

// A tuple of `count` floats read from `data`; runs of equal entries (same
// bits) share one object.
PyObject* float_tuple(const char* data, std::size_t count) {
    Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!out) return nullptr;
    PyObject* last = nullptr;  // borrowed: the tuple holds it
    std::uint32_t last_bits = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, data + 4 * i, 4);
        PyObject* item;
        if (last != nullptr && bits == last_bits) {
            item = Ref::borrow(last).release();
        } else {
            float value;
            std::memcpy(&value, &bits, 4);
            item = PyFloat_FromDouble(static_cast<double>(value));
            if (item == nullptr) return nullptr;
            last = item;
            last_bits = bits;
        }
        PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
    }
    return out.release();
}

PyObject* unpack_reply(PyObject*, PyObject* payload) {
    if (!PyBytes_Check(payload) || PyBytes_Size(payload) != static_cast<Py_ssize_t>(kReplySize)) {
        Py_RETURN_NONE;
    }
    const char* data = PyBytes_AsString(payload);
    if (data == nullptr) return nullptr;
    if (data[0] != tarnex::wire::kReplyTag) Py_RETURN_NONE;
    Ref policy = Ref::steal(float_tuple(data + 1, kPolicySize));
    if (!policy) return nullptr;
    Ref values = Ref::steal(float_tuple(data + 1 + 4 * kPolicySize, kValueSize));
    if (!values) return nullptr;
    return PyTuple_Pack(2, policy.get(), values.get());
}

// A tuple of Python ints.
template <class Values>
PyObject* int_tuple(const Values& values) {
    Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!out) return nullptr;
    Py_ssize_t index = 0;
    for (auto value : values) {
        PyObject* item = PyLong_FromLongLong(static_cast<long long>(value));
        if (item == nullptr) return nullptr;
        PyTuple_SetItem(out.get(), index++, item);  // steals `item`
    }
    return out.release();
}

std::optional<tarnex::ReferenceKind> read_kind(PyObject* kind) {
    if (!PyUnicode_Check(kind)) {
        PyErr_Format(PyExc_TypeError, "reference_tile: kind must be a str, not %s", Py_TYPE(kind)->tp_name);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(kind, &size);
    if (name == nullptr) return std::nullopt;
    const auto parsed = tarnex::reference_kind(std::string_view(name, static_cast<std::size_t>(size)));
    if (!parsed) PyErr_Format(PyExc_ValueError, "reference_tile: kind must be 'greedy' or 'lookahead', not %R", kind);
    return parsed;
}

std::optional<std::uint64_t> read_tie_break(PyObject* tie_break) {
    if (!PyLong_Check(tie_break)) {
        PyErr_Format(PyExc_TypeError, "reference_tile: tie_break must be an int, not %s", Py_TYPE(tie_break)->tp_name);
        return std::nullopt;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(tie_break);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "reference_tile: tie_break must be in 0 .. 2**64 - 1");
        return std::nullopt;
    }
    return value;
}

// The (history, kind, tie_break) arguments of the reference players' functions.
struct ReferenceArgs {
    PyObject* history = nullptr;
    tarnex::ReferenceKind kind{};
    std::uint64_t tie_break = 0;
};

std::optional<ReferenceArgs> read_reference_args(PyObject* args, const char* format) {
    ReferenceArgs out;
    PyObject* kind_arg = nullptr;
    PyObject* tie_break_arg = nullptr;
    if (!PyArg_ParseTuple(args, format, &out.history, &kind_arg, &tie_break_arg)) return std::nullopt;
    const auto kind = read_kind(kind_arg);
    if (!kind) return std::nullopt;
    const auto tie_break = read_tie_break(tie_break_arg);
    if (!tie_break) return std::nullopt;
    out.kind = *kind;
    out.tie_break = *tie_break;
    return out;
}

PyObject* reference_tile(PyObject*, PyObject* args) {
    const auto parsed = read_reference_args(args, "OOO:reference_tile");
    if (!parsed) return nullptr;
    const auto& [history, kind, tie_break] = *parsed;
    Replayed replayed;
    tarnex::Tile tile = 0;
    const bool ok = run(history, false, replayed, [&](const Game& game) -> std::optional<Failure> {
        if (game.is_terminal()) return Failure{PyExc_ValueError, "reference_tile: the game is already over"};
        tile = tarnex::reference_tile(game, kind, tie_break);
        return std::nullopt;
    });
    if (!ok) return nullptr;
    return PyLong_FromLong(static_cast<long>(tile));
}

// The tiles `kind` chooses from `game` until its piece is complete.
std::vector<tarnex::Tile> rest_of_turn(Game game, tarnex::ReferenceKind kind, std::uint64_t tie_break) {
    std::vector<tarnex::Tile> tiles;
    const std::size_t mover = game.current_player;
    const auto pieces = game.board.pieces[mover];
    while (!game.is_terminal() && game.board.pieces[mover] == pieces) {
        const tarnex::Tile tile = tarnex::reference_tile(game, kind, tie_break);
        if (auto error = game.apply(tile)) throw std::logic_error("reference player chose an illegal tile: " + *error);
        tiles.push_back(tile);
    }
    return tiles;
}

PyObject* reference_placements(PyObject*, PyObject* args) {
    const auto parsed = read_reference_args(args, "OOO:reference_placements");
    if (!parsed) return nullptr;
    const auto& [history, kind, tie_break] = *parsed;
    // The first pass checks the history; the second asks the player at
    // every position of it.
    Replayed replayed;
    if (!run(history, false, replayed, nothing_more)) return nullptr;
    History pairs;
    if (auto failure = read_history(history, pairs)) return raise(*failure);
    std::vector<std::vector<tarnex::Tile>> found;
    std::exception_ptr thrown;
    Py_BEGIN_ALLOW_THREADS
    try {
        Game game = Game::reset();
        found.reserve(pairs.size());
        for (const auto& [seat, tile] : pairs) {
            found.push_back(rest_of_turn(game, kind, tie_break));
            game.apply(static_cast<tarnex::Tile>(tile));
        }
    } catch (...) {
        thrown = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (thrown) {
        try {
            std::rethrow_exception(thrown);
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        } catch (const std::exception& e) {
            PyErr_SetString(PyExc_RuntimeError, (std::string("rules library fault: ") + e.what()).c_str());
            return nullptr;
        }
    }
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < found.size(); ++i) {
        PyObject* tiles = int_tuple(found[i]);
        if (tiles == nullptr) return nullptr;
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), tiles);  // steals `tiles`
    }
    return out.release();
}

PyObject* scores(PyObject*, PyObject* history) {
    Replayed replayed;
    if (!run(history, false, replayed, nothing_more)) return nullptr;
    return int_tuple(replayed.final.board.get_scores(replayed.final.last_sizes));
}

PyObject* placements(PyObject*, PyObject* history) {
    Replayed replayed;
    std::vector<tarnex::Placement> found;
    const bool ok = run(history, false, replayed, [&](const Game& game) -> std::optional<Failure> {
        found = game.tile_moves.completable();
        return std::nullopt;
    });
    if (!ok) return nullptr;
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < found.size(); ++i) {
        std::vector<std::size_t> cells;
        found[i].for_each_cell([&](std::size_t cell) { cells.push_back(cell); });  // ascending
        Ref cell_tuple = Ref::steal(int_tuple(cells));
        if (!cell_tuple) return nullptr;
        PyObject* entry = Py_BuildValue("(iO)", int{found[i].catalogue}, cell_tuple.get());
        if (entry == nullptr) return nullptr;
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), entry);  // steals `entry`
    }
    return out.release();
}

PyObject* remaining(PyObject*, PyObject* history) {
    Replayed replayed;
    if (!run(history, false, replayed, nothing_more)) return nullptr;
    Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kPlayers)));
    if (!out) return nullptr;
    for (std::size_t seat = 0; seat < kPlayers; ++seat) {
        PyObject* pieces = int_tuple(replayed.final.board.remaining_pieces(seat));
        if (pieces == nullptr) return nullptr;
        PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(seat), pieces);  // steals `pieces`
    }
    return out.release();
}

PyObject* pieces(PyObject*, PyObject*) {
    const auto& catalogue = tarnex::catalogue();
    Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(catalogue.size())));
    if (!out) return nullptr;
    for (std::size_t k = 0; k < catalogue.size(); ++k) {
        const tarnex::Grid& shape = catalogue[k].shape;
        Ref cells = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(catalogue[k].size)));
        if (!cells) return nullptr;
        Py_ssize_t index = 0;
        for (std::size_t row = 0; row < shape.size(); ++row) {
            for (std::size_t col = 0; col < shape[row].size(); ++col) {
                if (!shape[row][col]) continue;
                PyObject* cell = Py_BuildValue("(nn)", static_cast<Py_ssize_t>(row), static_cast<Py_ssize_t>(col));
                if (cell == nullptr) return nullptr;
                PyTuple_SetItem(cells.get(), index++, cell);  // steals `cell`
            }
        }
        PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(k), cells.release());
    }
    return out.release();
}

// Runs `compute` (reading 2000 bytes, writing `width`) on each of the
// positions packed in `packed`; `name` prefixes the errors.
template <class Compute>
PyObject* per_position(const char* name, PyObject* packed, std::size_t width, Compute compute) {
    if (!PyBytes_Check(packed)) {
        PyErr_Format(PyExc_TypeError, "%s: expected bytes, not %s", name, Py_TYPE(packed)->tp_name);
        return nullptr;
    }
    const auto size = static_cast<std::size_t>(PyBytes_Size(packed));
    if (size % kPlanesSize != 0) {
        PyErr_Format(PyExc_ValueError, "%s: %zu bytes is not a whole number of positions (%zu bytes each)", name,
                     size, kPlanesSize);
        return nullptr;
    }
    const std::size_t positions = size / kPlanesSize;
    const char* in = PyBytes_AsString(packed);
    if (in == nullptr) return nullptr;
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(positions * width)));
    if (!out) return nullptr;
    char* data = PyBytes_AsString(out.get());
    if (data == nullptr) return nullptr;
    // The argument stays alive and unchanged for the call (bytes are
    // immutable), and nobody else sees `out` yet: the work needs no lock.
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        for (std::size_t i = 0; i < positions; ++i) {
            compute(reinterpret_cast<const std::uint8_t*>(in) + i * kPlanesSize,
                    reinterpret_cast<std::uint8_t*>(data) + i * width);
        }
    } catch (const std::bad_alloc&) {  // the first call builds the catalogue
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) return PyErr_NoMemory();
    return out.release();
}

PyObject* piece_features(PyObject*, PyObject* packed) {
    return per_position("piece_features", packed, tarnex::features::kFeatureCount,
                        [](const std::uint8_t* in, std::uint8_t* out) { tarnex::features::piece_features(in, out); });
}

PyObject* placement_planes(PyObject*, PyObject* packed) {
    return per_position("placement_planes", packed, tarnex::features::kPlacementSize,
                        [](const std::uint8_t* in, std::uint8_t* out) { tarnex::features::placement_planes(in, out); });
}

PyMethodDef methods[] = {
    {"replay", replay, METH_O,
     "replay(history) -> (planes, movers, legal, payoff, terminal)\n\n"
     "Plays the (seat, tile) pairs from the starting position. For each entry:\n"
     "planes (bytes, 2000 per entry: board state in the mover's frame),\n"
     "movers (bytes, one per entry), legal (bytes, 400 per entry, board frame:\n"
     "1 legal, 2 legal and completing the mover's piece).\n"
     "For the final position: payoff (four floats by seat) and terminal (bool).\n"
     "Raises TypeError or ValueError naming the first bad entry."},
    {"position", position, METH_O,
     "position(history) -> (planes, mover, legal, payoff, terminal)\n\n"
     "The position after the whole history: planes (bytes, 2000, mover's frame),\n"
     "mover (int), legal (bytes, 400, board frame), payoff and terminal.\n"
     "Raises like replay()."},
    {"frame", frame, METH_O,
     "frame(mover) -> tuple of 400 ints: the index in the mover's planes of each board cell."},
    {"pack_planes", pack_planes, METH_O,
     "pack_planes(planes) -> bytes: 5 x 20 x 20 nested lists of truth values as 2000 bytes of 0 or 1."},
    {"unpack_reply", unpack_reply, METH_O,
     "unpack_reply(payload) -> (policy, values) or None: the floats of a raw reply (b'R' and 404 float32)."},
    {"reference_tile", reference_tile, METH_VARARGS,
     "reference_tile(history, kind, tie_break) -> int\n\n"
     "The tile the reference player kind ('greedy' or 'lookahead') chooses in the\n"
     "position after the history. tie_break (0 .. 2**64 - 1) picks among equally\n"
     "ranked placements; the same value keeps to one placement through a turn.\n"
     "Raises like replay(), and ValueError once the game is over."},
    {"reference_placements", reference_placements, METH_VARARGS,
     "reference_placements(history, kind, tie_break) -> list of tuples of ints\n\n"
     "For each entry of the history, the tiles the reference player kind would choose\n"
     "from the position before it until its piece is complete, in its order.\n"
     "Raises like replay()."},
    {"scores", scores, METH_O,
     "scores(history) -> tuple of four ints: the scores by seat after the history\n"
     "(the final ones once it is over). Builds no planes. Raises like replay()."},
    {"placements", placements, METH_O,
     "placements(history) -> list of (piece, cells)\n\n"
     "The mover's placements that can be played as a whole this turn, given the tiles\n"
     "already chosen in it: piece the catalogue index, cells the board tiles ascending.\n"
     "Empty once the game is over. Raises like replay()."},
    {"remaining", remaining, METH_O,
     "remaining(history) -> tuple of four tuples: each seat's remaining pieces\n"
     "(catalogue indices) after the history. Raises like replay()."},
    {"pieces", pieces, METH_NOARGS,
     "pieces() -> tuple of 21 tuples of (row, col): each catalogue piece's cells in its\n"
     "base orientation."},
    {"piece_features", piece_features, METH_O,
     "piece_features(packed) -> bytes\n\n"
     "For B positions' planes (bytes, B * 2000, as pack_planes makes them), B * 84 bytes:\n"
     "per position, for each seat in plane order (relative to the mover), 21 flags in\n"
     "catalogue order, 1 where the seat still holds that piece, read from the planes.\n"
     "Raises ValueError for a length that is not a multiple of 2000."},
    {"placement_planes", placement_planes, METH_O,
     "placement_planes(packed) -> bytes\n\n"
     "For B positions' planes (bytes, B * 2000), B * 3200 bytes: per position 8 planes of\n"
     "400 cells in the planes' frame: for each seat in plane order the size of the largest\n"
     "placement covering the cell (0 to 5), then for each seat the number of placements\n"
     "covering it (at most 255); the mover's only continue the tiles chosen in its turn.\n"
     "Raises ValueError for a length that is not a multiple of 2000."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "_rules",
                          "The rules library: positions of recorded games, scores, placements and\n"
                          "the reference players.",
                          -1,
                          methods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__rules(void) { return PyModule_Create(&module_def); }
