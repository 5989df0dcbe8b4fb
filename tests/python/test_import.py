import corpuswright
from corpuswright import _core


def test_package_reexports_core_names():
    assert isinstance(_core.__all__, list)
    for name in _core.__all__:
        assert getattr(corpuswright, name) is getattr(_core, name)
