"""The command line: bad options give one clear line and status 2, never a
traceback; every option is explained in --help."""

import argparse
import json

import torch

from tarnex_train.cli import build_parser, main


def run(capsys, *argv):
    try:
        status = main(list(argv))
    except SystemExit as exit:  # argparse's own errors
        status = exit.code
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return status, out, err


def test_bad_options_are_reported_in_one_line(tmp_path, capsys):
    foreign = tmp_path / "foreign"
    foreign.mkdir()
    (foreign / "metadata.json").write_text(json.dumps({"format_version": 99}))
    not_a_checkpoint = tmp_path / "junk.pt"
    not_a_checkpoint.write_bytes(b"not a checkpoint")
    empty = tmp_path / "empty"
    empty.mkdir()
    cases = [
        (["selfplay", "--games", "0"], "argument --games: 0 must be >= 1"),
        (["selfplay", "--sims-per-move", "ten"], "argument --sims-per-move: 'ten' is not an integer"),
        (["selfplay", "--exploration-fraction", "1.5"], "argument --exploration-fraction: 1.5 must be <= 1"),
        (["selfplay", "--dirichlet-alpha", "0"], "argument --dirichlet-alpha: 0 must be > 0"),
        (["selfplay", "--c-base", "nan"], "argument --c-base: NaN is not allowed"),
        (["selfplay", "--c-base", "1e39"], "range of a 32-bit float"),
        (["selfplay", "--dirichlet-alpha", "1e-50"], "range of a 32-bit float"),
        (["selfplay", "--sims-per-move", "100000000000000000000"], "must be <= 1e+06"),
        (["selfplay", "--batch-wait-ms", "inf"], "must be a finite number"),
        (["selfplay", "--seed", str(2**64)], "must be <="),
        (["arena", "--torch-threads", "100000"], "must be <= 1024"),
        (["loop", "--run", str(not_a_checkpoint)], "not a folder"),
        (["loop", "--run", str(foreign)], "not a run folder"),
        (["selfplay", "--player", "policy", "--teacher", "none"], "player policy needs a teacher"),
        (["selfplay", "--player", "search", "--sims-per-move", "2", "--cheap-sims", "3", "--evaluator", "zero",
          "--games", "1", "--output", str(tmp_path / "cheap")], "cheap_sims (3) must be below sims_per_move (2)"),
        (["selfplay", "--evaluator", "gpu"], "argument --evaluator: gpu must be one of network, zero"),
        (["selfplay", "--checkpoint", str(tmp_path / "missing.pt")], "missing.pt' does not exist"),
        (["selfplay", "--evaluator", "zero", "--output", str(foreign)], "data format version 99"),
        (["arena", "--model", str(not_a_checkpoint)], "could not be read"),
        (["arena", "--workers", "-2"], "argument --workers: -2 must be >= 0"),
        (["train", "--data", str(empty)], "no shards found"),
        (["train"], "the following arguments are required: --data"),
        (["train", "--data", str(tmp_path / "nowhere")], "no such data folder or shard"),
        ([], "the following arguments are required: COMMAND"),
    ]
    if not torch.cuda.is_available():
        cases.append((["arena", "--device", "cuda"], "CUDA is not available"))
    cases.append((["train", "--data", str(empty), "--device", "tpu"], "unknown device 'tpu'"))
    for argv, message in cases:
        status, out, err = run(capsys, *argv)
        assert status == 2, (argv, err)
        assert message in err, (argv, err)
        assert out == ""


def test_every_option_is_explained():
    parser = build_parser()
    subparsers = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    assert set(subparsers.choices) >= {"selfplay", "arena", "train", "loop", "ladder"}
    for name, command in subparsers.choices.items():
        for action in command._actions:
            assert action.help and action.help.strip(), (name, action.option_strings)
    selfplay_options = {o for a in subparsers.choices["selfplay"]._actions for o in a.option_strings}
    for field in ("sims-per-move", "sample-moves", "c-base", "c-init", "dirichlet-alpha", "exploration-fraction",
                  "games", "workers", "batch-size", "device", "checkpoint", "output"):
        assert f"--{field}" in selfplay_options
