// tarnex_train._match: matches of any four players, and single decisions,
// evaluating through the worker pool's batcher in its own packed forms
// (packed_transport.hpp), so that the pool's cache and network serve them
// as they serve self-play.
//
//   play_match_game(id, seats, queues, pipe, opening=(), seed=None)
//       -> (history, scores, payoff)
//       Plays `opening` ((seat, tile) pairs), then each seat's player to the
//       end, its draws (reference players' ties, sampled tiles) from `seed`
//       where one is given. history: list of (seat, tile); scores: four
//       ints by seat; payoff: four floats by seat.
//   choose_tile(history, seat, queue, pipe, id=0) -> (tile, shares)
//       One decision of player `seat` in the position after `history`;
//       shares: list of (tile, share), a search's root visit shares or a
//       policy's priors over the legal tiles, [] for the others.
//   play_training_game(id, search, queue, pipe, sample_moves=0,
//                      dirichlet_alpha=0.3, exploration_fraction=0.0,
//                      cheap_sims=0, full_share=1.0, policy_target='visits')
//       -> (history, policies, payoff)
//       A self-play game for training, every seat the `search` player with
//       root noise (training.hpp); policies: per tile a list of (tile, share),
//       empty after a quick search. The result has the form of
//       tarnex_self_play.play_training_game's.
//   random_opening(turns, seed) -> list of (seat, tile)
//       Uniformly drawn legal tiles from the start until `turns` turns are
//       complete, the same for the same seed.
//
// A seat's player is a tuple: ("random",), ("reference", "greedy" |
// "lookahead" | "centre" | "blocker"), ("policy", temperature), ("search",
// sims, c_init, c_base, "next" | "chooser"[, "tile" | "placement"[,
// considered]]). `queues` has four items: an object with `put` for a
// policy or search seat (anything, None say, for the others); `pipe` an
// object with `recv`. A request is put(id, planes), planes 2000 bytes, and
// answered by pipe.recv() with the reply's bytes: b"R", 400 policy entries
// and 4 values as float32 (packed_transport.hpp).
//
// Bad arguments raise TypeError or ValueError with one line naming the
// argument; a failed evaluation raises Exception with its message. Each call
// keeps its state on its own stack, so games on greenlets of one thread,
// switched inside recv, do not disturb each other.
#include "python_api/ref.hpp"  // Python.h comes first

#include <array>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <new>
#include <optional>
#include <string>

#include "match.hpp"
#include "packed_transport.hpp"
#include "training.hpp"
#include "python_api/convert.hpp"
#include "python_api/error.hpp"
#include "python_api/history.hpp"

namespace {

using namespace tarnex::match;
using tarnex::Game;
using tarnex::kPlayers;
using tarnex::python::Ref;

// Sets `type` with `message`; false, for returning at once.
bool fail(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    return false;
}

const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

// A name given by the caller, as an error shows it: on one line, not too long.
std::string shown(std::string text) {
    if (text.size() > 40) text = text.substr(0, 37) + "...";
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return "'" + text + "'";
}

// The items of a sequence, held in a tuple for the whole call: reading them
// may run Python code that changes a list.
Ref items_of(PyObject* sequence, const std::string& what) {
    if (PyUnicode_Check(sequence) || PyBytes_Check(sequence) || !PySequence_Check(sequence)) {
        fail(PyExc_TypeError, what + " must be a sequence, not " + type_name(sequence));
        return {};
    }
    return Ref::steal(PySequence_Tuple(sequence));
}

bool read_text(PyObject* o, const std::string& what, std::string& out) {
    bool ok = false;
    if (PyUnicode_Check(o)) out = tarnex::python::utf8_text(o, &ok);
    return ok || fail(PyExc_TypeError, what + " must be a str, not " + type_name(o));
}

bool read_number(PyObject* o, const std::string& what, float& out) {
    double value = 0.0;
    if (!PyFloat_Check(o) && !PyLong_Check(o)) {
        return fail(PyExc_TypeError, what + " must be a number, not " + type_name(o));
    }
    if (!tarnex::python::as_double(o, value)) return false;
    out = tarnex::python::to_float(value);
    return std::isfinite(out) || fail(PyExc_ValueError, what + " must be finite");
}

bool read_integer(PyObject* o, const std::string& what, long long& out) {
    if (!PyLong_Check(o)) return fail(PyExc_TypeError, what + " must be an int, not " + type_name(o));
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) return fail(PyExc_ValueError, what + " is out of range");
    return !(out == -1 && PyErr_Occurred());
}

// Any int is a seed: its low 64 bits.
bool read_seed(PyObject* o, std::uint64_t& out) {
    if (!PyLong_Check(o)) return fail(PyExc_TypeError, std::string("seed must be an int, not ") + type_name(o));
    out = PyLong_AsUnsignedLongLongMask(o);
    return !PyErr_Occurred();
}

bool read_id(PyObject* o, std::int32_t& out) {
    long long id = 0;
    if (!read_integer(o, "id", id)) return false;
    if (id < std::numeric_limits<std::int32_t>::min() || id > std::numeric_limits<std::int32_t>::max()) {
        return fail(PyExc_ValueError, "id must fit in 32 bits");
    }
    out = static_cast<std::int32_t>(id);
    return true;
}

constexpr const char* kPlayerForms =
    "('random',), ('reference', name), ('policy', temperature) or ('search', sims, c_init, c_base, credit[, "
    "branching[, considered]])";

// One seat's player tuple; `what` names it in errors ("seats[2]", "seat").
bool read_player(PyObject* o, const std::string& what, Player& out) {
    if (!PyTuple_Check(o) || PyTuple_Size(o) == 0) {
        return fail(PyExc_TypeError, what + " must be a tuple " + kPlayerForms + ", not " + type_name(o));
    }
    const Py_ssize_t size = PyTuple_Size(o);
    std::string kind;
    if (!read_text(PyTuple_GetItem(o, 0), what + ": kind", kind)) return false;
    auto item = [&](Py_ssize_t i) { return PyTuple_GetItem(o, i); };
    auto arity = [&](Py_ssize_t parameters, const char* form) {
        return size == parameters + 1 ||
               fail(PyExc_TypeError, what + ": a " + kind + " player is " + form + ", got " +
                                         std::to_string(size) + " items");
    };
    if (kind == "random") {
        if (!arity(0, "('random',)")) return false;
        out = RandomPlayer{};
        return true;
    }
    if (kind == "reference") {
        std::string name;
        if (!arity(1, "('reference', name)") || !read_text(item(1), what + ": name", name)) return false;
        const auto reference = tarnex::reference_kind(name);
        if (!reference) {
            std::string names;
            for (const auto kind : tarnex::kReferenceKinds) {
                names += (names.empty() ? "" : ", ") + std::string(tarnex::reference_name(kind));
            }
            return fail(PyExc_ValueError, what + ": unknown reference player " + shown(name) + " (" + names + ")");
        }
        out = ReferencePlayer{*reference};
        return true;
    }
    if (kind == "policy") {
        PolicyPlayer policy;
        if (!arity(1, "('policy', temperature)") || !read_number(item(1), what + ": temperature", policy.temperature)) {
            return false;
        }
        if (policy.temperature < 0.0f) return fail(PyExc_ValueError, what + ": temperature must be at least 0");
        out = policy;
        return true;
    }
    if (kind == "search") {
        SearchPlayer search{};
        long long sims = 0;
        std::string credit;
        std::string branching = "tile";
        long long considered = 0;
        constexpr const char* form = "('search', sims, c_init, c_base, credit[, branching[, considered]])";
        if ((size != 6 && size != 7 && !arity(4, form)) || !read_integer(item(1), what + ": sims", sims) ||
            !read_number(item(2), what + ": c_init", search.c_init) ||
            !read_number(item(3), what + ": c_base", search.c_base) || !read_text(item(4), what + ": credit", credit) ||
            (size >= 6 && !read_text(item(5), what + ": branching", branching)) ||
            (size == 7 && !read_integer(item(6), what + ": considered", considered))) {
            return false;
        }
        if (sims < 1) return fail(PyExc_ValueError, what + ": sims must be at least 1");
        if (!(search.c_base > 0.0f)) return fail(PyExc_ValueError, what + ": c_base must be greater than 0");
        if (credit != "next" && credit != "chooser") {
            return fail(PyExc_ValueError, what + ": unknown credit " + shown(credit) + " (next, chooser)");
        }
        if (branching != "tile" && branching != "placement") {
            return fail(PyExc_ValueError, what + ": unknown branching " + shown(branching) + " (tile, placement)");
        }
        if (considered < 0) return fail(PyExc_ValueError, what + ": considered must be at least 0");
        if (considered > 1 && credit == "next" && branching == "tile") {
            return fail(PyExc_ValueError, what + ": a halving (considered above 1) needs the credit 'chooser'");
        }
        search.sims = static_cast<std::uint64_t>(sims);
        search.credit = credit == "next" ? Credit::next : Credit::chooser;
        search.placements = branching == "placement";
        search.considered = static_cast<std::size_t>(considered);
        out = search;
        return true;
    }
    return fail(PyExc_ValueError, what + ": unknown player kind " + shown(kind) + "; a player is " + kPlayerForms);
}

bool read_position(PyObject* moves, const std::string& what, Game& out) {
    Moves pairs;
    if (!tarnex::python::read_moves(moves, what, pairs)) return false;
    auto played = play_opening(pairs, what);
    if (!played) return fail(PyExc_ValueError, played.error());
    out = std::move(played.value());
    return true;
}

bool check_method(PyObject* o, const char* method, const std::string& what) {
    return PyObject_HasAttrString(o, method) ||
           fail(PyExc_TypeError, what + " must have a " + method + " method, got " + type_name(o));
}

// Runs a driver call; an internal fault (thrown) becomes RuntimeError.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, (std::string("match driver fault: ") + e.what()).c_str());
    }
    return nullptr;
}

PyObject* raise_evaluation_error(const std::string& message) {
    Ref text = tarnex::python::unicode(message);
    if (text) PyErr_SetObject(PyExc_Exception, text.get());
    return nullptr;
}

Ref float_list(const std::array<float, kPlayers>& values) {
    return tarnex::python::make_list(kPlayers, [&](std::size_t i) {
        return Ref::steal(PyFloat_FromDouble(static_cast<double>(values[i])));
    });
}

Ref pair_list(const History& pairs) {
    return tarnex::python::make_list(
        pairs.size(), [&](std::size_t i) { return tarnex::python::int_pair(pairs[i].first, pairs[i].second); });
}

PyObject* play_match_game(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"id", "seats", "queues", "pipe", "opening", "seed", nullptr};
    PyObject *id_object, *seats_object, *queues_object, *pipe;
    PyObject* opening = nullptr;
    PyObject* seed_object = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|OO:play_match_game", const_cast<char**>(keywords),
                                     &id_object, &seats_object, &queues_object, &pipe, &opening, &seed_object)) {
        return nullptr;
    }
    std::int32_t id = 0;
    if (!read_id(id_object, id)) return nullptr;
    std::optional<tarnex::self_play::Rng> seeded;
    if (seed_object != Py_None) {
        std::uint64_t seed = 0;
        if (!read_seed(seed_object, seed)) return nullptr;
        seeded.emplace(seed);
    }
    Ref seat_items = items_of(seats_object, "seats");
    if (!seat_items) return nullptr;
    Ref queue_items = items_of(queues_object, "queues");
    if (!queue_items) return nullptr;
    constexpr auto kSeats = static_cast<Py_ssize_t>(kPlayers);
    if (PyTuple_Size(seat_items.get()) != kSeats || PyTuple_Size(queue_items.get()) != kSeats) {
        fail(PyExc_ValueError, "seats and queues must have 4 items each");
        return nullptr;
    }
    std::array<Player, kPlayers> seats;
    for (std::size_t s = 0; s < kPlayers; ++s) {
        const std::string what = "seats[" + std::to_string(s) + "]";
        if (!read_player(PyTuple_GetItem(seat_items.get(), static_cast<Py_ssize_t>(s)), what, seats[s])) return nullptr;
        if (evaluates(seats[s]) &&
            !check_method(PyTuple_GetItem(queue_items.get(), static_cast<Py_ssize_t>(s)), "put",
                          "queues[" + std::to_string(s) + "]")) {
            return nullptr;
        }
    }
    const Ref held_pipe = Ref::borrow(pipe);
    if (!check_method(pipe, "recv", "pipe")) return nullptr;
    Game start = Game::reset();
    if (opening != nullptr && !read_position(opening, "opening", start)) return nullptr;
    return guarded([&]() -> PyObject* {
        if (!prepare_packed_transport()) return nullptr;
        std::array<std::optional<PackedTransport>, kPlayers> transports;
        std::array<PackedTransport*, kPlayers> used{};
        for (std::size_t s = 0; s < kPlayers; ++s) {
            if (!evaluates(seats[s])) continue;
            transports[s].emplace(PyTuple_GetItem(queue_items.get(), static_cast<Py_ssize_t>(s)), pipe);
            used[s] = &*transports[s];
        }
        auto played = play_match(std::move(start), seats, used, id, seeded ? *seeded : tarnex::self_play::thread_rng());
        if (!played) return raise_evaluation_error(played.error());
        const MatchResult& result = played.value();
        Ref history = pair_list(result.history);
        if (!history) return nullptr;
        Ref scores = tarnex::python::make_list(
            kPlayers, [&](std::size_t i) { return Ref::steal(PyLong_FromLong(result.scores[i])); });
        if (!scores) return nullptr;
        Ref payoff = float_list(result.payoff);
        if (!payoff) return nullptr;
        return PyTuple_Pack(3, history.get(), scores.get(), payoff.get());
    });
}

PyObject* choose_tile(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"history", "seat", "queue", "pipe", "id", nullptr};
    PyObject *history, *seat, *queue, *pipe;
    PyObject* id_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|O:choose_tile", const_cast<char**>(keywords), &history, &seat,
                                     &queue, &pipe, &id_object)) {
        return nullptr;
    }
    std::int32_t id = 0;
    if (id_object != nullptr && !read_id(id_object, id)) return nullptr;
    Player player;
    if (!read_player(seat, "seat", player)) return nullptr;
    const Ref held_queue = Ref::borrow(queue);
    const Ref held_pipe = Ref::borrow(pipe);
    if (evaluates(player) && (!check_method(queue, "put", "queue") || !check_method(pipe, "recv", "pipe"))) {
        return nullptr;
    }
    Game game;
    if (!read_position(history, "history", game)) return nullptr;
    if (game.is_terminal()) {
        fail(PyExc_ValueError, "the game is over after this history");
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        std::optional<PackedTransport> transport;
        if (evaluates(player)) {
            if (!prepare_packed_transport()) return nullptr;
            transport.emplace(queue, pipe);
        }
        auto decided = decide(player, game, transport ? &*transport : nullptr, id, tarnex::self_play::thread_rng());
        if (!decided) return raise_evaluation_error(decided.error());
        const Decision& decision = decided.value();
        Ref tile = Ref::steal(PyLong_FromSize_t(decision.tile));
        if (!tile) return nullptr;
        Ref shares = tarnex::python::make_list(decision.shares.size(), [&](std::size_t i) {
            return tarnex::python::share_pair(decision.shares[i].first, decision.shares[i].second);
        });
        if (!shares) return nullptr;
        return PyTuple_Pack(2, tile.get(), shares.get());
    });
}

bool read_optional_count(PyObject* o, const std::string& what, std::uint64_t& out) {
    if (o == nullptr) return true;
    long long value = 0;
    if (!read_integer(o, what, value)) return false;
    if (value < 0) return fail(PyExc_ValueError, what + " must be at least 0");
    out = static_cast<std::uint64_t>(value);
    return true;
}

bool read_optional_share(PyObject* o, const std::string& what, float& out) {
    if (o == nullptr) return true;
    if (!read_number(o, what, out)) return false;
    return (out >= 0.0f && out <= 1.0f) || fail(PyExc_ValueError, what + " must be between 0 and 1");
}

PyObject* play_training_game(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"id",         "search",     "queue",         "pipe",
                                     "sample_moves", "dirichlet_alpha", "exploration_fraction", "cheap_sims",
                                     "full_share", "policy_target", nullptr};
    PyObject *id_object, *search_object, *queue, *pipe;
    PyObject *sample_moves = nullptr, *alpha = nullptr, *fraction = nullptr, *cheap = nullptr, *share = nullptr;
    PyObject* target = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|OOOOOO:play_training_game", const_cast<char**>(keywords),
                                     &id_object, &search_object, &queue, &pipe, &sample_moves, &alpha, &fraction,
                                     &cheap, &share, &target)) {
        return nullptr;
    }
    std::int32_t id = 0;
    if (!read_id(id_object, id)) return nullptr;
    Player player;
    if (!read_player(search_object, "search", player)) return nullptr;
    if (!std::holds_alternative<SearchPlayer>(player)) {
        fail(PyExc_ValueError,
             "search must be a ('search', sims, c_init, c_base, credit[, branching[, considered]]) player");
        return nullptr;
    }
    TrainingSearch plan;
    plan.full = std::get<SearchPlayer>(player);
    if (!read_optional_count(sample_moves, "sample_moves", plan.sample_moves) ||
        !read_optional_count(cheap, "cheap_sims", plan.cheap_sims) ||
        !read_optional_share(fraction, "exploration_fraction", plan.full.exploration_fraction) ||
        !read_optional_share(share, "full_share", plan.full_share)) {
        return nullptr;
    }
    if (alpha != nullptr && !read_number(alpha, "dirichlet_alpha", plan.full.dirichlet_alpha)) return nullptr;
    if (target != nullptr) {
        std::string name;
        if (!read_text(target, "policy_target", name)) return nullptr;
        if (name != "visits" && name != "completed_q") {
            fail(PyExc_ValueError, "unknown policy_target " + shown(name) + " (visits, completed_q)");
            return nullptr;
        }
        plan.target = name == "visits" ? PolicyTarget::visits : PolicyTarget::completed_q;
        // Its values must be the mover's own.
        if (plan.target == PolicyTarget::completed_q && plan.full.credit != Credit::chooser &&
            !plan.full.placements) {
            fail(PyExc_ValueError, "policy_target 'completed_q' needs the credit 'chooser'");
            return nullptr;
        }
    }
    if (!(plan.full.dirichlet_alpha > 0.0f)) {
        fail(PyExc_ValueError, "dirichlet_alpha must be greater than 0");
        return nullptr;
    }
    const Ref held_queue = Ref::borrow(queue);
    const Ref held_pipe = Ref::borrow(pipe);
    if (!check_method(queue, "put", "queue") || !check_method(pipe, "recv", "pipe")) return nullptr;
    return guarded([&]() -> PyObject* {
        if (!prepare_packed_transport()) return nullptr;
        PackedTransport transport(queue, pipe);
        auto played = play_training(Game::reset(), plan, transport, id, tarnex::self_play::thread_rng());
        if (!played) return raise_evaluation_error(played.error());
        const TrainingGame& game = played.value();
        Ref history = pair_list(game.history);
        if (!history) return nullptr;
        Ref policies = tarnex::python::make_list(game.policies.size(), [&](std::size_t i) {
            const Shares& shares = game.policies[i];
            return tarnex::python::make_list(shares.size(), [&](std::size_t j) {
                return tarnex::python::share_pair(shares[j].first, shares[j].second);
            });
        });
        if (!policies) return nullptr;
        Ref payoff = float_list(game.payoff);
        if (!payoff) return nullptr;
        return PyTuple_Pack(3, history.get(), policies.get(), payoff.get());
    });
}

PyObject* random_opening(PyObject*, PyObject* args) {
    PyObject *turns_object, *seed_object;
    if (!PyArg_ParseTuple(args, "OO:random_opening", &turns_object, &seed_object)) return nullptr;
    long long turns = 0;
    if (!read_integer(turns_object, "turns", turns)) return nullptr;
    if (turns < 0) {
        fail(PyExc_ValueError, "turns must be at least 0");
        return nullptr;
    }
    std::uint64_t seed = 0;
    if (!read_seed(seed_object, seed)) return nullptr;
    return guarded([&]() -> PyObject* {
        return pair_list(tarnex::match::random_opening(static_cast<std::size_t>(turns), seed)).release();
    });
}

PyMethodDef methods[] = {
    {"play_match_game", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(play_match_game)),
     METH_VARARGS | METH_KEYWORDS,
     "play_match_game(id, seats, queues, pipe, opening=(), seed=None) -> (history, scores, payoff)\n\n"
     "Plays the opening's (seat, tile) pairs, then each seat's player to the end; its\n"
     "draws (ties, sampled tiles) from `seed` where given.\n"
     "A seat: ('random',), ('reference', 'greedy' | 'lookahead' | 'centre' | 'blocker'),\n"
     "('policy', temperature),\n"
     "('search', sims, c_init, c_base, 'next' | 'chooser'[, 'tile' | 'placement'[, considered]]).\n"
     "queues: four items, an object\n"
     "with put for policy and search seats; pipe: an object with recv. put(id, planes)\n"
     "gets 2000 bytes; recv() answers with bytes: b'R' and 404 float32 (policy, values)."},
    {"choose_tile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(choose_tile)),
     METH_VARARGS | METH_KEYWORDS,
     "choose_tile(history, seat, queue, pipe, id=0) -> (tile, shares)\n\n"
     "One decision of the player `seat` after `history`; shares: (tile, share) pairs,\n"
     "a search's visit shares or a policy's priors, [] for random and reference players."},
    {"play_training_game", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(play_training_game)),
     METH_VARARGS | METH_KEYWORDS,
     "play_training_game(id, search, queue, pipe, sample_moves=0, dirichlet_alpha=0.3,\n"
     "                   exploration_fraction=0.0, cheap_sims=0, full_share=1.0,\n"
     "                   policy_target='visits')\n"
     "    -> (history, policies, payoff)\n\n"
     "A self-play game, every seat the ('search', sims, c_init, c_base, credit[, branching[,\n"
     "considered]]) player\n"
     "with root noise; with cheap_sims, only a full_share of the tiles get the full\n"
     "search, whose visit shares (or, with policy_target='completed_q', priors improved\n"
     "by the searched values) are recorded; the others' policies are empty."},
    {"random_opening", random_opening, METH_VARARGS,
     "random_opening(turns, seed) -> list of (seat, tile): uniformly drawn legal tiles\n"
     "until `turns` turns are complete, the same for the same seed."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "_match",
                          "Matches of any four players through the worker pool's packed requests.",
                          -1,
                          methods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__match(void) { return PyModule_Create(&module_def); }
