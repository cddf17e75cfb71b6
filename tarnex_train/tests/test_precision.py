"""The network's bfloat16 and int8 forms: a form answers in place of
float32 only where it agrees with it on the check's positions, and each
form computes the network's own function on every shape."""

import logging

import numpy as np
import pytest
import torch

from tarnex_train.constants import CELLS
from tarnex_train.inference import precision
from tarnex_train.inference.forms import InferenceNet, onnx_session
from tarnex_train.model.network import TarnexNet
from tarnex_train.settings import NetworkShape

SMALL = NetworkShape(channels=8, blocks=1)


def _moved_tile(share):
    """A form that answers as float32 but moves the best tile to another
    legal one at ``share`` of the positions."""
    def build(reference):
        def form(planes, pieces=None):
            policy, values = reference(planes, pieces)
            policy = policy.clone()
            for row in range(int(round(share * len(planes)))):
                legal = torch.nonzero(policy[row] > 0).flatten()
                worst = legal[policy[row, legal].argmin()]
                policy[row, worst] = policy[row].max() + 1.0
            return policy, values
        return form
    return build


def _shifted_values(gap):
    def build(reference):
        def form(planes, pieces=None):
            policy, values = reference(planes, pieces)
            return policy, values + torch.tensor([gap, -gap, 0.0, 0.0])
        return form
    return build


@pytest.mark.parametrize("fault, amount, chosen", [
    (_moved_tile, 0.0, "bfloat16"),
    (_moved_tile, 0.005, "bfloat16"),  # within the 1% the check allows
    (_moved_tile, 0.03, "float32"),
    (_shifted_values, 0.005, "bfloat16"),
    (_shifted_values, 0.02, "float32"),
], ids=["faithful", "rare-other-tile", "other-tiles", "close-values", "far-values"])
def test_auto_keeps_a_form_only_where_it_agrees_with_float32(monkeypatch, caplog, fault, amount, chosen):
    monkeypatch.setattr(precision, "_PASSED", set())  # no verdict kept from another case
    monkeypatch.setattr(precision, "candidates", lambda asked: ["bfloat16"] if asked == "auto" else [])
    torch.manual_seed(0)
    net = TarnexNet(SMALL).eval()
    exact = InferenceNet(net, "cpu")
    build = fault(amount)
    monkeypatch.setitem(precision.BUILDERS, "bfloat16", lambda *_: build(exact.predict))
    planes = precision.check_positions()
    measured = precision.agreement(build(exact.predict), exact.predict, planes, net.shape)
    moved = round(amount * len(planes)) / len(planes) if fault is _moved_tile else 0.0
    assert measured.same_tile == pytest.approx(1.0 - moved)
    assert measured.value_gap == pytest.approx(amount if fault is _shifted_values else 0.0, abs=1e-6)
    with caplog.at_level(logging.INFO, logger="tarnex_train.inference.precision"):
        form = InferenceNet(net, "cpu", "auto")
    assert form.precision == chosen
    if chosen == "float32":
        assert form.faster is None and "keeps to float32" in caplog.text
        inputs = precision._inputs(planes[:32], net.shape)
        for mine, theirs in zip(form.predict(*inputs), exact.predict(*inputs)):
            assert torch.equal(mine, theirs)


def test_tied_best_tiles_all_count_as_float32s_best():
    planes = precision.check_positions()[:8]
    policy = torch.zeros(len(planes), CELLS)
    legal = torch.from_numpy(planes[:, 4].reshape(len(planes), CELLS) > 0)
    policy[legal] = 1.0  # every legal tile tied
    values = torch.full((len(planes), 4), 0.25)
    reference = lambda *_: (policy, values)  # noqa: E731
    last_legal = legal.shape[1] - 1 - legal.flip(1).int().argmax(1)
    other = policy.clone()
    other[torch.arange(len(planes)), last_legal] = 2.0
    assert precision.agreement(lambda *_: (other, values), reference, planes, None).same_tile == 1.0


@pytest.mark.parametrize("name, shape", [
    ("bfloat16", NetworkShape(channels=8, blocks=2)),
    ("bfloat16", NetworkShape(channels=8, blocks=1, value_head="dense", ownership_head=False, piece_inputs=False,
                              corner_inputs=False, placement_inputs=False)),
    ("bfloat16", NetworkShape(channels=8, blocks=0, placement_inputs=False)),
    ("int8", NetworkShape(channels=8, blocks=1)),
    ("bfloat16", NetworkShape(channels=8, blocks=1, value_head="owned")),
])
def test_each_form_computes_the_networks_function(name, shape):
    """On a network whose BatchNorms have statistics of their own (a fold
    that dropped or misplaced one moves the answers far beyond rounding),
    each form answers close to float32 on the check's positions."""
    torch.manual_seed(1)
    net = TarnexNet(shape).eval()
    with torch.no_grad():
        for module in net.modules():
            if isinstance(module, torch.nn.BatchNorm2d):
                module.running_mean.uniform_(-0.5, 0.5)
                module.running_var.uniform_(0.5, 2.0)
                module.weight.uniform_(0.5, 1.5)
                module.bias.uniform_(-0.2, 0.2)
    exact = InferenceNet(net, "cpu")
    form = precision.BUILDERS[name](net, exact.onnx_model, onnx_session)
    planes = precision.check_positions()[::4]
    inputs = precision._inputs(planes, net.shape)
    policy, values = form(*inputs)
    ref_policy, ref_values = exact.predict(*inputs)
    legal = ref_policy > 0
    assert torch.equal(policy > 0, legal)  # the engine keeps the same tiles
    # Log-probabilities up to a shift per position: compare their spread.
    spread = (policy - ref_policy).where(legal, torch.zeros_like(policy))
    centred = spread - spread.sum(1, keepdim=True) / legal.sum(1, keepdim=True)
    assert centred.where(legal, torch.zeros_like(centred)).abs().max() < 0.05
    assert (values - ref_values).abs().max() < 0.01
    assert np.isfinite(values.numpy()).all()
