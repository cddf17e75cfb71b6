"""The view and the matches used carelessly or by a hostile page: games that
cannot be saved, requests from other sites and hosts, requests that would
cost without bound, damaged files, paths that are not what they seem.

The server tests run inside a network namespace holding only the loopback
interface, which the outer test makes and removes."""

import http.client
import json
import os
import select
import shutil
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from netns import run_in_loopback_namespace

from tarnex_train.errors import OptionError

INSIDE = "TARNEX_VIEW_HARDENING_IN_NETNS"
inside = pytest.mark.skipif(not os.environ.get(INSIDE), reason="runs inside the loopback-only namespace")


def cli(*argv):
    return subprocess.run([sys.executable, "-m", "tarnex_train.cli", *argv], capture_output=True, text=True,
                          timeout=300)


# -- matches never lose games silently -------------------------------------


@pytest.mark.parametrize("target", ["file", "file/sub", "/proc/tarnex-games"])
def test_a_save_folder_that_cannot_be_written_is_refused_before_any_game(tmp_path, target):
    (tmp_path / "file").write_text("")
    folder = target if target.startswith("/") else str(tmp_path / target)
    result = cli("arena", "--seats", "greedy", "greedy", "greedy", "greedy", "--games", "4", "--save-games", folder)
    assert result.returncode == 2, result.stderr
    assert result.stderr.count("\n") == 1 and "--save-games" in result.stderr and "Traceback" not in result.stderr
    assert "games played" not in result.stdout


def test_games_that_cannot_be_saved_mid_match_are_counted_kept_and_fail_the_command(tmp_path, monkeypatch, capsys):
    """A failure to write a game was once taken for a dead worker: the
    worker's pipe was closed, its games lost, and the command exited 0."""
    from tarnex_train.commands import arena
    from tarnex_train.play import match
    from tarnex_train.settings import ArenaOptions

    real_save, calls = match.save_game, []

    def save_game(folder, name, *rest):
        calls.append(name)
        if len(calls) == 2:
            raise OSError(28, "No space left on device")
        return real_save(folder, name, *rest)

    monkeypatch.setattr(match, "save_game", save_game)
    folder = tmp_path / "games"
    options = ArenaOptions.make(games=4, seats=["greedy", "lookahead", "greedy", "lookahead"], workers=1,
                                games_per_worker=2, quiet=True, seed=3, save_games=str(folder))
    assert arena.main(options, {}) == 1
    report = capsys.readouterr().out
    assert "4 of 4 games played" in report and "1 of 4 played games could not be written" in report
    assert len(os.listdir(folder)) == 3 and len(calls) == 4


# -- numbers and paths ------------------------------------------------------


@pytest.mark.parametrize("text", ["policy:ck.pt:nan", "policy:ck.pt:inf", "policy:ck.pt:-inf", "policy:ck.pt:1e308",
                                  "policy:ck.pt:-0.5", "search:ck.pt:0", "search:ck.pt:1000001"])
def test_player_numbers_must_be_finite_and_in_range(text):
    from tarnex_train.players.notation import parse_player

    with pytest.raises(OptionError, match="must be|needs N"):
        parse_player(text)


def test_folders_with_glob_characters_are_taken_literally(selfplay_run, tmp_path):
    from tarnex_train.data.shards import load_records, shard_paths

    summary, _ = selfplay_run
    data = tmp_path / "b[1]" / "run" / "gen-0000" / "data"
    shutil.copytree(summary.output, data)
    assert len(shard_paths(str(data))) == len(summary.shards)
    assert len(load_records(str(data))["mover"]) == summary.positions


@pytest.mark.parametrize("content, reason", [(b"", "the file is empty"), (b"101\n", "not a checkpoint file")])
def test_checkpoints_that_are_not_checkpoints_say_so(tmp_path, content, reason):
    from tarnex_train.model.checkpoints import CheckpointError, load_checkpoint

    (tmp_path / "ck.pt").write_bytes(content)
    with pytest.raises(CheckpointError, match=reason):
        load_checkpoint(str(tmp_path / "ck.pt"))


def test_viewers_asking_for_one_shard_at_once_wait_for_one_reading(monkeypatch, tmp_path):
    from tarnex_train.view import runs

    readings = []

    class SlowShard:
        def __init__(self, path):
            readings.append(path)
            time.sleep(0.3)
            self.games = []

    monkeypatch.setattr(runs, "ShardGames", SlowShard)
    (tmp_path / "shard-a-00000.npz").write_bytes(b"x")
    cache, got = runs.ShardCache(), []
    threads = [threading.Thread(target=lambda: got.append(cache.get(str(tmp_path / "shard-a-00000.npz"))))
               for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(readings) == 1 and len(got) == 8 and len({id(shard) for shard in got}) == 1


def test_an_unexpected_fault_is_one_log_line_and_a_one_line_500(caplog):
    import asyncio

    from tarnex_train.view.guard import Guard

    async def broken(scope, receive, send):
        raise RuntimeError("a fault\nover lines")

    sent = []

    async def send(message):
        sent.append(message)

    scope = {"type": "http", "method": "GET", "path": "/api/runs", "headers": [(b"host", b"127.0.0.1:1")]}
    with caplog.at_level("ERROR", logger="tarnex_train"):
        asyncio.run(Guard(broken, {"127.0.0.1"}, None, "c")(scope, None, send))
    assert sent[0]["status"] == 500 and json.loads(sent[1]["body"]) == {"error": "internal error: RuntimeError"}
    (record,) = caplog.records
    assert not record.exc_info and "\n" not in record.getMessage() and "a fault over lines" in record.getMessage()


# -- the server ---------------------------------------------------------------


def test_view_hardening_in_a_loopback_only_namespace():
    for module in ("starlette", "uvicorn"):
        pytest.importorskip(module)
    run_in_loopback_namespace(__file__, "inside", INSIDE, 18, "viewhard")


def _saved(**changes) -> dict:
    record = {"format": "tarnex-view-game", "version": 1, "seats": ["person", "greedy", "greedy", "greedy"],
              "history": [], "shares": None, "scores": [0, 0, 0, 0], "payoff": [0.25] * 4}
    record.update(changes)
    return record


DAMAGED_SAVED = {
    "nested.json": "[" * 100000 + "]" * 100000,
    "nan-score.json": json.dumps(_saved(scores=[float("nan"), 0, 0, 0])),
    "infinite-tile.json": json.dumps(_saved(history=[[0, 1]])).replace("[[0, 1]]", "[[0, 1e999]]"),
    "scores-five.json": json.dumps(_saved(scores=5)),
    "seats-text.json": json.dumps(_saved(seats="abcd")),
    "share-kinds-text.json": json.dumps(_saved(share_kinds="abcd")),
    "not-utf8.json": b"\xff\xfe{}",
}


@pytest.fixture(scope="module")
def damaged_run(tmp_path_factory):
    """A run folder, under a name with glob characters, with one good and
    several damaged files of each kind the view reads."""
    from conftest import TINY, tiny_options
    from tarnex_train.inference.evaluators import ZeroEvaluator
    from tarnex_train.model.checkpoints import save_checkpoint
    from tarnex_train.model.network import TarnexNet
    from tarnex_train.play.selfplay import run_selfplay

    root = tmp_path_factory.mktemp("view")
    run = root / "b[1]" / "run"
    good = run / "gen-0000" / "data"
    summary = run_selfplay(tiny_options(good, games=2, workers=1, games_per_shard=2), evaluator=ZeroEvaluator())
    (shard,) = summary.shards
    with np.load(shard) as data:
        arrays = dict(data)
    damaged = run / "gen-0001" / "data"
    damaged.mkdir(parents=True)
    shutil.copy(shard, damaged / "shard-good-00000.npz")
    payoff = arrays["payoff"].copy()
    payoff[0, 0] = np.nan
    for name, change in {"short-game": {"game": arrays["game"][:-3]}, "short-policy": {"policy": arrays["policy"][:5]},
                         "nan-payoff": {"payoff": payoff}}.items():
        np.savez(damaged / f"shard-{name}-00000.npz", **{**arrays, **change})
    lines = [json.dumps({"kind": "generation", "generation": g, "games": 2}) for g in range(3)]
    lines.insert(1, '{"kind": "generation", "generation": 9, "games": NaN}')
    (run / "metrics.jsonl").write_bytes("\n".join(lines).encode() + b"\n\xff\xfe\n")
    games = run / "games"
    games.mkdir()
    for name, content in DAMAGED_SAVED.items():
        (games / name).write_bytes(content if isinstance(content, bytes) else content.encode())
    (games / "good.json").write_text(json.dumps(_saved()))
    (root / "outside.json").write_text(json.dumps(_saved()))
    (games / "linked.json").symlink_to(root / "outside.json")
    save_checkpoint(TarnexNet(TINY), str(run / "best.pt"))
    for name in ("optimizer.pt", ".lock"):
        (run / name).write_bytes(b"secret")
    other = root / "other"
    (other / "metrics.jsonl").mkdir(parents=True)  # a folder where the metrics file belongs
    return run, other


@pytest.fixture(scope="module")
def server(damaged_run):
    run, other = damaged_run
    process = subprocess.Popen([sys.executable, "-m", "tarnex_train.cli", "view", "--run", str(run), str(other),
                                "--port", "0", "--request-seconds", "2"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    assert "http://127.0.0.1:" in line, line + process.stderr.read()
    yield int(line.split()[-1].rstrip("/").rsplit(":", 1)[1]), process
    process.terminate()
    _, errors = process.communicate(timeout=30)
    assert "Traceback" not in errors, errors


def _ask(port, method, path, body=None, headers=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    headers = {"Content-Type": "application/json", **(headers or {})}
    connection.request(method, path, body=json.dumps(body) if isinstance(body, dict) else body, headers=headers)
    response = connection.getresponse()
    data = response.read()
    connection.close()
    return response.status, json.loads(data) if data and response.getheader("content-type", "").startswith(
        "application/json") else data


START = ("POST", "/api/matches", {"seats": ["person", "greedy", "greedy", "greedy"]})


@inside
@pytest.mark.parametrize("method, path, body, headers, status", [
    ("GET", "/api/runs", None, {"Host": "evil.example"}, 403),  # a DNS name rebound to 127.0.0.1
    ("GET", "/run", None, {"Host": "evil.example:80"}, 403),
    ("GET", "/api/runs", None, {"Host": "localhost"}, 200),
    (*START, {"Content-Type": "text/plain"}, 415),  # what a page elsewhere may send without asking
    (*START, {"Content-Type": "application/x-www-form-urlencoded"}, 415),
    (*START, {"Origin": "http://evil.example"}, 403),
    (*START, {"Origin": "null"}, 403),
    (*START, {"Sec-Fetch-Site": "cross-site"}, 403),
    (*START, {}, 200),
    (*START, {"Origin": "same"}, 200),
    ("GET", "/runs/0/files/best.pt", None, {}, 404),
    ("GET", "/runs/0/files/optimizer.pt", None, {}, 404),
    ("GET", "/runs/0/files/.lock", None, {}, 404),
    ("GET", "/runs/0/files/gen-0000/data/metadata.json", None, {}, 404),
    ("GET", "/runs/0/files/metrics.jsonl", None, {}, 200),
])
def test_inside_only_loopback_hosts_and_same_site_json_writes_are_served(server, method, path, body, headers, status):
    port, _ = server
    if "Origin" in headers and headers["Origin"] == "same":
        headers["Origin"] = f"http://127.0.0.1:{port}"
    got, reply = _ask(port, method, path, body, headers)
    assert got == status, (path, headers, reply)
    if status >= 400:
        assert set(reply) == {"error"} and "\n" not in reply["error"]


@inside
def test_inside_a_view_beyond_the_loopback_warns_and_needs_its_token(damaged_run):
    run, _ = damaged_run
    process = subprocess.Popen([sys.executable, "-m", "tarnex_train.cli", "view", "--run", str(run), "--host", "0.0.0.0",
                                "--port", "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = process.stdout.readline()
        address = line.split()[-1]
        port, token = int(address.split(":")[2].split("/")[0]), address.split("token=")[1]
        assert _ask(port, "GET", "/api/runs")[0] == 401
        assert _ask(port, "GET", "/api/runs", headers={"Cookie": f"tarnex_view_{port}=guess"})[0] == 401
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        connection.request("GET", f"/api/runs?token={token}", headers={"Host": "some.name"})
        response = connection.getresponse()
        response.read()
        assert response.status == 200 and f"tarnex_view_{port}={token}" in response.getheader("set-cookie")
        assert _ask(port, "GET", "/api/runs", headers={"Cookie": f"tarnex_view_{port}={token}"})[0] == 200
    finally:
        process.terminate()
        _, errors = process.communicate(timeout=30)
    assert "WARNING" in errors and "beyond this machine" in errors


@inside
def test_inside_requests_and_matches_have_a_bounded_cost(server, damaged_run):
    port, process = server
    run, _ = damaged_run
    # A body announced beyond the cap is refused before it is sent.
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.putrequest("POST", "/api/matches")
    for key, value in (("Content-Type", "application/json"), ("Content-Length", str(300 * 2**20))):
        connection.putheader(key, value)
    connection.endheaders()
    assert connection.getresponse().status == 413
    connection.close()
    assert _ask(port, "POST", "/api/matches", b'{"seats": "' + b"x" * 70000 + b'"}')[0] == 413
    # A client sending its request a byte at a time is cut off (the server
    # gives it 2 s here), though every byte restarts uvicorn's own timer.
    began, closed = time.monotonic(), False
    with socket.create_connection(("127.0.0.1", port)) as slow:
        for byte in b"GET /api/runs HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 200:
            try:
                slow.send(bytes([byte]))
                if select.select([slow], [], [], 0.1)[0] and not slow.recv(1):
                    closed = True
            except OSError:
                closed = True
            if closed:
                break
    assert closed and time.monotonic() - began < 10
    # Searches beyond the caps per seat, and together, are refused before they start.
    for seats, says in ((["person", f"search:{run}/best.pt:1000000", "greedy", "greedy"], "at most 2048"),
                        (["person"] + [f"search:{run}/best.pt:2000"] * 3, "at most 4096")):
        status, reply = _ask(port, "POST", "/api/matches", {"seats": seats})
        assert status == 400 and says in reply["error"], reply
    assert process.poll() is None


@inside
def test_inside_damaged_files_are_left_out_and_said(server):
    port, _ = server
    status, saved = _ask(port, "GET", "/api/runs/0/saved")
    assert status == 200
    usable = {g["name"]: g["usable"] for g in saved["games"]}
    assert usable == {"good.json": True, "linked.json": False, **{name: False for name in DAMAGED_SAVED}}
    for name in [*DAMAGED_SAVED, "linked.json"]:
        status, reply = _ask(port, "GET", f"/api/runs/0/saved/{name}")
        assert status == 422 and "\n" not in reply["error"], (name, reply)
    assert _ask(port, "GET", "/api/runs/0/saved/good.json")[0] == 200

    status, metrics = _ask(port, "GET", "/api/runs/0/metrics")
    assert status == 200 and [r["generation"] for r in metrics["records"]] == [0, 1, 2]
    assert len(metrics["skipped"]) == 2, metrics["skipped"]
    status, metrics = _ask(port, "GET", "/api/runs/1/metrics")
    assert status == 200 and metrics["records"] == [] and "could not be read" in metrics["skipped"][0]

    status, listed = _ask(port, "GET", "/api/runs/0/generations/1/games")
    assert status == 200 and {g["shard"] for g in listed["games"]} == {"shard-good-00000.npz"}
    assert sorted(s["shard"] for s in listed["skipped"]) == [
        "shard-nan-payoff-00000.npz", "shard-short-game-00000.npz", "shard-short-policy-00000.npz"]
    good = listed["games"][0]
    assert _ask(port, "GET", f"/api/runs/0/generations/1/games/shard-good-00000.npz/{good['number']}")[0] == 200
    status, reply = _ask(port, "GET", f"/api/runs/0/generations/1/games/shard-short-policy-00000.npz/{good['number']}")
    assert status == 422 and "policy" in reply["error"]
    status, listed = _ask(port, "GET", "/api/runs/0/generations/0/games")  # under a folder named b[1]
    assert status == 200 and len(listed["games"]) == 2
