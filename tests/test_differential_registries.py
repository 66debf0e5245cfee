"""Registries of both implementations, driven through the same operations, agree.

Hypothesis runs a Registry, and a DataTypeRegistry, of the extension and of
the reference model side by side as state machines: every rule does the same
to both and requires the same outcome (``differential.same``), and after every
step both hold the same names and values in the same order.
"""

from __future__ import annotations

import operator

import pytest

pytest.importorskip("hypothesis")
from hypothesis import strategies as st  # noqa: E402
from hypothesis.stateful import Bundle, RuleBasedStateMachine, invariant, rule, run_state_machine_as_test  # noqa: E402

from differential import EXTENSION, MODEL, needs, same  # noqa: E402
from odd_inputs import Failing, letter_names, registered_values, resolved  # noqa: E402

registry_keys = st.one_of(
    st.sampled_from(["a", "b", "", "\ud800"]),
    st.integers(-2, 2),
    # Equal keys of other types (True and 1, 2.0 and 2), a NaN, and a key
    # whose text cannot be made.
    st.sampled_from([None, (1, "a"), frozenset(), 2.0, float("nan"), True]),
    st.builds(Failing),
)
registry_names = registry_keys | st.sampled_from([[], {}])
registry_values = st.one_of(st.integers(), st.text(max_size=3), st.none(), st.builds(object))


class RegistryComparison(RuleBasedStateMachine):
    """A Registry of each implementation, driven through the same operations."""

    snapshots = Bundle("snapshots")

    def __init__(self):
        super().__init__()
        self.registries = {"model": MODEL.registry.Registry(), "extension": EXTENSION.registry.Registry()}

    def on_both(self, operation, handling=False):
        return same(lambda m: operation(m, self.registries[m.name]), handling=handling)

    def kept(self, make):
        """Run ``make`` on both sides and keep what each side made, for later rules."""
        made = {}

        def call(m, r):
            made[m.name] = make(m, r)
            return made[m.name]

        self.on_both(call)
        return made

    @rule(name=registry_names, value=registry_values, by_keyword=st.booleans())
    def register(self, name, value, by_keyword):
        if by_keyword:
            self.on_both(lambda m, r: r.register(value=value, name=name))
        else:
            self.on_both(lambda m, r: r.register(name, value))

    @rule(name=registry_names, handling=st.booleans())
    def resolve(self, name, handling):
        self.on_both(lambda m, r: r.resolve(name), handling)

    @rule(key=registry_names, default=registry_values, given=st.booleans())
    def get(self, key, default, given):
        self.on_both(lambda m, r: r.get(key, default_value=default) if given else r.get(key))

    @rule(target=snapshots)
    def snapshot(self):
        return self.kept(lambda m, r: r.snapshot())

    @rule(target=snapshots, contents=st.lists(st.tuples(registry_keys, registry_values), max_size=4), kind=st.sampled_from([dict, list, len]))
    def made_snapshot(self, contents, kind):
        # Snapshots made by hand, also of pairs or of something not iterable.
        return self.kept(lambda m, r: m.registry.MappingSnapshot(kind(contents)))

    @rule(snap=snapshots)
    def restore(self, snap):
        self.on_both(lambda m, r: r.restore(snap[m.name]))

    @rule(snap=snapshots, name=registry_keys, value=registry_values)
    def change_snapshot(self, snap, name, value):
        # Frozen guards the attribute only; restore must read the dict as it is now.
        self.on_both(lambda m, r: operator.setitem(snap[m.name].mapping, name, value))

    @rule(own=st.booleans())
    def restore_odd(self, own):
        if own:
            self.on_both(lambda m, r: r.restore(m.registry.MappingSnapshot(r._registry)))
        else:
            self.on_both(lambda m, r: r.restore(object()))

    @rule()
    def compare(self):
        self.on_both(lambda m, r: (r == m.registry.Registry(), r == m.registry.Registry(dict(r._registry)), r == r._registry))

    @invariant()
    def agree(self):
        self.on_both(lambda m, r: (list(r), r._registry, repr(r)))


@needs("registry")
def test_registry_operations():
    run_state_machine_as_test(RegistryComparison)


class DataTypeRegistryComparison(RegistryComparison):
    """A DataTypeRegistry of each implementation, driven through the same operations."""

    def __init__(self):
        RuleBasedStateMachine.__init__(self)
        self.registries = {"model": MODEL.scalars.DataTypeRegistry(), "extension": EXTENSION.scalars.DataTypeRegistry()}

    @rule(name=letter_names, value=registered_values, by_keyword=st.booleans())
    def register(self, name, value, by_keyword):
        if by_keyword:
            self.on_both(lambda m, r: r.register(name=name, value=resolved(m, value)))
        else:
            self.on_both(lambda m, r: r.register(name, resolved(m, value)))

    @rule(name=letter_names, value=registered_values)
    def validate(self, name, value):
        self.on_both(lambda m, r: r._validate(name, resolved(m, value)))

    @rule(name=letter_names | registry_names, handling=st.booleans())
    def resolve(self, name, handling):
        self.on_both(lambda m, r: r.resolve(name), handling)

    @rule(target=RegistryComparison.snapshots)
    def default_snapshot(self):
        return self.kept(lambda m, r: m.scalars.DataTypeRegistry.default_snapshot())

    @rule(
        target=RegistryComparison.snapshots,
        base=RegistryComparison.snapshots,
        change=st.sampled_from(["drop", "set", "reverse"]),
        name=letter_names,
        value=registered_values,
    )
    def changed_snapshot(self, base, change, name, value):
        # Snapshots near a valid one: a default missing or changed, a key too
        # long or not a str, the defaults out of order.
        def make(m, r):
            mapping = dict(base[m.name].mapping) if type(base[m.name].mapping) is dict else {}
            if change == "drop":
                mapping.pop(name, None)
            elif change == "set":
                mapping[name] = resolved(m, value)
            else:
                mapping = dict(reversed(mapping.items()))
            return m.registry.MappingSnapshot(mapping)

        return self.kept(make)

    @rule()
    def compare(self):
        self.on_both(lambda m, r: r == m.scalars.DataTypeRegistry())

    @invariant()
    def agree(self):
        self.on_both(lambda m, r: (list(r), r._registry, r._default_keys, repr(r)))


@needs("registry", "scalars")
def test_data_type_registry_operations():
    run_state_machine_as_test(DataTypeRegistryComparison)
