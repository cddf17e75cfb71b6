"""Every setting of the tools, declared once (``fields``), grouped
(``groups``) and assembled per command (``commands``)."""

from .commands import (RANDOM, ArenaOptions, LadderOptions, LoopOptions, LoopSettings, SelfPlayOptions, TrainOptions,
                       ViewOptions, upgrade_run_settings)
from .fields import Settings, as_dict, check_value, from_dict, group, group_class, idle_options, setting
from .groups import (ClusterSettings, DeviceSettings, Display, NetworkShape, PoolSettings, SearchConfig,
                     SearchPlayers, Seeding, ShardSettings, TrainSettings)

__all__ = [
    "RANDOM", "ArenaOptions", "LadderOptions", "LoopOptions", "LoopSettings", "SelfPlayOptions", "TrainOptions", "ViewOptions",
    "upgrade_run_settings", "Settings", "as_dict", "check_value", "from_dict", "group", "group_class", "idle_options",
    "setting",
    "ClusterSettings", "DeviceSettings", "Display", "NetworkShape", "PoolSettings", "SearchConfig", "SearchPlayers",
    "Seeding", "ShardSettings", "TrainSettings",
]
