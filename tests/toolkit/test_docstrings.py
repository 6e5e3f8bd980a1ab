import doctest

import pytest

import tessel.modelbench
import tessel.modelbench.entropy
import tessel.process
import tessel.validation


@pytest.mark.parametrize(
    "module", [tessel.process, tessel.modelbench.entropy, tessel.modelbench, tessel.validation]
)
def test_docstring_examples_run(module):
    result = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0
