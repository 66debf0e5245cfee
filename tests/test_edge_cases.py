"""The edge-case tables, run against the reference model and the extension modules alike."""

import pytest

import edge_cases
from edge_cases import Raises
from implementations import IMPLEMENTATIONS, kept_data_type_registry, load, require


@pytest.fixture(scope="module", params=sorted(IMPLEMENTATIONS))
def impl(request):
    return load(request.param)


@pytest.fixture
def data_type_registry(impl):
    require(impl, "registry", "scalars")
    with kept_data_type_registry(impl.scalars) as registry:
        yield registry


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
    require(impl, "registry")
    check(impl, case)


@pytest.mark.parametrize("case", edge_cases.WIDTHS, ids=_ids(edge_cases.WIDTHS))
def test_widths(impl, case):
    require(impl, "widths")
    check(impl, case)


@pytest.mark.parametrize("case", edge_cases.SCALARS, ids=_ids(edge_cases.SCALARS))
def test_scalars(impl, data_type_registry, case):
    check(impl, case)
    assert list(data_type_registry)[:4] == ["", "s", "f", "u"]


@pytest.mark.parametrize("case", edge_cases.LAYOUTS, ids=_ids(edge_cases.LAYOUTS))
def test_layouts(impl, case):
    # Only reading a whole name goes through the data types as well.
    require(impl, "widths", "layouts", *(["scalars"] if case.id == "whole-name" else []))
    check(impl, case)
