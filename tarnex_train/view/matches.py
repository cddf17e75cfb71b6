"""Matches of the play page: a person at one or more seats, computer
players at the others.

The server is the referee: a person's placement is checked against the
rules' playable placements and turned into the engine's tiles; the
computer seats move on a thread of their own per match, so a search never
holds up the server's event loop or another viewer. A computer plays a
whole turn (its piece, tile by tile) before the page sees it, and the
turns run on without a stop; with ``step`` each turn waits as ``pending``,
its tiles and the visit shares of its first tile shown, until the person
lets it go on.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import secrets
import threading
import time
from collections import OrderedDict

from . import sources
from .errors import BadRequest, Conflict, NotFound, RequestError

SEATS = 4
MAX_MATCHES = 32
# What one match may cost: a search seat's simulations per tile, and the
# computer seats' simulations per tile together. A search's tree grows
# with its simulations (a million took gigabytes); at these caps a tile
# takes a second or two of the CPU and its tree a few megabytes.
MAX_SIMS_PER_TILE = 2048
MAX_MATCH_SIMS_PER_TILE = 4096


def check_cost(players) -> None:
    """BadRequest when the seats would search beyond the caps."""
    sims = [p.engine_seat[1] for p in players if p.engine_seat and p.engine_seat[0] == "search"]
    if any(n > MAX_SIMS_PER_TILE for n in sims):
        raise BadRequest(f"a search seat may take at most {MAX_SIMS_PER_TILE} simulations per tile here")
    if sum(sims) > MAX_MATCH_SIMS_PER_TILE:
        raise BadRequest(f"the search seats of a match may take at most {MAX_MATCH_SIMS_PER_TILE} simulations "
                         f"per tile together here, not {sum(sims)}")


def _give_back_memory() -> None:
    """Returns the freed heap of a finished match's searches and networks to
    the system (glibc keeps it for the process otherwise)."""
    try:
        ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):  # not glibc
        pass


class Match:
    def __init__(self, match_id: str, players, step: bool) -> None:
        self.id = match_id
        self.players = players
        self.step = step
        self.tie_break = secrets.randbits(64)  # one per match: the same for every tile of a turn
        self.history: list = []
        self.shares: list = []  # per move: [tile, share] pairs, or None
        self.pending = None  # a computer's turn waiting to be let go
        self.error = None
        self.saved = None
        self.closed = False
        self.version = 0
        self.lock = threading.Condition()
        self._cached = None
        with self.lock:
            self._refresh()
        self.thread = threading.Thread(target=self._computers, name=f"match-{match_id}", daemon=True)
        self.thread.start()

    # -- what the page sees -------------------------------------------------

    def _refresh(self) -> None:
        self.mover, self.legal, self.payoff, self.over = sources.position(self.history)
        self.version += 1
        self.lock.notify_all()

    def state(self) -> dict:
        with self.lock:
            if self._cached is None or self._cached["version"] != self.version:
                person_to_move = not self.over and self.players[self.mover].person
                self._cached = {
                    "id": self.id, "version": self.version, "seats": [p.label for p in self.players],
                    "persons": [p.person for p in self.players], "history": [list(m) for m in self.history],
                    "mover": self.mover, "over": self.over,
                    "scores": sources.scores(self.history), "remaining": sources.remaining(self.history),
                    "payoff": self.payoff if self.over else None, "legal": self.legal,
                    "placements": sources.placements(self.history) if person_to_move else [],
                    "pending": self.pending and {k: self.pending[k] for k in ("seat", "tile", "tiles", "shares")},
                    "step": self.step, "error": self.error, "saved": self.saved,
                }
            return self._cached

    # -- a person's move ----------------------------------------------------

    def place(self, piece, cells) -> None:
        """Plays a person's placement: ``piece`` a catalogue index, ``cells``
        its board tiles in any order."""
        if isinstance(piece, bool) or not isinstance(piece, int):
            raise BadRequest("piece must be a catalogue index")
        if not isinstance(cells, list) or not cells:
            raise BadRequest("cells must be a non-empty list of board tiles")
        for tile in cells:
            if isinstance(tile, bool) or not isinstance(tile, int) or not 0 <= tile < 400:
                raise BadRequest(f"illegal tile {tile!r}: a board tile is a whole number from 0 to 399")
        tiles = sorted(cells)
        if len(set(tiles)) != len(tiles):
            raise BadRequest("a placement covers each tile once")
        with self.lock:
            if self.over:
                raise Conflict("the game is over")
            if not self.players[self.mover].person:
                raise Conflict(f"not a person's turn: seat {self.mover} ({self.players[self.mover].label}) moves")
            if [piece, tiles] not in [[p, c] for p, c in sources.placements(self.history)]:
                raise BadRequest(f"piece {piece} on tiles {tiles} is not a playable placement for seat {self.mover}")
            moves = [(self.mover, tile) for tile in tiles]
            # The engine ends the turn when the chosen tiles leave no other
            # placement open: it must end with the last tile and not before.
            after = sources.replay(self.history + moves)
            marks = [int(after.completing[len(self.history) + i, t]) for i, t in enumerate(tiles)]
            if marks != [0] * (len(tiles) - 1) + [1]:
                raise RequestError(422, f"the rules do not end the turn exactly with tiles {tiles}")
            self.history += moves
            self.shares += [None] * len(moves)
            self._refresh()

    def let_go(self) -> None:
        """Lets the pending computer turn be played."""
        with self.lock:
            if self.pending is None:
                raise Conflict("no computer move is waiting")
            self.pending["go"] = True
            self.lock.notify_all()

    def set_step(self, step: bool) -> None:
        with self.lock:
            self.step = step
            self.version += 1
            self.lock.notify_all()

    def close(self) -> None:
        with self.lock:
            self.closed = True
            self.lock.notify_all()

    # -- the computer seats -------------------------------------------------

    def _computers(self) -> None:
        try:
            self._play_computers()
        finally:
            # The match is over or dropped: its networks, their caches and
            # its searches' memory go back now, not when the page forgets it.
            for player in self.players:
                player.network = None
            _give_back_memory()

    def _play_computers(self) -> None:
        while True:
            with self.lock:
                while not self.closed and not self.over and (self.players[self.mover].person or self.error):
                    self.lock.wait()
                if self.closed or self.over:
                    return
                seat, history = self.mover, list(self.history)
            try:
                turn = self._turn(seat, history)
            except Exception as error:  # a broken network, a refused tile or a native fault: shown, the match stops
                with self.lock:
                    self.error = f"seat {seat} ({self.players[seat].label}) failed: {error}"
                    self.version += 1
                continue
            with self.lock:
                if self.step and not self.closed:
                    self.pending = {"seat": seat, "tile": turn[0][0], "tiles": [t for t, _ in turn],
                                    "shares": turn[0][1], "go": False}
                    self.version += 1
                    while not self.closed and self.step and not self.pending["go"]:
                        self.lock.wait()
                    self.pending = None
                if self.closed:
                    return
                self.history += [(seat, tile) for tile, _ in turn]
                self.shares += [shares or None for _, shares in turn]
                self._refresh()

    def _turn(self, seat: int, history: list) -> list:
        """A computer's whole turn: (tile, visit shares) from its first tile
        to the one completing its piece. ValueError for a tile the rules
        refuse, before any of the turn is played."""
        turn = []
        while not self.closed:
            moves = history + [(seat, tile) for tile, _ in turn]
            tile, shares = self.players[seat].choose(moves, self.tie_break)
            mark = sources.tile_marks(moves)[tile] if isinstance(tile, int) and 0 <= tile < 400 else 0
            if not mark:
                raise ValueError(f"it chose tile {tile}, which the rules do not allow")
            turn.append((tile, shares))
            if mark == sources.COMPLETING:
                break
        return turn

    # -- saving -------------------------------------------------------------

    def save(self, run) -> str:
        with self.lock:
            if not self.over:
                raise Conflict("only a finished game can be saved")
            if self.saved:
                return self.saved
            name = f"game-{time.strftime('%Y%m%d-%H%M%S')}-{self.id[:8]}.json"
            sources.save_game(run.saved_dir(), name, [p.label for p in self.players], self.history,
                              sources.scores(self.history), self.payoff, self.shares)
            self.saved = {"run": run.index, "name": name}
            self.version += 1
            return self.saved


class Matches:
    """The matches in play, the oldest dropped past MAX_MATCHES."""

    def __init__(self) -> None:
        self.matches: OrderedDict = OrderedDict()
        self.lock = threading.Lock()

    def start(self, players, step: bool) -> Match:
        if len(players) != SEATS:
            raise BadRequest(f"a match needs {SEATS} players, got {len(players)}")
        match = Match(secrets.token_hex(8), players, step)
        with self.lock:
            self.matches[match.id] = match
            while len(self.matches) > MAX_MATCHES:
                self.matches.popitem(last=False)[1].close()
        return match

    def get(self, match_id: str) -> Match:
        with self.lock:
            match = self.matches.get(match_id)
        if match is None:
            raise NotFound(f"no match {match_id!r}")
        return match

    def close(self) -> None:
        with self.lock:
            for match in self.matches.values():
                match.close()
