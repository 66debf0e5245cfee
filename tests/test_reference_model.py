"""The edge-case tables run against the reference model (and, when enabled, the extensions)."""

import importlib
from types import SimpleNamespace

import pytest

import edge_cases
from edge_cases import Raises

MODULES = ("registry", "widths", "scalars", "layouts")

IMPLEMENTATIONS = {
    "model": ("pfnc_model.registry", "pfnc_model.widths", "pfnc_model.scalars", "pfnc_model.layouts"),
}

# To cross-check the extension modules against the same tables, add
# IMPLEMENTATIONS["extension"] = EXTENSION_MODULES; it is skipped while the
# extensions cannot be imported.
EXTENSION_MODULES = (
    "corvella.pfnc._internal.registry",
    "corvella.pfnc.genicam.widths",
    "corvella.pfnc.genicam.scalars",
    "corvella.pfnc.genicam.layouts",
)


@pytest.fixture(scope="module", params=sorted(IMPLEMENTATIONS))
def impl(request):
    try:
        modules = [importlib.import_module(name) for name in IMPLEMENTATIONS[request.param]]
    except ImportError as e:
        pytest.skip(f"{request.param} not importable: {e}")
    return SimpleNamespace(name=request.param, **dict(zip(MODULES, modules)))


@pytest.fixture
def data_type_registry(impl):
    """Put the shared DATA_TYPE_REGISTRY back as it was, whatever the test did to it."""
    registry = impl.scalars.DATA_TYPE_REGISTRY
    # Saved and put back by hand rather than through snapshot/restore, which
    # are among the things under test.
    contents, default_keys = dict(registry._registry), set(registry._default_keys)
    yield registry
    registry._registry.clear()
    registry._registry.update(contents)
    registry._default_keys.clear()
    registry._default_keys.update(default_keys)


def check(impl, case):
    if isinstance(case.expect, Raises):
        with pytest.raises(case.expect.type) as info:
            case.call(impl)
        if case.expect.message is not None:
            assert str(info.value) == case.expect.message
    else:
        assert case.call(impl) == case.expect


def _ids(table):
    return [case.id for case in table]


@pytest.mark.parametrize("case", edge_cases.REGISTRY, ids=_ids(edge_cases.REGISTRY))
def test_registry(impl, case):
    check(impl, case)


@pytest.mark.parametrize("case", edge_cases.WIDTHS, ids=_ids(edge_cases.WIDTHS))
def test_widths(impl, case):
    check(impl, case)


@pytest.mark.parametrize("case", edge_cases.SCALARS, ids=_ids(edge_cases.SCALARS))
def test_scalars(impl, data_type_registry, case):
    check(impl, case)
    assert list(data_type_registry)[:4] == ["", "s", "f", "u"]


@pytest.mark.parametrize("case", edge_cases.LAYOUTS, ids=_ids(edge_cases.LAYOUTS))
def test_layouts(impl, case):
    check(impl, case)
