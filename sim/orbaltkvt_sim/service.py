"""The simulated data service's main names in one module, for importers that use it."""

from .fleet import FLEET_PHASE_STEP, Fleet
from .keys import (BASIC_SUFFIX, EXTRA_SUFFIX, KEY_PREFIX, RPC_SUFFIX, SERVICE_VERSION,
                   normalize_sn, session_config, unique_sn)
from .simulator import Simulator

__all__ = ["BASIC_SUFFIX", "EXTRA_SUFFIX", "FLEET_PHASE_STEP", "Fleet", "KEY_PREFIX",
           "RPC_SUFFIX", "SERVICE_VERSION", "Simulator", "normalize_sn", "session_config",
           "unique_sn"]
