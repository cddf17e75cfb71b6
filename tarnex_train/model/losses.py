"""The training losses: cross-entropies of the policy against the search's
visit shares, of the value shares against the value target, and of each
cell's final owner."""

from __future__ import annotations

import torch
from torch.nn import functional as F

from .network import TarnexNet


def losses(net: TarnexNet, planes, pieces, policy_target, value_target, policy_weight=None, ownership_target=None):
    """(policy, value, ownership) losses of the positions' planes and piece
    features: cross-entropies of the policy (mean weighted by
    ``policy_weight``), of the value shares (batch mean) and of each cell's
    final owner (mean over cells and batch; 0 without the head or a
    target)."""
    log_policy, value_logits, ownership_logits = net.forward_training(planes, pieces)
    # Targets are zero off the legal cells, where log_policy is -inf.
    policy_each = -(policy_target * log_policy.clamp_min(-1e4)).sum(dim=1)
    if policy_weight is None:
        policy_loss = policy_each.mean()
    else:
        policy_loss = (policy_each * policy_weight).sum() / policy_weight.sum().clamp_min(1.0)
    value_loss = -(value_target * F.log_softmax(value_logits, dim=1)).sum(dim=1).mean()
    if ownership_logits is None or ownership_target is None:
        ownership_loss = torch.zeros((), device=planes.device)
    else:
        ownership_loss = F.cross_entropy(ownership_logits, ownership_target)
    return policy_loss, value_loss, ownership_loss
