import os
import sys
from pathlib import Path

# --- reference model ---------------------------------------------------------
# The pure-Python reference model lives outside the package and is never
# installed; the cross-checking tests import it from the checkout. The
# package's own pure-Python modules come from src/ only when no installed
# corvella.pfnc is found, so that an installed build (with its extension
# modules) always wins.
_ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(_ROOT / "reference"))
try:
    import corvella.pfnc.exceptions  # noqa: F401
except ImportError:
    sys.path.append(str(_ROOT / "src"))
# --- end reference model -----------------------------------------------------

# --- hypothesis profiles -----------------------------------------------------
# "default" keeps CI short and reproducible: a fixed number of examples drawn
# from a fixed seed, no example database. CORVELLA_HYPOTHESIS_PROFILE=long runs
# twenty times as many examples from a fresh seed each run.
try:
    from hypothesis import HealthCheck, settings
except ImportError:
    pass
else:
    DEFAULT_EXAMPLES = 100
    # No deadline and no "too slow" check: a busy CI machine is no fault.
    settings.register_profile(
        "default",
        max_examples=DEFAULT_EXAMPLES,
        derandomize=True,
        database=None,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow],
        print_blob=True,
    )
    settings.register_profile("long", settings.get_profile("default"), max_examples=20 * DEFAULT_EXAMPLES, derandomize=False)
    settings.load_profile(os.environ.get("CORVELLA_HYPOTHESIS_PROFILE", "default"))
# --- end hypothesis profiles -------------------------------------------------
