"""Options and config files as a user meets them: the help of every
command, one name per meaning (old spellings still taken), config keys flat
or nested, --print-config read back by --config, and the ladder's checks
before its first game."""

import argparse
import dataclasses
import json
import logging
import os
import types

import pytest

from conftest import TINY
from tarnex_train import cli
from tarnex_train.loop.folder import RUN_FILE, lock_run, open_run, read_settings_file
from tarnex_train.model.checkpoints import save_checkpoint
from tarnex_train.model.network import TarnexNet
from tarnex_train.settings import LoopSettings, group_class
from tarnex_train.settings.fields import all_leaf_paths
from tarnex_train.settings.tables import read_toml

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "config-example.toml")
ANEW = "write it anew: its opening comment, then what tarnex-train loop --print-config prints after its header"


def run(capsys, *argv):
    try:
        status = cli.main(list(argv))
    except SystemExit as exit:  # argparse's own errors
        status = exit.code
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return status, out, err


def subparser(name):
    parser = cli.build_parser()
    return next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction)).choices[name]


def declared(cls, defaults, prefix=""):
    """{dest: (default, field metadata)} of every option of a settings class."""
    out = {}
    for f in dataclasses.fields(cls):
        nested = group_class(f)
        if nested is not None:
            out.update(declared(nested, getattr(defaults, f.name), prefix + f.metadata["prefix"]))
        elif f.metadata.get("option", False):
            out[(prefix + f.name).replace("-", "_")] = (getattr(defaults, f.name), f.metadata)
    return out


@pytest.mark.parametrize("command", sorted(cli.COMMANDS))
def test_help_shows_every_default_and_where_an_option_acts(command):
    cls = cli.COMMANDS[command][0]
    sub = subparser(command)
    options = declared(cls, cls(**cli._required_placeholders(cls)))
    full = " ".join(sub.format_help().split())
    assert "(default: )" not in full and "(default: None)" not in full and "(default: [])" not in full
    checked = 0
    for action in sub._actions:
        if action.dest not in options or action.help == argparse.SUPPRESS:
            continue
        formatter = sub._get_formatter()
        formatter.add_argument(action)
        text = " ".join(formatter.format_help().split())
        default, meta = options[action.dest]
        if default not in (None, "", []) and not meta["required"]:
            shown = " ".join(map(str, default)) if isinstance(default, list) else str(default)
            assert f"(default: {shown})" in text or "(default:" in meta["help"], (action.dest, text)
            checked += 1
        if meta["only"]:
            assert f"(only with --{meta['only'][0]} {meta['only'][1]})" in text, (action.dest, text)
    assert checked >= len(options) // 2


def test_loop_groups_its_options_as_selfplay_does():
    def groups(name):
        return {g.title: {a.dest for a in g._group_actions} for g in subparser(name)._action_groups}

    loop, selfplay = groups("loop"), groups("selfplay")
    for title, dests in selfplay.items():
        if title != "options":
            assert loop.get(title) == dests, title
    assert {"learning run", "training"} <= set(loop) and max(map(len, loop.values())) < 20


@pytest.mark.parametrize("old, new, path, value", [
    (["train", "--data", "d", "--batch-size", "32"], ["train", "--data", "d", "--train-batch-size", "32"],
     "train.batch_size", 32),
    (["train", "--data", "d", "--lr", "0.01"], ["train", "--data", "d", "--train-lr", "0.01"], "train.lr", 0.01),
    (["arena", "--considered", "0", "--search-credit", "next"], ["arena", "--considered", "0", "--credit", "next"],
     "search.credit", "next"),
])
def test_old_spellings_are_taken_with_a_warning(caplog, old, new, path, value):
    parser = cli.build_parser()
    with caplog.at_level(logging.WARNING):
        options, given = cli.options_of(parser.parse_args(old))
    assert given[path] == value
    assert f"{old[-2]} is deprecated: use {new[-2]}" in caplog.text
    assert cli.options_of(parser.parse_args(new)) == (options, given)
    if old[0] == "train":  # one name, one meaning: the inference batch keeps --batch-size
        assert "--batch-size" not in {s for a in subparser("train")._actions if a.help != argparse.SUPPRESS
                                      for s in a.option_strings}


@pytest.mark.parametrize("text, check", [
    ("c_init = 1.5\n", lambda s: s.search.c_init == 1.5),
    ("[search]\nc_init = 1.5\n", lambda s: s.search.c_init == 1.5),
    ("train_lr = 0.01\nbatch_size = 8\nseed = 3\n",
     lambda s: (s.train.lr, s.pool.batch_size, s.train.batch_size, s.seeding.seed) == (0.01, 8, 256, 3)),
    ("lr = 0.01\n", lambda s: s.train.lr == 0.01),
    ("c_init = 1.5\n[search]\nc_init = 1.5\nsims_per_move = 3\n",
     lambda s: (s.search.c_init, s.search.sims_per_move) == (1.5, 3)),
])
def test_config_keys_flat_or_nested(tmp_path, text, check):
    path = tmp_path / "run.toml"
    path.write_text(text)
    assert check(read_settings_file(str(path)))


@pytest.mark.parametrize("text, message", [
    ("c_int = 1.0\n", "unknown setting(s) c_int (did you mean c_init, in [search]?)"),
    ("[search]\nbatch_size = 8\n", "batch_size (it belongs in [pool] or in [train])"),
    ("[train]\ngames_per_generation = 8\n", "games_per_generation (it belongs at the top)"),
    ("c_init = 1.0\n[search]\nc_init = 2.0\n", "c_init is given twice"),
    ('[search]\nplayer = "search"\nteacher = "none"\ncredit = "next"\n', "with credit next, set policy_target visits"),
    ('[search]\nplayer = "search"\nteacher = "none"\nconsidered = 4\npolicy_target = "visits"\n',
     "considered needs credit chooser and policy_target completed_q"),
])
def test_config_mistakes_get_a_hint(tmp_path, capsys, text, message):
    path = tmp_path / "run.toml"
    path.write_text(text)
    status, out, err = run(capsys, "loop", "--run", str(tmp_path / "run"), "--config", str(path))
    assert status == 2 and message in err and len(err.strip().splitlines()) == 1, err
    assert not (tmp_path / "run").exists()


@pytest.fixture
def stub_loop(monkeypatch):
    """The loop command writes its run file and plays nothing."""
    import tarnex_train.loop.run as loop_run

    def run_loop(run_dir, settings, changed, **_):
        lock_run(run_dir).close()
        open_run(run_dir, settings, changed)
        return types.SimpleNamespace(report=lambda: "stub", interrupted=False)

    monkeypatch.setattr(loop_run, "run_loop", run_loop)


ROUND_TRIPS = {
    "defaults": [],
    "changed": ["--c-init", "1.5", "--train-batch-size", "32", "--batch-size", "8", "--seed", "0",
                "--holdout-every", "0", "--no-ownership-head", "--player", "search", "--credit", "chooser",
                "--policy-target", "completed_q", "--cheap-sims", "2", "--train-lr", "1e-05"],
    "config": ["--config", "{tmp}/flat.json", "--greedy-games", "0"],
}


@pytest.mark.parametrize("case", sorted(ROUND_TRIPS))
def test_print_config_round_trips_to_the_same_run_file(tmp_path, capsys, stub_loop, case):
    (tmp_path / "flat.json").write_text(json.dumps({"sims_per_move": 3, "value_head": "dense", "seed": 7}))
    options = [o.format(tmp=tmp_path) for o in ROUND_TRIPS[case]]
    assert run(capsys, "loop", "--run", str(tmp_path / "direct"), *options)[0] == 0
    direct = json.loads((tmp_path / "direct" / RUN_FILE).read_text())
    # From the options, and from the run they started: both read back to the same run file.
    for source, printing in (("given", options), ("stored", ["--run", str(tmp_path / "direct")])):
        status, toml, err = run(capsys, "loop", "--print-config", *printing)
        assert status == 0, err
        (tmp_path / f"{source}.toml").write_text(toml)
        target = tmp_path / f"from-{source}"
        assert run(capsys, "loop", "--run", str(target), "--config", str(tmp_path / f"{source}.toml"))[0] == 0
        assert json.loads((target / RUN_FILE).read_text()) == direct, source


@pytest.mark.parametrize("options, warned", [
    (["--player", "policy", "--teacher", "lookahead", "--sims-per-move", "4"],
     "--sims-per-move does nothing here: it acts only with --player search"),
    (["--player", "search", "--policy-temperature", "2", "--reference-seats", "0.5"],
     "--policy-temperature, --reference-seats do nothing here: they act only with --player policy"),
    (["--player", "search", "--sims-per-move", "4"], None),
])
def test_an_option_that_does_nothing_is_said(caplog, capsys, options, warned):
    with caplog.at_level(logging.WARNING):
        assert run(capsys, "loop", "--print-config", *options)[0] == 0
    assert (warned in caplog.text) if warned else "does nothing" not in caplog.text


def test_the_example_config_loads_and_names_every_setting():
    table = read_toml(EXAMPLE)
    with open(EXAMPLE) as f:
        text = f.read()
    for *groups, name in all_leaf_paths(LoopSettings):
        tree = table
        for key in groups:
            tree = tree.get(key, {})
        named = name in tree or f"# {name}: not set" in text
        assert named, f"{name} is missing from docs/config-example.toml: {ANEW}"
    assert read_settings_file(EXAMPLE) == LoopSettings(), f"docs/config-example.toml shows other defaults: {ANEW}"


@pytest.fixture
def ladder_run(tmp_path, monkeypatch):
    """A run with one trained generation, its search unlike the defaults,
    where the ladder's matches are recorded, not played: each gives four
    games, the first seat ahead."""
    import tarnex_train.play.match as match

    run_dir = tmp_path / "run"
    settings = LoopSettings.make(shape=TINY, c_init=1.5, c_base=500.0)
    lock_run(str(run_dir)).close()
    open_run(str(run_dir), settings, {})
    (run_dir / "state.json").write_text(json.dumps({"generations_done": 1, "wall_seconds": 0.0,
                                                    "calibration": None, "total_steps": 0}))
    (run_dir / "gen-0000").mkdir()
    save_checkpoint(TarnexNet(TINY), str(run_dir / "gen-0000" / "network.pt"))
    played = []

    def run_match(options, **_):
        played.append(options)
        games = [{"seats": list(options.seats), "scores": [40, 10, 30, 20]}] * 4
        return types.SimpleNamespace(games=games, interrupted=False)

    monkeypatch.setattr(match, "run_match", run_match)
    return run_dir, played


def _state(run_dir, **changes):
    state = json.loads((run_dir / "state.json").read_text())
    (run_dir / "state.json").write_text(json.dumps({**state, **changes}))


@pytest.mark.parametrize("damage, message", [
    (lambda run: run.rename(run.parent / "elsewhere"), "does not exist"),
    (lambda run: (run / RUN_FILE).unlink(), "not a run folder"),
    (lambda run: _state(run, generations_done=999), "gen-0005/network.pt is missing (and"),
    (lambda run: _state(run, generations_done=0), "no complete generation to rate"),
])
def test_the_ladder_refuses_before_any_game(ladder_run, capsys, damage, message):
    run_dir, played = ladder_run
    damage(run_dir)
    status, out, err = run(capsys, "ladder", "--run", str(run_dir))
    assert status == 2 and message in err and len(err.strip().splitlines()) == 1, err
    assert not played


def test_the_ladder_plays_with_the_runs_search_and_logs_only_new_ratings(ladder_run, capsys):
    run_dir, played = ladder_run
    for rerun in range(3):
        status, out, err = run(capsys, "ladder", "--run", str(run_dir))
        assert status == 0 and "gen-0000 policy" in out, err
        if rerun == 0:
            assert played and all((o.search.c_init, o.search.c_base) == (1.5, 500.0) for o in played)
            played.clear()
        assert not played  # generation 0 is rated: nothing new to play, nor to log
    kinds = [json.loads(line)["kind"] for line in (run_dir / "metrics.jsonl").read_text().splitlines()]
    assert kinds == ["ladder"]
