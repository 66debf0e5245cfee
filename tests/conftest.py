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
