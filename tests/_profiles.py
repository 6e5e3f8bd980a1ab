"""Hypothesis profiles for the property tests, and their shared settings.

The default run gives every differential property 2,000 examples and the
model-file fuzzing 3,000; ``pytest --hypothesis-profile=long`` gives each
50,000, ``--hypothesis-profile=smoke`` a handful.
"""

from __future__ import annotations

from hypothesis import HealthCheck, settings

DEFAULT_EXAMPLES = 2_000
LONG_EXAMPLES = 50_000

settings.register_profile("long", max_examples=LONG_EXAMPLES, deadline=None)
# A handful of examples per property, for runs under valgrind.
settings.register_profile("smoke", max_examples=15, deadline=None, database=None)


def property_settings(minimum: int = DEFAULT_EXAMPLES, **overrides) -> settings:
    """Settings for a property: at least `minimum` examples, more when the
    loaded profile asks for more (the smoke profile asks for fewer)."""
    if settings.get_current_profile_name() == "smoke":
        examples = settings().max_examples
    else:
        examples = max(minimum, settings().max_examples)
    options = dict(
        max_examples=examples,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                               HealthCheck.filter_too_much],
    )
    options.update(overrides)
    return settings(**options)


def pytest_configure(config):
    config.addinivalue_line("markers", "subprocess: runs its case in a fresh interpreter")
