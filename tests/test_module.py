"""Import, identity of the function objects, argument binding and flags."""

import inspect
import math
import pickle
import sys

import numpy as np
import pytest

import vornet
import vornet.vornet_core as core
from helpers import RaisingBool, RaisingEq, numpy_stand_in, vornet_entries

ATM = dict(S=100.0, K=100.0, D=math.exp(-0.05), F=100.0, sigma=0.25 * math.sqrt(0.5))


def atm_args(flag):
    return (ATM["S"], ATM["K"], ATM["D"], ATM["F"], ATM["sigma"], flag)


# name: (parameters, locals, definition line, docstring, defaults, valid arguments)
FUNCTIONS = {
    "baw_price": (
        "S K D F sigma flag", "", 397,
        "BAW American option price.\n\n"
        "    S spot, K strike, D discount factor, F forward, sigma total std dev.\n"
        "    flag: 'c' or 'p'.\n    ",
        None, atm_args("c")),
    "baw_implied_vol": (
        "price S K D F flag", "q result", 407,
        "BAW implied total std dev.\n\n    Returns sigma or NaN on failure.\n    ",
        None, (6.9, 100.0, 100.0, 0.95, 98.0, "c")),
    "vectorized_baw_implied_vol": (
        "prices S_arr K_arr D_arr F_arr flags",
        "n i result p_view s_view k_view d_view f_view q_view out out_view result_arr f", 419,
        "Batch BAW IV extraction.\n\n"
        "    All inputs are arrays of equal length. flags is array of 'c'/'p'.\n"
        "    Returns numpy array of implied vols.\n    ",
        None, ([6.9], [100.0], [100.0], [0.95], [98.0], ["c"])),
    "find_forward_baw": (
        "call_prices put_prices strikes S D strike_pct",
        "pct lo hi mask c_calls c_puts c_strikes n_sel j f_est_sum f_est_count F_init params "
        "search_lo search_hi result", 579,
        "Find forward price F where BAW call IV \u2248 put IV across near-ATM strikes.",
        (0.01,), ([], [], [], 100.0, 0.99)),
}


# --- import and identity ----------------------------------------------------


def test_module_namespace_and_doc():
    names = {n for n in vars(core) if not n.startswith("__")}
    assert names == {"np", *FUNCTIONS}
    assert core.np is np
    assert core.__test__ == {}
    assert core.__builtins__ is __import__("builtins")
    assert core.__name__ == "vornet.vornet_core"
    assert core.__package__ == "vornet"
    assert core.__doc__.startswith(
        "Barone-Adesi-Whaley (1987) American option pricer and IV solver.\n\n"
    )
    assert core.__doc__.endswith("\n")
    for name in (*FUNCTIONS, "brentq"):
        assert name in core.__doc__


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_identity(name):
    params, local_names, line, doc, defaults, _ = FUNCTIONS[name]
    f = getattr(core, name)
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "vornet.vornet_core"
    assert f.__doc__ == doc
    assert f.__defaults__ == defaults and f.__kwdefaults__ is None
    signature = inspect.signature(f)
    assert list(signature.parameters) == params.split()
    assert {p.kind for p in signature.parameters.values()} == {
        inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert [p.default for p in signature.parameters.values() if p.default is not p.empty] == \
        list(defaults or ())
    code = f.__code__
    assert (code.co_filename, code.co_firstlineno, code.co_name, code.co_argcount) == (
        "vornet/vornet_core", line, name, 6)
    assert code.co_varnames == tuple(params.split() + local_names.split())
    assert getattr(vornet, name) is f
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f


@pytest.mark.parametrize("name", FUNCTIONS)
def test_binding_failures_name_the_function_and_its_line(raises_at, name):
    """Counts, unknown keywords and unconvertible numbers, for each function
    at its definition line (580 for strike_pct)."""
    params, _, line, _, defaults, valid = FUNCTIONS[name]
    f = getattr(core, name)
    required = 6 - len(defaults or ())
    bound = "exactly" if required == 6 else "at least"
    raises_at(TypeError, name, line, f, *valid[:2],
              message=f"{name}() takes {bound} {required} positional arguments (2 given)")
    raises_at(TypeError, name, line, f, *valid, nonsense=1,
              message=f"{name}() got an unexpected keyword argument 'nonsense'")
    valid = dict(zip(params.split(), valid))
    assert f(**valid) is not None
    numbers = [p for p, value in valid.items() if isinstance(value, float)]
    for param in numbers + ["strike_pct"] * (defaults is not None):
        raises_at(TypeError, name, 580 if param == "strike_pct" else line, f,
                  **{**valid, param: "1.0"})


@pytest.mark.parametrize("name, line", [("vectorized_baw_implied_vol", 429),
                                        ("find_forward_baw", 582)])
def test_removing_np(raises_at, monkeypatch, name, line):
    """NumPy is reached through the global `np`, at call time: without it the
    array functions fail (with the built-ins as the fallback), and the scalar
    ones do not need it."""
    f = getattr(core, name)
    valid = FUNCTIONS[name][-1]
    monkeypatch.delattr(core, "np")
    raises_at(NameError, name, line, f, *valid, message="name 'np' is not defined")
    assert core.baw_price(*atm_args("c")) == pytest.approx(6.8013, abs=1e-4)
    assert core.baw_implied_vol(*FUNCTIONS["baw_implied_vol"][-1]) > 0
    monkeypatch.setattr("builtins.np", np, raising=False)
    assert f(*valid) is not None


def test_rebound_np_that_shortens_a_selection(raises_at, monkeypatch):
    """With NumPy's own `np` the three selections of the forward search are
    equally long; a rebound `np` that shortens one gets an error instead of a
    read past its end."""
    calls = iter(range(10))

    def shortening(x, dtype):
        converted = np.ascontiguousarray(x, dtype=dtype)
        return converted[:1] if next(calls) == 1 else converted

    monkeypatch.setattr(core, "np", numpy_stand_in(ascontiguousarray=shortening))
    raises_at(ValueError, "find_forward_baw", 597, core.find_forward_baw,
              [1.0, 2.0], [1.0, 2.0], [99.5, 100.5], 100.0, 0.99,
              message="find_forward_baw(): c_puts holds 1 elements after conversion, fewer "
                      "than len(c_calls) = 2")


def test_reimport_returns_the_same_module():
    f = core.baw_price
    del sys.modules["vornet.vornet_core"]
    try:
        import vornet.vornet_core as again
    finally:
        sys.modules["vornet.vornet_core"] = core
    assert again is core and again.baw_price is f


def test_defaults_are_settable_but_only_reported():
    f = core.baw_price
    try:
        f.__defaults__ = ("x",)
        assert f.__defaults__ == ("x",)
        with pytest.raises(TypeError):
            f.__defaults__ = [1]
        assert f(*atm_args("c")) == pytest.approx(6.8013, abs=1e-4)
    finally:
        del f.__defaults__
    assert f.__defaults__ is None


def test_second_interpreter_is_refused(tmp_path):
    support = pytest.importorskip("test.support")
    pytest.importorskip("_testcapi")
    out = tmp_path / "result"
    code = (
        "try:\n"
        "    import vornet.vornet_core\n"
        "    msg = 'imported'\n"
        "except ImportError as e:\n"
        "    msg = str(e)\n"
        f"open({str(out)!r}, 'w').write(msg)\n"
    )
    assert support.run_in_subinterp(code) == 0
    assert out.read_text() == (
        "Interpreter change detected - this module can only be loaded "
        "into one interpreter per process."
    )


def test_failed_import_in_a_subinterpreter_leaves_nothing_behind():
    """A legacy subinterpreter whose import fails (NumPy cannot load there a
    second time) does not claim the module: the main interpreter imports it
    afterwards."""
    import subprocess

    pytest.importorskip("_testcapi")
    pytest.importorskip("test.support")
    script = (
        "import numpy\n"
        "from test import support\n"
        "support.run_in_subinterp('try:\\n import vornet.vornet_core\\n"
        "except ImportError:\\n pass')\n"
        "import vornet.vornet_core as core\n"
        "print(core.baw_price(100.0, 100.0, 0.95, 98.0, 0.2, 'c'))\n"
    )
    run = subprocess.run([sys.executable, "-W", "ignore", "-c", script], capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert float(run.stdout) == pytest.approx(6.9034, abs=5e-5)


# --- binding ------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1.0, 2.0, 3.0, 4.0, 5.0), {},
         "baw_price() takes exactly 6 positional arguments (5 given)"),
        ((), dict(S=1.0, K=2.0, D=3.0, F=4.0, sigma=5.0),
         "baw_price() takes exactly 6 positional arguments (5 given)"),
        ((1.0, 2.0), dict(D=3.0, F=4.0, flag="c"),
         "baw_price() takes exactly 6 positional arguments (4 given)"),
        ((), {}, "baw_price() takes exactly 6 positional arguments (0 given)"),
        ((1.0, 2.0, 3.0, 4.0, 5.0, "c"), dict(flag="p"),
         "baw_price() got multiple values for keyword argument 'flag'"),
        ((1.0, 2.0, 3.0, 4.0, 5.0, "c", 7.0), dict(bogus=1),
         "baw_price() takes exactly 6 positional arguments (7 given)"),
        ((1.0, 2.0, 3.0, 4.0, 5.0, "c", 7.0), {},
         "baw_price() takes exactly 6 positional arguments (7 given)"),
        ((1.0, 2.0, 3.0, 4.0), dict(sgima=5.0, flag="c"),
         "baw_price() got an unexpected keyword argument 'sgima'"),
    ],
)
def test_binding_errors(raises_at, args, kwargs, message):
    raises_at(TypeError, "baw_price", 397, core.baw_price, *args, message=message, **kwargs)


def test_keywords_in_any_order_and_mixed():
    expected = core.baw_price(*atm_args("p"))
    assert core.baw_price(flag="p", sigma=ATM["sigma"], F=100.0, D=ATM["D"],
                          K=100.0, S=100.0) == expected
    assert core.baw_price(100.0, 100.0, sigma=ATM["sigma"], flag="p", D=ATM["D"],
                          F=100.0) == expected


class Key(str):
    """A str subclass whose == decides keyword matching."""

    def __eq__(self, other):
        return str.__eq__(self.lower(), other)

    __hash__ = str.__hash__


class BadKey(str):
    def __eq__(self, other):
        raise RuntimeError("key comparison failed")

    __hash__ = str.__hash__


def test_keyword_names_compared_with_their_own_eq(raises_at):
    expected = core.baw_price(*atm_args("c"))
    assert core.baw_price(*atm_args("c")[:5], **{Key("FLAG"): "c"}) == expected
    raises_at(RuntimeError, "baw_price", 397,
              lambda: core.baw_price(*atm_args("c")[:5], **{BadKey("flag"): "c"}))


def test_non_string_keywords():
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        core.baw_price(*atm_args("c")[:5], **{1: "c"})


def test_non_string_keyword_through_vectorcall():
    """A C caller may pass any object as a keyword name."""
    ctypes = pytest.importorskip("ctypes")
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t,
                           ctypes.py_object]
    args = (ctypes.py_object * 6)(*atm_args("c"))
    with pytest.raises(TypeError) as info:
        vectorcall(core.baw_price, ctypes.cast(args, ctypes.c_void_p), 5, (1,))
    assert str(info.value) == "baw_price() keywords must be strings"
    assert vornet_entries(info.value) == [
        ("vornet.vornet_core.baw_price", "vornet/vornet_core", 397)]


# --- conversions --------------------------------------------------------------


class Floaty:
    def __float__(self):
        return 100.0


@pytest.mark.parametrize(
    "spot", [100, True * 100, np.float64(100), np.float32(100), np.int64(100),
             np.int8(100), Floaty()],
    ids=["int", "bool-int", "f64", "f32", "i64", "i8", "__float__"],
)
def test_numeric_conversions(spot):
    assert core.baw_price(spot, *atm_args("c")[1:]) == core.baw_price(*atm_args("c"))


def test_bools_and_minus_one_are_numbers():
    assert core.baw_price(True, False, 0.5, 1.0, 0.0, "c") == 1.0
    assert core.baw_price(-1.0, -1.0, -1.0, -1.0, -1.0, "p") == 0.0


class Unconvertible:
    pass


@pytest.mark.parametrize("position", range(5))
@pytest.mark.parametrize("bad", ["100", b"1", None, Unconvertible(), 1j])
def test_conversion_errors_stop_before_the_flag(raises_at, position, bad):
    class Flag:
        def __eq__(self, other):
            raise AssertionError("flag examined after a failed conversion")

    args = list(atm_args(Flag()))
    args[position] = bad
    raises_at(TypeError, "baw_price", 397, core.baw_price, *args)


def test_first_failed_conversion_wins(raises_at):
    exc = raises_at(TypeError, "baw_price", 397, core.baw_price, 1.0, "K", None, 4.0, 5.0, "c")
    assert "str" in str(exc)


# --- the option flag ----------------------------------------------------------


class CallStr(str):
    pass


class EqualsC:
    def __eq__(self, other):
        return other == "c"


class EqualsCArray:
    """== returns an object whose truth is decided by __bool__."""

    def __eq__(self, other):
        return np.array([True])


@pytest.mark.parametrize(
    "flag", ["c", CallStr("c"), np.str_("c"), EqualsC(), EqualsCArray()],
    ids=["str", "str-subclass", "numpy-str", "eq", "eq-array"],
)
def test_call_flags(flag):
    assert core.baw_price(*atm_args(flag)) == core.baw_price(*atm_args("c"))


class EqNone:
    def __eq__(self, other):
        return None


@pytest.mark.parametrize(
    "flag", ["p", "C", "call", "", "cc", b"c", None, 1, 1.0, np.str_("C"), object(), EqNone()],
)
def test_put_flags(flag):
    call_args = (100.0, 100.0, 0.95, 98.0, 0.2)
    assert core.baw_price(*call_args, flag) == core.baw_price(*call_args, "p")
    assert core.baw_price(*call_args, flag) != core.baw_price(*call_args, "c")


@pytest.mark.parametrize("flag", [RaisingEq(), RaisingBool()])
def test_flag_errors_propagate(raises_at, flag):
    raises_at(ValueError, "baw_price", 403, core.baw_price, *atm_args(flag))


# --- failed initialisation ----------------------------------------------------

FAILED_INIT = r"""
import ctypes, sys, traceback, types

name = "scipy.optimize.cython_optimize._zeros"
fake = types.ModuleType(name)
fake.__pyx_capi__ = CAPI
sys.modules[name] = fake
try:
    import vornet.vornet_core
except Exception as e:
    entries = [(f.name, f.filename, f.lineno)
               for f in traceback.extract_tb(e.__traceback__)
               if f.filename == "vornet/vornet_core"]
    print(type(e).__name__, e, entries, sep="|")
del sys.modules[name]
import vornet.vornet_core as core
print(core.baw_price(100.0, 100.0, 0.95, 98.0, 0.2, "c"))
"""

CAPSULE = """
new = ctypes.pythonapi.PyCapsule_New
new.restype = ctypes.py_object
new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
CAPI = {"brentq": new(1, b"double (double)", None)}
"""


@pytest.mark.parametrize(
    "setup, error",
    [
        ("CAPI = {}", "ImportError|scipy.optimize.cython_optimize._zeros does not export "
                      "expected C function brentq"),
        (CAPSULE, "TypeError|C function scipy.optimize.cython_optimize._zeros.brentq has "
                  "wrong signature (expected double (__pyx_t_5scipy_8optimize_15cython_"
                  "optimize_6_zeros_callback_type, double, double, void *, double, double, "
                  "int, __pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_zeros_full_output"
                  " *), got double (double))"),
    ],
    ids=["missing", "wrong-signature"],
)
def test_failed_initialisation_is_reported_and_retried(setup, error):
    """A root finder that is missing or of another signature fails the import
    with an entry at line 1; the next import starts over and succeeds."""
    import subprocess

    script = FAILED_INIT.replace("fake.__pyx_capi__ = CAPI", setup + "\nfake.__pyx_capi__ = CAPI")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    first, second = run.stdout.splitlines()
    assert first == error + "|[('init vornet.vornet_core', 'vornet/vornet_core', 1)]"
    assert float(second) == pytest.approx(6.9034, abs=5e-5)
