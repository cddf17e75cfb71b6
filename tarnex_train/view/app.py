"""The view's web server: three static pages and the JSON they read.

Pages: /run (a run's curves and generations), /games (recorded and saved
games, replayed), /play (a person against computer seats). Files: the
pages' own folder (/static) and files inside the run folders
(/runs/N/files/PATH, only the run's own records, RECORD_FILES in runs), nothing
else. Endpoints that read files, replay
games or load networks are plain functions, which Starlette runs on its
thread pool, so viewers do not wait for each other; computer seats move on
their match's own thread.

Every refused request gets its status and ``{"error": "one line"}``.
"""

from __future__ import annotations

import json
import logging
import os
import socket
import sys

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException
from starlette.responses import FileResponse, JSONResponse, RedirectResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from . import sources
from .errors import BadRequest, NotFound, RequestError
from .guard import LOOPBACK_NAMES, Guard, is_loopback, make_token, slow_client_protocol
from .matches import Matches, check_cost
from .players import default_opponent, load, parse_player, suggested_players
from .replays import replay_view
from .runs import ShardCache, open_runs

log = logging.getLogger(__name__)

STATIC = os.path.join(os.path.dirname(__file__), "static")
PAGES = ("run", "games", "play")
MAX_BODY = 64 * 1024


def _error(status: int, message: str) -> JSONResponse:
    return JSONResponse({"error": " ".join(str(message).split())}, status_code=status)


async def _body(request) -> dict:
    """The request's JSON object, read no further than MAX_BODY bytes: a
    body announced or sent beyond that is refused before it is all read."""
    too_large = RequestError(413, f"request body too large (at most {MAX_BODY} bytes)")
    announced = request.headers.get("content-length")
    if announced is not None and (not announced.isdigit() or int(announced) > MAX_BODY):
        raise too_large
    raw = bytearray()
    async for chunk in request.stream():
        raw += chunk
        if len(raw) > MAX_BODY:
            raise too_large
    try:
        data = json.loads(raw or b"{}")
    except ValueError:
        raise BadRequest("malformed JSON") from None
    if not isinstance(data, dict):
        raise BadRequest("the request body must be a JSON object")
    return data


def make_app(run_paths, host: str = "127.0.0.1", token: str | None = None, port: int = 0) -> Starlette:
    """The view's application. A view on the loopback answers only
    loopback host names; ``token``: the secret every request must carry."""
    runs = open_runs(run_paths)
    shards = ShardCache()
    matches = Matches()

    def run_of(request):
        index = request.path_params["run"]
        if not 0 <= index < len(runs):
            raise NotFound(f"no run {index} (the view has {len(runs)})")
        return runs[index]

    def page(request):
        name = request.path_params["page"]
        if name not in PAGES:
            raise NotFound(f"no page {name!r}")
        return FileResponse(os.path.join(STATIC, name + ".html"))

    def run_file(request):
        return FileResponse(run_of(request).record_file(request.path_params["path"]))

    def list_runs(request):
        return JSONResponse([run.describe() for run in runs])

    def metrics(request):
        records, tag, skipped = run_of(request).metrics()
        etag = f'"{tag}"'
        if request.headers.get("if-none-match") == etag:
            return Response(status_code=304, headers={"ETag": etag})
        return JSONResponse({"records": records, "skipped": skipped},
                            headers={"ETag": etag, "Cache-Control": "no-cache"})

    def generation_games(request):
        run, g = run_of(request), request.path_params["generation"]
        listed, skipped = [], []
        for path in run.shards(g):
            try:
                games = shards.get(path).games
            except RequestError as error:  # a damaged shard: said, and the others listed
                log.warning("view: skipped %s: %s", path, error.message)
                skipped.append({"shard": os.path.basename(path), "reason": error.message})
                continue
            for game in games:
                listed.append({"shard": os.path.basename(path), "number": game["number"],
                               "moves": len(game["history"]), "usable": game["usable"], "payoff": game["payoff"]})
        return JSONResponse({"generation": g, "games": listed, "skipped": skipped})

    def generation_game(request):
        run, g = run_of(request), request.path_params["generation"]
        shard = shards.get(run.shard(g, request.path_params["shard"]))
        game = shard.game(request.path_params["number"])
        title = f"{run.name}, generation {g}, game {game['number']}"
        if not game["usable"]:
            return JSONResponse({"title": title, "usable": False, "moves": len(game["history"])})
        view = replay_view(game["history"], share_rows=shard.policy_rows(game), targets=shard.targets(game))
        return JSONResponse({"title": title, "usable": True, "seats": shard.seats(game), **view})

    def saved_games(request):
        run = run_of(request)
        listed = []
        for name in run.saved_names():
            try:
                data = run.saved_game(name)
            except RequestError as error:  # listed as unusable, with the reason; the others shown
                log.warning("view: saved game %s of %s left out: %s", name, run.path, error.message)
                listed.append({"name": name, "usable": False, "reason": error.message})
                continue
            listed.append({"name": name, "usable": True, "seats": data.get("seats"), "scores": data.get("scores"),
                           "moves": len(data.get("history") or ())})
        return JSONResponse({"games": listed})

    def saved_game(request):
        run, name = run_of(request), request.path_params["name"]
        data = run.saved_game(name)
        try:
            view = replay_view(data["history"], recorded_shares=data.get("shares"),
                               seat_kinds=data.get("share_kinds") or [sources.share_kind(s) for s in data.get("seats") or []])
        except (KeyError, TypeError, ValueError) as error:
            return JSONResponse({"title": name, "usable": False, "reason": str(error)})
        return JSONResponse({"title": f"{run.name}: {name}", "usable": True, "seats": data.get("seats"), **view})

    def pieces(request):
        return JSONResponse({"pieces": sources.pieces()})

    def players(request):
        preferred = request.query_params.get("run", "0")
        return JSONResponse({"players": suggested_players(runs),
                             "default": default_opponent(runs, int(preferred) if preferred.isdigit() else 0)})

    async def start_match(request):
        data = await _body(request)
        seats = data.get("seats")
        if not isinstance(seats, list) or len(seats) != 4:
            raise BadRequest("seats must be a list of four players")
        players = [parse_player(text, runs) for text in seats]
        check_cost(players)  # before any network is loaded
        for player in players:
            await run_in_threadpool(load, player)
        match = matches.start(players, bool(data.get("step", False)))
        return JSONResponse({"id": match.id})

    def match_state(request):
        return JSONResponse(matches.get(request.path_params["id"]).state())

    async def match_move(request):
        data = await _body(request)
        match = matches.get(request.path_params["id"])
        await run_in_threadpool(match.place, data.get("piece"), data.get("cells"))
        return JSONResponse(match.state())

    def match_go_on(request):
        match = matches.get(request.path_params["id"])
        match.let_go()
        return JSONResponse({"ok": True})

    async def match_options(request):
        data = await _body(request)
        if not isinstance(data.get("step"), bool):
            raise BadRequest("step must be true or false")
        match = matches.get(request.path_params["id"])
        match.set_step(data["step"])
        return JSONResponse({"ok": True})

    async def match_save(request):
        data = await _body(request)
        index = data.get("run", 0)
        if isinstance(index, bool) or not isinstance(index, int) or not 0 <= index < len(runs):
            raise BadRequest("saving needs one of the view's run folders (start the view with --run DIR)")
        match = matches.get(request.path_params["id"])
        return JSONResponse(await run_in_threadpool(match.save, runs[index]))

    async def refused(request, error):
        if isinstance(error, RequestError):
            return _error(error.status, error.message)
        return _error(error.status_code, error.detail)

    routes = [
        Route("/", lambda request: RedirectResponse("/run")),
        Route("/api/runs", list_runs),
        Route("/api/runs/{run:int}/metrics", metrics),
        Route("/api/runs/{run:int}/generations/{generation:int}/games", generation_games),
        Route("/api/runs/{run:int}/generations/{generation:int}/games/{shard}/{number:int}", generation_game),
        Route("/api/runs/{run:int}/saved", saved_games),
        Route("/api/runs/{run:int}/saved/{name}", saved_game),
        Route("/api/pieces", pieces),
        Route("/api/players", players),
        Route("/api/matches", start_match, methods=["POST"]),
        Route("/api/matches/{id}", match_state),
        Route("/api/matches/{id}/move", match_move, methods=["POST"]),
        Route("/api/matches/{id}/next", match_go_on, methods=["POST"]),
        Route("/api/matches/{id}/options", match_options, methods=["POST"]),
        Route("/api/matches/{id}/save", match_save, methods=["POST"]),
        Route("/runs/{run:int}/files/{path:path}", run_file),
        Mount("/static", StaticFiles(directory=STATIC), name="static"),
        Route("/{page}", page),
    ]
    # Unexpected errors are turned into a one-line 500 by the guard.
    app = Starlette(routes=routes, exception_handlers={RequestError: refused, HTTPException: refused})
    allowed = set(LOOPBACK_NAMES) | {host.strip("[]").lower()} if is_loopback(host.strip("[]")) else None
    app.add_middleware(Guard, allowed_hosts=allowed, token=token, cookie=f"tarnex_view_{port}")
    app.state.matches = matches
    return app


def serve(run_paths, host: str = "127.0.0.1", port: int = 8765, token: str | None = None,
          request_seconds: float = 20.0) -> int:
    """Serves until interrupted; prints the address it listens on (with the
    token, where there is one)."""
    import uvicorn

    beyond = not is_loopback(host.strip("[]"))
    if beyond and token is None:
        token = make_token()
    sock = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((host, port))
    sock.listen(64)
    bound = sock.getsockname()[1]
    app = make_app(run_paths, host, token, bound)
    shown = f"[{host}]" if ":" in host else host
    query = f"?token={token}" if token else ""
    if beyond:
        print(f"tarnex-train view: WARNING: listening on {host}, beyond this machine: anyone who can reach it "
              "and has the address below (with its token) can see these runs and start matches on this machine",
              file=sys.stderr, flush=True)
    print(f"tarnex-train view: {len(run_paths)} run folder(s) at http://{shown}:{bound}/{query}", flush=True)
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", access_log=False,
                                           http=slow_client_protocol(request_seconds)))
    try:
        server.run(sockets=[sock])
    finally:
        app.state.matches.close()
        sock.close()
    return 0
