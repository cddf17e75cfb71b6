"""``tarnex-train view`` in a real headless browser (Debian's chromium through
Selenium), against a server started by the tests on 127.0.0.1 inside a
network namespace that holds only the loopback interface: the outer test
makes the namespace, runs the other tests of this file in it and removes it.

TARNEX_VIEW_SCREENSHOTS=DIR also saves a picture of each page there (the
README's are made so: TARNEX_VIEW_SCREENSHOTS=$PWD/docs)."""

import json
import os
import subprocess
import sys
import time
import urllib.error
import urllib.request

import numpy as np
import pytest
from netns import run_in_loopback_namespace

INSIDE = "TARNEX_VIEW_TEST_IN_NETNS"
CHROMEDRIVER = "/usr/bin/chromedriver"


def test_view_in_a_loopback_only_namespace():
    for module in ("selenium", "starlette", "uvicorn"):
        pytest.importorskip(module)
    if not os.path.exists(CHROMEDRIVER):
        pytest.skip("needs Debian's chromium-driver")
    run_in_loopback_namespace(__file__, "inside", INSIDE, 5, "view")


inside = pytest.mark.skipif(not os.environ.get(INSIDE), reason="runs inside the loopback-only namespace")


# -- a small run folder -------------------------------------------------------


def _generation_line(g: int) -> dict:
    band = lambda mean, width: {"mean": mean, "low": mean - width, "high": mean + width, "games": 40}
    # Generation 0 is a bootstrap one: reference players, no network evaluations.
    selfplay = {"evaluations": 0, "evaluations_per_second": 0.0, "cache_hit_rate": None} if g == 0 else \
        {"evaluations": 10_000, "evaluations_per_second": 5000.0 + g, "cache_hit_rate": 0.01 + 0.001 * g}
    return {"kind": "generation", "generation": g, "wall_seconds": 60.0 * (g + 1), "games": 8, "positions": 2000,
            "train_steps": 10, "total_steps": 10 * (g + 1), "selfplay": selfplay,
            "heldout": {"policy_loss": 2.0 - 0.1 * g, "value_loss": 1.3, "policy_entropy": 2.5 - 0.1 * g},
            "vs_random": band(0.3 + 0.1 * g, 0.1), "vs_previous": band(0.3, 0.1), "equal_players": band(0.29, 0.05),
            "vs_greedy": band(0.1 * g, 0.05), "rating": _rating(50.0 * g)}


def _rating(value: float) -> dict:
    return {"rating": value, "low": value - 80, "high": value + 80, "games": 40}


LADDER = {"random": _rating(0), "greedy": _rating(300), "lookahead": _rating(420), "gen-0000 policy": _rating(20),
          "gen-0002 policy": _rating(150), "gen-0002 search16": _rating(260)}


def _train_line(g: int, step: int) -> dict:
    return {"kind": "train", "generation": g, "step": step, "total_steps": 10 * g + step,
            "policy_loss": 2.0, "value_loss": 1.3, "ownership_loss": 1.5}


@pytest.fixture(scope="module")
def run_dir(tmp_path_factory):
    """Three generations of metrics and a ladder's fit, a tiny network, two
    recorded self-play games of four search seats in generation 0 and a
    shard from before game numbers were kept, and in generation 1 a game of
    the network's policy beside three reference seats, taught by lookahead."""
    from conftest import TINY, tiny_options
    from tarnex_train.inference.evaluators import ZeroEvaluator
    from tarnex_train.model.checkpoints import save_checkpoint
    from tarnex_train.model.network import TarnexNet
    from tarnex_train.play.selfplay import run_selfplay
    from tarnex_train.settings import SearchConfig

    run = tmp_path_factory.mktemp("run")
    save_checkpoint(TarnexNet(TINY), str(run / "best.pt"))
    with open(run / "metrics.jsonl", "w") as f:
        for g in range(3):
            f.write(json.dumps(_train_line(g, 5)) + "\n" + json.dumps(_train_line(g, 10)) + "\n")
            f.write(json.dumps(_generation_line(g)) + "\n")
        f.write(json.dumps({"kind": "ladder", "generation": 2, "ratings": LADDER}) + "\n")
    data = run / "gen-0000" / "data"
    summary = run_selfplay(tiny_options(data, games=2, workers=1, games_per_shard=2), evaluator=ZeroEvaluator())
    assert summary.games_done == 2
    (shard,) = data.glob("shard-*.npz")
    with np.load(shard) as arrays:
        old = {k: arrays[k] for k in ("format_version", "planes", "policy", "value", "mover", "tile")}
    np.savez_compressed(data / "shard-old-00000.npz", **old)
    taught = SearchConfig(player="policy", reference_seats=1.0, teacher="lookahead")
    summary = run_selfplay(tiny_options(run / "gen-0001" / "data", games=1, workers=1, search=taught),
                           evaluator=ZeroEvaluator())
    assert summary.games_done == 1
    return run


@pytest.fixture(scope="module")
def server(run_dir):
    process = subprocess.Popen([sys.executable, "-m", "tarnex_train.cli", "view", "--run", str(run_dir), "--port", "0"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    assert "http://127.0.0.1:" in line, line + process.stderr.read()
    yield line.split()[-1].rstrip("/")
    process.terminate()
    process.wait(timeout=30)


@pytest.fixture(scope="module")
def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,1000"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    yield driver
    driver.quit()


def _wait(browser, condition, seconds=60):
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(browser, seconds).until(lambda _: condition())


def _all(browser, selector):
    from selenium.webdriver.common.by import By

    return browser.find_elements(By.CSS_SELECTOR, selector)


def _one(browser, selector):
    from selenium.webdriver.common.by import By

    return browser.find_element(By.CSS_SELECTOR, selector)


def _screenshot(browser, name):
    folder = os.environ.get("TARNEX_VIEW_SCREENSHOTS")
    if folder:
        browser.save_screenshot(os.path.join(folder, f"view-{name}.png"))


def _request(url, body=None, method=None):
    data = body if isinstance(body, bytes) or body is None else json.dumps(body).encode()
    request = urllib.request.Request(url, data=data, method=method or ("POST" if data is not None else "GET"),
                                     headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=60) as response:
            return response.status, json.loads(response.read() or b"null")
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read())


def _shown_scores(browser):
    return [int(_one(browser, f'.seat[data-seat="{s}"] .score').get_attribute("data-score")) for s in range(4)]


def _pixel_y_matches(figure, reference) -> bool:
    """Whether a reference line lies where its value falls on the chart's
    y axis, read off the grid lines on either side of it."""
    y = float(reference.get_attribute("data-y"))
    drawn = float(_one(reference, "line").get_attribute("y1"))
    grid = sorted((float(g.get_attribute("data-value")), float(g.get_attribute("y1")))
                  for g in _all(figure, "line.grid"))
    (v0, p0), (v1, p1) = next((a, b) for a, b in zip(grid, grid[1:]) if a[0] <= y <= b[0])
    return abs(drawn - (p0 + (y - v0) / (v1 - v0) * (p1 - p0))) < 0.5


def _shown_board(browser):
    return [int(cell.get_attribute("data-owner")) for cell in _all(browser, "rect.cell")]


def test_a_checkpoint_is_named_in_its_run_folder_and_nothing_outside_the_runs_resolves(tmp_path, monkeypatch):
    from tarnex_train.view.errors import BadRequest
    from tarnex_train.view.players import checkpoint, default_opponent, suggested_players
    from tarnex_train.view.runs import open_runs

    alpha, beta = tmp_path / "alpha", tmp_path / "beta"
    (beta / "gen-0001").mkdir(parents=True)
    alpha.mkdir()
    for path in (alpha / "best.pt", beta / "gen-0001" / "model.pt", tmp_path / "outside.pt", alpha / "metrics.jsonl"):
        path.write_bytes(b"")
    (alpha / "link.pt").symlink_to(tmp_path / "outside.pt")
    monkeypatch.chdir(tmp_path)
    one, both = open_runs([str(alpha)]), open_runs([str(alpha), str(beta)])
    named = [(one, "best.pt", "best.pt"), (one, str(alpha / "best.pt"), "best.pt"), (one, "alpha/best.pt", "best.pt"),
             (both, "best.pt", "alpha/best.pt"), (both, "beta/gen-0001/model.pt", "beta/gen-0001/model.pt"),
             (both, "gen-0001/model.pt", "beta/gen-0001/model.pt"),
             (both, "alpha/../beta/gen-0001/model.pt", "beta/gen-0001/model.pt")]
    for runs, text, name in named:
        assert checkpoint(text, runs)[1] == name, text
    for text in ("../outside.pt", "link.pt", str(tmp_path / "outside.pt"), "beta/gen-0001/model.pt",
                 "gen-0001/../../beta/gen-0001/model.pt", "metrics.jsonl", "/etc/passwd", "best.pt\x00"):
        with pytest.raises(BadRequest):
            checkpoint(text, one)
    assert suggested_players(one)[:2] == ["policy:best.pt", "search:best.pt:64"]
    assert default_opponent(both, preferred=1) == "policy:alpha/best.pt"
    assert default_opponent(open_runs([str(beta)])) == "greedy"


# -- the pages ------------------------------------------------------------------


@inside
def test_inside_run_page_draws_every_strength_and_rating_and_follows_the_loop(server, run_dir, browser):
    browser.get(f"{server}/run")
    _wait(browser, lambda: len(_all(browser, "#generations tbody tr")) == 3)
    points = {s.get_attribute("data-series"): int(s.get_attribute("data-points")) for s in _all(browser, "g.series")}
    for name in ("vs three random seats, the network in seat 0", "vs three seats of the previous generation",
                 "vs three greedy seats", "rating from seat-0 games against random", "policy entropy",
                 "policy loss (held out)"):
        assert points.get(name) == 3, (name, points)
    assert points["policy loss (train)"] == points["ownership loss (train)"] == 6
    # The bootstrap generation asked the network nothing: no speed or cache hits to draw for it.
    assert points["network evaluations per second"] == points["cache hit rate"] == 2
    # The ladder's fit: each generation's players over the generations, the fixed players across.
    assert {k: v for k, v in points.items() if k.startswith("ladder")} == {
        "ladder: policy": 2, "ladder: search16": 1, "ladder: random": 2, "ladder: greedy": 2, "ladder: lookahead": 2}
    figures = {}
    for figure in _all(browser, "figure.chart"):
        figures[_one(figure, "figcaption").text] = (
            {g.get_attribute("data-series") for g in _all(figure, "g.series")},
            {float(g.get_attribute("data-y")): _pixel_y_matches(figure, g) for g in _all(figure, "g.reference")})
    by_series = {name: caption for caption, (names, _) in figures.items() for name in names}
    # Each strength is drawn against its own equal-players line: the seat-0
    # calibration for seat 0 against random, 0.25 for the rotated matches.
    seat0, rotated = figures[by_series["vs three random seats, the network in seat 0"]], figures[by_series[
        "vs three greedy seats"]]
    assert by_series["vs three greedy seats"] == by_series["vs three seats of the previous generation"]
    assert seat0[1] == {0.29: True} and rotated[1] == {0.25: True}
    # The seat-0 rating and the ladder's Bradley-Terry ratings are different scales: never on one axis.
    assert by_series["rating from seat-0 games against random"] != by_series["ladder: policy"]
    _screenshot(browser, "run")
    with open(run_dir / "metrics.jsonl", "a") as f:  # the loop finishes another generation
        f.write(json.dumps(_generation_line(3)) + "\n")
    _wait(browser, lambda: len(_all(browser, "#generations tbody tr")) == 4)
    assert _one(browser, '#generations tr[data-generation="3"]').text.startswith("3 4.0 8 2000 10 0.600 [0.500, 0.700]")


@inside
def test_inside_games_page_replays_a_recorded_game_to_its_final_scores(server, run_dir, browser):
    from selenium.webdriver.common.keys import Keys

    from tarnex_train import _rules
    from tarnex_train.view.sources import FRAMES, replay

    browser.get(f"{server}/games?run=0&generation=0")
    _wait(browser, lambda: len(_all(browser, "tr.game")) == 3)
    assert len(_all(browser, "tr.game.unusable")) == 1  # the old shard: listed, not replayable
    _all(browser, "tr.game.unusable")[0].click()
    _wait(browser, lambda: "no replayable history" in _one(browser, "#title").text)

    row = _all(browser, "tr.game:not(.unusable)")[0]
    number = int(row.get_attribute("data-number"))
    (shard,) = [p for p in (run_dir / "gen-0000" / "data").glob("shard-*.npz") if "old" not in p.name]
    with np.load(shard) as arrays:
        mine = arrays["game"] == number
        history = [(int(m), int(t)) for m, t in zip(arrays["mover"][mine], arrays["tile"][mine])]
        policy = arrays["policy"][mine]
    row.click()
    _wait(browser, lambda: _one(browser, "body").get_attribute("data-at") == "0" and _all(browser, "rect.heat"))
    # The heat map at move k (a piece's first tile, mid-game) is the search
    # policy turned from the mover's frame onto the board, over exactly the legal tiles.
    positions = replay(history)
    k = next(i for i in range(len(history) // 2, len(history)) if positions.completing[i - 1, history[i - 1][1]])
    _one(browser, "#jump").clear()
    _one(browser, "#jump").send_keys(str(k), Keys.ENTER)
    _wait(browser, lambda: _one(browser, "body").get_attribute("data-at") == str(k))
    shown = {int(h.get_attribute("data-tile")): float(h.get_attribute("data-share"))
             for h in _all(browser, "rect.heat")}
    assert sorted(shown) == np.flatnonzero(positions.legal[k]).tolist()
    mover = history[k][0]
    assert all(abs(share - policy[k, FRAMES[mover, tile]]) < 1e-3 for tile, share in shown.items())
    assert _shown_board(browser) == [next((s for s, t in history[:k] if t == tile), -1) for tile in range(400)]
    _screenshot(browser, "games")

    _one(browser, "#last").click()
    _wait(browser, lambda: _one(browser, "body").get_attribute("data-at") == str(len(history)))
    assert _shown_scores(browser) == list(_rules.scores(history))
    _one(browser, "#back-piece").click()  # a whole piece back: the mover's last piece comes off the board
    at = int(_one(browser, "body").get_attribute("data-at"))
    assert 1 <= len(history) - at <= 5 and positions.completing[at - 1, history[at - 1][1]]
    assert _one(browser, "#heat-label").text == "heat map: the search's visit shares"  # four search seats
    assert all(name.text.endswith(": search") for name in _all(browser, ".seat-name"))


@inside
def test_inside_a_recorded_games_seats_and_heat_map_say_who_played_and_what_was_taught(server, run_dir, browser):
    from selenium.webdriver.common.keys import Keys

    from tarnex_train.view.sources import placements, replay

    browser.get(f"{server}/games?run=0&generation=1")
    _wait(browser, lambda: len(_all(browser, "tr.game")) == 1)
    _one(browser, "tr.game").click()
    _wait(browser, lambda: _one(browser, "body").get_attribute("data-at") == "0")
    (shard,) = (run_dir / "gen-0001" / "data").glob("shard-*.npz")
    with np.load(shard) as arrays:
        history = [(int(m), int(t)) for m, t in zip(arrays["mover"], arrays["tile"])]
        recorded = arrays["game_seats"][0].tolist()
    # Who played, from the game itself: the reference players place the
    # largest piece that fits at every turn; the network's policy (flat, from
    # the zero-cost evaluator) does not.
    positions = replay(history)
    starts = [0] + [i + 1 for i, (_, t) in enumerate(history[:-1]) if positions.completing[i, t]]
    ends = starts[1:] + [len(history)]
    largest = {seat: True for seat in range(4)}
    for start, end in zip(starts, ends):
        seat = history[start][0]
        largest[seat] &= end - start == max(len(cells) for _, cells in placements(history[:start]))
    assert recorded.count("policy") == 1 and set(recorded) <= {"policy", "greedy", "lookahead"}
    assert [name != "policy" for name in recorded] == [largest[seat] for seat in range(4)], (recorded, largest)
    assert [name.text.split(": ", 1)[1] for name in _all(browser, ".seat-name")] == recorded
    # What was taught: the lookahead teacher's placement, an equal share on
    # each cell of one playable placement of the largest piece, not a search's visits.
    k = starts[len(starts) // 2]
    _one(browser, "#jump").clear()
    _one(browser, "#jump").send_keys(str(k), Keys.ENTER)
    _wait(browser, lambda: _one(browser, "body").get_attribute("data-at") == str(k))
    assert _one(browser, "#heat-label").text == "heat map: the lookahead teacher's target"
    shares = {int(h.get_attribute("data-tile")): float(h.get_attribute("data-share")) for h in _all(browser, "rect.heat")}
    taught = sorted(tile for tile, share in shares.items() if share > 0)
    biggest = max(len(cells) for _, cells in placements(history[:k]))
    assert taught in [cells for _, cells in placements(history[:k]) if len(cells) == biggest]
    assert all(abs(shares[tile] - 1 / len(taught)) < 1e-3 for tile in taught)
    assert "of the lookahead teacher's target" in _one(browser, "#move-info").text


@inside
def test_inside_a_person_plays_a_whole_game_by_placement_against_the_runs_network(server, run_dir, browser):
    """One pick and one click per piece (turns and flips aside), the run's
    network at the other seats, its turns running on without a stop except
    while the person steps through them."""
    from selenium.webdriver.common.action_chains import ActionChains

    from tarnex_train import _rules
    from tarnex_train.view.sources import FRAMES

    browser.get(f"{server}/play")
    _wait(browser, lambda: _all(browser, "#seat-3"))
    assert [_one(browser, f"#seat-{s}").get_attribute("value") for s in range(4)] == ["person"] + ["policy:best.pt"] * 3
    assert not _one(browser, "#step").is_selected()
    _one(browser, "#start").click()
    state_of = lambda: _one(browser, "body").get_attribute("data-state")
    _wait(browser, lambda: state_of() in ("person", "over"))
    match = _one(browser, "body").get_attribute("data-match")
    names = [e.text for e in _all(browser, ".seat-name")]
    assert all("policy:best.pt" in n for n in names[1:]) and not any(str(run_dir) in n for n in names), names
    # Every state the page passes through, to show that no computer turn waited.
    browser.execute_script("""window.tarnexStates = [];
        new MutationObserver(() => window.tarnexStates.push(document.body.dataset.state))
          .observe(document.body, {attributes: true, attributeFilter: ["data-state"]});""")
    passed_through = lambda: browser.execute_script("return window.tarnexStates.splice(0)")
    placed = 0
    while state_of() == "person":
        version = _one(browser, "body").get_attribute("data-version")
        _, state = _request(f"{server}/api/matches/{match}")
        if placed in (0, 5):  # every piece in the tray; those that cannot go down now say why
            fits = {p for p, _ in state["placements"]}
            expected = {p: "fits" if p in fits else "no-fit" if p in state["remaining"][0] else "placed"
                        for p in range(21)}
            shown = {int(b.get_attribute("data-piece")): (b.get_attribute("data-why"), b.is_enabled(),
                                                          b.get_attribute("title")) for b in _all(browser, "#tray button")}
            assert {p: why for p, (why, _, _) in shown.items()} == expected
            assert all(enabled == (why == "fits") for why, enabled, _ in shown.values())
            assert all(("already placed" in title) == (why == "placed") and ("does not fit" in title) == (why == "no-fit")
                       for why, _, title in shown.values())
            assert set(expected.values()) >= ({"fits", "no-fit"} if placed == 0 else {"fits", "placed"})
        piece, cells = max(state["placements"], key=lambda p: len(p[1]))  # the biggest piece that fits
        _one(browser, f'#tray button[data-piece="{piece}"]').click()  # the one pick
        wanted = ",".join(map(str, cells))
        for attempt in range(8):  # turns and flips: four turns on each side
            if _all(browser, f'rect.drop[data-placement="{wanted}"]'):
                break
            _one(browser, "#flip" if attempt == 3 else "#turn").click()
        tile = _one(browser, f'rect.drop[data-placement="{wanted}"]').get_attribute("data-tile")
        target = _one(browser, f'rect.cell[data-tile="{tile}"]')
        if placed == 0:
            _screenshot(browser, "play-start")
        if placed == 6:
            # Pointing anywhere on a shaded fit shows a legal placement of the piece over that cell; elsewhere, none.
            shaded = sorted({int(r.get_attribute("data-tile")) for r in _all(browser, "rect.legal")})
            ours = [c for p, c in state["placements"] if p == piece]
            for cell in (shaded[0], shaded[-1], next(t for t in range(400) if t not in shaded)):
                ActionChains(browser).move_to_element(_one(browser, f'rect.cell[data-tile="{cell}"]')).perform()
                shown = sorted(int(r.get_attribute("data-tile")) for r in _all(browser, "rect.preview.ok"))
                assert (shown in ours and cell in shown) if cell in shaded else shown == [], (cell, shown)
            ActionChains(browser).move_to_element(target).perform()
            assert sorted(int(r.get_attribute("data-tile")) for r in _all(browser, "rect.preview.ok")) == cells
            _screenshot(browser, "play")
        if placed == 3:  # stepping on: the next computer turns wait, their tiles shown, until let go
            _one(browser, "#step-live").click()
            _wait(browser, lambda: _request(f"{server}/api/matches/{match}")[1]["step"])
        before = len(state["history"])
        target.click()  # the one click
        if placed == 3:
            _wait(browser, lambda: state_of() == "pending")
            pending = _request(f"{server}/api/matches/{match}")[1]["pending"]
            coming = sorted(int(r.get_attribute("data-tile")) for r in _all(browser, "rect.coming"))
            assert pending["seat"] == 1 and coming == sorted(pending["tiles"]) and _all(browser, "rect.chosen")
            _screenshot(browser, "play-step")
            _one(browser, "body").send_keys("n")
            _wait(browser, lambda: state_of() == "pending"
                  and _request(f"{server}/api/matches/{match}")[1]["history"][-len(coming):] ==
                  [[1, t] for t in pending["tiles"]])
            _one(browser, "#step-live").click()
            _wait(browser, lambda: not _request(f"{server}/api/matches/{match}")[1]["step"])
        _wait(browser, lambda: _one(browser, "body").get_attribute("data-version") != version
              and state_of() in ("person", "over"))
        history = _request(f"{server}/api/matches/{match}")[1]["history"]
        assert history[before:before + len(cells)] == [[0, t] for t in cells]  # the click placed the whole piece
        seen = passed_through()
        assert ("pending" in seen) == (placed == 3), seen
        placed += 1
    assert state_of() == "over" and placed >= 5
    _, state = _request(f"{server}/api/matches/{match}")
    history = state["history"]
    assert {seat for seat, _ in history} == {0, 1, 2, 3}
    planes, mover, _, payoff, terminal = _rules.position(history)
    _rules.replay(history)  # the rules accept every tile in turn
    owners = [-1] * 400
    board = np.frombuffer(planes, dtype=np.uint8).reshape(5, 400)
    for k in range(4):
        for tile in range(400):
            if board[k, FRAMES[mover, tile]]:
                owners[tile] = (mover + k) % 4
    assert terminal and _shown_board(browser) == owners
    assert _shown_scores(browser) == state["scores"] == list(_rules.scores(history))
    assert state["payoff"] == pytest.approx(list(payoff))
    _screenshot(browser, "play-end")

    _one(browser, "#save").click()  # saved under the seats' names, listed on the games page, replayed to the same end
    _wait(browser, lambda: _all(browser, "#saved-link"))
    saved = _request(f"{server}/api/runs/0/saved")[1]["games"]
    assert [g["seats"] for g in saved if g["usable"]] == [["person"] + ["policy:best.pt"] * 3]
    _one(browser, "#saved-link").click()
    _wait(browser, lambda: _one(browser, "body").get_attribute("data-at") == "0")
    _one(browser, "#last").click()
    assert _shown_scores(browser) == state["scores"]


@inside
def test_inside_bad_requests_get_a_one_line_error_and_the_server_goes_on(server, run_dir):
    from tarnex_train.view.sources import placements

    status, runs = _request(f"{server}/api/runs")
    assert status == 200 and runs[0]["generations"] == [0, 1]
    shard = json.loads(urllib.request.urlopen(f"{server}/api/runs/0/generations/0/games").read())["games"][0]["shard"]
    # A search seat with the run's network, stepped through: its turn waits, with the visit shares of its
    # first tile, for the person; the seat is named as in the run folder, however the request spelt it.
    _, waiting = _request(f"{server}/api/matches", {"seats": [f"search:{run_dir}/best.pt:8", "person", "person",
                                                              "person"], "step": True})
    for _ in range(600):  # a bounded wait for the search thread
        status, state = _request(f"{server}/api/matches/{waiting['id']}")
        assert status == 200 and state["error"] is None
        if state["pending"]:
            break
        time.sleep(0.1)
    pending = state["pending"]
    shares = dict(pending["shares"])
    assert state["seats"][0] == "search:best.pt:8" and state["history"] == []
    assert pending["seat"] == 0 and pending["tile"] == pending["tiles"][0] and pending["tile"] in shares
    assert set(shares) <= set(state["legal"])
    assert sorted(pending["tiles"]) in [cells for _, cells in placements([])]  # a whole piece
    assert sum(shares.values()) == pytest.approx(1.0, abs=1e-3)
    _, mine = _request(f"{server}/api/matches", {"seats": ["person", "greedy", "greedy", "greedy"]})
    cases = [
        ("/runs/0/files/..%2F..%2F..%2Fetc%2Fpasswd", None, 404),
        ("/runs/0/files/%2Fetc%2Fpasswd", None, 404),
        ("/static/..%2Fapp.py", None, 404),
        ("/api/runs/7/metrics", None, 404),
        ("/api/runs/0/generations/9/games", None, 404),
        (f"/api/runs/0/generations/0/games/{shard}/999", None, 404),
        ("/api/runs/0/generations/0/games/..%2F..%2Fmetrics.jsonl/0", None, 404),
        ("/api/runs/0/saved/..%2Fmetrics.jsonl", None, 404),
        ("/api/matches/nope", None, 404),
        ("/api/matches", b"{not json", 400),
        ("/api/matches", {"seats": ["person"]}, 400),
        ("/api/matches", {"seats": ["person", "greedy", "greedy", "policy:/etc/passwd"]}, 400),
        ("/api/matches", {"seats": ["person", "greedy", "greedy", "search:x.pt:0"]}, 400),
        ("/api/matches", {"seats": ["person", "greedy", "greedy", "policy:../best.pt"]}, 400),
        ("/api/matches", {"seats": ["person", "greedy", "greedy", "policy:gen-0000/../../best.pt"]}, 400),
        (f"/api/matches/{mine['id']}/move", {"piece": 0, "cells": [400]}, 400),  # a tile off the board
        (f"/api/matches/{mine['id']}/move", {"piece": 0, "cells": [210]}, 400),  # not a playable placement
        (f"/api/matches/{mine['id']}/move", {"piece": 0, "cells": "0"}, 400),
        (f"/api/matches/{mine['id']}/next", {}, 409),  # no computer move waits
        (f"/api/matches/{mine['id']}/save", {}, 409),  # not over
        (f"/api/matches/{waiting['id']}/move", {"piece": 0, "cells": [0]}, 409),  # seat 0 is the computer's
        (f"/api/matches/{waiting['id']}/options", {"step": "yes"}, 400),
    ]
    for path, body, expected in cases:
        status, reply = _request(server + path, body)
        assert status == expected, (path, status, reply)
        assert set(reply) == {"error"} and reply["error"] and "\n" not in reply["error"], (path, reply)
    status, state = _request(f"{server}/api/matches/{mine['id']}")
    assert status == 200 and state["history"] == [] and state["placements"]
