"""Module-level names and sibling functions are found anew at every use, also with lookup caches.

The frame may reuse a lookup while the namespace it came from is unchanged; these tests change
namespaces between calls and in the middle of a call and check that the next use sees the change.
"""

import builtins
import types

import numpy as np
import pytest

from gmms import Morrand, Sellwyn, Tarvik

R_RUP = np.array([10.0, 50.0])
VS30 = np.array([400.0, 760.0])


def tarvik():
    return Tarvik.Tarvik_cy(0, 7.0, 40.0, 135.0, 50.0, R_RUP, VS30, 0, 0, 0, 1)


def morrand(n=3):
    sites = np.linspace(1.0, 50.0, n)
    return Morrand.Morrand_cy(6.5, 45.0, 3.0, sites, sites + 1.0, sites, np.full(n, 300.0), np.full(n, 0.3),
                              np.full(n, 1.0), 0, 1, 1, 1)


def sellwyn(n=3):
    sites = np.linspace(1.0, 50.0, n)
    return Sellwyn.Sellwyn_cy(0, 6.5, 15.0, 45.0, 3.0, 10.0, sites, sites + 1.0, sites, np.full(n, 300.0),
                              np.full(n, 1.0), 0, 1, "JP")


class CountingNumpy(types.ModuleType):
    """A stand-in for `np` that records the calls of zeros and asarray and forwards them."""

    def __init__(self, name="np_shim"):
        super().__init__(name)
        self.calls = []
        self.zeros = lambda n, dtype: (self.calls.append(("zeros", n, dtype)), np.zeros(n, dtype=dtype))[1]
        self.asarray = lambda a: (self.calls.append(("asarray",)), np.asarray(a))[1]


@pytest.fixture
def restore_namespaces():
    saved = {m: dict(vars(m)) for m in (Tarvik, Morrand, Sellwyn)}
    numpy_saved = (np.zeros, np.asarray)
    yield
    np.zeros, np.asarray = numpy_saved
    for module, namespace in saved.items():
        vars(module).clear()
        vars(module).update(namespace)
    builtins.__dict__.pop("np", None)


@pytest.mark.usefixtures("restore_namespaces")
class TestNumpyName:
    def test_rebinding_np_between_calls_takes_effect(self):
        expected = tarvik()
        shim = CountingNumpy()
        Tarvik.np = shim
        got = tarvik()
        assert [c[0] for c in shim.calls] == ["zeros"] * 3 + ["asarray"] * 3
        assert shim.calls[0] == ("zeros", 2, "float64")
        Tarvik.np = np
        tarvik()
        assert len(shim.calls) == 6
        for a, b in zip(expected, got):
            np.testing.assert_array_equal(a, b)

    def test_replacing_numpy_functions_takes_effect(self):
        tarvik()  # the lookups of zeros and asarray have been made once
        calls = []
        real_zeros, real_asarray = np.zeros, np.asarray
        np.zeros = lambda n, dtype: (calls.append("zeros"), real_zeros(n, dtype=dtype))[1]
        np.asarray = lambda a: (calls.append("asarray"), real_asarray(a))[1]
        tarvik()
        assert calls == ["zeros"] * 3 + ["asarray"] * 3
        np.zeros, np.asarray = real_zeros, real_asarray
        tarvik()
        assert len(calls) == 6

    def test_deleted_np_raises_then_builtins_then_module_again(self):
        tarvik()
        del Tarvik.np
        with pytest.raises(NameError, match="name 'np' is not defined"):
            tarvik()
        shim = CountingNumpy()
        builtins.np = shim  # a module without the name falls back to the builtins
        tarvik()
        assert len(shim.calls) == 6
        other = CountingNumpy()
        Tarvik.np = other
        tarvik()
        assert len(shim.calls) == 6 and len(other.calls) == 6

    def test_zeros_returning_longer_or_foreign_buffers(self):
        import array

        shim = CountingNumpy()
        shim.zeros = lambda n, dtype: np.zeros(n + 5, dtype=dtype)
        Tarvik.np = shim
        mean, phi, tau = tarvik()
        assert mean.shape == phi.shape == tau.shape == (2,)
        shim.zeros = lambda n, dtype: array.array("d", bytes(8 * n))
        mean, phi, tau = tarvik()
        assert isinstance(mean, np.ndarray) and mean.shape == (2,)
        np.testing.assert_array_equal(phi, [1.035, 1.035])


class TestResults:
    def test_results_are_new_distinct_writable_arrays(self):
        first = tarvik()
        second = tarvik()
        arrays = list(first) + list(second) + [R_RUP, VS30]
        for k, a in enumerate(arrays):
            for b in arrays[k + 1:]:
                assert not np.shares_memory(a, b)
        for a in first:
            assert a.dtype == np.float64 and a.flags.writeable and a.shape == (2,)
        first[1][:] = 0.0
        np.testing.assert_array_equal(first[2], [0.9015, 0.9015])


@pytest.mark.usefixtures("restore_namespaces")
class TestSiblingLookups:
    @staticmethod
    def dovecar(log, mu=-1.0, alpha=0.0, tag="first"):
        module = types.ModuleType("Dovecar")
        module.get_mu_cy = lambda *args: (log.append((tag, "mu", args[0])), mu)[1]
        module.get_alpha_cy = lambda *args: (log.append((tag, "alpha")), alpha)[1]
        return module

    def test_sibling_function_replaced_during_a_call(self):
        log = []
        module = self.dovecar(log)
        replacement = self.dovecar(log, tag="second").get_mu_cy

        def alpha_then_replace(*args):
            log.append(("first", "alpha"))
            module.get_mu_cy = replacement  # takes effect at the very next use
            return 0.0

        module.get_alpha_cy = alpha_then_replace
        Morrand.Dovecar = module
        morrand(n=2)
        assert log[:3] == [("first", "mu", 0), ("first", "alpha"), ("second", "mu", 1)]
        assert log[3] == ("second", "mu", 0)

    def test_sibling_module_rebound_during_a_call(self):
        log = []
        second = self.dovecar(log, tag="second")
        first = self.dovecar(log)
        first.get_alpha_cy = lambda *args: (setattr(Morrand, "Dovecar", second), 0.0)[1]
        Morrand.Dovecar = first
        morrand(n=2)
        assert log == [("first", "mu", 0), ("second", "mu", 1), ("second", "mu", 0), ("second", "alpha"),
                       ("second", "mu", 1)]

    def test_module_getattr_and_module_subclass_property(self):
        log = []
        module = self.dovecar(log)
        del module.get_alpha_cy
        module.__getattr__ = lambda name: (lambda *args: 0.25) if name == "get_alpha_cy" else None
        Morrand.Dovecar = module
        morrand()

        class WithProperty(types.ModuleType):
            @property
            def get_mu_cy(self):
                return lambda *args: (log.append("property"), 0.0)[1]

        module.__class__ = WithProperty  # a property of the type wins over the namespace entry
        morrand(n=1)
        assert log.count("property") == 2

    def test_deleted_sibling_attribute_raises_attribute_error(self):
        module = types.ModuleType("Brisquell")
        module.get_mu_cy = lambda *args: -1.0
        module.get_phi_cy = lambda M: 0.5
        module.get_tau_cy = lambda M: 0.4
        Sellwyn.Brisquell = module
        sellwyn()
        del module.get_tau_cy
        with pytest.raises(AttributeError, match="get_tau_cy"):
            sellwyn()
        del Sellwyn.Brisquell
        with pytest.raises(NameError, match="name 'Brisquell' is not defined"):
            sellwyn()
